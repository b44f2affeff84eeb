// Large scans are decoded on two threads (in pieces cut at restart markers, or
// in halves split at a guessed byte when there are none) and verified on a
// second thread.
// Whatever a file holds, a run with two threads (or one that could get no
// second thread) must report and produce exactly what a run with one thread
// does: same bytes, same messages, same progress positions. Small images are pushed onto the two-thread paths by
// lowering the engine's size limits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include <sched.h>

#include "HelperThread.h"
#include "ThreadPlacement.h"
#include "PeelTestSupport.h"
#include "ScanReader.h"
#include "ScanThreading.h"

using namespace lumaro;
using namespace testjpeg;
using namespace peeltest;

namespace {

void ExpectSameOutcome(const Result& one, const Result& other) {
    EXPECT_EQ(one.Ok, other.Ok);
    EXPECT_EQ(one.Out, other.Out);
    EXPECT_EQ(one.Messages, other.Messages);
    EXPECT_EQ(one.Positions, other.Positions);
}

// Runs a file with the engine on one thread, then on two, then as large
// scans go when no second thread can be had, and expects the same outcome
// each time; returns the two-thread result.
Result SameWithTwoThreads(const Bytes& in, int stopAt = -1) {
    TScanThreading& limits = ScanThreading();
    const TScanThreading saved = limits;
    limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin = static_cast<std::size_t>(-1);
    const Result one = PeelFile(in, true, false, stopAt);
    limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin = 0;
    limits.AwaitGuessedHalf = true;
    limits.HelperPieces = 8;  // with restart markers, about half of the new scan's pieces each
    const Result two = PeelFile(in, true, false, stopAt);
    limits.RefuseThreads = true;
    const Result refused = PeelFile(in, true, false, stopAt);
    limits = saved;
    ExpectSameOutcome(one, two);
    ExpectSameOutcome(one, refused);
    return two;
}

// For a file that fails: one thread, two, and no second thread to be had
// all refuse it with the same messages (where the failure stops the progress
// may differ: a faulty encoder is caught in whichever part it writes).
Result RefusedEveryWay(const Bytes& in) {
    TScanThreading& limits = ScanThreading();
    const TScanThreading saved = limits;
    limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin = static_cast<std::size_t>(-1);
    const Result one = PeelFile(in, true, false);
    limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin = 0;
    limits.AwaitGuessedHalf = true;
    const Result two = PeelFile(in, true, false);
    limits.RefuseThreads = true;
    const Result refused = PeelFile(in, true, false);
    limits = saved;
    for (const Result* r : {&two, &refused}) {
        EXPECT_EQ(one.Ok, r->Ok);
        EXPECT_EQ(one.Messages, r->Messages);
        EXPECT_TRUE(r->Out.empty() || r->Ok);
    }
    Result any;
    any.Ok = one.Ok || two.Ok || refused.Ok;
    return any;
}

Recipe WithRestarts(Recipe s, int interval) {
    s.RestartInterval = interval;
    return s;
}

} // namespace

// With restart markers the scan is cut into pieces that the two threads take
// as each is free; the pieces of a sound file are taken as decoded, never
// decoded again on one thread.
TEST(TwoThreads, LayoutsAndRestartIntervalsGiveTheSameFile) {
    const auto check = [](const char* name, const Recipe& recipe) {
        SCOPED_TRACE(name);
        const Bytes d = Build(recipe);
        const int before = ScansDecodedAgain().load();
        const int halves = MarkerScansInTwoHalves().load();
        const Result r = SameWithTwoThreads(d);
        ASSERT_TRUE(r.Ok) << r.FirstMessage();
        EXPECT_EQ(ScansDecodedAgain().load(), before) << "the pieces were decoded again";
        EXPECT_EQ(MarkerScansInTwoHalves().load(), halves + 1) << "the markers were not walked in two halves";
        ExpectSameCoefficients(d, r.Out);
    };
    check("4:2:0 restart every MCU", WithRestarts(Ycc420(96, 64), 1));
    check("4:2:0 restart every 5 MCUs", WithRestarts(Ycc420(96, 64), 5));
    check("4:2:0 restart interval longer than half the scan", WithRestarts(Ycc420(96, 64), 15));
    check("4:2:0 without restarts", Ycc420(96, 64));
    check("grey restart every 7 blocks", WithRestarts(BaseRecipe(200, 40, {{1, 1, 1, 0, 0, 0}}), 7));
    check("grey one row", WithRestarts(BaseRecipe(200, 8, {{1, 1, 1, 0, 0, 0}}), 3));
    check("4:4:4 two rows",
          WithRestarts(BaseRecipe(64, 16, {{1, 1, 1, 0, 0, 0}, {2, 1, 1, 1, 1, 1}, {3, 1, 1, 1, 1, 1}}), 2));
    check("restart interval 0", WithRestarts(Ycc420(64, 48), 0));
}

// Without restart markers the second half starts at a guessed byte in the
// middle; the first thread takes it over where a row start of its own is one
// the other noted. Units of one MCU (tables differ per component) and of one
// block (every block coded alike) must both fall into step and be taken.
TEST(TwoThreads, ScansWithoutRestartsAreSplitAtAGuessedRowStart) {
    const auto check = [](const char* name, const Recipe& recipe, bool taken = true) {
        SCOPED_TRACE(name);
        const Bytes d = Build(recipe);
        const int before = GuessedSplits().load();
        const int written = ScansWrittenInTwoParts().load();
        const Result r = SameWithTwoThreads(d);
        ASSERT_TRUE(r.Ok) << r.FirstMessage();
        if (taken) {
            EXPECT_EQ(GuessedSplits().load(), before + 1) << "the second half was not taken from the other thread";
        }
        // Either way the new scan is written in two parts.
        EXPECT_EQ(ScansWrittenInTwoParts().load(), written + 1);
        ExpectSameCoefficients(d, r.Out);
    };
    check("4:2:0", Ycc420(1024, 1024));
    check("4:2:2", BaseRecipe(640, 640, {{1, 2, 1, 0, 0, 0}, {2, 1, 1, 1, 1, 1}, {3, 1, 1, 1, 1, 1}}));
    check("grey", BaseRecipe(320, 240, {{1, 1, 1, 0, 0, 0}}));
    check("4:4:4, one table pair for all", BaseRecipe(200, 200, {{1, 1, 1, 0, 0, 0}, {2, 1, 1, 0, 0, 0}, {3, 1, 1, 0, 0, 0}}));
    check("4:2:0, one table pair for all", BaseRecipe(256, 256, {{1, 2, 2, 0, 0, 0}, {2, 1, 1, 0, 0, 0}, {3, 1, 1, 0, 0, 0}}));
    check("CMYK", BaseRecipe(160, 160, {{1, 1, 1, 0, 0, 0}, {2, 1, 1, 1, 1, 1}, {3, 1, 1, 1, 1, 1}, {4, 1, 1, 0, 0, 0}}));
    Recipe reordered = Ycc420(512, 512);
    reordered.ScanOrder = {2, 0, 1};
    // Here the other thread reads on without a fault, yet none of its MCU
    // starts is a row start of the first thread's: the first thread reads
    // the whole scan.
    check("scan order differs from frame order", reordered, false);
}

// Where nothing can be taken over, the first thread reads the whole scan.
TEST(TwoThreads, ScansWithoutRestartsTooShortToSplitStillDecode) {
    for (const Recipe& recipe : {BaseRecipe(400, 8, {{1, 1, 1, 0, 0, 0}}), Ycc420(16, 16), Ycc420(512, 16)}) {
        const Bytes d = Build(recipe);
        const Result r = SameWithTwoThreads(d);
        ASSERT_TRUE(r.Ok) << r.FirstMessage();
        ExpectSameCoefficients(d, r.Out);
    }
}

// The verifying threads meet where the encoder's thread takes over (two
// fifths into the rows the other has not reached when the encoder is done),
// and the decoded pieces meet at restart markers: every image height moves
// those points across rows, restart intervals and the starts of the pieces'
// records.
TEST(TwoThreads, EveryMeetingPointAgrees) {
    for (int rows = 2; rows <= 13; ++rows)
        for (int interval : {1, 4, 6}) {
            SCOPED_TRACE(testing::Message() << rows << " rows, restart every " << interval);
            const Result r = SameWithTwoThreads(Build(WithRestarts(Ycc420(80, 16 * rows), interval)));
            ASSERT_TRUE(r.Ok) << r.FirstMessage();
        }
}

// The encoder's thread can take the check over at any row: before or after
// the second decoded half begins, at a restart marker or inside an
// interval, with or without restart markers.
// (Scans that cannot be cut in two parts are written by one thread and
// checked close behind by the other.)
TEST(TwoThreads, TheCheckIsHandedOverAtAnyRow) {
    ScanThreading().WriteInTwoParts = false;
    for (const int interval : {0, 1, 3, 7}) {
        const Bytes d = Build(WithRestarts(Ycc420(48, 16 * 9), interval));
        for (int row = 1; row < 9; ++row) {
            SCOPED_TRACE(testing::Message() << "restart interval " << interval << ", handed over at row " << row);
            ScanThreading().HandOverRow = row;
            const Result r = SameWithTwoThreads(d);
            ScanThreading().HandOverRow = -1;
            ASSERT_TRUE(r.Ok) << r.FirstMessage();
        }
    }
    ScanThreading().WriteInTwoParts = true;
}

// The new scan written in two parts side by side, cut near the middle or
// where the second decoded half begins: every image height moves the cut
// across rows and restart intervals, and without restart markers the part
// after it begins at other bits of a byte.
TEST(TwoThreads, TheNewScanWrittenInTwoPartsIsTheScanWrittenWhole) {
    int cases = 0, cut = 0;
    const auto check = [&](const Recipe& recipe) {
        const int before = ScansWrittenInTwoParts().load();
        const Result r = SameWithTwoThreads(Build(recipe));
        ASSERT_TRUE(r.Ok) << r.FirstMessage();
        ++cases;
        cut += ScansWrittenInTwoParts().load() > before;
    };
    for (const bool whereHalvesMeet : {false, true})
        for (int rows = 2; rows <= 17; ++rows) {
            SCOPED_TRACE(testing::Message() << rows << " rows" << (whereHalvesMeet ? ", cut where the halves meet" : ""));
            ScanThreading().CutWhereHalvesMeet = whereHalvesMeet;
            for (const int interval : {1, 5}) check(WithRestarts(Ycc420(64, 16 * rows), interval));
            // Without restart markers the scan is split for decoding only where
            // the halves find each other: larger images.
            check(BaseRecipe(320, 8 * (20 + rows), {{1, 1, 1, 0, 0, 0}}));
            check(Ycc420(256, 16 * (8 + rows)));
            ScanThreading().CutWhereHalvesMeet = false;
        }
    // Nearly every one of them was cut (the others were written whole).
    EXPECT_GT(cut, cases * 3 / 4);
}

// With restart markers the two threads write the new scan's pieces from both
// ends until they meet: wherever that is (none for the helper, all but the
// first, and as the threads happen to go), the file is the one written by one
// thread.
TEST(TwoThreads, PiecesWrittenFromBothEndsMeetAnywhere) {
    const Bytes d = Build(WithRestarts(Ycc420(64, 16 * 20), 2));
    TScanThreading& limits = ScanThreading();
    const TScanThreading saved = limits;
    limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin = static_cast<std::size_t>(-1);
    const Result one = PeelFile(d);
    ASSERT_TRUE(one.Ok);
    limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin = 0;
    for (int helper = 0; helper <= 17; ++helper) {
        SCOPED_TRACE(testing::Message() << "the helper writes " << helper << " pieces");
        limits.HelperPieces = helper;
        const int before = ScansWrittenInTwoParts().load();
        ExpectSameOutcome(one, PeelFile(d));
        EXPECT_EQ(ScansWrittenInTwoParts().load() - before, helper > 0 ? 1 : 0);
    }
    limits.HelperPieces = -1;
    for (int run = 0; run < 30; ++run) ExpectSameOutcome(one, PeelFile(d));
    limits = saved;
}

// A bit of the new scan that differs from what the records say is refused,
// wherever it lies and whichever thread checks it: written in two parts
// (the bit flipped in each part that has it), and written by one thread and
// checked by both, the check handed over at every row; the restart markers
// and EOI included.
TEST(TwoThreads, AFlippedBitIsRefusedWhereverTheCheckIsHandedOver) {
    for (const int interval : {0, 2}) {
        // Without restart markers the scan is split only where the decoded
        // halves find each other: a larger image.
        const Bytes d = Build(interval ? WithRestarts(Ycc420(48, 16 * 6), interval)
                                       : BaseRecipe(320, 8 * 30, {{1, 1, 1, 0, 0, 0}}));
        const Bytes out = SameWithTwoThreads(d).Out;
        const std::size_t sos = FindMarker(out, 0xFFDA);
        ASSERT_LT(sos + 4, out.size());
        const std::size_t scanBits = 8 * (out.size() - (sos + 2 + (std::size_t{out[sos + 2]} << 8 | out[sos + 3])));
        const std::size_t step = std::max<std::size_t>(97, scanBits / 500);
        TScanThreading& limits = ScanThreading();
        const TScanThreading saved = limits;
        limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin = 0;
        limits.AwaitGuessedHalf = true;
        limits.HelperPieces = 8;
        int flipped = 0;
        const int writtenBefore = ScansWrittenInTwoParts().load();
        ASSERT_TRUE(PeelFile(d).Ok);
        ASSERT_EQ(ScansWrittenInTwoParts().load(), writtenBefore + 1) << "not written in two parts";
        for (std::size_t bit = 3; bit < scanBits; bit += step) {
            SCOPED_TRACE(testing::Message() << "interval " << interval << ", two parts, bit " << bit);
            limits.FlipScanBit = static_cast<std::int64_t>(bit);
            const int before = FlippedScanBits().load();
            const Result r = PeelFile(d);
            if (FlippedScanBits().load() == before) continue;  // past the end of both parts
            ++flipped;
            EXPECT_FALSE(r.Ok);
            EXPECT_EQ(r.Messages.size(), 1u);
        }
        limits = saved;
        EXPECT_GT(flipped, static_cast<int>(scanBits / step / 2));
        limits.WriteInTwoParts = false;
        for (int row = 1; row < 6; ++row)
            for (std::size_t bit = 3; bit < scanBits; bit += step) {
                SCOPED_TRACE(testing::Message() << "interval " << interval << ", row " << row << ", bit " << bit);
                limits.HandOverRow = row;
                limits.FlipScanBit = static_cast<std::int64_t>(bit);
                const Result r = RefusedEveryWay(d);
                limits.HandOverRow = -1;
                limits.FlipScanBit = -1;
                if (r.Ok) {
                    ADD_FAILURE() << "a flipped bit was not refused";
                    limits = saved;
                    return;
                }
            }
        limits = saved;
    }
}

// Small images where the decoding halves and the verifying threads often
// meet at the same MCU (the first of the second half's records): once found
// by the fuzzer on a 16x16 grey image with a restart every 2 blocks, where
// two threads failed the verification one thread passed.
TEST(TwoThreads, HalvesAndMeetingPointAtTheSameMcu) {
    for (int w = 8; w <= 40; w += 8)
        for (int h = 8; h <= 40; h += 8)
            for (int interval = 1; interval <= 4; ++interval) {
                SCOPED_TRACE(testing::Message() << w << "x" << h << ", restart every " << interval);
                const Result r = SameWithTwoThreads(Build(WithRestarts(BaseRecipe(w, h, {{1, 1, 1, 0, 0, 0}}), interval)));
                ASSERT_TRUE(r.Ok) << r.FirstMessage();
            }
    std::ifstream file(std::string(LUMARO_SOURCE_DIR) + "/tests/reliability/crashes/verify-meets-where-second-half-starts.jpg",
                       std::ios::binary);
    const Bytes found((std::istreambuf_iterator<char>(file)), {});
    ASSERT_FALSE(found.empty());
    const Result r = SameWithTwoThreads(found);
    EXPECT_TRUE(r.Ok) << r.FirstMessage();
}

// Damage anywhere (first half, second half, at the split marker) must be
// reported the same way: the first fault in scan order, after the progress
// the one-thread run reports before it.
TEST(TwoThreads, DamagedFilesFailTheSameWay) {
    for (const int interval : {3, 0}) {
    SCOPED_TRACE(testing::Message() << "restart interval " << interval);
    const Bytes good = Build(WithRestarts(Ycc420(160, 96), interval));
    const std::size_t scan = FindMarker(good, 0xFFDA) + 2;
    std::mt19937 random(20261208);
    int failed = 0;
    for (int i = 0; i < 400; ++i) {
        Bytes d = good;
        const std::size_t at = scan + random() % (d.size() - scan - 2);
        switch (i % 4) {
        case 0: d[at] ^= static_cast<std::uint8_t>(1 + random() % 255); break;
        case 1: d[at] = 0xFF; break;                               // a stray marker or lost stuffing
        case 2: d.erase(d.begin() + static_cast<long>(at)); break;  // a byte lost
        case 3: d.resize(at); break;                               // the file cut short
        }
        SCOPED_TRACE(testing::Message() << "case " << i << " at " << at);
        if (!SameWithTwoThreads(d).Ok) ++failed;
    }
    EXPECT_GT(failed, 100);  // the damage did reach the failure paths
    }
}

TEST(TwoThreads, RestartMarkersOutOfPlaceFallBackToOneReading) {
    const Bytes good = Build(WithRestarts(Ycc420(160, 96), 2));
    const std::size_t scan = FindMarker(good, 0xFFDA) + 2;
    std::vector<std::size_t> markers;
    for (std::size_t i = scan; i + 1 < good.size(); ++i)
        if (good[i] == 0xFF && good[i + 1] >= 0xD0 && good[i + 1] <= 0xD7) markers.push_back(i);
    ASSERT_GT(markers.size(), 4u);
    // An extra marker early on, and a marker dropped early on: every later
    // marker is one off from where the second half expects it.
    Bytes extra = good;
    extra.insert(extra.begin() + static_cast<long>(markers[1]), {0xFF, 0xD5});
    Bytes missing = good;
    missing.erase(missing.begin() + static_cast<long>(markers[1]), missing.begin() + static_cast<long>(markers[1]) + 2);
    for (const Bytes* d : {&extra, &missing}) {
        const int before = ScansDecodedAgain().load();
        const Result r = SameWithTwoThreads(*d);
        EXPECT_FALSE(r.Ok);
        EXPECT_FALSE(r.Messages.empty());
        EXPECT_GT(ScansDecodedAgain().load(), before) << "the pieces did not come to the one reading";
    }
}

// Fill bytes (0xFF) may come before a restart marker: with runs of every
// length up to twenty, each marker lies at another place of the sixteen-byte
// steps in which the data is searched for markers, and the pieces must still
// meet there, as one reading takes them.
TEST(TwoThreads, FillBytesBeforeRestartMarkersAtEveryPlace) {
    const Bytes good = Build(WithRestarts(Ycc420(160, 96), 1));
    const std::size_t scan = FindMarker(good, 0xFFDA) + 2;
    Bytes filled(good.begin(), good.begin() + static_cast<long>(scan));
    int fill = 0, markers = 0;
    for (std::size_t i = scan; i < good.size(); ++i) {
        if (good[i] == 0xFF && i + 1 < good.size() && good[i + 1] >= 0xD0 && good[i + 1] <= 0xD7) {
            filled.insert(filled.end(), static_cast<std::size_t>(fill), 0xFF);
            fill = (fill + 1) % 21;
            ++markers;
        }
        filled.push_back(good[i]);
    }
    ASSERT_GT(markers, 40);
    const int before = ScansDecodedAgain().load();
    const Result r = SameWithTwoThreads(filled);
    ASSERT_TRUE(r.Ok) << r.FirstMessage();
    EXPECT_EQ(ScansDecodedAgain().load(), before);
    EXPECT_EQ(r.Out, SameWithTwoThreads(good).Out);
}

TEST(TwoThreads, StopInEitherHalfOrWhileVerifyingGivesFalseWithoutAMessage) {
    for (const int interval : {2, 0}) {
    const Bytes d = Build(WithRestarts(Ycc420(80, 160), interval));
    const Result all = SameWithTwoThreads(d);
    ASSERT_TRUE(all.Ok);
    for (int stopAt : {1, 4, 7, 12, 16, 19}) {
        SCOPED_TRACE(testing::Message() << "restart interval " << interval << ", stop at " << stopAt);
        ASSERT_LT(stopAt, static_cast<int>(all.Positions.size()));
        const Result r = SameWithTwoThreads(d, stopAt);
        EXPECT_FALSE(r.Ok);
        EXPECT_TRUE(r.Messages.empty());
    }
    }
}

// ------------------------------------------------------- the helper thread

// Tasks handed over one after another, to a helper that looks for them and
// to one that sleeps at once: every task runs once, in order, and a handing
// over that missed a wake-up would hang here.
TEST(HelperThread, RunsEveryTaskOnceInOrderWhetherItLooksOrSleeps) {
    const TScanThreading saved = ScanThreading();
    for (const int spin : {1000, 0}) {
        ScanThreading().SpinMicroseconds = spin;
        THelperThread helper;
        std::vector<int> ran;
        for (int i = 0; i < 3000; ++i) {
            ASSERT_TRUE(helper.Start([&ran, i] { ran.push_back(i); }));
            if (i % 3 == 0) std::this_thread::yield();  // the helper sometimes already waiting
            helper.Join();
            ASSERT_FALSE(helper.Pending());
        }
        ASSERT_EQ(ran.size(), 3000u);
        for (int i = 0; i < 3000; ++i) ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
        helper.Join();  // nothing pending: returns at once
    }
    ScanThreading() = saved;
}

TEST(HelperThread, NoThreadToBeHadLeavesTheWorkToTheCaller) {
    const TScanThreading saved = ScanThreading();
    ScanThreading().RefuseThreads = true;
    THelperThread helper;
    bool ran = false;
    EXPECT_FALSE(helper.Warm());
    EXPECT_FALSE(helper.Start([&] { ran = true; }));
    helper.Join();
    EXPECT_FALSE(ran);
    ScanThreading() = saved;
}

// A thread leaving a CPU runs elsewhere at once and may then run anywhere
// it could before (one CPU, or none named: nothing changes).
TEST(ThreadPlacement, LeavingACpuMovesTheThreadAndKeepsItsCpus) {
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    if (CPU_COUNT(&before) < 2) GTEST_SKIP() << "one CPU: nowhere to go";
    std::thread([&] {
        const int cpu = CallersCpu();
        ASSERT_GE(cpu, 0);
        const int moved = LeaveCpu(cpu);
        EXPECT_GE(moved, 0);
        EXPECT_NE(moved, cpu);
        cpu_set_t after;
        ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
        EXPECT_TRUE(CPU_EQUAL(&before, &after));
        EXPECT_EQ(LeaveCpu(-1), -1);
        ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
        EXPECT_TRUE(CPU_EQUAL(&before, &after));
    }).join();
}

// ------------------------------------------------------------- the reader

namespace {

// Bytes handed over in pieces by another thread, as the encoder does.
class TPieces : public TByteSupply {
public:
    std::size_t WaitFor(std::size_t want, bool& final) override {
        while (Available.load() < want && !Done.load()) std::this_thread::yield();
        final = Done.load();
        return Available.load();
    }
    std::atomic<std::size_t> Available{0};
    std::atomic<bool> Done{false};
};

// Scan-like data: random bytes with stuffing, restart markers, a marker at the end.
Bytes ScanData(std::mt19937& random, std::size_t n) {
    Bytes d;
    while (d.size() < n) {
        const std::uint8_t b = random() % 7 == 0 ? 0xFF : static_cast<std::uint8_t>(random());
        d.push_back(b);
        if (b == 0xFF) d.push_back(random() % 13 == 0 ? static_cast<std::uint8_t>(0xD0 + random() % 8) : 0x00);
    }
    d.push_back(0xFF);
    d.push_back(0xD9);
    return d;
}

// Reads the data in steps of random sizes, skipping to the byte after each
// marker, and records everything the reader reports.
std::vector<std::uint64_t> ReadAll(TScanReader& in, std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint64_t> seen;
    for (int guard = 0; guard < 100000; ++guard) {
        in.Fill();
        const int n = 1 + random() % 16;
        seen.push_back(in.Peek(n));
        in.Skip(n);
        if (!in.Overrun()) continue;
        const std::size_t pos = in.RawPosition();
        seen.push_back(pos);
        seen.push_back(in.StoppedAtEnd());
        if (pos + 2 >= size) break;
        in.SetRawPosition(pos + 2);
    }
    return seen;
}

} // namespace

TEST(ScanReader, GrowingDataReadsLikeTheWholeData) {
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        const Bytes d = ScanData(random, 2000 + random() % 3000);
        TScanReader whole(d.data(), d.size());
        const auto expected = ReadAll(whole, d.size(), round);

        TPieces pieces;
        std::thread writer([&] {
            std::mt19937 r(round);
            std::size_t have = 0;
            while (have < d.size()) {
                have = std::min(d.size(), have + 1 + r() % 300);
                pieces.Available.store(have);
                std::this_thread::yield();
            }
            pieces.Done.store(true);
        });
        TScanReader growing(d.data(), 0, &pieces);
        const auto got = ReadAll(growing, d.size(), round);
        writer.join();
        EXPECT_EQ(got, expected) << "round " << round;
    }
}

TEST(ScanReader, BitPositionLeadsBackToTheSameBit) {
    std::mt19937 random(11);
    Bytes d;
    for (int i = 0; i < 600; ++i) {
        const std::uint8_t b = random() % 5 == 0 ? 0xFF : static_cast<std::uint8_t>(random());
        d.push_back(b);
        if (b == 0xFF) d.push_back(0x00);
    }
    TScanReader in(d.data(), d.size());
    for (int taken = 0; taken < 3000; taken += 1 + random() % 13) {
        in.SetRawPosition(0);
        for (int left = taken; left > 0; left -= std::min(left, 16)) {
            in.Fill();
            in.Skip(std::min(left, 16));
        }
        in.Fill();
        const std::uint32_t next = in.Peek(24);
        std::size_t byte = 0;
        int bit = 0;
        in.BitPosition(byte, bit);
        EXPECT_EQ(bit, taken % 8);
        TScanReader again(d.data(), d.size());
        again.SeekBit(byte, bit);
        again.Fill();
        EXPECT_EQ(again.Peek(24), next) << "after " << taken << " bits";
    }
}

// Once the scan is decoded the engine says so and never reads the scan's
// bytes again: the command line then lets the system drop those pages of its
// source. Bytes overwritten at that moment must change nothing, on one thread
// and on two, with restart markers and without, with data after the scan;
// a copy that is not re-encoded reads the scan to the end and never says so.
TEST(SourceRead, TheScanIsNotReadAgainOnceReported) {
    const auto scanStart = [](const Bytes& d) {
        std::size_t i = 2;
        while (i + 4 <= d.size() && d[i] == 0xFF) {
            const std::size_t length = (std::size_t{d[i + 2]} << 8) | d[i + 3];
            if (d[i + 1] == 0xDA) return i + 2 + length;
            i += 2 + length;
        }
        return std::size_t{0};
    };
    Recipe trailing = Ycc420(96, 64);
    trailing.After = {'t', 'a', 'i', 'l', 0xFF, 0xD9};
    const std::pair<const char*, Recipe> files[] = {
        {"4:2:0 restart every 5 MCUs", WithRestarts(Ycc420(96, 64), 5)},
        {"4:2:0 without restarts", Ycc420(96, 64)},
        {"grey restart every 7 blocks", WithRestarts(BaseRecipe(200, 40, {{1, 1, 1, 0, 0, 0}}), 7)},
        {"data after the scan", trailing},
    };
    TScanThreading& limits = ScanThreading();
    const TScanThreading saved = limits;
    for (const auto& [name, recipe] : files) {
        const Bytes d = Build(recipe);
        for (const bool two : {false, true}) {
            for (const bool optimize : {true, false}) {
                SCOPED_TRACE(testing::Message() << name << (two ? ", two threads" : ", one thread")
                                                << (optimize ? "" : ", copied"));
                limits.SplitDecodeMin = limits.ThreadedVerifyMin = two ? 0 : static_cast<std::size_t>(-1);
                const Result plain = PeelFile(d, optimize);
                ASSERT_TRUE(plain.Ok) << plain.FirstMessage();
                TJpegPeel peel;
                peel.OptimizeCode = optimize;
                TMemoryStream source(d), out;
                int calls = 0;
                std::size_t offset = 0, length = 0;
                peel.OnSourceRead = [&](std::size_t o, std::size_t n) {
                    ++calls;
                    offset = o;
                    length = n;
                    std::memset(source.Memory() + o, 0xA5, n);
                };
                ASSERT_TRUE(peel.Process(source, out));
                EXPECT_EQ(calls, optimize ? 1 : 0);
                if (optimize) {
                    EXPECT_EQ(offset, scanStart(d));
                    EXPECT_EQ(offset + length, d.size());
                }
                EXPECT_EQ(Bytes(out.Data().begin(), out.Data().end()), plain.Out);
            }
        }
    }
    limits = saved;
}

// The command line gives the records back on the second thread while it
// writes the result. The result must stay as it is, and an engine that gave
// its memory back (perhaps still doing so) must make of the next file,
// large or small, exactly what a fresh one makes of it.
TEST(ReleaseWorkingMemory, TheResultStaysAndTheNextFileComesOutTheSame) {
    const Bytes files[] = {
        Build(WithRestarts(Ycc420(96, 64), 5)),
        Build(Ycc420(96, 64)),
        Build(WithRestarts(BaseRecipe(200, 40, {{1, 1, 1, 0, 0, 0}}), 7)),
    };
    TScanThreading& limits = ScanThreading();
    const TScanThreading saved = limits;
    for (const bool two : {false, true}) {
        SCOPED_TRACE(two ? "two threads" : "one thread");
        limits.SplitDecodeMin = limits.ThreadedVerifyMin = limits.MarkerScanSplitMin =
            two ? 0 : static_cast<std::size_t>(-1);
        TJpegPeel peel;
        for (int round = 0; round < 2; ++round) {
            for (const Bytes& d : files) {
                const Result fresh = PeelFile(d);
                ASSERT_TRUE(fresh.Ok) << fresh.FirstMessage();
                const Result again = PeelFile(peel, d);
                EXPECT_EQ(again.Out, fresh.Out);
                TMemoryStream source(d), out;
                ASSERT_TRUE(peel.Process(source, out));
                peel.ReleaseWorkingMemory();
                EXPECT_EQ(Bytes(out.Data().begin(), out.Data().end()), fresh.Out);
            }
        }
        peel.ReleaseWorkingMemory();  // and the engine is destroyed while it may still be at it
    }
    limits = saved;
}
