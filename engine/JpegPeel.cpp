#include "JpegPeel.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "BitStreamFile.h"
#include "HuffmanBuilder.h"
#include "LargeMemory.h"

namespace lumaro {

namespace {

// ---------------------------------------------------------------- messages

const char* const kMsgNoSOI = "致命的エラー : JPEGファイルの開始のヘッダ($FFD8)を認識できません";
const char* const kMsgProgressive = "致命的エラー : プログレッシブJPEGファイルです。現在はまだ処理できません。";
const char* const kMsgHuffman = "ハフマンブロックが正しく読み出せませんでした。\r処理を終了します";
const char* const kMsgTruncated = "致命的エラー : JPEGファイルが途中で終わっています。";
const char* const kMsgScanTruncated = "致命的エラー : 画像データが途中で終わっています。";
const char* const kMsgNoMemory = "致命的エラー : メモリが足りません。画像が大きすぎて処理できません。";
const char* const kMsgTooLarge = "致命的エラー : 画像が大きすぎて処理できません。";
const char* const kMsgMultiScan = "致命的エラー : 複数のスキャンからなるJPEGファイルです。現在はまだ処理できません。";
const char* const kMsgPrecision = "致命的エラー : サンプル精度が8ビットではないJPEGファイルです。処理できません。";
const char* const kMsgComponents = "致命的エラー : 色成分の数が正しくありません。";
const char* const kMsgZeroSize = "致命的エラー : 画像の幅または高さが0です。";
const char* const kMsgSampling = "致命的エラー : サンプリング係数が正しくありません。";
const char* const kMsgDuplicateId = "致命的エラー : 色成分の識別子が重複しています。";
const char* const kMsgSecondFrame = "致命的エラー : フレームヘッダ($FFC0)が複数あります。";
const char* const kMsgNoFrame = "致命的エラー : スキャンの前にフレームヘッダ($FFC0)がありません。";
const char* const kMsgTableId = "致命的エラー : ハフマンテーブルの種類または番号が正しくありません。";
const char* const kMsgBadTable = "致命的エラー : ハフマンテーブルの内容が正しくありません。";
const char* const kMsgQuant = "致命的エラー : 量子化テーブルの内容が正しくありません。";
const char* const kMsgNoTable = "致命的エラー : 定義されていないハフマンテーブルが使われています。";
const char* const kMsgScanComponent = "致命的エラー : スキャンの色成分がフレームと一致しません。";
const char* const kMsgRestart = "致命的エラー : リスタートマーカーが正しくありません。";
const char* const kMsgVerify = "致命的エラー : 再符号化したデータの検証に失敗しました。";
const char* const kMsgInternal = "致命的エラー : 内部エラーが発生しました。";

std::string Hex4(std::uint16_t m) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", m);
    return buf;
}

std::string UnknownHeader(std::uint16_t m) {
    return "致命的エラー : ヘッダ($" + Hex4(m) + ")を認識できません";
}

std::string BadLength(std::uint16_t m) {
    return "致命的エラー : ヘッダ($" + Hex4(m) + ")の長さが正しくありません";
}

// Ends processing of a file after its message has been reported.
struct EPeelFailure {};
// The coefficient store would pass its limit.
struct ETooLarge {};

// ---------------------------------------------------------------- tables

// The quantised coefficients of every block, kept compactly in the order the
// scan carries the blocks (every pass walks the scan in that same order). One
// record per block: the DC difference, the number n of non-zero AC
// coefficients (uint8), then n times (zig-zag position 1..63 as uint8, value).
// A value (or DC difference) is kept as its size category and its extra bits,
// (size << 12) | bits in 16 bits: exactly what the scan codes, so the encoder
// copies it and the image cannot change. A photo needs a few bytes per block
// instead of 128.
class TCoefficientStore {
public:
    static constexpr std::size_t kMaxRecord = 3 + 63 * 3;
    // A store this large means a file of hundreds of megabytes of scan data.
    static constexpr std::size_t kLimit = std::size_t{3} << 30;

    TCoefficientStore() = default;
    TCoefficientStore(const TCoefficientStore&) = delete;
    TCoefficientStore& operator=(const TCoefficientStore&) = delete;
    ~TCoefficientStore() { FreeLarge(Data, Capacity); }

    // Empties the store and makes room for about `expected` bytes.
    void Start(std::size_t expected) {
        Size = 0;
        if (Capacity < expected) Grow(expected);
    }
    // Room for one more record; throws ETooLarge past the limit.
    std::uint8_t* Room() {
        if (Capacity - Size < kMaxRecord) Grow(std::max<std::size_t>(Capacity * 2, 1 << 16));
        return Data + Size;
    }
    void Commit(const std::uint8_t* end) { Size = static_cast<std::size_t>(end - Data); }
    const std::uint8_t* Begin() const { return Data; }
    std::size_t Bytes() const { return Size; }

private:
    void Grow(std::size_t want) {
        want = std::max(want, Size + kMaxRecord);
        if (want > kLimit) throw ETooLarge{};
        auto* bigger = static_cast<std::uint8_t*>(AllocateLarge(want));
        if (Size) std::memcpy(bigger, Data, Size);
        FreeLarge(Data, Capacity);
        Data = bigger;
        Capacity = want;
    }
    std::uint8_t* Data = nullptr;
    std::size_t Size = 0, Capacity = 0;
};

inline void Store16(std::uint8_t* p, unsigned v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline unsigned Load16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }
inline unsigned Packed(int size, unsigned bits) { return (static_cast<unsigned>(size) << 12) | bits; }
inline std::size_t RecordSize(const std::uint8_t* r) { return 3 + std::size_t{3} * r[2]; }

// A Huffman table as the file defines it.
struct TDefinedTable {
    bool Defined = false;
    std::int16_t HuffBits[16] = {};
    std::vector<std::int32_t> Symbol;  // HUFFVAL in canonical order
};

inline int Extend(int v, int s) { return v < (1 << (s - 1)) ? v - (1 << s) + 1 : v; }

// Lookup tables for decoding: codes of up to kLookBits bits in one step,
// longer ones through the canonical MaxCode/ValOffset arrays. Where a code and
// the value bits after it fit in kLookBits together, Value holds the whole
// step at once: the value as (size << 12) | bits, the symbol and the bits it takes.
constexpr int kLookBits = 10;

struct TDecodeTable {
    std::uint16_t Fast[1 << kLookBits];   // (length << 8) | symbol; 0 = longer code
    std::int32_t Value[1 << kLookBits];   // (packed value << 16) | (symbol << 8) | bits; 0 = no shortcut
    std::int32_t MaxCode[18];
    std::int32_t ValOffset[18];
    std::uint8_t Vals[256];

    // maxSize: the largest value size the table's class allows (11 DC, 10 AC).
    void Build(const std::int16_t bits[16], const std::vector<std::int32_t>& symbols, int cls) {
        std::memset(Fast, 0, sizeof Fast);
        std::memset(Value, 0, sizeof Value);
        std::int32_t code = 0, k = 0;
        for (int len = 1; len <= 16; ++len) {
            ValOffset[len] = k - code;
            for (int j = 0; j < bits[len - 1]; ++j, ++k, ++code) {
                const int symbol = symbols[k];
                Vals[k] = static_cast<std::uint8_t>(symbol);
                if (len > kLookBits) continue;
                const int shift = kLookBits - len;
                const auto entry = static_cast<std::uint16_t>((len << 8) | symbol);
                const int size = cls == 0 ? symbol : (symbol & 15);
                const bool shortcut = size > 0 && size <= (cls == 0 ? 11 : 10) && len + size <= kLookBits;
                for (int x = code << shift; x < ((code + 1) << shift); ++x) {
                    Fast[x] = entry;
                    if (!shortcut) continue;
                    const unsigned raw = (x >> (kLookBits - len - size)) & ((1u << size) - 1);
                    Value[x] = static_cast<std::int32_t>((Packed(size, raw) << 16) | (symbol << 8) | (len + size));
                }
            }
            MaxCode[len] = bits[len - 1] ? code - 1 : -1;
            code <<= 1;
        }
        MaxCode[17] = 0x7FFFFFFF;
    }
};

// Per symbol value: the code and its length (0 = the table lacks the symbol).
struct TEncodeTable {
    std::uint32_t Code[256];
    std::uint8_t Length[256];

    void Build(const TOptimalTable& t) {
        std::memset(Length, 0, sizeof Length);
        std::memset(Code, 0, sizeof Code);
        for (std::size_t k = 0; k < t.Symbol.size(); ++k) {
            Code[t.Symbol[k]] = static_cast<std::uint32_t>(t.Code[k]);
            Length[t.Symbol[k]] = static_cast<std::uint8_t>(t.CodeLength[k]);
        }
    }
};

// True when the counts fit the code space of a prefix code (Kraft).
bool CodeSpaceFits(const std::int16_t bits[16]) {
    std::int64_t code = 0;
    for (int len = 1; len <= 16; ++len) {
        code += bits[len - 1];
        if (code > (std::int64_t{1} << len)) return false;
        code <<= 1;
    }
    return true;
}



// ---------------------------------------------------------------- frame

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

// Counts per symbol value of each table, as the encoder will emit them.
struct TSymbolUse {
    std::uint32_t Freq[2][2][256];
};

} // namespace

// ---------------------------------------------------------------- engine

class TJpegPeelImpl {
public:
    explicit TJpegPeelImpl(TJpegPeel& owner) : Owner(owner) {}
    bool Process(TMemoryStream& in, TMemoryStream& out);
    // The streams belong to the caller: no reference to them outlives a call.
    void ReleaseStreams() {
        InBits.reset();
        OutBits.reset();
        InStream = OutStream = nullptr;
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
    bool HasAnotherScan(std::size_t pos) const;

    bool DecodeScan();
    bool DecodeBlock(TInBitStreamFile& in, std::uint8_t*& record, const TDecodeTable& dc,
                     const TDecodeTable& ac, std::uint32_t* dcFreq, std::uint32_t* acFreq);
    bool TakeRestartMarker(TInBitStreamFile& in);
    void ReportOverrun(const TInBitStreamFile& in);
    void RecountSymbols();
    void BuildTables();
    void WriteHeaders(bool optimized);
    void WriteOptimizedHuffmanTables(const TSegment& seg);
    void CopyRest();
    bool EncodeScan();
    bool VerifyScan(std::size_t scanStart);

    // Visits the blocks of the scan in order; see its definition.
    template <class RowFn, class BlockFn, class RestartFn>
    bool WalkScan(RowFn&& onRow, BlockFn&& onBlock, RestartFn&& onRestart);

    TJpegPeel& Owner;
    TMemoryStream* InStream = nullptr;
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
    std::int32_t DCPredictor[4] = {};
    std::int32_t MCUCounter = 0;
    std::size_t ScanDataStart = 0;  // first byte after the scan header
    int McuSlots[4 * 16] = {};      // the component slot of each block of an MCU
    int BlocksPerMcu = 0;
    std::uint64_t TotalBlocks = 0;  // of the whole scan
    TCoefficientStore Coefficients;

    std::vector<TSegment> Segments;
    TDefinedTable Defined[2][2];
    TDecodeTable Decode[2][2];
    TSymbolUse Use{};
    bool NeedRecount = false;
    bool Used[2][2] = {};
    TOptimalTable Optimal[2][2];
    TEncodeTable Encode[2][2];
};

void TJpegPeelImpl::ResetFrame() {
    FrameSeen = false;
    ImageWidth = ImageHeight = 0;
    MaxH = MaxV = 1;
    ComponentCount = 0;
    ScanCount = 0;
    RestartEnabled = false;
    RestartInterval = 0;
    Segments.clear();
    NeedRecount = false;
    std::memset(&Use, 0, sizeof Use);
    for (auto& row : Defined)
        for (auto& t : row) t = TDefinedTable{};
    for (auto& row : Used)
        for (auto& u : row) u = false;
    for (auto& c : Comp) {
        c.Id = 0;
        c.SamplingH = c.SamplingV = 0;
    }
}

// ------------------------------------------------------------ header pass

void TJpegPeelImpl::ReadHeaders() {
    TInBitStreamFile& in = *InBits;
    for (;;) {
        const std::size_t offset = in.RawPosition();
        const std::uint16_t m = in.ReadWord();
        if (m == 0xFFC2) Fail(kMsgProgressive);
        const bool known = m == 0xFFC0 || m == 0xFFDB || m == 0xFFE1 || m == 0xFFC4 || m == 0xFFDA ||
                           m == 0xFFDD || (m >= 0xFFE0 && m <= 0xFFEF) || m == 0xFFFE;
        if (!known) Fail(UnknownHeader(m));

        in.MarkPosition();
        const std::uint16_t length = in.ReadWord();
        if (length < 2) Fail(BadLength(m));
        TSegment seg{m, offset, std::size_t{2} + length, {}};
        switch (m) {
        case 0xFFC0: CopyFrameHeader(length); break;
        case 0xFFDB: CopyQuantTables(length); break;
        case 0xFFC4: ReadHuffmanTables(seg, length); break;
        case 0xFFDA: ReadScanHeader(length); break;
        case 0xFFDD: ReadRestartInterval(length); break;
        default: {  // APPn and COM: carried as they are
            std::size_t rest = length - 2u;
            if (in.StreamSize() - in.RawPosition() < rest) throw EReadError();
            in.SetRawPosition(in.RawPosition() + rest);
        }
        }
        if (in.BytesSinceMark() != length) Fail(BadLength(m));
        Segments.push_back(std::move(seg));
        if (m == 0xFFDA) break;
    }
    ScanDataStart = in.RawPosition();
}

void TJpegPeelImpl::CopyFrameHeader(std::uint16_t length) {
    TInBitStreamFile& in = *InBits;
    if (FrameSeen) Fail(kMsgSecondFrame);
    FrameSeen = true;
    const int precision = in.ReadByte();
    ImageHeight = in.ReadWord();
    ImageWidth = in.ReadWord();
    const int nf = in.ReadByte();
    if (precision != 8) Fail(kMsgPrecision);
    if (nf < 1 || nf > 4) Fail(kMsgComponents);
    if (length != 8 + 3 * nf) Fail(BadLength(0xFFC0));
    if (ImageWidth == 0 || ImageHeight == 0) Fail(kMsgZeroSize);
    ComponentCount = nf;
    for (int i = 0; i < nf; ++i) {
        TComponent& c = Comp[i];
        c.Id = in.ReadByte();
        const int hv = in.ReadByte();
        c.SamplingH = hv >> 4;
        c.SamplingV = hv & 15;
        c.QuantTableId = in.ReadByte();
        if (c.SamplingH < 1 || c.SamplingH > 4 || c.SamplingV < 1 || c.SamplingV > 4) Fail(kMsgSampling);
        for (int j = 0; j < i; ++j)
            if (Comp[j].Id == c.Id) Fail(kMsgDuplicateId);
        MaxH = std::max(MaxH, c.SamplingH);
        MaxV = std::max(MaxV, c.SamplingV);
    }
}

void TJpegPeelImpl::CopyQuantTables(std::uint16_t length) {
    TInBitStreamFile& in = *InBits;
    int remaining = length - 2;
    while (remaining > 0) {
        const int pqtq = in.ReadByte();
        const int pq = pqtq >> 4, tq = pqtq & 15;
        if (pq > 1 || tq > 3) Fail(kMsgQuant);
        const int size = pq ? 128 : 64;  // 16-bit or 8-bit entries
        if (remaining < 1 + size) Fail(BadLength(0xFFDB));
        std::uint8_t entries[128];
        in.ReadBuffer(entries, size);
        remaining -= 1 + size;
    }
}

void TJpegPeelImpl::ReadHuffmanTables(TSegment& seg, std::uint16_t length) {
    TInBitStreamFile& in = *InBits;
    int remaining = length - 2;
    while (remaining > 0) {
        if (remaining < 17) Fail(BadLength(0xFFC4));
        const std::size_t tableOffset = in.RawPosition();
        const int tcth = in.ReadByte();
        const int c = tcth >> 4, t = tcth & 15;
        if (c > 1 || t > 1) Fail(kMsgTableId);
        TDefinedTable table;
        int total = 0;
        for (int i = 0; i < 16; ++i) {
            table.HuffBits[i] = in.ReadByte();
            total += table.HuffBits[i];
        }
        if (total > 256) Fail(kMsgBadTable);
        if (remaining < 17 + total) Fail(BadLength(0xFFC4));
        if (!CodeSpaceFits(table.HuffBits)) Fail(kMsgBadTable);
        table.Symbol.resize(total);
        for (int k = 0; k < total; ++k) table.Symbol[k] = in.ReadByte();
        table.Defined = true;
        Defined[c][t] = std::move(table);  // a later definition replaces an earlier one
        seg.Tables.push_back({c, t, tableOffset, static_cast<std::size_t>(17 + total)});
        remaining -= 17 + total;
    }
}

void TJpegPeelImpl::ReadScanHeader(std::uint16_t length) {
    TInBitStreamFile& in = *InBits;
    if (!FrameSeen) Fail(kMsgNoFrame);
    const int ns = in.ReadByte();
    if (ns < 1 || ns > 4 || length != 6 + 2 * ns) Fail(BadLength(0xFFDA));
    // Only one scan carrying every component of the frame is supported.
    if (ns != ComponentCount) Fail(kMsgMultiScan);
    bool seen[4] = {};
    for (int i = 0; i < ns; ++i) {
        const int cs = in.ReadByte();
        const int tables = in.ReadByte();
        int slot = -1;
        for (int j = 0; j < ComponentCount; ++j)
            if (Comp[j].Id == cs) slot = j;
        if (slot < 0 || seen[slot]) Fail(kMsgScanComponent);
        seen[slot] = true;
        Comp[slot].DCTableId = tables >> 4;
        Comp[slot].ACTableId = tables & 15;
        if (Comp[slot].DCTableId > 1 || Comp[slot].ACTableId > 1) Fail(kMsgTableId);
        ScanOrder[i] = slot;
    }
    ScanCount = ns;
    in.ReadByte();  // Ss
    in.ReadByte();  // Se
    in.ReadByte();  // Ah/Al
}

void TJpegPeelImpl::ReadRestartInterval(std::uint16_t length) {
    if (length != 4) Fail(BadLength(0xFFDD));
    RestartEnabled = true;
    RestartInterval = InBits->ReadWord();
}

void TJpegPeelImpl::CheckScanTables() {
    for (int i = 0; i < ScanCount; ++i) {
        const TComponent& c = Comp[ScanOrder[i]];
        if (!Defined[0][c.DCTableId].Defined || !Defined[1][c.ACTableId].Defined) Fail(kMsgNoTable);
        Used[0][c.DCTableId] = true;
        Used[1][c.ACTableId] = true;
    }
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t)
            if (Used[c][t]) Decode[c][t].Build(Defined[c][t].HuffBits, Defined[c][t].Symbol, c);
}

// Block layout. A scan of several components is interleaved: each MCU holds
// H x V blocks of every component. A scan of one component holds one block per
// MCU, whatever its sampling factors, and covers ceil(X/8) x ceil(Y/8) blocks.
void TJpegPeelImpl::ComputeLayout() {
    if (ComponentCount == 1) {
        MCUCols = (ImageWidth + 7) / 8;
        MCURows = (ImageHeight + 7) / 8;
        Comp[0].McuH = Comp[0].McuV = 1;
    } else {
        MCUCols = (ImageWidth + 8 * MaxH - 1) / (8 * MaxH);
        MCURows = (ImageHeight + 8 * MaxV - 1) / (8 * MaxV);
        for (int i = 0; i < ComponentCount; ++i) {
            Comp[i].McuH = Comp[i].SamplingH;
            Comp[i].McuV = Comp[i].SamplingV;
        }
    }
    // Every block costs at least two bits of scan data (a DC code and an AC
    // code of at least one bit each), so a frame that declares more blocks
    // than its data could hold is cut short: refuse it before allocating.
    TotalBlocks = 0;
    for (int i = 0; i < ComponentCount; ++i)
        TotalBlocks += std::uint64_t(MCUCols) * MCURows * Comp[i].McuH * Comp[i].McuV;
    const std::uint64_t scanBytes = InStream->Size() - ScanDataStart;
    if (TotalBlocks > scanBytes * 4 + 4) Fail(kMsgScanTruncated);

    BlocksPerMcu = 0;
    for (int i = 0; i < ScanCount; ++i) {
        const int slot = ScanOrder[i];
        for (int b = 0; b < Comp[slot].McuH * Comp[slot].McuV; ++b) McuSlots[BlocksPerMcu++] = slot;
    }
}

// After the scan: is there a second scan before the end of the image?
bool TJpegPeelImpl::HasAnotherScan(std::size_t pos) const {
    const std::uint8_t* d = InStream->Memory();
    const std::size_t size = InStream->Size();
    while (pos + 1 < size) {
        const void* ff = std::memchr(d + pos, 0xFF, size - pos - 1);
        if (!ff) return false;
        pos = static_cast<const std::uint8_t*>(ff) - d;
        const std::uint8_t m = d[pos + 1];
        if (m == 0x00 || m == 0xFF || (m >= 0xD0 && m <= 0xD7)) {
            ++pos;
            continue;
        }
        if (m == 0xDA) return true;
        if (m == 0xD9) return false;
        if (pos + 3 >= size) return false;
        pos += 2 + ((std::size_t(d[pos + 2]) << 8) | d[pos + 3]);
    }
    return false;
}

// ------------------------------------------------------------ scan walking

// Visits every block of the scan in order: MCU by MCU, within an MCU the
// components in scan-header order, each with its rows of blocks. Between two
// restart intervals the DC predictions start again from 0 and onRestart runs
// (never after the last MCU). Stops as soon as a callback returns false.
template <class RowFn, class BlockFn, class RestartFn>
bool TJpegPeelImpl::WalkScan(RowFn&& onRow, BlockFn&& onBlock, RestartFn&& onRestart) {
    std::memset(DCPredictor, 0, sizeof DCPredictor);
    MCUCounter = 0;
    for (std::int32_t row = 0; row < MCURows; ++row) {
        if (!onRow(row)) return false;
        for (std::int32_t col = 0; col < MCUCols; ++col) {
            for (int b = 0; b < BlocksPerMcu; ++b)
                if (!onBlock(McuSlots[b])) return false;
            if (!RestartEnabled) continue;
            ++MCUCounter;
            const bool last = row == MCURows - 1 && col == MCUCols - 1;
            if (!last && MCUCounter == RestartInterval) {
                std::memset(DCPredictor, 0, sizeof DCPredictor);
                MCUCounter = 0;
                if (!onRestart()) return false;
            }
        }
    }
    return true;
}

// ------------------------------------------------------------ scan decoding

// The reader's bit buffer held in locals while a block is decoded: stores into
// the coefficient store could otherwise alias it and force a reload per bit.
struct TBitWindow {
    TInBitStreamFile& In;
    std::uint64_t Buf;
    int Count;
    explicit TBitWindow(TInBitStreamFile& in) : In(in) { in.Export(Buf, Count); }
    ~TBitWindow() { In.Import(Buf, Count); }
    void Need32() {
        if (Count >= 32) return;
        In.Import(Buf, Count);
        In.Fill();
        In.Export(Buf, Count);
    }
    std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(Buf >> (64 - n)); }
    void Skip(int n) {
        Buf <<= n;
        Count -= n;
    }
};

inline int DecodeSymbol(TBitWindow& in, const TDecodeTable& t) {
    const std::uint16_t e = t.Fast[in.Peek(kLookBits)];
    if (e) {
        in.Skip(e >> 8);
        return e & 0xFF;
    }
    for (int len = kLookBits + 1; len <= 16; ++len) {
        const auto code = static_cast<std::int32_t>(in.Peek(len));
        if (code <= t.MaxCode[len]) {
            in.Skip(len);
            return t.Vals[t.ValOffset[len] + code];
        }
    }
    return -1;
}

// Decodes one block into a store record and counts every symbol. A block
// whose symbols differ from what the encoder will write for its coefficients
// (zero runs not followed by a coefficient, which the encoder replaces by an
// end of block) marks the file for a recount.
bool TJpegPeelImpl::DecodeBlock(TInBitStreamFile& reader, std::uint8_t*& record, const TDecodeTable& dc,
                                const TDecodeTable& ac, std::uint32_t* dcFreq, std::uint32_t* acFreq) {
    TBitWindow in(reader);
    in.Need32();
    if (const std::int32_t e = dc.Value[in.Peek(kLookBits)]) {
        in.Skip(e & 0xFF);
        ++dcFreq[(e >> 8) & 0xFF];
        Store16(record, static_cast<unsigned>(e) >> 16);
    } else {
        const int s = DecodeSymbol(in, dc);
        if (s < 0 || s > 11) return false;
        ++dcFreq[s];
        const unsigned bits = s ? in.Peek(s) : 0;
        in.Skip(s);
        Store16(record, Packed(s, bits));
    }
    std::uint8_t* p = record + 3;

    bool pendingZeroRun = false;
    for (int k = 1; k < 64;) {
        in.Need32();
        // Common case: code and value bits in one lookup.
        if (const std::int32_t e = ac.Value[in.Peek(kLookBits)]) {
            in.Skip(e & 0xFF);
            const int rs = (e >> 8) & 0xFF;
            ++acFreq[rs];
            k += rs >> 4;
            if (k > 63) return false;
            p[0] = static_cast<std::uint8_t>(k++);
            Store16(p + 1, static_cast<unsigned>(e) >> 16);
            p += 3;
            pendingZeroRun = false;
            continue;
        }
        const int rs = DecodeSymbol(in, ac);
        if (rs < 0) return false;
        ++acFreq[rs];
        const int r = rs >> 4, size = rs & 15;
        if (size == 0) {
            if (r == 0) break;  // end of block
            // Runs 1 to 14 with size 0 are undefined in a sequential scan:
            // common decoders end the block there, a literal reading writes
            // r + 1 zeros and goes on. The two give different pictures, so
            // no result could be trusted to show what the source shows.
            if (r != 15 || k + r > 63) return false;
            k += 16;
            pendingZeroRun = true;
            continue;
        }
        if (size > 10) return false;
        k += r;
        if (k > 63) return false;
        p[0] = static_cast<std::uint8_t>(k++);
        Store16(p + 1, Packed(size, in.Peek(size)));
        in.Skip(size);
        p += 3;
        pendingZeroRun = false;
    }
    if (pendingZeroRun) NeedRecount = true;
    record[2] = static_cast<std::uint8_t>((p - record - 3) / 3);
    record = p;
    return true;
}

void TJpegPeelImpl::ReportOverrun(const TInBitStreamFile& in) {
    Error(in.StoppedAtEnd() ? kMsgScanTruncated : kBitStreamMessage);
}

// At a restart position: the rest of the current byte is padding, and the
// next two bytes must be a restart marker (fill bytes 0xFF may precede it).
bool TJpegPeelImpl::TakeRestartMarker(TInBitStreamFile& in) {
    if (in.Overrun()) {
        ReportOverrun(in);
        return false;
    }
    if (in.AlignToByte() != 0) {
        Error(kMsgRestart);
        return false;
    }
    std::size_t pos = in.RawPosition();
    const std::uint8_t* d = in.StreamData();
    const std::size_t size = in.StreamSize();
    while (pos + 2 < size && d[pos] == 0xFF && d[pos + 1] == 0xFF) ++pos;
    if (pos + 1 >= size) {
        Error(kMsgScanTruncated);
        return false;
    }
    if (d[pos] != 0xFF || d[pos + 1] < 0xD0 || d[pos + 1] > 0xD7) {
        Error(kMsgRestart);
        return false;
    }
    in.SetRawPosition(pos + 2);
    return true;
}

bool TJpegPeelImpl::DecodeScan() {
    TInBitStreamFile& in = *InBits;
    in.SetRawPosition(ScanDataStart);
    // A block record takes 3 bytes and each coefficient 3 more; photos need
    // about four bytes of store per byte of scan data.
    const std::size_t scanBytes = InStream->Size() - ScanDataStart;
    Coefficients.Start(std::min<std::uint64_t>(TotalBlocks * 3 + scanBytes * 4, TCoefficientStore::kLimit));
    std::uint8_t* record = nullptr;
    bool huffmanError = false;
    const bool ok = WalkScan(
        [&](std::int32_t row) {
            if (row > 0 && in.Overrun()) return false;  // bits taken past a marker or the end
            return Progress(row);
        },
        [&](int slot) {
            const TComponent& c = Comp[slot];
            record = Coefficients.Room();
            if (!DecodeBlock(in, record, Decode[0][c.DCTableId], Decode[1][c.ACTableId],
                             Use.Freq[0][c.DCTableId], Use.Freq[1][c.ACTableId])) {
                huffmanError = true;
                return false;
            }
            Coefficients.Commit(record);
            return true;
        },
        [&] { return TakeRestartMarker(in); });
    if (in.Overrun()) {
        ReportOverrun(in);  // before any other message: the data ran into a marker
        return false;
    }
    if (huffmanError) Error(kMsgHuffman);
    return ok;
}

// ------------------------------------------------------------ statistics

// For every block record, the symbols the encoder writes: the DC difference,
// then for each non-zero coefficient the zero runs before it and its
// run/size symbol, and an end of block unless coefficient 63 is non-zero.
// The sink gets each symbol with its extra bits.
template <class Sink>
inline const std::uint8_t* WalkRecordSymbols(const std::uint8_t* r, Sink&& sink) {
    const unsigned dc = Load16(r);
    sink.Dc(static_cast<int>(dc >> 12), dc & 0xFFF);
    const int n = r[2];
    r += 3;
    int last = 0;
    for (int i = 0; i < n; ++i, r += 3) {
        const int pos = r[0];
        const unsigned v = Load16(r + 1);
        int run = pos - last - 1;
        for (; run > 15; run -= 16) sink.Ac(0xF0, 0);
        sink.Ac(run * 16 + static_cast<int>(v >> 12), v & 0xFFF);
        last = pos;
    }
    if (last < 63) sink.Ac(0x00, 0);
    return r;
}

void TJpegPeelImpl::RecountSymbols() {
    std::memset(&Use, 0, sizeof Use);
    const std::uint8_t* r = Coefficients.Begin();
    WalkScan([](std::int32_t) { return true; },
             [&](int slot) {
                 const TComponent& c = Comp[slot];
                 struct {
                     std::uint32_t* dc;
                     std::uint32_t* ac;
                     void Dc(int size, unsigned) { ++dc[size]; }
                     void Ac(int symbol, unsigned) { ++ac[symbol]; }
                 } counter{Use.Freq[0][c.DCTableId], Use.Freq[1][c.ACTableId]};
                 r = WalkRecordSymbols(r, counter);
                 return true;
             },
             [] { return true; });
}

// Each table the scan uses is built once, from the definition in force for the
// scan: its leaves in the table's own order, then any symbol the encoder will
// write that the table lacked, in ascending value.
void TJpegPeelImpl::BuildTables() {
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t) {
            if (!Used[c][t]) continue;
            const std::uint32_t* freq = Use.Freq[c][t];
            bool listed[256] = {};
            std::vector<TSymbolCount> counts;
            for (std::int32_t s : Defined[c][t].Symbol) {
                if (listed[s]) continue;
                listed[s] = true;
                if (freq[s]) counts.push_back({s, static_cast<std::int32_t>(freq[s])});
            }
            for (int s = 0; s < 256; ++s)
                if (!listed[s] && freq[s]) counts.push_back({s, static_cast<std::int32_t>(freq[s])});
            Optimal[c][t] = BuildOptimalTable(counts);
            Encode[c][t].Build(Optimal[c][t]);
        }
}

// ------------------------------------------------------------ output

void TJpegPeelImpl::WriteOptimizedHuffmanTables(const TSegment& seg) {
    TOutBitStreamFile& out = *OutBits;
    const std::uint8_t* d = InStream->Memory();
    for (const TSegment::TTableRef& ref : seg.Tables) {
        if (!Used[ref.Class][ref.Id]) {
            // A table the scan does not use is written as the file defined it.
            out.WriteWord(0xFFC4);
            out.WriteWord(static_cast<std::uint16_t>(2 + ref.Length));
            out.WriteBuffer(d + ref.Offset, ref.Length);
            continue;
        }
        const TOptimalTable& t = Optimal[ref.Class][ref.Id];
        out.WriteWord(0xFFC4);
        out.WriteWord(static_cast<std::uint16_t>(19 + t.Symbol.size()));
        out.WriteByte(static_cast<std::uint8_t>(ref.Class * 16 + ref.Id));
        for (std::int16_t b : t.HuffBits) out.WriteByte(static_cast<std::uint8_t>(b));
        for (std::int32_t s : t.Symbol) out.WriteByte(static_cast<std::uint8_t>(s));
    }
}

void TJpegPeelImpl::WriteHeaders(bool optimized) {
    TOutBitStreamFile& out = *OutBits;
    const std::uint8_t* d = InStream->Memory();
    out.WriteWord(0xFFD8);
    for (const TSegment& seg : Segments) {
        if (seg.Marker == 0xFFE1 && Owner.RemoveExif) continue;
        if (seg.Marker == 0xFFC4 && optimized) {
            WriteOptimizedHuffmanTables(seg);
            continue;
        }
        out.WriteBuffer(d + seg.Offset, seg.Length);
    }
}

// Without re-encoding, everything after the scan header is carried over as it
// is, with a progress report every hundredth of the file.
void TJpegPeelImpl::CopyRest() {
    const std::uint64_t size = InStream->Size();
    const std::uint64_t unit = size / 100 ? size / 100 : 1;
    ProgressMax(static_cast<int>(size / unit));
    const std::uint64_t rest = size - ScanDataStart;
    for (std::uint64_t count = unit; count <= rest; count += unit) Progress(static_cast<int>(count / unit));
    OutBits->WriteBuffer(InStream->Memory() + ScanDataStart, rest);
}

bool TJpegPeelImpl::EncodeScan() {
    TOutBitStreamFile& out = *OutBits;
    const std::uint8_t* r = Coefficients.Begin();
    int restartNumber = 0;
    return WalkScan([&](std::int32_t row) { return Progress(MCURows + row); },
                    [&](int slot) {
                        const TComponent& c = Comp[slot];
                        // The writer's pending bits live in locals for the block.
                        struct {
                            TOutBitStreamFile& out;
                            const TEncodeTable& dc;
                            const TEncodeTable& ac;
                            std::uint64_t acc;
                            int bits;
                            void Put(std::uint32_t value, int n) {
                                acc = (acc << n) | value;
                                bits += n;
                                if (bits < 32) return;
                                out.Import(acc, bits);
                                out.Drain();
                                out.Export(acc, bits);
                            }
                            void Dc(int size, unsigned extra) { Put((dc.Code[size] << size) | extra, dc.Length[size] + size); }
                            void Ac(int symbol, unsigned extra) {
                                const int size = symbol & 15;
                                Put((ac.Code[symbol] << size) | extra, ac.Length[symbol] + size);
                            }
                        } writer{out, Encode[0][c.DCTableId], Encode[1][c.ACTableId], 0, 0};
                        out.Export(writer.acc, writer.bits);
                        r = WalkRecordSymbols(r, writer);
                        out.Import(writer.acc, writer.bits);
                        return true;
                    },
                    [&] {
                        // the raw write first completes the current byte with 0-bits
                        out.WriteWord(static_cast<std::uint16_t>(0xFFD0 + restartNumber));
                        restartNumber = (restartNumber + 1) & 7;
                        return true;
                    });
}

// Decodes the new scan with the new tables and compares every block with the
// store, the restart markers with their expected numbers, and checks that the
// file ends right after the scan with EOI. Any difference means a fault of
// the encoder, and the result must not be used.
bool TJpegPeelImpl::VerifyScan(std::size_t scanStart) {
    TDecodeTable tables[2][2];
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t)
            if (Used[c][t]) tables[c][t].Build(Optimal[c][t].HuffBits, Optimal[c][t].Symbol, c);
    TInBitStreamFile in(*OutStream, nullptr);
    in.SetRawPosition(scanStart);
    const std::uint8_t* expected = Coefficients.Begin();
    std::uint8_t decoded[TCoefficientStore::kMaxRecord];
    std::uint32_t scratch[2][256];
    const bool savedRecount = NeedRecount;
    int restartNumber = 0;
    const std::uint8_t* d = OutStream->Memory();
    const std::size_t size = OutStream->Size();
    bool same = WalkScan(
        [&](std::int32_t) { return !in.Overrun(); },
        [&](int slot) {
            const TComponent& c = Comp[slot];
            std::uint8_t* end = decoded;
            if (!DecodeBlock(in, end, tables[0][c.DCTableId], tables[1][c.ACTableId], scratch[0], scratch[1]))
                return false;
            const std::size_t n = static_cast<std::size_t>(end - decoded);
            if (n != RecordSize(expected) || std::memcmp(decoded, expected, n) != 0) return false;
            expected += n;
            return true;
        },
        [&] {
            if (in.Overrun() || in.AlignToByte() != 0) return false;
            const std::size_t pos = in.RawPosition();
            if (pos + 1 >= size || d[pos] != 0xFF || d[pos + 1] != 0xD0 + restartNumber) return false;
            restartNumber = (restartNumber + 1) & 7;
            in.SetRawPosition(pos + 2);
            return true;
        });
    NeedRecount = savedRecount;
    if (!same || in.Overrun() || in.AlignToByte() != 0) return false;
    const std::size_t pos = in.RawPosition();
    return expected == Coefficients.Begin() + Coefficients.Bytes() && pos + 2 == size && d[pos] == 0xFF &&
           d[pos + 1] == 0xD9;
}

// ------------------------------------------------------------ the whole job

bool TJpegPeelImpl::Process(TMemoryStream& in, TMemoryStream& out) {
    InStream = &in;
    OutStream = &out;
    out.Clear();
    ResetFrame();
    InBits.reset();
    OutBits.reset();
    InBits = std::make_unique<TInBitStreamFile>(in, Owner.OnError);
    OutBits = std::make_unique<TOutBitStreamFile>(out, Owner.OnError);

    if (in.Size() < 2 || InBits->ReadWord() != 0xFFD8) Fail(kMsgNoSOI);
    ReadHeaders();
    CheckScanTables();
    ComputeLayout();
    if (HasAnotherScan(ScanDataStart)) Fail(kMsgMultiScan);

    if (!Owner.OptimizeCode) {
        WriteHeaders(false);
        CopyRest();
        OutBits->Commit();
        out.SetPosition(0);
        return true;
    }

    ProgressMax(2 * MCURows);
    Progress(0);
    if (!DecodeScan()) return false;
    if (NeedRecount) RecountSymbols();
    BuildTables();

    out.Reserve(in.Size() + 4096);
    WriteHeaders(true);
    OutBits->Commit();
    const std::size_t scanStart = out.Size();
    if (!EncodeScan()) return false;
    OutBits->WriteWord(0xFFD9);
    OutBits->Commit();
    if (!VerifyScan(scanStart)) Fail(kMsgVerify);
    out.SetPosition(0);
    return true;
}

// ---------------------------------------------------------------- TJpegPeel

TJpegPeel::TJpegPeel() : Impl(std::make_unique<TJpegPeelImpl>(*this)) {
    OnError = [](const std::string& text, int) { std::printf("%s\n", text.c_str()); };
    OnProgressMax = [](int) {};
    OnProgress = [](int) { return true; };
}

TJpegPeel::~TJpegPeel() = default;

bool TJpegPeel::Process(TMemoryStream& InStream, TMemoryStream& OutStream) {
    struct Release {
        TJpegPeelImpl& Impl;
        ~Release() { Impl.ReleaseStreams(); }
    } release{*Impl};
    bool ok = false;
    try {
        ok = Impl->Process(InStream, OutStream);
    } catch (const EPeelFailure&) {
    } catch (const ETooLarge&) {
        if (OnError) OnError(kMsgTooLarge, 2);
    } catch (const EReadError&) {
        if (OnError) OnError(kMsgTruncated, 2);
    } catch (const std::bad_alloc&) {
        if (OnError) OnError(kMsgNoMemory, 2);
    } catch (...) {
        if (OnError) OnError(kMsgInternal, 2);
    }
    if (!ok) OutStream.Clear();
    return ok;
}

} // namespace lumaro
