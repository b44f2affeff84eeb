#pragma once
// When the engine uses a second thread on a scan: below these sizes of scan
// data a thread costs more than it saves. When no thread can be had, the work
// is done on the caller's thread. Process-wide; tests lower the sizes to run
// the two-thread paths on small images.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace lumaro {

struct TScanThreading {
    // Decoding on two threads.
    std::size_t SplitDecodeMin = std::size_t{32} << 10;
    // Writing and checking the new scan on two threads.
    std::size_t ThreadedVerifyMin = std::size_t{32} << 10;
    // Walking the scan for its markers in two halves on two threads.
    std::size_t MarkerScanSplitMin = std::size_t{256} << 10;
    // The new scan written in two parts side by side, each checked as it is
    // written, where it can be cut (see FindEncodeCut). Tests: false, one
    // thread writes it all and the other checks it close behind, as large
    // scans that cannot be cut go.
    bool WriteInTwoParts = true;
    // Without restart markers: the new scan is cut where the second decoded
    // half begins, instead of near the middle (tests: both kinds of cut).
    bool CutWhereHalvesMeet = false;
    // No second thread, as if the system could give none: tests of the
    // fallback, and batches that keep every CPU busy with files of their own.
    bool RefuseThreads = false;
    // Without restart markers: the first thread waits for the other to reach
    // each row start it looks at, instead of going on (tests: the second half
    // is taken over however the threads happen to be scheduled).
    bool AwaitGuessedHalf = false;
    // With restart markers the two threads write the new scan's pieces from
    // both ends, each as it is free. Tests: the helper writes exactly the
    // last this many (at most all but the first); -1: as the threads go.
    int HelperPieces = -1;
    // The encoder's thread takes the check over at this MCU row, where the
    // verifier waits for it, instead of at a share of the rows left (tests:
    // every row can be the one). -1: as the threads go.
    std::int32_t HandOverRow = -1;
    // How long a waiting thread looks for what it waits for before it
    // sleeps (tests: 0, every wait sleeps).
    int SpinMicroseconds = 1000;
    // Tests of the check: this bit of the new scan, counted from its first
    // byte (from the first byte of each part when it is written in two
    // parts), is flipped as it is written, as by a faulty encoder. -1: none.
    std::int64_t FlipScanBit = -1;
};

TScanThreading& ScanThreading();

// Scans without restart markers whose second half was taken from the thread
// that started in the middle (for tests: that it happens).
std::atomic<int>& GuessedSplits();
// Bits flipped by FlipScanBit (for tests: whether the bit was in the scan).
std::atomic<int>& FlippedScanBits();
// New scans written in two parts side by side (for tests: that it happens).
std::atomic<int>& ScansWrittenInTwoParts();
// Scans whose markers were found by two walks side by side, joined (for
// tests: that it happens).
std::atomic<int>& MarkerScansInTwoHalves();
// Scans cut by restart markers that were decoded again on one thread, after
// a piece decoded apart was refused or did not end where the next began.
std::atomic<int>& ScansDecodedAgain();

} // namespace lumaro
