#pragma once
// Makes new files durable on a thread of its own, one after another as they
// are handed over, while the caller goes on with its work: the disk writes
// them meanwhile, and whoever needs them durable waits only for those not
// yet done. Without a thread to be had, they are synced when waited for.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace lumaro {

class TDeferredSync {
public:
    TDeferredSync() = default;
    TDeferredSync(const TDeferredSync&) = delete;
    TDeferredSync& operator=(const TDeferredSync&) = delete;
    // Files handed over and not waited for stay as they are.
    ~TDeferredSync();

    // The file at Path (its data and size) is to be made durable.
    void Add(const std::string& Path);
    // Returns once every file handed over so far is durable, or could not be
    // made so: 0, or the system's error code for the first that failed.
    int Wait();
    // Files made durable so far (tests).
    int Synced() const;

private:
    void Loop();
    // Opens and syncs one file: 0 or the error code.
    static int SyncPath(const std::string& Path);
    // Counts one file's outcome (the lock held).
    void Note(int err);

    mutable std::mutex Lock;
    std::condition_variable Wake;  // a file was handed over, or it is time to quit
    std::condition_variable Done;  // the queue ran empty
    std::deque<std::string> Queue;
    bool Working = false;  // the thread is syncing a file taken off the queue
    bool Quit = false;
    int FirstError = 0;
    int Count = 0;
    std::thread Thread;
    bool NoThread = false;  // none could be started: Wait() does the work
};

} // namespace lumaro
