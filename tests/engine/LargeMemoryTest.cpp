// Big buffers go on huge pages while the system gives them fast; once it
// gave one slowly, or while huge pages are not wanted (a run over many
// files), new room goes on small pages, including room already set aside
// for huge pages. Either way the room is present when prepared.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "CoefficientStore.h"
#include "LargeMemory.h"
#include "MemoryStream.h"

using namespace lumaro;

namespace {

struct TResident {
    long Kb, HugeKb;
};

// What the system counts for the mappings over [at, at + length) (a room
// put partly on small pages is cut into mappings of its own; a neighbour
// merged into one of them adds to the count).
TResident ResidentOf(const void* at, std::size_t length) {
    std::ifstream maps("/proc/self/smaps");
    const auto begin = reinterpret_cast<std::uintptr_t>(at);
    bool inside = false;
    TResident r{0, 0};
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> from >> dash >> to && dash == '-') {
            inside = from < begin + length && to > begin;
            continue;
        }
        if (!inside) continue;
        if (line.rfind("Rss:", 0) == 0) r.Kb += std::stol(line.substr(4));
        if (line.rfind("AnonHugePages:", 0) == 0) r.HugeKb += std::stol(line.substr(14));
    }
    return r;
}

class LargeMemory : public ::testing::Test {
protected:
    void TearDown() override {
        SetLargePagesSlow(Saved);
        AllowLargePages(SavedAllowed);
    }
    const bool Saved = LargePagesSlow();
    const bool SavedAllowed = LargePagesAllowed();
};

} // namespace

TEST_F(LargeMemory, OnceHugePagesCameSlowlyOrAreNotWantedNewRoomGoesOnSmallPages) {
    constexpr std::size_t kSize = std::size_t{8} << 20;
    for (const bool slow : {true, false}) {
        SCOPED_TRACE(slow ? "found slow" : "not wanted");
        SetLargePagesSlow(false);
        AllowLargePages(true);
        // Set aside before and after huge pages were found slow or refused.
        void* before = AllocateLarge(kSize);
        if (slow) SetLargePagesSlow(true);
        else AllowLargePages(false);
        void* after = AllocateLarge(kSize);
        for (void* p : {before, after}) {
            PrepareLarge(p, kSize - 100);
            const TResident r = ResidentOf(p, kSize);
            EXPECT_GE(r.Kb, static_cast<long>((kSize - 4096) >> 10)) << "not present";
            EXPECT_EQ(r.HugeKb, 0) << "on huge pages";
            std::memset(p, 0x5A, kSize);  // all of it usable
            EXPECT_EQ(static_cast<unsigned char*>(p)[kSize - 1], 0x5A);
        }
        // Refusing them says nothing about how fast they come.
        EXPECT_EQ(LargePagesSlow(), slow);
        FreeLarge(before, kSize);
        FreeLarge(after, kSize);
    }
}

// Prepared room is present however it is cut: parts of a large page, whole
// ones, and room from the small-buffer heap.
TEST_F(LargeMemory, PreparedRoomIsPresentWhereverItBeginsAndEnds) {
    SetLargePagesSlow(false);
    constexpr std::size_t kSize = std::size_t{6} << 20;
    auto* p = static_cast<std::uint8_t*>(AllocateLarge(kSize));
    PrepareLarge(p + 5000, (std::size_t{3} << 20) + 123);
    EXPECT_GE(ResidentOf(p, kSize).Kb, 3L << 10);
    std::memset(p, 1, kSize);
    FreeLarge(p, kSize);
    auto* small = static_cast<std::uint8_t*>(AllocateLarge(100000));
    PrepareLarge(small, 100000);
    std::memset(small, 2, 100000);
    EXPECT_EQ(small[99999], 2);
    FreeLarge(small, 100000);
}

// Room made present for one file is not asked for again, but room that moved
// (a store that grew, a stream given back and reserved anew) is made present
// from its start.
TEST_F(LargeMemory, RoomThatMovedIsMadePresentFromItsStart) {
    SetLargePagesSlow(true);  // small pages: what is present is counted page by page
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    TCoefficientStore store;
    store.Start(3 * kMiB);
    store.Prepare(3 * kMiB);
    EXPECT_GE(ResidentOf(store.Begin(), 3 * kMiB).Kb, 3L << 10);
    store.Start(16 * kMiB);  // grows: new room
    store.Prepare(12 * kMiB);
    EXPECT_GE(ResidentOf(store.Begin(), 12 * kMiB).Kb, 12L << 10) << "grown store";

    TMemoryStream stream;
    stream.Reserve(4 * kMiB);
    stream.Prepare(4 * kMiB);
    EXPECT_GE(ResidentOf(stream.Memory(), 4 * kMiB).Kb, 4L << 10);
    stream.Release();
    stream.Reserve(4 * kMiB);  // may well get the same addresses back
    stream.Prepare(4 * kMiB);
    EXPECT_GE(ResidentOf(stream.Memory(), 4 * kMiB).Kb, 4L << 10) << "stream given back and reserved anew";
    stream.Reserve(9 * kMiB);  // moves
    stream.Prepare(9 * kMiB);
    EXPECT_GE(ResidentOf(stream.Memory(), 9 * kMiB).Kb, 9L << 10) << "grown stream";
}
