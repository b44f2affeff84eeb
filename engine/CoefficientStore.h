#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "LargeMemory.h"
#include "ScanCodec.h"

namespace lumaro {

// The coefficient store would pass its limit.
struct ETooLarge {};

// The block records of the whole scan (see ScanCodec.h), in the order the
// scan carries the blocks: every pass walks the scan in that same order. A
// photo needs a few bytes per block instead of 128. Stores filled by two
// threads at once must not share a cache line: each has one of its own.
class alignas(64) TCoefficientStore {
public:
    static constexpr std::size_t kMaxRecord = scan::kMaxRecord;
    // A store this large means a file of hundreds of megabytes of scan data.
    static constexpr std::size_t kLimit = std::size_t{3} << 30;

    TCoefficientStore() = default;
    TCoefficientStore(const TCoefficientStore&) = delete;
    TCoefficientStore& operator=(const TCoefficientStore&) = delete;
    ~TCoefficientStore() { FreeLarge(Data, Capacity); }

    // Empties the store and makes room for about `expected` bytes. Room once
    // made is kept for the next file; it grows at least twofold, so that a
    // run over many files seldom maps fresh memory.
    void Start(std::size_t expected) {
        Size = 0;
        if (Capacity < expected) Grow(std::max(expected, std::min(Capacity * 2, kLimit)));
    }
    // Makes the first n bytes of room present at once: cheaper than a page
    // fault at a time, and done by the thread that will fill them. Room made
    // present for an earlier file is not asked for again: the system would
    // walk its pages one by one only to find them there.
    void Prepare(std::size_t n) { Present = PrepareBeyond(Data, Present, std::min(n, Capacity)); }
    // Gives all of its room back to the system.
    void Release() {
        FreeLarge(Data, Capacity);
        Data = nullptr;
        Size = Capacity = Present = 0;
    }
    // Room for one more record (or `need` bytes); throws ETooLarge past the limit.
    std::uint8_t* Room(std::size_t need = kMaxRecord) {
        if (Capacity - Size < need) Grow(std::max<std::size_t>({Capacity * 2, std::size_t{1} << 16, Size + need}));
        return Data + Size;
    }
    // Where the room ends: records may be written up to kMaxRecord before it
    // without asking again.
    const std::uint8_t* RoomEnd() const { return Data + Capacity; }
    void Commit(const std::uint8_t* end) { Size = static_cast<std::size_t>(end - Data); }
    const std::uint8_t* Begin() const { return Data; }
    const std::uint8_t* End() const { return Data + Size; }
    std::size_t Used() const { return Size; }

private:
    void Grow(std::size_t want) {
        want = std::max(want, Size + kMaxRecord);
        if (want > kLimit) throw ETooLarge{};
        auto* bigger = static_cast<std::uint8_t*>(AllocateLarge(want));
        if (Size) std::memcpy(bigger, Data, Size);
        FreeLarge(Data, Capacity);
        Data = bigger;
        Capacity = want;
        Present = 0;
    }
    std::uint8_t* Data = nullptr;
    std::size_t Size = 0, Capacity = 0;
    std::size_t Present = 0;  // room made present by Prepare
};

} // namespace lumaro
