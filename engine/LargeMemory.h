#pragma once
// Big buffers that are filled once and then read in order (a whole file, its
// result, the coefficient store). On a system with transparent huge pages,
// backing them with 2 MiB pages saves hundreds of page faults per megabyte,
// which is most of the time spent on a large photo.
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace lumaro {

constexpr std::size_t kLargePage = std::size_t{2} << 20;
// From this size on a buffer gets whole large pages of its own: one page
// fault instead of up to 512, for at most a large page of unused room.
// Smaller ones stay on small pages: the few huge pages a process gets fast
// are kept for the buffers that fill them (a huge page may be one the
// system must first fetch back from its host, see PrepareLarge; a 425 KB
// photo took 7.6 ms on average instead of 5.2 when each of its four
// buffers had one).
constexpr std::size_t kLargeAllocationMin = kLargePage;

// A hint for [p, p + n): back its whole large pages with huge pages.
void AdviseLargePages(void* p, std::size_t n);

// Raw storage of n bytes (not zeroed); throws std::bad_alloc.
void* AllocateLarge(std::size_t n);
void FreeLarge(void* p, std::size_t n);
// Makes the pages of [p, p + n) present now (a hint): on huge pages while
// they come fast, on small ones from the first that does not (see
// LargePagesSlow).
void PrepareLarge(void* p, std::size_t n);
// For room whose first `present` bytes were made present before (for an
// earlier file): makes bytes [present, n) of the room at p present, if n
// goes beyond them, and returns how many are present now. Asking again for
// pages already there would only have the system walk them one by one.
inline std::size_t PrepareBeyond(std::uint8_t* p, std::size_t present, std::size_t n) {
    if (n <= present) return present;
    PrepareLarge(p + present, n - present);
    return n;
}
// Makes the pages of [p, p + n), memory that is only read (a mapped file),
// present now (a hint).
void PrepareRead(const void* p, std::size_t n);
// Whether huge pages came slowly (this process then uses small pages for
// new room); tests set it.
bool LargePagesSlow();
void SetLargePagesSlow(bool slow);
// Whether new room may go on huge pages at all (it may unless told
// otherwise). A run over many files keeps its buffers from file to file, so
// the page faults huge pages save are met once per worker; a huge page the
// system must first fetch back from its host holds the whole process's
// memory map for milliseconds, and every other worker that maps or unmaps
// memory meanwhile waits (see PrepareLarge).
void AllowLargePages(bool allow);
bool LargePagesAllowed();

// An allocator that puts big buffers on large pages (small ones on the heap).
template <class T>
struct TLargePageAllocator {
    using value_type = T;
    TLargePageAllocator() = default;
    template <class U>
    TLargePageAllocator(const TLargePageAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) { FreeLarge(p, n * sizeof(T)); }
    // These buffers are written before they are read (a file read into
    // them, a result written): growing one leaves the new bytes as they are
    // instead of zeroing megabytes first. A value given is still stored.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const TLargePageAllocator<U>&) const { return true; }
};

// The bytes of a whole file or result.
using TByteBuffer = std::vector<std::uint8_t, TLargePageAllocator<std::uint8_t>>;

} // namespace lumaro
