#include "DeferredSync.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace lumaro {

TDeferredSync::~TDeferredSync() {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Quit = true;
    }
    Wake.notify_all();
    if (Thread.joinable()) Thread.join();
}

int TDeferredSync::SyncPath(const std::string& Path) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

void TDeferredSync::Add(const std::string& Path) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Queue.push_back(Path);
        if (!Thread.joinable() && !NoThread) {
            try {
                Thread = std::thread([this] { Loop(); });
            } catch (const std::system_error&) {
                NoThread = true;
            }
        }
    }
    Wake.notify_one();
}

void TDeferredSync::Loop() {
    std::unique_lock<std::mutex> lock(Lock);
    for (;;) {
        Wake.wait(lock, [this] { return Quit || !Queue.empty(); });
        if (Quit) return;
        const std::string path = std::move(Queue.front());
        Queue.pop_front();
        Working = true;
        lock.unlock();
        const int err = SyncPath(path);
        lock.lock();
        Working = false;
        Note(err);
        if (Queue.empty()) Done.notify_all();
    }
}

int TDeferredSync::Wait() {
    std::unique_lock<std::mutex> lock(Lock);
    if (NoThread) {
        while (!Queue.empty()) {
            const std::string path = std::move(Queue.front());
            Queue.pop_front();
            Note(SyncPath(path));
        }
    }
    Done.wait(lock, [this] { return Queue.empty() && !Working; });
    const int err = FirstError;
    FirstError = 0;
    return err;
}

void TDeferredSync::Note(int err) {
    if (err && !FirstError) FirstError = err;
    if (!err) ++Count;
}

int TDeferredSync::Synced() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Count;
}

} // namespace lumaro
