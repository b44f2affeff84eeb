#include "LargeMemory.h"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumaro {

void AdviseLargePages(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + n) & ~(kLargePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

void PrepareLarge(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    const auto begin = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095};
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(p) + n;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}

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
