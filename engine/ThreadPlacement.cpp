#include "ThreadPlacement.h"

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace lumaro {

#if defined(__linux__)
namespace {

// The CPUs of `allowed` but `cpu`; false when `cpu` is not one of them or
// there is no other (then nothing is to be moved).
bool OtherCpus(int cpu, const cpu_set_t& allowed, cpu_set_t& others) {
    if (cpu < 0 || cpu >= CPU_SETSIZE || CPU_COUNT(&allowed) < 2 || !CPU_ISSET(cpu, &allowed)) return false;
    others = allowed;
    CPU_CLR(cpu, &others);
    return true;
}

} // namespace
#endif

void MoveOffCallersCpu(std::thread& thread) {
#if defined(__linux__)
    const pthread_t handle = thread.native_handle();
    cpu_set_t allowed, others;
    CPU_ZERO(&allowed);
    if (pthread_getaffinity_np(handle, sizeof allowed, &allowed) != 0 || !OtherCpus(sched_getcpu(), allowed, others))
        return;
    // Narrowing the set moves the thread; widening it again leaves it where it is.
    if (pthread_setaffinity_np(handle, sizeof others, &others) == 0) pthread_setaffinity_np(handle, sizeof allowed, &allowed);
#else
    (void)thread;
#endif
}

int CallersCpu() {
#if defined(__linux__)
    return sched_getcpu();
#else
    return -1;
#endif
}

int LeaveCpu(int cpu) {
#if defined(__linux__)
    cpu_set_t allowed, others;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !OtherCpus(cpu, allowed, others)) return -1;
    // Narrowing the set moves the thread at once; widening it again leaves it where it is.
    if (sched_setaffinity(0, sizeof others, &others) != 0) return -1;
    const int now = sched_getcpu();
    sched_setaffinity(0, sizeof allowed, &allowed);
    return now;
#else
    (void)cpu;
    return -1;
#endif
}

} // namespace lumaro
