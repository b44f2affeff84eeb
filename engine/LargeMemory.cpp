#include "LargeMemory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumaro {

namespace {

// Set for good once a fresh huge page took far longer to make present than
// zeroing it takes. A virtual machine that hands its free memory back to
// its host (free page reporting) gets it back a small page at a time, each
// with a trip to the host: a huge page then costs 5 to 9 ms instead of 0.1,
// while small pages, most of them freed lately and never handed back, cost
// about 1 ms per 2 MiB. The huge pages freed last come first, so after the
// first slow one the rest are slow too.
std::atomic<bool> gLargePagesSlow{false};
std::atomic<bool> gLargePagesAllowed{true};
constexpr std::chrono::microseconds kSlowLargePage{2500};
// Steps at least this large are timed, and room prepared in such steps is
// taken for room of a buffer of its own when it must go on small pages.
constexpr std::size_t kTimedStepMin = std::size_t{256} << 10;

// New room goes on small pages.
bool SmallPagesOnly() {
    return gLargePagesSlow.load(std::memory_order_relaxed) || !gLargePagesAllowed.load(std::memory_order_relaxed);
}

} // namespace

void AdviseLargePages(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (SmallPagesOnly()) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + n) & ~(kLargePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

// A large page at a time, each timed, while huge pages come fast; then the
// rest of the room (to the end of its last large page, which later writes
// may reach) on small pages. A step of less than a large page costs a whole
// huge page too where the room is on huge pages.
void PrepareLarge(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE) && defined(MADV_NOHUGEPAGE)
    std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095};
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(p) + n;
    while (at < end) {
        if (SmallPagesOnly()) {
            const std::uintptr_t first = (at + kLargePage - 1) & ~(kLargePage - 1);
            const std::uintptr_t last = (end + kLargePage - 1) & ~(kLargePage - 1);
            if (n >= kTimedStepMin && last > first)
                madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE);
            madvise(reinterpret_cast<void*>(at), end - at, MADV_POPULATE_WRITE);
            return;
        }
        const std::uintptr_t next = std::min(end, (at & ~(kLargePage - 1)) + kLargePage);
        const auto start = std::chrono::steady_clock::now();
        madvise(reinterpret_cast<void*>(at), next - at, MADV_POPULATE_WRITE);
        if (next - at >= kTimedStepMin && std::chrono::steady_clock::now() - start > kSlowLargePage)
            gLargePagesSlow.store(true, std::memory_order_relaxed);
        at = next;
    }
#else
    (void)p;
    (void)n;
#endif
}

bool LargePagesSlow() { return gLargePagesSlow.load(std::memory_order_relaxed); }
void SetLargePagesSlow(bool slow) { gLargePagesSlow.store(slow, std::memory_order_relaxed); }
void AllowLargePages(bool allow) { gLargePagesAllowed.store(allow, std::memory_order_relaxed); }
bool LargePagesAllowed() { return gLargePagesAllowed.load(std::memory_order_relaxed); }

void PrepareRead(const void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_READ)
    const auto begin = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095};
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(p) + n;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_READ);
#else
    (void)p;
    (void)n;
#endif
}

#if defined(__linux__)
// Maps n bytes rounded up to whole large pages at a large-page boundary, so
// that every page of the buffer can be a huge page.
void* AllocateLarge(std::size_t n) {
    if (n < kLargeAllocationMin) return ::operator new(n);
    const std::size_t size = (n + kLargePage - 1) & ~(kLargePage - 1);
    void* raw = mmap(nullptr, size + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + kLargePage - 1) & ~(kLargePage - 1);
    if (aligned > begin) munmap(raw, aligned - begin);
    const std::uintptr_t end = begin + size + kLargePage;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    AdviseLargePages(reinterpret_cast<void*>(aligned), size);
    return reinterpret_cast<void*>(aligned);
}

void FreeLarge(void* p, std::size_t n) {
    if (!p) return;
    if (n < kLargeAllocationMin) {
        ::operator delete(p);
        return;
    }
    munmap(p, (n + kLargePage - 1) & ~(kLargePage - 1));
}
#else
void* AllocateLarge(std::size_t n) { return ::operator new(n); }
void FreeLarge(void* p, std::size_t) { ::operator delete(p); }
#endif

} // namespace lumaro
