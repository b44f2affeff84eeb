#pragma once
// Big buffers that are filled once and then read in order (a whole file, its
// result, the coefficient store). On a system with transparent huge pages,
// backing them with 2 MiB pages saves hundreds of page faults per megabyte,
// which is most of the time spent on a large photo.
#include <cstddef>

namespace lumaro {

constexpr std::size_t kLargePage = std::size_t{2} << 20;

// A hint for [p, p + n): back its whole large pages with huge pages.
void AdviseLargePages(void* p, std::size_t n);

// Raw storage of n bytes (not zeroed); throws std::bad_alloc.
void* AllocateLarge(std::size_t n);
void FreeLarge(void* p, std::size_t n);

} // namespace lumaro
