#include "ThreadPlacement.h"

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace lumaro {

void MoveOffCallersCpu(std::thread& thread) {
#if defined(__linux__)
    const int cpu = sched_getcpu();
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (cpu < 0 || cpu >= CPU_SETSIZE) return;
    const pthread_t handle = thread.native_handle();
    if (pthread_getaffinity_np(handle, sizeof allowed, &allowed) != 0) return;
    if (CPU_COUNT(&allowed) < 2 || !CPU_ISSET(cpu, &allowed)) return;
    cpu_set_t others = allowed;
    CPU_CLR(cpu, &others);
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
    if (cpu < 0 || cpu >= CPU_SETSIZE) return -1;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
    if (CPU_COUNT(&allowed) < 2 || !CPU_ISSET(cpu, &allowed)) return -1;
    cpu_set_t others = allowed;
    CPU_CLR(cpu, &others);
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
