#pragma once
// The engine's second thread: started once, before the first task that needs
// it, and given one task at a time. A waiting side (the helper for its next
// task, the owner for a task to end) looks again and again for a short while
// before it sleeps: on some systems a sleeping thread takes longer to wake
// than the work between two tasks. Internal to the engine.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace lumaro {

// Waits until ready() holds: first by looking for `spin`, then asleep on
// `changed` (whoever makes ready() true must notify it after taking `mutex`).
template <class Ready>
void SpinThenWait(Ready&& ready, std::chrono::microseconds spin, std::mutex& mutex, std::condition_variable& changed) {
    const auto until = std::chrono::steady_clock::now() + spin;
    do {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    } while (std::chrono::steady_clock::now() < until);
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, ready);
}

class THelperThread {
public:
    THelperThread() = default;
    THelperThread(const THelperThread&) = delete;
    THelperThread& operator=(const THelperThread&) = delete;
    ~THelperThread();

    // Starts the thread (if not yet running), so that it is awake when its
    // first task comes; false when the system has no thread to give.
    bool Warm();
    // Whether the thread is running (Warm() succeeded before).
    bool Started() const { return Thread.joinable(); }
    // Runs task on the thread; false when there is no thread (the caller then
    // does the work itself). Tasks report their own failures: an exception
    // that escapes one is dropped. One task at a time: Start() waits for the
    // one before.
    bool Start(std::function<void()> task);
    // Waits until the task last started has returned; at once when none is
    // pending.
    void Join();
    bool Pending() const { return Posted != Finished.load(std::memory_order_acquire); }

private:
    void Loop();
    void Notify();
    std::chrono::microseconds Spin() const;
    static constexpr int kFirstTaskSpinFactor = 10;

    std::thread Thread;
    std::mutex Mutex;
    std::condition_variable Changed;
    std::function<void()> Task;
    std::uint64_t Posted = 0;                 // tasks started (the owner's count)
    std::atomic<std::uint64_t> Offered{0};    // tasks handed to the thread
    std::atomic<std::uint64_t> Finished{0};   // tasks the thread has finished
    std::atomic<bool> Quit{false};
};

} // namespace lumaro
