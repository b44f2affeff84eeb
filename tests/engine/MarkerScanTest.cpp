// The walk over a scan's data for its markers, in one pass or in two halves
// joined: whatever the data holds and wherever the middle falls, the halves
// must give exactly what one pass gives (the split points, their restart
// counts, and whether a second scan follows).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "MarkerScan.h"

using namespace lumaro;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Scan-like data after a header of `start` bytes: coded bytes with stuffed
// 0xFF, restart markers (some after fill bytes), and, when `segments`, now
// and then a segment whose payload holds marker-like bytes; it ends with EOI
// or a second scan header, or is cut off.
Bytes RandomScan(std::mt19937& rng, std::size_t start, bool segments) {
    Bytes d(start, 0x11);
    const std::size_t length = 200 + rng() % 1200;
    int restart = 0;
    while (d.size() < start + length) {
        const unsigned pick = rng() % 100;
        if (pick < 70) {
            d.push_back(static_cast<std::uint8_t>(rng() % 0xFF));  // anything but 0xFF
        } else if (pick < 80) {
            d.insert(d.end(), {0xFF, 0x00});
        } else if (pick < 93) {
            for (unsigned fill = rng() % 3; fill > 0; --fill) d.push_back(0xFF);
            d.insert(d.end(), {0xFF, static_cast<std::uint8_t>(0xD0 + restart)});
            restart = (restart + 1) & 7;
        } else if (segments && pick < 96) {
            const std::size_t payload = rng() % 300;
            d.insert(d.end(), {0xFF, 0xFE, static_cast<std::uint8_t>((payload + 2) >> 8),
                               static_cast<std::uint8_t>((payload + 2) & 0xFF)});
            for (std::size_t i = 0; i < payload; ++i)
                d.push_back(static_cast<std::uint8_t>(rng() % 4 == 0 ? 0xFF : 0xD0 + rng() % 16));
        }
    }
    switch (rng() % 4) {
    case 0: d.insert(d.end(), {0xFF, 0xD9}); break;
    case 1: d.insert(d.end(), {0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x08}); break;  // after EOI: not a second scan
    case 2: d.insert(d.end(), {0xFF, 0xC4, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x08}); break;
    default: break;  // cut off
    }
    return d;
}

void ExpectSameWalk(const TMarkerWalk& one, const TMarkerWalk& other) {
    EXPECT_EQ(one.End, other.End);
    ASSERT_EQ(one.Points.size(), other.Points.size());
    for (std::size_t i = 0; i < one.Points.size(); ++i) {
        EXPECT_EQ(one.Points[i].Marker, other.Points[i].Marker) << "split point " << i;
        EXPECT_EQ(one.Points[i].Index, other.Points[i].Index) << "split point " << i;
    }
}

// The two walks as the engine runs them; true when they were joined.
bool WalkInHalves(const TMarkerScanner& scanner, std::size_t start, std::size_t size, std::size_t middle,
                  TMarkerWalk& walk) {
    walk = scanner.Walk(start, middle);
    const TMarkerWalk second = scanner.Walk(middle, size);
    const bool joined = scanner.Join(walk, second, middle);
    scanner.WalkOn(walk);
    return joined;
}

} // namespace

TEST(MarkerScan, HalvesGiveWhatOnePassGivesWhereverTheMiddleFalls) {
    std::mt19937 rng(20261209);
    int joined = 0, alone = 0;
    for (int round = 0; round < 150; ++round) {
        const std::size_t start = 20;
        const Bytes d = RandomScan(rng, start, round % 3 != 0);
        for (const int stretches : {1, 3, 48, 500}) {
            const TMarkerScanner scanner(d.data(), d.size(), start, stretches);
            const TMarkerWalk one = scanner.WalkAll();
            for (std::size_t middle = start; middle <= d.size(); ++middle) {
                SCOPED_TRACE(::testing::Message() << "round " << round << ", " << stretches << " stretches, middle "
                                                  << middle << " of " << d.size());
                TMarkerWalk walk;
                (WalkInHalves(scanner, start, d.size(), middle, walk) ? joined : alone) += 1;
                ExpectSameWalk(one, walk);
                if (HasFailure()) return;
            }
        }
    }
    // Both ways were taken many times.
    EXPECT_GT(joined, 10000);
    EXPECT_GT(alone, 100);
}

// Plain coded data is always joined: the first walk stops right at the
// middle. A segment that reaches past the middle leaves the first walk to
// go on alone, with the same result.
TEST(MarkerScan, TheFirstWalkGoesOnAloneOnlyWhereASegmentReachesPastTheMiddle) {
    Bytes d(10, 0x11);
    for (int i = 0; i < 40; ++i) d.insert(d.end(), {0x12, 0xFF, 0x00, 0x34, 0xFF, static_cast<std::uint8_t>(0xD0 + i % 8)});
    const std::size_t segment = d.size();
    d.insert(d.end(), {0xFF, 0xFE, 0x00, 0x12});  // 16 bytes of payload, a restart marker among them
    d.insert(d.end(), {0xFF, 0xD3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    for (int i = 0; i < 10; ++i) d.insert(d.end(), {0x56, 0xFF, 0xD0});
    d.insert(d.end(), {0xFF, 0xD9});
    const TMarkerScanner scanner(d.data(), d.size(), 10, 8);
    const TMarkerWalk one = scanner.WalkAll();
    EXPECT_EQ(one.End, TMarkerWalk::TEnd::ScanEnds);
    for (std::size_t middle = 10; middle <= d.size(); ++middle) {
        SCOPED_TRACE(middle);
        TMarkerWalk walk;
        const bool joined = WalkInHalves(scanner, 10, d.size(), middle, walk);
        // (A first walk that meets EOI has nothing to join.)
        EXPECT_EQ(joined, (middle <= segment || middle >= segment + 20) && middle <= d.size() - 2);
        ExpectSameWalk(one, walk);
    }
}

// A second scan header is found from either half; EOI ends the walk before
// anything after it.
TEST(MarkerScan, ASecondScanIsFoundInEitherHalf) {
    Bytes d(4, 0x11);
    for (int i = 0; i < 100; ++i) d.insert(d.end(), {0x12, 0xFF, 0x00, 0x34});
    Bytes twoScans = d, eoiFirst = d;
    twoScans.insert(twoScans.end(), {0xFF, 0xC4, 0x00, 0x03, 0x00, 0xFF, 0xDA, 0x00, 0x08});
    eoiFirst.insert(eoiFirst.end(), {0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x08});
    for (const Bytes* data : {&twoScans, &eoiFirst}) {
        const TMarkerScanner scanner(data->data(), data->size(), 4, 48);
        const auto end = data == &twoScans ? TMarkerWalk::TEnd::SecondScan : TMarkerWalk::TEnd::ScanEnds;
        for (std::size_t middle = 4; middle <= data->size(); ++middle) {
            SCOPED_TRACE(middle);
            TMarkerWalk walk;
            WalkInHalves(scanner, 4, data->size(), middle, walk);
            EXPECT_EQ(walk.End, end);
        }
    }
}
