// The passes over the scan: decoding it into block records, writing it again
// with the new tables, and checking what was written.
//
// Two threads share the work on large scans, always with the same result as
// one thread doing it in order:
// - decoding: when restart markers cut the scan, it is cut further at
//   restart markers into pieces that the two threads take as each is free;
//   they are used only if every piece ends exactly where the next begins.
//   Without restart markers the rest of the scan from a guessed byte on is
//   decoded on the other thread (see DecodeSplitAtGuess);
// - writing: the new scan is written in parts side by side, each checked
//   byte by byte as it is written (TCheckedScanWriter), and then joined. With
//   restart markers the pieces are written from both ends, each thread taking
//   the next as it is free (see EncodeCheckedPieces); without, the scan is
//   cut in two at a row start whose first bit is known from the counts
//   before it.
//   Large scans that cannot be cut are written by one thread while the other
//   checks them row by row close behind; once the encoder is done, its
//   thread takes a share of the rows the other has not reached, and the two
//   parts must meet at the very bit where the first of those rows starts.
//   Small scans are written and checked by one thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "HelperThread.h"
#include "JpegPeelImpl.h"
#include "MiddleDecoder.h"
#include "PeelMessages.h"
#include "ScanThreading.h"

namespace lumaro {

// What both threads touch while they work lies on cache lines of its own
// (alignas(64) on its type): a line that also holds what the other thread
// writes all the time would go back and forth between the CPUs at every
// access (a stop flag beside the first thread's bit window once made the two
// halves of a 424 KB scan take 3.4 ms instead of 2.2).
struct alignas(64) TStopFlag {
    std::atomic<bool> Value{false};
};

// The result's bytes as far as the encoder has written them, where its rows
// start, and how the two verifying threads share the rows.
class alignas(64) TPublishedScan : public TByteSupply {
public:
    std::size_t WaitFor(std::size_t want, bool& final) override {
        // The verifier keeps close behind the encoder, which publishes a row
        // every few tens of microseconds.
        SpinThenWait(
            [&] {
                return AvailableNow.load(std::memory_order_acquire) >= want || DoneNow.load(std::memory_order_acquire);
            },
            std::chrono::microseconds(ScanThreading().SpinMicroseconds), Mutex, Changed);
        // Done first: a verifier that sees it sees the final size.
        final = DoneNow.load(std::memory_order_acquire);
        return AvailableNow.load(std::memory_order_acquire);
    }
    void Publish(std::size_t available, bool done) {
        {
            std::lock_guard<std::mutex> lock(Mutex);
            // The size first: a verifier that sees Done sees the final size.
            AvailableNow.store(available, std::memory_order_release);
            DoneNow.store(done, std::memory_order_release);
        }
        Changed.notify_all();
    }
    // Where each MCU row of the new scan starts, noted by the encoder as it
    // gets there; read only after the encoder is done.
    std::vector<TScanPoint> RowStarts;

    // How the rows left to check are shared once the encoder is done: the
    // verifier says which row it is at before it checks each, and stops at
    // the row the encoder's thread goes on from. False: stop here.
    bool VerifierAt(std::int32_t row) {
        std::unique_lock<std::mutex> lock(Mutex);
        if (row == HandOverRow) Changed.wait(lock, [&] { return Decided; });
        if (row >= StopRow) return false;
        VerifierRow = row;
        return true;
    }
    // The encoder's thread takes three fifths of the rows after the one the
    // verifier is at (it checks bytes still in its own cache; the verifier
    // reads them from the other CPU's, about a third slower); returns the
    // first of them (the row count: none).
    std::int32_t TakeRowsAfterVerifier(std::int32_t rows) {
        std::int32_t first;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            const std::int32_t left = rows - (VerifierRow + 1);
            first = HandOverRow > VerifierRow ? HandOverRow : VerifierRow + 1 + (2 * left + 2) / 5;
            if (first < rows) StopRow = first;
            Decided = true;
        }
        Changed.notify_all();
        return std::min(first, rows);
    }
    // The encoder's thread ended without sharing the rows.
    void Abandon() {
        {
            std::lock_guard<std::mutex> lock(Mutex);
            Decided = true;
        }
        Changed.notify_all();
    }
    // Tests: the verifier waits at this row for the encoder's thread to take over there.
    std::int32_t HandOverRow = -1;

private:
    std::mutex Mutex;
    std::condition_variable Changed;
    std::atomic<std::size_t> AvailableNow{0};
    std::atomic<bool> DoneNow{false};
    std::int32_t VerifierRow = 0;
    std::int32_t StopRow = std::numeric_limits<std::int32_t>::max();
    bool Decided = false;
};

TScanThreading& ScanThreading() {
    static TScanThreading limits;
    return limits;
}

std::atomic<int>& GuessedSplits() {
    static std::atomic<int> count{0};
    return count;
}

std::atomic<int>& FlippedScanBits() {
    static std::atomic<int> count{0};
    return count;
}

std::atomic<int>& ScansWrittenInTwoParts() {
    static std::atomic<int> count{0};
    return count;
}

std::atomic<int>& ScansDecodedAgain() {
    static std::atomic<int> count{0};
    return count;
}

std::atomic<int>& MarkerScansInTwoHalves() {
    static std::atomic<int> count{0};
    return count;
}

namespace {

// Above this the two threads' stores could meet limits one store would not.
constexpr std::size_t kSplitDecodeMax = 64 << 20;

// Room for the records of a stretch of scan: a record takes 4 bytes and 2
// more per AC symbol (3 for the rare sizes 9 and 10); photos need about
// three bytes of store per byte of scan data (StoreLikely), rarely more.
// Room never touched costs nothing.
std::size_t StoreEstimate(std::uint64_t scanBytes, std::uint64_t blocks) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(blocks * 7 + scanBytes * 6, TCoefficientStore::kLimit));
}
std::size_t StoreLikely(std::uint64_t scanBytes, std::uint64_t blocks) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(blocks * 4 + scanBytes * 3, TCoefficientStore::kLimit));
}

// Waits for the helper's task on every way out; Stop() also asks the task
// to stop first.
class TThreadJoin {
public:
    TThreadJoin(THelperThread& helper, std::atomic<bool>* stop) : Helper(helper), StopFlag(stop) {}
    ~TThreadJoin() { Stop(); }
    void Stop() {
        if (StopFlag) StopFlag->store(true, std::memory_order_relaxed);
        Wait();
    }
    void Wait() { Helper.Join(); }

private:
    THelperThread& Helper;
    std::atomic<bool>* StopFlag;
};

} // namespace

// After the scan header: walks the entropy-coded data (and any segments after
// it) and tells whether a second scan follows; notes the split points (see
// TMarkerScanner). A large scan is walked in two halves on two threads, each
// making its half of a mapped source present first (one call instead of a
// fault every few pages).
bool TJpegPeelImpl::ScanMarkers(std::size_t pos) {
    const TMarkerScanner scanner(InData, InSize, pos, kDecodePieces);
    const std::size_t middle = pos + (InSize - pos) / 2;
    TMarkerWalk walk;
    bool walked = false;
    if (InSize - pos >= ScanThreading().MarkerScanSplitMin && Helper.Started()) {
        TMarkerWalk second;
        bool secondWalked = false;
        if (Helper.Start([&] {
                PrepareSource(middle, InSize);
                second = scanner.Walk(middle, InSize);
                secondWalked = true;
            })) {
            TThreadJoin join(Helper, nullptr);  // waited for on every way out
            PrepareSource(pos, middle);
            walk = scanner.Walk(pos, middle);
            join.Wait();  // (a task that threw left secondWalked false)
            if (secondWalked && scanner.Join(walk, second, middle)) ++MarkerScansInTwoHalves();
            scanner.WalkOn(walk);
            walked = true;
        }
    }
    if (!walked) {
        PrepareSource(pos, InSize);
        walk = scanner.WalkAll();
    }
    SplitPoints = std::move(walk.Points);
    return walk.End == TMarkerWalk::TEnd::SecondScan;
}

// ------------------------------------------------------------ scan walking

// Visits MCUs [first, end) in scan order; onMcu handles a whole MCU (within
// it the components come in scan-header order, each with its rows of blocks:
// McuSlots). onRow runs before the first MCU of every MCU row, onRestart
// between two restart intervals (never after the last MCU of the scan). Stops
// as soon as a callback returns false. Touches no state: passes may run side
// by side.
template <class RowFn, class McuFn, class RestartFn>
bool TJpegPeelImpl::WalkScan(std::int64_t first, std::int64_t end, RowFn&& onRow, McuFn&& onMcu,
                             RestartFn&& onRestart) const {
    const std::int64_t total = McuCount();
    const std::int64_t interval = RestartEnabled ? RestartInterval : 0;
    std::int64_t sinceRestart = interval ? first % interval : 0;
    // Where the MCU is in its row, counted rather than divided out per MCU.
    auto row = static_cast<std::int32_t>(first / MCUCols);
    std::int32_t column = static_cast<std::int32_t>(first % MCUCols);
    for (std::int64_t mcu = first; mcu < end; ++mcu) {
        if (column == 0 && !onRow(row)) return false;
        if (++column == MCUCols) {
            column = 0;
            ++row;
        }
        if (!onMcu()) return false;
        if (interval && ++sinceRestart == interval && mcu + 1 < total) {
            sinceRestart = 0;
            if (!onRestart()) return false;
        }
    }
    return true;
}

// The same over the stored records: onMcu(record) gets the records of each
// MCU and moves past them. Where a piece of records begins, the walk goes on
// there; the piece before must have been used up exactly. A walk that ends
// where a piece begins leaves `record` at that piece's first record, the one
// a walk from there starts with.
template <class RowFn, class McuFn, class RestartFn>
bool TJpegPeelImpl::WalkRecords(std::int64_t first, std::int64_t end, const std::uint8_t*& record, RowFn&& onRow,
                                McuFn&& onMcu, RestartFn&& onRestart) const {
    const auto mcu = [&] { return onMcu(record); };
    for (std::size_t i = 1; i < Pieces.size() && Pieces[i].FirstMcu <= end; ++i) {
        if (Pieces[i].FirstMcu <= first) continue;
        if (!WalkScan(first, Pieces[i].FirstMcu, onRow, mcu, onRestart)) return false;
        if (record != Pieces[i - 1].End) return false;
        record = Pieces[i].Begin;
        first = Pieces[i].FirstMcu;
    }
    return WalkScan(first, end, onRow, mcu, onRestart);
}

// ------------------------------------------------------------ scan decoding

// At a restart position: the rest of the current byte is padding, and the
// next two bytes must be a restart marker (fill bytes 0xFF may precede it).
// A position past a marker or the end is left to the caller to report.
bool TJpegPeelImpl::TakeRestartMarker(TScanReader& in, const char*& message) const {
    if (in.Overrun()) return false;
    if (in.AlignToByte() != 0) {
        message = kMsgRestart;
        return false;
    }
    std::size_t pos = in.RawPosition();
    const std::uint8_t* d = in.DataBytes();
    const std::size_t size = in.DataSize();
    while (pos + 2 < size && d[pos] == 0xFF && d[pos + 1] == 0xFF) ++pos;
    if (pos + 1 >= size) {
        message = kMsgScanTruncated;
        return false;
    }
    if (d[pos] != 0xFF || d[pos + 1] < 0xD0 || d[pos + 1] > 0xD7) {
        message = kMsgRestart;
        return false;
    }
    in.SetRawPosition(pos + 2);
    return true;
}

// Decodes MCUs [first, end) from `in` into `store`, counting into `use`.
// onRow(row) runs at the start of every MCU row and may stop the pass; where
// the row's records begin in the store is then in *rowRecord (if given). On
// failure `message` says why, or stays null when onRow stopped it.
template <class RowFn>
bool TJpegPeelImpl::DecodeRange(TScanReader& in, std::int64_t first, std::int64_t end, TCoefficientStore& store,
                                TSymbolUse& use, RowFn&& onRow, const char*& message, std::size_t* rowRecord) const {
    // The write position is kept here and handed to the store only when it
    // needs more room, and at the end; the bit window lives across blocks.
    std::uint8_t* record = store.Room();
    const std::uint8_t* roomEnd = store.RoomEnd();
    const char* failure = nullptr;
    // Each block's tables and counts, looked up once: an MCU is decoded at a time.
    scan::TBlockDecoding blocks[4 * 16];
    for (int b = 0; b < BlocksPerMcu; ++b) {
        const TComponent& c = Comp[McuSlots[b]];
        blocks[b] = {&Decode[0][c.DCTableId], &Decode[1][c.ACTableId], use.Freq[0][c.DCTableId],
                     use.Freq[1][c.ACTableId]};
    }
    const std::size_t mcuRoom = TCoefficientStore::kMaxRecord * static_cast<std::size_t>(BlocksPerMcu);
    scan::TBitWindow bits(in);
    const bool ok = WalkScan(
        first, end,
        [&](std::int32_t row) {
            bits.Put();
            if (row > 0 && in.Overrun()) return false;  // bits taken past a marker or the end
            if (rowRecord) *rowRecord = static_cast<std::size_t>(record - store.Begin());
            return onRow(row);
        },
        [&] {
            if (static_cast<std::size_t>(roomEnd - record) < mcuRoom) {
                store.Commit(record);
                record = store.Room(mcuRoom);
                roomEnd = store.RoomEnd();
            }
            if (!scan::DecodeBlocks(bits, record, blocks, BlocksPerMcu)) {
                failure = kMsgHuffman;
                return false;
            }
            return true;
        },
        [&] {
            bits.Put();
            const bool taken = TakeRestartMarker(in, failure);
            bits.Take();
            return taken;
        });
    bits.Put();
    store.Commit(record);
    // Bits taken past a marker or the end explain whatever else went wrong.
    if (in.Overrun()) {
        message = in.StoppedAtEnd() ? kMsgScanTruncated : kBitStreamMessage;
        return false;
    }
    message = failure;
    return ok;
}

// Decodes the scan into block records, and notes where the records of each
// stretch of the scan are.
bool TJpegPeelImpl::DecodeScan() {
    TScanReader& in = InBits->Scan();
    in.SetRawPosition(ScanDataStart);
    Pieces.clear();
    NoRestartCut.Mcu = -1;
    if (!DecodeScanRecords(in)) return false;
    // Decoded by this thread alone: all of it is in its store.
    if (Pieces.empty()) Pieces.push_back({0, Coefficients.Begin(), Coefficients.End()});
    return true;
}

bool TJpegPeelImpl::DecodeScanRecords(TScanReader& in) {
    const std::uint64_t scanBytes = InSize - ScanDataStart;
    // Without a second thread to be had (a batch that keeps every CPU busy
    // with files of its own), nothing is set aside for one.
    if (scanBytes >= ScanThreading().SplitDecodeMin && scanBytes <= kSplitDecodeMax && Helper.Warm()) {
        if (!RestartEnabled || !RestartInterval) return DecodeSplitAtGuess(in);
        if (!SplitPoints.empty()) return DecodeSplitAtMarkers(in);
    }
    return DecodeAlone(in);
}

// The whole scan on this thread.
bool TJpegPeelImpl::DecodeAlone(TScanReader& in) {
    const std::uint64_t scanBytes = InSize - ScanDataStart;
    Coefficients.Start(StoreEstimate(scanBytes, TotalBlocks));
    Coefficients.Prepare(StoreLikely(scanBytes, TotalBlocks));
    return DecodeOnward(in, 0);
}

// Decodes MCUs from `first` to the end of the scan on this thread, into the
// first store; on failure reports why (nothing when a stop was asked for).
bool TJpegPeelImpl::DecodeOnward(TScanReader& in, std::int64_t first) {
    const char* message = nullptr;
    if (DecodeRange(in, first, McuCount(), Coefficients, Use, [&](std::int32_t row) { return Progress(row); }, message))
        return true;
    return Failed(message);
}

bool TJpegPeelImpl::Failed(const char* message) {
    if (message) Error(message);
    return false;
}

// Scans cut by restart markers: the data is cut at the split points into
// pieces of whole restart intervals, and the two threads take the pieces in
// turn, each as it is free, each thread into a store and counts of its own:
// how fast a stretch of a photo decodes varies (a sky goes slower per byte
// than leaves), and so does how fast each CPU goes. This thread reports the
// rows of the pieces done, in scan order. Every piece must end at the marker
// the next one starts after. If one does not, or one is refused, this thread
// decodes the scan again alone, and so meets the fault where a single thread
// does (rows already reported are not reported again).
bool TJpegPeelImpl::DecodeSplitAtMarkers(TScanReader& in) {
    const std::int64_t total = McuCount();
    const std::uint64_t scanBytes = InSize - ScanDataStart;
    // MCUs [First, End), whose data starts at the byte Start.
    struct TPlanned {
        std::int64_t First, End;
        std::size_t Start;
    };
    std::vector<TPlanned> plan{{0, total, ScanDataStart}};
    for (const TSplitPoint& point : SplitPoints) {
        const std::int64_t first = (point.Index + 1) * RestartInterval;
        if (first <= plan.back().First || first >= total) continue;
        plan.back().End = first;
        plan.push_back({first, total, point.Marker + 2});
    }
    if (plan.size() < 2) return DecodeAlone(in);

    // What became of each piece: State 0 not decoded (yet), 1 decoded as
    // planned, -1 not; its records are [Begin, End) of Store.
    struct alignas(64) TOutcome {
        std::atomic<int> State{0};
        const TCoefficientStore* Store = nullptr;
        std::size_t Begin = 0, End = 0;
    };
    std::vector<TOutcome> outcome(plan.size());
    struct alignas(64) {
        std::atomic<std::size_t> Next{0};
    } claim;
    struct alignas(64) {
        TSymbolUse Use{};
    } helper;
    TStopFlag stopFlag;
    std::atomic<bool>& stop = stopFlag.Value;
    // Takes the next piece until none is left, one is refused, or afterPiece()
    // says stop.
    const auto work = [&](TCoefficientStore& store, TSymbolUse& use, auto&& afterPiece) {
        for (;;) {
            const std::size_t i = claim.Next.fetch_add(1, std::memory_order_relaxed);
            if (i >= plan.size()) return;
            if (stop.load(std::memory_order_relaxed)) return;
            const TPlanned& piece = plan[i];
            TScanReader reader(InData, InSize);
            reader.SetRawPosition(piece.Start);
            TOutcome& o = outcome[i];
            o.Store = &store;
            o.Begin = store.Used();
            const char* message = nullptr;
            const bool ok = DecodeRange(reader, piece.First, piece.End, store, use,
                                        [&](std::int32_t) { return !stop.load(std::memory_order_relaxed); },
                                        message) &&
                            (i + 1 == plan.size() || reader.RawPosition() == plan[i + 1].Start);
            o.End = store.Used();
            o.State.store(ok ? 1 : -1, std::memory_order_release);
            if (!ok || !afterPiece()) {
                stop.store(true, std::memory_order_relaxed);
                return;
            }
        }
    };
    Coefficients.Start(StoreEstimate(scanBytes, TotalBlocks));
    ReserveResultEarly();
    // What only the second thread needs must not fail the file: without it
    // this thread reads the scan alone.
    try {
        HelperCoefficients.Start(StoreEstimate(scanBytes, TotalBlocks));
    } catch (...) {
        return DecodeAlone(in);
    }
    const bool started = Helper.Start([&] {
        try {
            HelperCoefficients.Prepare(StoreLikely(scanBytes / 2, TotalBlocks / 2));
            // Readied before the pieces are taken, not by the first thread
            // out of them: the other thread then takes a piece or two more,
            // instead of having nothing left to do while the room is made
            // present (up to a millisecond on small pages).
            PrepareResultRoom();
            work(HelperCoefficients, helper.Use, [] { return true; });
        } catch (...) {
            // Its piece stays undone: this thread then reads the scan alone
            // and meets whatever it was.
            stop.store(true, std::memory_order_relaxed);
        }
    });
    Coefficients.Prepare(StoreLikely(scanBytes / 2, TotalBlocks / 2));
    if (!started) return DecodeOnward(in, 0);
    TThreadJoin join(Helper, &stop);

    std::size_t reported = 0;  // pieces whose rows were reported
    std::int32_t nextRow = 0;  // the first row not reported
    // Reports the rows of the pieces decoded so far, in scan order; false when
    // told to stop.
    const auto report = [&] {
        for (; reported < plan.size() && outcome[reported].State.load(std::memory_order_acquire) == 1; ++reported)
            for (; nextRow < MCURows && std::int64_t{nextRow} * MCUCols < plan[reported].End; ++nextRow)
                if (!Progress(nextRow)) return false;
        return true;
    };
    bool stopped = false;
    work(Coefficients, Use, [&] {
        stopped = !report();
        return !stopped;
    });
    join.Wait();
    if (stopped || !report()) return false;
    if (reported == plan.size()) {
        AddUse(helper.Use);
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const std::uint8_t* base = outcome[i].Store->Begin();
            Pieces.push_back({plan[i].First, base + outcome[i].Begin, base + outcome[i].End});
        }
        return true;
    }
    ++ScansDecodedAgain();
    std::memset(&Use, 0, sizeof Use);
    Coefficients.Start(StoreEstimate(scanBytes, TotalBlocks));
    in.SetRawPosition(ScanDataStart);
    const std::int32_t shown = nextRow;
    const char* message = nullptr;
    if (DecodeRange(in, 0, total, Coefficients, Use, [&](std::int32_t row) { return row < shown || Progress(row); },
                    message))
        return true;
    return Failed(message);
}

// Scans without restart markers: the second half is decoded on another
// thread from a byte near the middle (see TMiddleDecoder). At the start of
// every MCU row past that byte the first thread looks for its position among
// the other's units; once found, it stops there and takes the rest from the
// other thread, provided that thread decoded all of it without a fault.
// Otherwise it goes on alone, as it does when no row start matches soon.
bool TJpegPeelImpl::DecodeSplitAtGuess(TScanReader& in) {
    const std::int64_t total = McuCount();
    const std::uint64_t scanBytes = InSize - ScanDataStart;
    const char* message = nullptr;
    // The other thread starts at 57 % of the data: its way is slower per
    // byte (it falls into step with the codes first and notes where every
    // unit starts), so that from the middle it ended after this thread
    // (a 424 KB scan: 2.54 against 2.36 ms to decode, median of 25 runs).
    const std::uint64_t headBytes = scanBytes * 57 / 100;
    const std::size_t guess = ScanDataStart + static_cast<std::size_t>(headBytes);
    // The unit the other thread decodes: an MCU, or a single block when all
    // blocks are coded alike (where a block falls in its MCU then changes nothing).
    std::vector<TMiddleDecoder::TBlockCoding> unit;
    bool alike = true;
    for (int b = 0; b < BlocksPerMcu; ++b) {
        const TComponent& c = Comp[McuSlots[b]];
        unit.push_back({c.DCTableId, c.ACTableId});
        alike = alike && c.DCTableId == unit[0].DcTable && c.ACTableId == unit[0].AcTable;
    }
    if (alike) unit.resize(1);
    const int unitBlocks = static_cast<int>(unit.size());
    const std::int64_t maxUnits = total * BlocksPerMcu / unitBlocks;
    Coefficients.Start(StoreEstimate(scanBytes, TotalBlocks));
    ReserveResultEarly();
    // What only the second thread needs must not fail the file: without it
    // the first thread reads the whole scan.
    std::optional<TMiddleDecoder> middle;  // over-aligned: lines of its own
    try {
        HelperCoefficients.Start(StoreEstimate(scanBytes - headBytes, TotalBlocks));
        middle.emplace(InData, InSize, guess, Decode, std::move(unit), maxUnits, HelperCoefficients);
    } catch (...) {
        middle.reset();
    }
    TStopFlag stopFlag;
    std::atomic<bool>& stop = stopFlag.Value;
    const bool started = middle && Helper.Start([&] {
        HelperCoefficients.Prepare(StoreLikely(scanBytes - headBytes, TotalBlocks / 2));
        middle->Run(stop);
    });
    Coefficients.Prepare(StoreLikely(headBytes, TotalBlocks / 2));
    if (!started) return DecodeOnward(in, 0);
    TThreadJoin join(Helper, &stop);

    // Row starts past the guess at which the first thread still looks: the
    // other thread has to fall into step with the codes and, with units of
    // an MCU, with the place of each block in it, which can take some
    // thousand MCUs.
    int rowsLeft = std::max(16, 4096 / std::max(MCUCols, 1));
    const std::uint64_t guessKey = std::uint64_t{guess} * 8;
    std::int32_t metRow = -1;
    std::int64_t metUnit = 0;
    // Where the new scan can be cut into two parts of about the same work
    // (see FindEncodeCut): writing it costs per block and per byte, so the
    // first row start where the shares of the blocks and of the data passed
    // add up to one (their mean is a half).
    const double dataBits = 8.0 * static_cast<double>(scanBytes);
    const double mcus = static_cast<double>(total);
    std::size_t rowRecord = 0;
    const auto watch = [&](std::int32_t row) {
        if (row > 0 && NoRestartCut.Mcu < 0 && !ScanThreading().CutWhereHalvesMeet &&
            static_cast<double>(TMiddleDecoder::KeyOf(in) - std::uint64_t{ScanDataStart} * 8) / dataBits +
                    static_cast<double>(std::int64_t{row} * MCUCols) / mcus >=
                1.0) {
            NoRestartCut.Mcu = std::int64_t{row} * MCUCols;
            NoRestartCut.Record = rowRecord;
            NoRestartCut.Before = Use;
        }
        if (rowsLeft > 0 && row > 0) {
            const std::uint64_t key = TMiddleDecoder::KeyOf(in);
            if (key >= guessKey) {
                if (ScanThreading().AwaitGuessedHalf)
                    while (middle->Behind(key)) std::this_thread::yield();
                const TMiddleDecoder::TClaim claim = middle->Claim(key, metUnit);
                if (claim == TMiddleDecoder::TClaim::Found) {
                    metRow = row;
                    return false;
                }
                if (claim == TMiddleDecoder::TClaim::Never || --rowsLeft == 0) {
                    rowsLeft = 0;
                    join.Stop();
                }
            }
        }
        return Progress(row);
    };
    if (DecodeRange(in, 0, total, Coefficients, Use, watch, message, &rowRecord)) return true;
    if (metRow < 0) return Failed(message);

    const std::int64_t metMcu = std::int64_t{metRow} * MCUCols;
    // The other thread usually ends later.
    PrepareResultRoom();
    PrepareSecondPartEarly();
    join.Wait();
    TSymbolUse tailUse;
    const std::uint8_t *begin = nullptr, *end = nullptr;
    if (!middle->TakeUnits(metUnit, (total - metMcu) * BlocksPerMcu / unitBlocks, tailUse, begin, end)) {
        // A fault in the rest of the scan: reading on alone meets it.
        return DecodeOnward(in, metMcu);
    }
    for (std::int32_t row = metRow; row < MCURows; ++row)
        if (!Progress(row)) return false;
    if (NoRestartCut.Mcu < 0 || NoRestartCut.Mcu >= metMcu)
        NoRestartCut = {metMcu, static_cast<std::size_t>(-1), Use};  // at the start of the other half
    AddUse(tailUse);
    Pieces.push_back({0, Coefficients.Begin(), Coefficients.End()});
    Pieces.push_back({metMcu, begin, end});
    ++GuessedSplits();
    return true;
}

void TJpegPeelImpl::AddUse(const TSymbolUse& more) {
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t)
            for (int s = 0; s < 256; ++s) Use.Freq[c][t][s] += more.Freq[c][t][s];
}

// ------------------------------------------------------------ encoding

// Encodes the scan and EOI into the output. With `publish`, the bytes are
// handed to a verifier thread row by row, and where each row starts is noted.
bool TJpegPeelImpl::EncodeScan(TPublishedScan* publish) {
    scan::TScanWriter out(*OutStream, OutStream->Capacity());
    const std::uint8_t* r = RecordsBegin();
    int restartNumber = 0;
    scan::TBlockCoding coding[4 * 16];
    TablesPerBlock(Encode, coding);
    // Tests: a faulty encoder, one bit of the new scan flipped as it is written.
    const std::size_t scanStart = OutStream->Size();
    std::size_t written = scanStart;
    const auto flush = [&] {
        out.Flush();
        const std::int64_t bit = ScanThreading().FlipScanBit;
        const std::size_t at = scanStart + static_cast<std::size_t>(bit / 8);
        if (bit >= 0 && at >= written && at < OutStream->Size()) {
            OutStream->Memory()[at] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            ++FlippedScanBits();
        }
        written = OutStream->Size();
    };
    const bool ok = WalkRecords(
        0, McuCount(), r,
        [&](std::int32_t row) {
            if (publish) out.Settle();  // fewer than 8 bits left pending: the row starts in the next byte
            flush();
            if (publish) {
                publish->RowStarts.push_back({std::int64_t{row} * MCUCols, OutStream->Size(), out.PendingBits(), r});
                publish->Publish(OutStream->Size(), false);
            }
            return Progress(MCURows + row);
        },
        [&](const std::uint8_t*& record) {
            record = out.PutBlocks(record, coding, BlocksPerMcu);
            return true;
        },
        [&] {
            out.PutMarker(static_cast<std::uint16_t>(0xFFD0 + restartNumber));
            restartNumber = (restartNumber + 1) & 7;
            return true;
        });
    if (ok) {
        out.PutMarker(0xFFD9);
        flush();
    }
    // A result that would not fit the room reserved for it cannot be right.
    if (out.Overflowed()) Fail(kMsgVerify);
    return ok;
}

// The bits the new scan gives the symbols counted in `use`: every symbol
// with its new code and extra bits.
std::uint64_t TJpegPeelImpl::CodedBits(const TSymbolUse& use) const {
    std::uint64_t bits = 0;
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t) {
            if (!Used[c][t]) continue;
            for (int s = 0; s < 256; ++s) {
                const int size = c == 0 ? scan::DcSize(s) : scan::AcSize(s);
                bits += std::uint64_t{use.Freq[c][t][s]} * (Encode[c][t].Length[s] + size);
            }
        }
    return bits;
}

// The most bytes the new scan can take: its exact number of bits (known from
// the counts and the new code lengths), a byte of padding at every restart
// and at the end, every byte stuffed, the restart markers and EOI.
std::uint64_t TJpegPeelImpl::ScanBytesBound() const {
    const std::uint64_t bits = CodedBits(Use);
    const std::uint64_t mcus = McuCount();
    const std::uint64_t restarts = RestartEnabled && RestartInterval ? (mcus - 1) / RestartInterval : 0;
    return 2 * (bits / 8 + restarts + 2) + 2 * restarts + 2;
}

// ------------------------------------------------------------ verification

// Checks MCUs [first, end) of the new scan bit for bit against the codes the
// written tables define and the extra bits of every record, and each restart
// marker against its number (restartNumber: the next one expected). For a
// prefix code this is what decoding the scan and comparing would find.
bool TJpegPeelImpl::VerifyRange(TScanReader& in, std::int64_t first, std::int64_t end, const std::uint8_t*& record,
                                int restartNumber) const {
    scan::TBitWindow bits(in);
    scan::TBlockChecking checking[4 * 16];
    TablesPerBlock(VerifyTables, checking);
    const bool same = WalkRecords(
        first, end, record,
        [&](std::int32_t) {
            bits.Put();
            return !in.Overrun();
        },
        [&](const std::uint8_t*& expected) { return scan::CheckBlocks(bits, expected, checking, BlocksPerMcu); },
        [&] {
            bits.Put();
            const bool marker = CheckRestartMarker(in, restartNumber);
            bits.Take();
            restartNumber = (restartNumber + 1) & 7;
            return marker;
        });
    bits.Put();
    return same && !in.Overrun();
}

// At a restart position of the new scan: the last byte is complete and the
// restart marker with the expected number follows at once.
bool TJpegPeelImpl::CheckRestartMarker(TScanReader& in, int number) const {
    if (in.Overrun() || in.AlignToByte() != 0) return false;
    const std::size_t pos = in.RawPosition();
    const std::uint8_t* d = in.DataBytes();
    if (!in.Ensure(pos + 2) || d[pos] != 0xFF || d[pos + 1] != 0xD0 + number) return false;
    in.SetRawPosition(pos + 2);
    return true;
}

// After the last block: the scan's last byte is complete, EOI follows at
// once, and nothing after it; every record was used.
bool TJpegPeelImpl::VerifyEnd(TScanReader& in, const std::uint8_t* record) const {
    if (in.AlignToByte() != 0) return false;
    const std::size_t pos = in.RawPosition();
    const std::uint8_t* d = in.DataBytes();
    return record == RecordsEnd() && in.Ensure(pos + 2) && d[pos] == 0xFF && d[pos + 1] == 0xD9 &&
           !in.Ensure(pos + 3);
}

// Room for the new scan before its size is known: three times the source's
// scan holds any but one whose codes are half again as long (the encoder
// then makes more room).
std::uint64_t TJpegPeelImpl::NewScanRoomGuess() const {
    return 3 * std::uint64_t{InSize - ScanDataStart} + scan::TCheckedScanWriter::RoomAfter(BlocksPerMcu);
}

// Room for the result before a scan is decoded on two threads, so that it
// is made present (PrepareResultRoom) while the scan is decoded: by the
// second thread before it takes its first piece, or by this thread when it
// ends before the other, instead of between decoding and encoding.
// ReserveResult makes more room if need be.
void TJpegPeelImpl::ReserveResultEarly() {
    const std::uint64_t room = ScanDataStart + (std::uint64_t{1} << 10) + NewScanRoomGuess();
    if (room > TCoefficientStore::kLimit) return;
    try {
        OutStream->Reserve(static_cast<std::size_t>(room));
    } catch (const std::bad_alloc&) {
        // ReserveResult tries again and reports it.
    }
}

// A result is kept only when it is smaller than its source. Either thread
// may call it while the other decodes: the output is not touched otherwise.
void TJpegPeelImpl::PrepareResultRoom() const { OutStream->Prepare(InSize); }

// The room the second thread writes its part of the new scan into, set aside
// and made present by this thread while it waits for the other to finish
// decoding (nothing else touches it then), instead of by the other before it
// starts writing. The encoder asks for room for the whole new scan (see
// NewScanRoomGuess); half the source's scan is what the part likely takes
// (see SecondPartLikely).
void TJpegPeelImpl::PrepareSecondPartEarly() {
    const std::uint64_t half = (InSize - ScanDataStart) / 2;
    const std::uint64_t room = NewScanRoomGuess();
    if (room > TCoefficientStore::kLimit) return;
    try {
        SecondPart.Clear();
        SecondPart.Reserve(static_cast<std::size_t>(room));
        SecondPart.Prepare(static_cast<std::size_t>(half) + (std::size_t{64} << 10));
    } catch (const std::bad_alloc&) {
        // The encoder tries again and goes on alone without it.
    }
}

// Room for the whole result before its headers are written: the headers
// take no more than the source's (Exif left out, tables of no more symbols
// than the source's), the new scan at most ScanBytesBound(). Made present
// at once, so that neither the headers nor the scan meet a page fault.
void TJpegPeelImpl::ReserveResult() {
    TMemoryStream& out = *OutStream;
    const std::uint64_t bound = ScanBytesBound();
    if (bound > TCoefficientStore::kLimit) Fail(kMsgTooLarge);
    const std::size_t headers = ScanDataStart + (std::size_t{1} << 10);
    out.Reserve(headers + static_cast<std::size_t>(bound) + scan::TCheckedScanWriter::RoomAfter(BlocksPerMcu));
    // The new scan takes about its bits / 8 bytes; the bound counts every
    // byte stuffed.
    out.Prepare(headers + static_cast<std::size_t>(bound / 2) + (std::size_t{64} << 10));
}

// Writes MCUs [first, end) of the new scan from `record` on, checking every
// byte as it is written. restartNumber: the marker that ends the first
// restart interval. onRow(row) runs at the start of every MCU row and may
// stop the pass; the walk also stops at the first difference (see
// TCheckedScanWriter::Good) and where a piece of records does not end
// where the next begins.
template <class RowFn>
bool TJpegPeelImpl::EncodeChecked(scan::TCheckedScanWriter& out, std::int64_t first, std::int64_t end,
                                  const std::uint8_t*& record, int restartNumber, RowFn&& onRow) const {
    scan::TBlockCoding coding[4 * 16];
    TablesPerBlock(Encode, coding);
    return WalkRecords(
        first, end, record, onRow,
        [&](const std::uint8_t*& r) {
            const std::uint8_t* next = out.PutBlocks(r, coding, BlocksPerMcu);
            if (!next) return false;
            r = next;
            return true;
        },
        [&] {
            out.PutMarker(static_cast<std::uint16_t>(0xFFD0 + restartNumber));
            restartNumber = (restartNumber + 1) & 7;
            return true;
        });
}

// The whole new scan and EOI on this thread, written straight into the
// output after its headers (its room is reserved) and checked as it goes.
bool TJpegPeelImpl::EncodeCheckedAlone(std::size_t scanStart) {
    TByteBuffer& bytes = OutStream->Data();
    bytes.resize(bytes.capacity());  // not zeroed: every byte is written before it is read
    scan::TCheckedScanWriter out(bytes.data() + scanStart, bytes.data() + bytes.size());
    out.FlipBitAt(ScanThreading().FlipScanBit);
    const std::uint8_t* r = RecordsBegin();
    bool stopped = false;
    const bool walked = EncodeChecked(out, 0, McuCount(), r, 0, [&](std::int32_t row) {
        stopped = !Progress(MCURows + row);
        return !stopped;
    });
    if (walked) out.PutMarker(0xFFD9);
    bytes.resize(static_cast<std::size_t>(out.Position() - bytes.data()));
    if (stopped) return false;
    if (!walked || !out.Good() || r != RecordsEnd()) Fail(kMsgVerify);
    return true;
}

// Where a scan without restart markers can be cut into two parts written
// side by side, and what the second part needs to begin: the row start noted
// near the middle of the data as it was decoded, whose first bit is known
// from the counts before it.
bool TJpegPeelImpl::FindEncodeCut(TEncodeCut& cut) const {
    const std::int64_t total = McuCount();
    if (RestartEnabled && RestartInterval) return false;
    // (The first thread may also have read the whole scan: one piece.)
    const TNoRestartCut& at = NoRestartCut;
    if (at.Mcu <= 0 || at.Mcu >= total || Pieces.size() > 2) return false;
    const std::uint8_t* record = nullptr;
    if (at.Record == static_cast<std::size_t>(-1)) {
        if (Pieces.size() != 2 || at.Mcu != Pieces[1].FirstMcu) return false;
        record = Pieces[1].Begin;
    } else {
        if ((Pieces.size() == 2 && at.Mcu >= Pieces[1].FirstMcu) ||
            at.Record > static_cast<std::size_t>(Pieces[0].End - Pieces[0].Begin))
            return false;
        record = Pieces[0].Begin + at.Record;
    }
    cut = {at.Mcu, record, static_cast<int>(CodedBits(at.Before) & 7), 0};
    return true;
}

// The bytes of SecondPart its writer is likely to fill: the second part
// takes about half the new scan, which takes about half its bound (every
// byte stuffed); the room kept from earlier files may be far larger.
std::size_t TJpegPeelImpl::SecondPartLikely() const {
    return static_cast<std::size_t>(ScanBytesBound() / 4) + (std::size_t{64} << 10);
}

// Once the helper's part of the new scan is written, its rows are reported:
// every row that starts at or after MCU `first`. False when told to stop.
bool TJpegPeelImpl::ReportRowsWrittenFrom(std::int64_t first) {
    for (auto row = static_cast<std::int32_t>((first + MCUCols - 1) / MCUCols); row < MCURows; ++row)
        if (!Progress(MCURows + row)) return false;
    return true;
}

// Writers over the whole room of the output (after its headers) and of
// SecondPart, for the two threads' parts of the new scan; tailStartBits: the
// bits of SecondPart's first byte that belong to the part before it.
TJpegPeelImpl::TPartWriters TJpegPeelImpl::PartWriters(std::size_t scanStart, int tailStartBits) {
    TByteBuffer& bytes = OutStream->Data();
    TByteBuffer& second = SecondPart.Data();
    bytes.resize(bytes.capacity());  // not zeroed: every byte is written before it is read
    second.resize(second.capacity());
    TPartWriters parts{{bytes.data() + scanStart, bytes.data() + bytes.size()},
                       {second.data(), second.data() + second.size(), tailStartBits}};
    // Tests: a faulty encoder flips the bit at this offset in each part.
    parts.Head.FlipBitAt(ScanThreading().FlipScanBit);
    parts.Tail.FlipBitAt(ScanThreading().FlipScanBit);
    return parts;
}

// The new scan in two parts side by side: this thread writes the part before
// `cut` into the output, the helper the rest into SecondPart; each is checked
// as it is written, and the second is then put after the first. False when
// told to stop, or (with no message) when the helper could not be had:
// `started` tells which.
bool TJpegPeelImpl::EncodeCheckedSplit(std::size_t scanStart, const TEncodeCut& cut, bool& started) {
    const std::int64_t total = McuCount();
    TByteBuffer& bytes = OutStream->Data();
    TByteBuffer& second = SecondPart.Data();
    TPartWriters parts = PartWriters(scanStart, cut.StartBits);
    scan::TCheckedScanWriter& head = parts.Head;
    scan::TCheckedScanWriter& tail = parts.Tail;
    TStopFlag stopFlag;
    std::atomic<bool>& stop = stopFlag.Value;
    bool tailGood = false;
    const std::size_t likely = SecondPartLikely();
    started = Helper.Start([&] {
        SecondPart.Prepare(likely);
        const std::uint8_t* r = cut.Record;
        const bool walked = EncodeChecked(tail, cut.Mcu, total, r, cut.RestartNumber,
                                          [&](std::int32_t) { return !stop.load(std::memory_order_relaxed); });
        if (walked) tail.PutMarker(0xFFD9);
        tailGood = walked && tail.Good() && r == RecordsEnd();
    });
    if (!started) return false;
    TThreadJoin join(Helper, &stop);
    const std::uint8_t* r = RecordsBegin();
    bool stopped = false;
    const bool headWalked = EncodeChecked(head, 0, cut.Mcu, r, 0, [&](std::int32_t row) {
        stopped = !Progress(MCURows + row);
        return !stopped;
    });
    if (headWalked) {
        join.Wait();
        stopped = !ReportRowsWrittenFrom(cut.Mcu);  // by the helper
    } else {
        join.Stop();
    }
    std::uint8_t* end = nullptr;
    const bool good = !stopped && headWalked && head.Good() && r == cut.Record &&
                      head.PendingBits() == cut.StartBits && tailGood &&
                      (end = scan::JoinParts(head, second.data(), tail, bytes.data() + bytes.size()));
    bytes.resize(good ? static_cast<std::size_t>(end - bytes.data()) : scanStart);
    if (stopped) return false;
    if (!good) Fail(kMsgVerify);
    ++ScansWrittenInTwoParts();
    return true;
}

// With restart markers, the pieces of records (each begins a restart
// interval, on a whole byte, and its part of the new scan ends with the
// marker after it) are written from both ends: this thread takes them from
// the first on, straight into the output, the helper from the last one back,
// into SecondPart, each taking the next as it is free, until they meet; the
// helper's are then put after this thread's, in order. However fast each CPU
// happens to go, neither waits for a fixed half of the other's work. Each
// part is checked as it is written. False when told to stop, or (with no
// message) when the helper could not be had: `started` tells which.
bool TJpegPeelImpl::EncodeCheckedPieces(std::size_t scanStart, bool& started) {
    const std::size_t count = Pieces.size();
    const std::int64_t total = McuCount();
    TByteBuffer& bytes = OutStream->Data();
    TByteBuffer& second = SecondPart.Data();
    TPartWriters parts = PartWriters(scanStart, 0);
    scan::TCheckedScanWriter& head = parts.Head;
    scan::TCheckedScanWriter& tail = parts.Tail;
    // Pieces [0, Front) are this thread's, [Back, count) the helper's. Tests
    // may fix where they meet.
    struct alignas(64) TClaims {
        std::mutex Mutex;
        std::size_t Front = 0, Back = 0;
    } claims;
    claims.Back = count;
    const int fixedShare = ScanThreading().HelperPieces;
    const std::size_t fixedBack =
        fixedShare < 0 ? count : count - std::min(static_cast<std::size_t>(fixedShare), count - 1);
    const auto claim = [&](bool front, std::size_t& i) {
        std::lock_guard<std::mutex> lock(claims.Mutex);
        if (fixedShare >= 0) {  // tests: each side its own, whatever the other does
            std::size_t& next = front ? claims.Front : claims.Back;
            if (front ? next >= fixedBack : next <= fixedBack) return false;
            i = front ? next++ : --next;
            return true;
        }
        if (claims.Front >= claims.Back) return false;
        i = front ? claims.Front++ : --claims.Back;
        return true;
    };
    const auto end = [&](std::size_t i) { return i + 1 < count ? Pieces[i + 1].FirstMcu : total; };
    const auto number = [&](std::size_t i) { return static_cast<int>((Pieces[i].FirstMcu / RestartInterval) & 7); };
    // Writes piece i with `out`; false when anything is amiss or a stop came.
    const auto write = [&](scan::TCheckedScanWriter& out, std::size_t i, auto&& onRow) {
        const std::uint8_t* r = Pieces[i].Begin;
        const bool walked = EncodeChecked(out, Pieces[i].FirstMcu, end(i), r, number(i), onRow);
        if (walked && i + 1 == count) out.PutMarker(0xFFD9);
        // (A walk that ends where the next piece begins stops at its first record.)
        return walked && out.Good() && r == (i + 1 < count ? Pieces[i + 1].Begin : Pieces[i].End) &&
               out.PendingBits() == 0;
    };
    TStopFlag stopFlag;
    std::atomic<bool>& stop = stopFlag.Value;
    // Where each of the helper's pieces begins in SecondPart (it writes them
    // from the last one back), and where its last one ends.
    std::vector<std::size_t> tailStart(count, 0);
    std::size_t tailEnd = 0;
    bool tailGood = true;
    const std::size_t likely = SecondPartLikely();
    started = Helper.Start([&] {
        SecondPart.Prepare(likely);
        for (std::size_t j = 0; tailGood && claim(false, j);) {
            tailStart[j] = static_cast<std::size_t>(tail.Position() - second.data());
            tailGood = write(tail, j, [&](std::int32_t) { return !stop.load(std::memory_order_relaxed); });
        }
        tailEnd = static_cast<std::size_t>(tail.Position() - second.data());
    });
    if (!started) return false;
    TThreadJoin join(Helper, &stop);
    bool stopped = false, headGood = true;
    for (std::size_t i = 0; headGood && claim(true, i);)
        headGood = write(head, i, [&](std::int32_t row) {
            stopped = !Progress(MCURows + row);
            return !stopped;
        });
    // However this thread ended, the helper is told and waited for first.
    if (headGood)
        join.Wait();
    else
        join.Stop();
    const std::size_t mine = claims.Front;  // this thread wrote pieces [0, mine)
    if (headGood) {
        stopped = !ReportRowsWrittenFrom(mine < count ? Pieces[mine].FirstMcu : total);  // by the helper
    }
    // The helper's pieces after this thread's, in order; the helper must have
    // written exactly those this thread did not.
    std::uint8_t* o = head.Position();
    std::uint8_t* const limit = bytes.data() + bytes.size();
    bool good = !stopped && headGood && tailGood && claims.Back == mine;
    for (std::size_t j = mine; good && j < count; ++j) {
        const std::size_t from = tailStart[j], to = j > mine ? tailStart[j - 1] : tailEnd;
        good = to >= from && to - from <= static_cast<std::size_t>(limit - o);
        if (good) {
            std::memcpy(o, second.data() + from, to - from);
            o += to - from;
        }
    }
    bytes.resize(good ? static_cast<std::size_t>(o - bytes.data()) : scanStart);
    if (stopped) return false;
    if (!good) Fail(kMsgVerify);
    if (mine < count) ++ScansWrittenInTwoParts();
    return true;
}

// Encodes the scan into the output and checks it. A large scan is written in
// two parts on two threads where it can be cut; otherwise it is checked on a
// second thread while it is being written, and the encoder's thread shares
// the rest of the check when it has written it.
bool TJpegPeelImpl::EncodeAndVerify(std::size_t scanStart) {
    TMemoryStream& out = *OutStream;
    // Already so (ReserveResult), unless the headers grew past all expectation.
    out.Reserve(out.Size() + static_cast<std::size_t>(ScanBytesBound()) +
                scan::TCheckedScanWriter::RoomAfter(BlocksPerMcu));
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t)
            if (Used[c][t] && (!VerifyTables[c][t].Build(Optimal[c][t].HuffBits, Optimal[c][t].Symbol, c) ||
                               !scan::CodesAgree(Encode[c][t], VerifyTables[c][t])))
                Fail(kMsgVerify);

    const std::int64_t total = McuCount();
    const auto alone = [&] { return EncodeCheckedAlone(scanStart); };
    if (InSize - ScanDataStart < ScanThreading().ThreadedVerifyMin || MCURows < 2 || !Helper.Warm()) return alone();
    // What only the second thread needs must not fail the file.
    const auto secondRoom = [&] {
        try {
            SecondPart.Clear();
            SecondPart.Reserve(static_cast<std::size_t>(ScanBytesBound()) +
                               scan::TCheckedScanWriter::RoomAfter(BlocksPerMcu));
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    };
    bool started = false;
    if (ScanThreading().WriteInTwoParts && RestartEnabled && RestartInterval && Pieces.size() >= 2 &&
        std::all_of(Pieces.begin(), Pieces.end(), [&](const TRecordPiece& p) { return p.FirstMcu % RestartInterval == 0; })) {
        if (secondRoom()) {
            const bool done = EncodeCheckedPieces(scanStart, started);
            if (started) return done;
        }
        return alone();
    }
    TEncodeCut cut{};
    if (ScanThreading().WriteInTwoParts && FindEncodeCut(cut)) {
        if (secondRoom()) {
            const bool done = EncodeCheckedSplit(scanStart, cut, started);
            if (started) return done;
        }
        return alone();
    }

    const std::int64_t interval = RestartEnabled ? RestartInterval : 0;
    // The number of the restart marker that ends the interval holding `mcu`.
    const auto restartAt = [&](std::int64_t mcu) { return interval ? static_cast<int>((mcu / interval) & 7) : 0; };
    TPublishedScan published;
    published.HandOverRow = ScanThreading().HandOverRow;
    published.RowStarts.reserve(static_cast<std::size_t>(MCURows));
    published.Publish(out.Size(), false);
    bool headVerified = false;
    started = Helper.Start([&] {
        try {
            TScanReader check(out.Memory(), scanStart, &published);
            check.SetRawPosition(scanStart);
            const std::uint8_t* r = RecordsBegin();
            std::int32_t row = 0;
            for (; row < MCURows && published.VerifierAt(row); ++row) {
                const std::int64_t first = std::int64_t{row} * MCUCols;
                if (!VerifyRange(check, first, std::min(first + MCUCols, total), r, restartAt(first))) return;
            }
            if (row == MCURows) {
                headVerified = VerifyEnd(check, r);
                return;
            }
            // Stopped where the encoder's thread took over: at the very bit
            // and record where that row starts.
            const TScanPoint& at = published.RowStarts[static_cast<std::size_t>(row)];
            std::size_t byte = 0;
            int bit = 0;
            check.BitPosition(byte, bit);
            headVerified = r == at.Record && byte == at.Byte && bit == at.Bit;
        } catch (...) {
            headVerified = false;
        }
    });
    if (!started) return alone();
    // However the encoder ends, the verifier is told and waited for before
    // the output can change.
    struct TFinish {
        TPublishedScan& Published;
        TMemoryStream& Out;
        THelperThread& Verifier;
        ~TFinish() {
            Published.Publish(Out.Size(), true);
            Published.Abandon();
            Verifier.Join();
        }
    } finish{published, out, Helper};

    if (!EncodeScan(&published)) return false;
    published.Publish(out.Size(), true);
    // How fast each part goes differs from file to file: the rows still to
    // check are shared when the encoder is done.
    const std::int32_t from = published.TakeRowsAfterVerifier(MCURows);
    bool tailVerified = true;
    if (from < MCURows) {
        const TScanPoint& at = published.RowStarts[static_cast<std::size_t>(from)];
        TScanReader check(out.Memory(), out.Size());
        check.SeekBit(at.Byte, at.Bit);
        const std::uint8_t* r = at.Record;
        tailVerified = VerifyRange(check, at.Mcu, total, r, restartAt(at.Mcu)) && VerifyEnd(check, r);
    }
    Helper.Join();
    if (!headVerified || !tailVerified) Fail(kMsgVerify);
    return true;
}

} // namespace lumaro
