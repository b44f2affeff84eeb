#pragma once
// Where a helper thread runs. Internal to the engine.
#include <thread>
#include <utility>

namespace lumaro {

// On some systems a new thread starts queued on its creator's CPU and shares
// it until the scheduler next balances the load, milliseconds later: for work
// of a few milliseconds, the two threads then take as long as one. The thread
// is moved at once to another CPU the process may use; after that the
// scheduler is free to place it as ever. Does nothing where the system cannot
// say or there is no other CPU.
void MoveOffCallersCpu(std::thread& thread);

// The same from the new thread itself, as the first thing it does: a new
// thread may also run at once on its creator's CPU and keep the creator
// waiting there (measured: 1.5 to 5.6 ms before the creator went on, in most
// runs of a 12 MP file). CallersCpu() is taken by the creator before the
// thread is made; LeaveCpu(cpu) runs in the thread and returns the CPU it
// moved to (-1: it stayed), after which the thread may again run anywhere.
int CallersCpu();
int LeaveCpu(int cpu);

// A new thread running work() that leaves its creator's CPU both ways: it
// moves itself off as the first thing it does, and its creator moves it
// too. Throws std::system_error when no thread can be had, as std::thread does.
template <class Work>
std::thread StartOffCallersCpu(Work work) {
    const int cpu = CallersCpu();
    std::thread thread([cpu, work = std::move(work)]() mutable {
        LeaveCpu(cpu);
        work();
    });
    MoveOffCallersCpu(thread);
    return thread;
}

} // namespace lumaro
