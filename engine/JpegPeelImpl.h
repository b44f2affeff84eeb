#pragma once
// The engine's inside, shared by the header pass and output (JpegPeel.cpp)
// and the passes over the scan (ScanPasses.cpp). Not a public header.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BitStreamFile.h"
#include "CheckedScanWriter.h"
#include "CoefficientStore.h"
#include "HelperThread.h"
#include "HuffmanBuilder.h"
#include "JpegPeel.h"
#include "LargeMemory.h"
#include "MarkerScan.h"
#include "ScanCodec.h"
#include "SymbolUse.h"

namespace lumaro {

// Ends processing of a file after its message has been reported.
struct EPeelFailure {};

// A Huffman table as the file defines it.
struct TDefinedTable {
    bool Defined = false;
    std::int16_t HuffBits[16] = {};
    std::vector<std::int32_t> Symbol;  // HUFFVAL in canonical order
};

struct TComponent {
    std::uint8_t Id = 0;
    int SamplingH = 0, SamplingV = 0;  // as in the frame header
    int QuantTableId = 0;
    int McuH = 1, McuV = 1;            // blocks per MCU (1x1 in a one-component scan)
    int DCTableId = 0, ACTableId = 0;
};

struct TSegment {
    std::uint16_t Marker;
    std::size_t Offset;  // of the marker
    std::size_t Length;  // marker included
    // DHT only: each table's class, id, and its bytes (class byte onwards).
    struct TTableRef {
        int Class, Id;
        std::size_t Offset, Length;
    };
    std::vector<TTableRef> Tables;
};


class TPublishedScan;

// A point of the new scan where one verifying thread hands over to the other:
// the first MCU after it, the byte holding its first bit and how many bits of
// that byte come before it, and the MCU's record.
struct TScanPoint {
    std::int64_t Mcu = 0;
    std::size_t Byte = 0;
    int Bit = 0;
    const std::uint8_t* Record = nullptr;
};

class TJpegPeelImpl {
public:
    explicit TJpegPeelImpl(TJpegPeel& owner) : Owner(owner) {}
    // Made present in one call: the tables take a dozen pages, and on some
    // systems a page fault each costs more than that call.
    // (Its stores keep cache lines of their own: it is over-aligned.)
    static void* operator new(std::size_t n, std::align_val_t a) {
        void* p = ::operator new(n, a);
        PrepareLarge(p, n);
        return p;
    }
    static void operator delete(void* p, std::align_val_t a) { ::operator delete(p, a); }
    // sourcePresent: the source is memory the caller wrote (a file read into
    // a stream), every page of it present; otherwise it may be a mapping
    // whose pages are made present as the scan is walked.
    bool Process(const std::uint8_t* data, std::size_t size, TMemoryStream& out, bool sourcePresent);
    void Expect(std::size_t size);
    void ReleaseWorkingMemory();
    // The streams belong to the caller: no reference to them outlives a call.
    void ReleaseStreams() {
        Helper.Join();  // a task that tells the caller something ends first
        InBits.reset();
        OutBits.reset();
        InData = nullptr;
        InSize = 0;
        OutStream = nullptr;
    }

private:
    void Fail(const std::string& text) {
        Error(text);
        throw EPeelFailure{};
    }
    void Error(const std::string& text) {
        if (Owner.OnError) Owner.OnError(text, 2);
    }
    void ProgressMax(int max) {
        if (Owner.OnProgressMax) Owner.OnProgressMax(max);
    }
    bool Progress(int pos) { return !Owner.OnProgress || Owner.OnProgress(pos); }

    void ResetFrame();
    void ReadHeaders();
    void CopyFrameHeader(std::uint16_t length);
    void CopyQuantTables(std::uint16_t length);
    void ReadHuffmanTables(TSegment& seg, std::uint16_t length);
    void ReadScanHeader(std::uint16_t length);
    void ReadRestartInterval(std::uint16_t length);
    void CheckScanTables();
    void ComputeLayout();
    bool ScanMarkers(std::size_t pos);
    // Makes source bytes [from, to) present in one call, unless they are.
    void PrepareSource(std::size_t from, std::size_t to) const {
        if (!SourcePresent) PrepareRead(InData + from, to - from);
    }
    std::int64_t McuCount() const { return std::int64_t{MCUCols} * MCURows; }

    bool DecodeScan();
    void SourceRead();
    bool DecodeScanRecords(TScanReader& in);
    bool DecodeAlone(TScanReader& in);
    bool DecodeOnward(TScanReader& in, std::int64_t first);
    bool Failed(const char* message);
    bool DecodeSplitAtMarkers(TScanReader& in);
    bool DecodeSplitAtGuess(TScanReader& in);
    void AddUse(const TSymbolUse& more);
    template <class RowFn>
    bool DecodeRange(TScanReader& in, std::int64_t first, std::int64_t end, TCoefficientStore& store,
                     TSymbolUse& use, RowFn&& onRow, const char*& message,
                     std::size_t* rowRecord = nullptr) const;
    bool TakeRestartMarker(TScanReader& in, const char*& message) const;
    void BuildTables();
    void WriteHeaders(bool optimized);
    void WriteOptimizedHuffmanTables(const TSegment& seg);
    void CopyRest();
    std::uint64_t CodedBits(const TSymbolUse& use) const;
    std::uint64_t ScanBytesBound() const;
    void ReserveResult();
    std::uint64_t NewScanRoomGuess() const;
    void ReserveResultEarly();
    void PrepareResultRoom() const;
    void PrepareSecondPartEarly();
    bool EncodeAndVerify(std::size_t scanStart);
    bool EncodeScan(TPublishedScan* publish);
    template <class RowFn>
    bool EncodeChecked(scan::TCheckedScanWriter& out, std::int64_t first, std::int64_t end,
                       const std::uint8_t*& record, int restartNumber, RowFn&& onRow) const;
    bool EncodeCheckedAlone(std::size_t scanStart);
    struct TEncodeCut {
        std::int64_t Mcu;
        const std::uint8_t* Record;
        int StartBits;      // bits of the byte the second part begins in that the first part holds
        int RestartNumber;  // of the marker that ends the second part's first interval
    };
    bool FindEncodeCut(TEncodeCut& cut) const;
    struct TPartWriters {
        scan::TCheckedScanWriter Head, Tail;
    };
    TPartWriters PartWriters(std::size_t scanStart, int tailStartBits);
    std::size_t SecondPartLikely() const;
    bool ReportRowsWrittenFrom(std::int64_t first);
    bool EncodeCheckedSplit(std::size_t scanStart, const TEncodeCut& cut, bool& started);
    bool EncodeCheckedPieces(std::size_t scanStart, bool& started);
    bool VerifyRange(TScanReader& in, std::int64_t first, std::int64_t end, const std::uint8_t*& record,
                     int restartNumber) const;
    bool CheckRestartMarker(TScanReader& in, int number) const;
    bool VerifyEnd(TScanReader& in, const std::uint8_t* record) const;
    const std::uint8_t* RecordsBegin() const { return Pieces.front().Begin; }
    const std::uint8_t* RecordsEnd() const { return Pieces.back().End; }

    // Each block of an MCU with its DC and AC table out of `tables`.
    template <class TTable, class TBlockTables>
    void TablesPerBlock(const TTable (&tables)[2][2], TBlockTables* out) const {
        for (int b = 0; b < BlocksPerMcu; ++b) {
            const TComponent& c = Comp[McuSlots[b]];
            out[b] = {&tables[0][c.DCTableId], &tables[1][c.ACTableId]};
        }
    }
    // Visit the MCUs of the scan in order; see their definitions.
    template <class RowFn, class McuFn, class RestartFn>
    bool WalkScan(std::int64_t first, std::int64_t end, RowFn&& onRow, McuFn&& onMcu,
                  RestartFn&& onRestart) const;
    template <class RowFn, class McuFn, class RestartFn>
    bool WalkRecords(std::int64_t first, std::int64_t end, const std::uint8_t*& record, RowFn&& onRow,
                     McuFn&& onMcu, RestartFn&& onRestart) const;

    TJpegPeel& Owner;
    const std::uint8_t* InData = nullptr;
    std::size_t InSize = 0;
    bool SourcePresent = false;
    TMemoryStream* OutStream = nullptr;
    std::unique_ptr<TInBitStreamFile> InBits;
    std::unique_ptr<TOutBitStreamFile> OutBits;

    // Frame state
    bool FrameSeen = false;
    std::int32_t ImageWidth = 0, ImageHeight = 0;
    std::int32_t MaxH = 1, MaxV = 1;
    int ComponentCount = 0;
    TComponent Comp[4];
    int ScanOrder[4] = {};  // component slots in scan-header order
    int ScanCount = 0;
    bool RestartEnabled = false;
    std::uint16_t RestartInterval = 0;
    std::int32_t MCUCols = 0, MCURows = 0;
    std::size_t ScanDataStart = 0;  // first byte after the scan header
    int McuSlots[4 * 16] = {};      // the component slot of each block of an MCU
    int BlocksPerMcu = 0;
    std::uint64_t TotalBlocks = 0;  // of the whole scan
    // The block records, decoded by this thread and by the helper, each into
    // a store of its own; and where the records of each stretch of the scan
    // are, in scan order (each stretch runs to the next one's first MCU).
    TCoefficientStore Coefficients, HelperCoefficients;
    struct TRecordPiece {
        std::int64_t FirstMcu;
        const std::uint8_t* Begin;
        const std::uint8_t* End;
    };
    std::vector<TRecordPiece> Pieces;
    // Scans without restart markers decoded in two halves: an MCU row start
    // near the middle (Mcu; -1: none), where its records begin in the first
    // store (Record; -1: the start of the other half's), and the counts of
    // everything before it, from which the bit where the new scan's second
    // part begins is known before either part is written.
    struct TNoRestartCut {
        std::int64_t Mcu = -1;
        std::size_t Record = 0;
        TSymbolUse Before{};
    } NoRestartCut;
    // The new scan's second part, written on the helper thread.
    TMemoryStream SecondPart;
    // Restart markers where decoding may be split: the first at or past each
    // of kDecodePieces equal stretches of the scan data, and how many came
    // before it. Pieces are taken by whichever thread is free, so the last
    // one taken decides how long the other waits: 48 keep that wait near a
    // tenth of a millisecond on a 12 MP photo (16 left about one).
    static constexpr int kDecodePieces = 48;
    std::vector<TSplitPoint> SplitPoints;

    std::vector<TSegment> Segments;
    TDefinedTable Defined[2][2];
    scan::TDecodeTable Decode[2][2];
    alignas(64) TSymbolUse Use{};  // counted into all the time: no line shared with the tables
    bool Used[2][2] = {};
    TOptimalTable Optimal[2][2];
    scan::TEncodeTable Encode[2][2];
    scan::TCheckTable VerifyTables[2][2];
    THelperThread Helper;  // a second thread for large scans
};

static_assert(alignof(TJpegPeelImpl) > __STDCPP_DEFAULT_NEW_ALIGNMENT__, "allocated by the aligned operator new above");

} // namespace lumaro
