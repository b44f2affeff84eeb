#include "HelperThread.h"

#include <system_error>

#include "ScanThreading.h"
#include "ThreadPlacement.h"

namespace lumaro {

THelperThread::~THelperThread() {
    if (!Thread.joinable()) return;
    Join();
    Quit.store(true, std::memory_order_release);
    Notify();
    Thread.join();
}

std::chrono::microseconds THelperThread::Spin() const {
    return std::chrono::microseconds(ScanThreading().SpinMicroseconds);
}

void THelperThread::Notify() {
    { std::lock_guard<std::mutex> lock(Mutex); }
    Changed.notify_all();
}

bool THelperThread::Warm() {
    if (ScanThreading().RefuseThreads) return false;
    if (Thread.joinable()) return true;
    try {
        Thread = StartOffCallersCpu([this] { Loop(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool THelperThread::Start(std::function<void()> task) {
    if (!Warm()) return false;
    Join();
    Task = std::move(task);  // the thread reads it only after Offered moves on
    ++Posted;
    Offered.store(Posted, std::memory_order_release);
    Notify();
    return true;
}

void THelperThread::Join() {
    if (!Pending()) return;
    SpinThenWait([&] { return !Pending(); }, Spin(), Mutex, Changed);
}

void THelperThread::Loop() {
    std::uint64_t done = 0;
    for (;;) {
        // The first task can be further off: the thread may be started
        // before the file it serves is read.
        SpinThenWait(
            [&] { return Offered.load(std::memory_order_acquire) != done || Quit.load(std::memory_order_acquire); },
            done ? Spin() : Spin() * kFirstTaskSpinFactor, Mutex, Changed);
        if (Offered.load(std::memory_order_acquire) == done) return;  // told to quit, nothing left
        ++done;
        try {
            Task();
        } catch (...) {
            // Tasks report their own failures; one that escapes leaves its
            // work undone, which the owner's checks then find.
        }
        Task = nullptr;
        Finished.store(done, std::memory_order_release);
        Notify();
    }
}

} // namespace lumaro
