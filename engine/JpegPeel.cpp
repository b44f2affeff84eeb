#include "JpegPeel.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "BitStreamFile.h"
#include "HuffmanBuilder.h"

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

// ---------------------------------------------------------------- tables

// 64 quantised coefficients of one block in scan (zig-zag) order; element 0
// holds the absolute DC value.
struct TCoefBlock {
    std::int16_t C[64];
};

// A Huffman table as the file defines it.
struct TDefinedTable {
    bool Defined = false;
    std::int16_t HuffBits[16] = {};
    std::vector<std::int32_t> Symbol;  // HUFFVAL in canonical order
};

// Lookup tables for decoding: codes of up to kLookBits bits in one step,
// longer ones through the canonical MaxCode/ValOffset arrays.
constexpr int kLookBits = 9;

struct TDecodeTable {
    std::uint16_t Fast[1 << kLookBits];  // (length << 8) | symbol; 0 = longer code
    std::int32_t MaxCode[18];
    std::int32_t ValOffset[18];
    std::uint8_t Vals[256];

    void Build(const std::int16_t bits[16], const std::vector<std::int32_t>& symbols) {
        std::memset(Fast, 0, sizeof Fast);
        std::int32_t code = 0, k = 0;
        for (int len = 1; len <= 16; ++len) {
            ValOffset[len] = k - code;
            for (int j = 0; j < bits[len - 1]; ++j, ++k, ++code) {
                Vals[k] = static_cast<std::uint8_t>(symbols[k]);
                if (len <= kLookBits) {
                    const int shift = kLookBits - len;
                    const auto entry = static_cast<std::uint16_t>((len << 8) | symbols[k]);
                    for (int x = code << shift; x < ((code + 1) << shift); ++x) Fast[x] = entry;
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

inline int SizeOf(int v) {
    const unsigned a = static_cast<unsigned>(v < 0 ? -v : v);
    return a ? 32 - __builtin_clz(a) : 0;
}

inline int Extend(int v, int s) { return v < (1 << (s - 1)) ? v - (1 << s) + 1 : v; }

// ---------------------------------------------------------------- frame

struct TComponent {
    std::uint8_t Id = 0;
    int SamplingH = 0, SamplingV = 0;  // as in the frame header
    int QuantTableId = 0;
    int McuH = 1, McuV = 1;            // blocks per MCU (1x1 in a one-component scan)
    int DCTableId = 0, ACTableId = 0;
    std::size_t BlocksPerLine = 0, BlockRows = 0;
    std::unique_ptr<TCoefBlock[]> Coefficients;
    std::size_t Capacity = 0;
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
    bool DecodeBlock(TInBitStreamFile& in, std::int16_t* blk, int slot, const TDecodeTable& dc,
                     const TDecodeTable& ac, std::uint32_t* dcFreq, std::uint32_t* acFreq);
    bool TakeRestartMarker(TInBitStreamFile& in, int* number);
    void ReportOverrun(const TInBitStreamFile& in);
    void RecountSymbols();
    void BuildTables();
    void WriteHeaders(bool optimized);
    void WriteOptimizedHuffmanTables(const TSegment& seg);
    void CopyRest();
    bool EncodeScan();
    void EncodeBlock(const std::int16_t* blk, int slot, const TEncodeTable& dc, const TEncodeTable& ac);
    bool VerifyScan(std::size_t scanStart);

    template <class Fn>
    bool ForEachBlockOfMcu(std::size_t row, std::size_t col, Fn&& fn);

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
            if (Used[c][t]) Decode[c][t].Build(Defined[c][t].HuffBits, Defined[c][t].Symbol);
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
    std::uint64_t blocks = 0;
    for (int i = 0; i < ComponentCount; ++i)
        blocks += std::uint64_t(MCUCols) * MCURows * Comp[i].McuH * Comp[i].McuV;
    const std::uint64_t scanBytes = InStream->Size() - ScanDataStart;
    if (blocks > scanBytes * 4 + 4) Fail(kMsgScanTruncated);
    constexpr std::uint64_t kMaxStoreBytes = std::uint64_t{6} << 30;
    if (blocks * sizeof(TCoefBlock) > kMaxStoreBytes) Fail(kMsgTooLarge);

    for (int i = 0; i < ComponentCount; ++i) {
        TComponent& c = Comp[i];
        c.BlocksPerLine = std::size_t(MCUCols) * c.McuH;
        c.BlockRows = std::size_t(MCURows) * c.McuV;
        const std::size_t need = c.BlocksPerLine * c.BlockRows;
        if (c.Capacity < need) {  // kept between files; only ever grows
            c.Coefficients.reset();
            c.Capacity = 0;
            c.Coefficients.reset(new TCoefBlock[need]);
            c.Capacity = need;
        }
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

// ------------------------------------------------------------ scan decoding

template <class Fn>
bool TJpegPeelImpl::ForEachBlockOfMcu(std::size_t row, std::size_t col, Fn&& fn) {
    for (int i = 0; i < ScanCount; ++i) {
        const int slot = ScanOrder[i];
        TComponent& c = Comp[slot];
        for (int v = 0; v < c.McuV; ++v) {
            TCoefBlock* line = &c.Coefficients[(row * c.McuV + v) * c.BlocksPerLine + col * c.McuH];
            for (int h = 0; h < c.McuH; ++h)
                if (!fn(slot, line[h].C)) return false;
        }
    }
    return true;
}

inline int DecodeSymbol(TInBitStreamFile& in, const TDecodeTable& t) {
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

// Decodes one block; counts every symbol. A block whose symbols differ from
// what the encoder will write for its coefficients (zeros coded explicitly,
// zero runs not followed by a coefficient) marks the file for a recount.
bool TJpegPeelImpl::DecodeBlock(TInBitStreamFile& in, std::int16_t* blk, int slot, const TDecodeTable& dc,
                                const TDecodeTable& ac, std::uint32_t* dcFreq, std::uint32_t* acFreq) {
    std::memset(blk, 0, 64 * sizeof(std::int16_t));
    if (in.Available() < 32) in.Fill();
    const int s = DecodeSymbol(in, dc);
    if (s < 0 || s > 11) return false;
    ++dcFreq[s];
    int diff = 0;
    if (s) {
        diff = Extend(static_cast<int>(in.Peek(s)), s);
        in.Skip(s);
    }
    const int value = DCPredictor[slot] + diff;
    if (value < -32768 || value > 32767) return false;
    blk[0] = static_cast<std::int16_t>(value);
    DCPredictor[slot] = value;

    bool pendingZeroRun = false;
    for (int k = 1; k < 64;) {
        if (in.Available() < 32) in.Fill();
        const int rs = DecodeSymbol(in, ac);
        if (rs < 0) return false;
        ++acFreq[rs];
        const int r = rs >> 4, size = rs & 15;
        if (size == 0) {
            if (r == 0) break;  // end of block
            if (k + r > 63) return false;
            k += r + 1;
            if (r == 15) pendingZeroRun = true;
            else NeedRecount = true;
            continue;
        }
        if (size > 10) return false;
        k += r;
        if (k > 63) return false;
        blk[k++] = static_cast<std::int16_t>(Extend(static_cast<int>(in.Peek(size)), size));
        in.Skip(size);
        pendingZeroRun = false;
    }
    if (pendingZeroRun) NeedRecount = true;
    return true;
}

void TJpegPeelImpl::ReportOverrun(const TInBitStreamFile& in) {
    Error(in.StoppedAtEnd() ? kMsgScanTruncated : kBitStreamMessage);
}

// At a restart position: the rest of the current byte is padding, and the
// next two bytes must be a restart marker (fill bytes 0xFF may precede it).
bool TJpegPeelImpl::TakeRestartMarker(TInBitStreamFile& in, int* number) {
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
    if (number) *number = d[pos + 1] - 0xD0;
    in.SetRawPosition(pos + 2);
    return true;
}

bool TJpegPeelImpl::DecodeScan() {
    TInBitStreamFile& in = *InBits;
    in.SetRawPosition(ScanDataStart);
    std::memset(DCPredictor, 0, sizeof DCPredictor);
    MCUCounter = 0;
    for (std::int32_t row = 0; row < MCURows; ++row) {
        if (!Progress(row)) return false;
        for (std::int32_t col = 0; col < MCUCols; ++col) {
            const bool ok = ForEachBlockOfMcu(row, col, [&](int slot, std::int16_t* blk) {
                const TComponent& c = Comp[slot];
                return DecodeBlock(in, blk, slot, Decode[0][c.DCTableId], Decode[1][c.ACTableId],
                                   Use.Freq[0][c.DCTableId], Use.Freq[1][c.ACTableId]);
            });
            if (in.Overrun()) {  // bits taken past a marker or the end
                ReportOverrun(in);
                return false;
            }
            if (!ok) {
                Error(kMsgHuffman);
                return false;
            }
            if (RestartEnabled) {
                ++MCUCounter;
                const bool last = row == MCURows - 1 && col == MCUCols - 1;
                if (!last && MCUCounter == RestartInterval) {
                    std::memset(DCPredictor, 0, sizeof DCPredictor);
                    MCUCounter = 0;
                    if (!TakeRestartMarker(in, nullptr)) return false;
                }
            }
        }
    }
    return true;
}

// ------------------------------------------------------------ statistics

// Per block, the symbols the encoder writes for these coefficients.
template <class Sink>
inline void WalkBlockSymbols(const std::int16_t* blk, int diff, Sink&& sink) {
    sink.Dc(diff);
    int zeros = 0;
    for (int k = 1; k < 64; ++k) {
        const int v = blk[k];
        if (v == 0) {
            ++zeros;
            continue;
        }
        while (zeros > 15) {
            sink.Ac(0xF0, 0);
            zeros -= 16;
        }
        sink.Ac(zeros * 16 + SizeOf(v), v);
        zeros = 0;
    }
    if (zeros > 0) sink.Ac(0x00, 0);
}

void TJpegPeelImpl::RecountSymbols() {
    std::memset(&Use, 0, sizeof Use);
    std::memset(DCPredictor, 0, sizeof DCPredictor);
    MCUCounter = 0;
    for (std::int32_t row = 0; row < MCURows; ++row) {
        for (std::int32_t col = 0; col < MCUCols; ++col) {
            ForEachBlockOfMcu(row, col, [&](int slot, std::int16_t* blk) {
                const TComponent& c = Comp[slot];
                struct {
                    std::uint32_t* dc;
                    std::uint32_t* ac;
                    void Dc(int diff) { ++dc[SizeOf(diff)]; }
                    void Ac(int symbol, int) { ++ac[symbol]; }
                } counter{Use.Freq[0][c.DCTableId], Use.Freq[1][c.ACTableId]};
                WalkBlockSymbols(blk, blk[0] - DCPredictor[slot], counter);
                DCPredictor[slot] = blk[0];
                return true;
            });
            if (RestartEnabled) {
                ++MCUCounter;
                const bool last = row == MCURows - 1 && col == MCUCols - 1;
                if (!last && MCUCounter == RestartInterval) {
                    std::memset(DCPredictor, 0, sizeof DCPredictor);
                    MCUCounter = 0;
                }
            }
        }
    }
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

void TJpegPeelImpl::EncodeBlock(const std::int16_t* blk, int slot, const TEncodeTable& dc,
                                const TEncodeTable& ac) {
    TOutBitStreamFile& out = *OutBits;
    struct {
        TOutBitStreamFile& out;
        const TEncodeTable& dc;
        const TEncodeTable& ac;
        void Dc(int diff) {
            const int s = SizeOf(diff);
            out.PutBits(dc.Code[s], dc.Length[s]);
            if (s) out.PutBits(static_cast<std::uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << s) - 1), s);
        }
        void Ac(int symbol, int v) {
            out.PutBits(ac.Code[symbol], ac.Length[symbol]);
            const int s = symbol & 15;
            if (s) out.PutBits(static_cast<std::uint32_t>(v < 0 ? v - 1 : v) & ((1u << s) - 1), s);
        }
    } writer{out, dc, ac};
    WalkBlockSymbols(blk, blk[0] - DCPredictor[slot], writer);
    DCPredictor[slot] = blk[0];
}

bool TJpegPeelImpl::EncodeScan() {
    std::memset(DCPredictor, 0, sizeof DCPredictor);
    MCUCounter = 0;
    int restartNumber = 0;
    for (std::int32_t row = 0; row < MCURows; ++row) {
        if (!Progress(MCURows + row)) return false;
        for (std::int32_t col = 0; col < MCUCols; ++col) {
            ForEachBlockOfMcu(row, col, [&](int slot, std::int16_t* blk) {
                const TComponent& c = Comp[slot];
                EncodeBlock(blk, slot, Encode[0][c.DCTableId], Encode[1][c.ACTableId]);
                return true;
            });
            if (RestartEnabled) {
                ++MCUCounter;
                const bool last = row == MCURows - 1 && col == MCUCols - 1;
                if (!last && MCUCounter == RestartInterval) {
                    std::memset(DCPredictor, 0, sizeof DCPredictor);
                    MCUCounter = 0;
                    // the raw write first completes the current byte with 0-bits
                    OutBits->WriteWord(static_cast<std::uint16_t>(0xFFD0 + restartNumber));
                    restartNumber = (restartNumber + 1) & 7;
                }
            }
        }
    }
    return true;
}

// Decodes the new scan with the new tables and compares every block with the
// store, the restart markers with their expected numbers, and checks that the
// file ends right after the scan with EOI. Any difference means a fault of
// the encoder, and the result must not be used.
bool TJpegPeelImpl::VerifyScan(std::size_t scanStart) {
    TDecodeTable tables[2][2];
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t)
            if (Used[c][t]) tables[c][t].Build(Optimal[c][t].HuffBits, Optimal[c][t].Symbol);
    TInBitStreamFile in(*OutStream, nullptr);
    in.SetRawPosition(scanStart);
    std::memset(DCPredictor, 0, sizeof DCPredictor);
    MCUCounter = 0;
    int expectRestart = 0;
    std::uint32_t scratchFreq[2][256];
    const bool savedRecount = NeedRecount;
    bool same = true;
    for (std::int32_t row = 0; row < MCURows && same; ++row) {
        for (std::int32_t col = 0; col < MCUCols && same; ++col) {
            same = ForEachBlockOfMcu(row, col, [&](int slot, std::int16_t* blk) {
                const TComponent& c = Comp[slot];
                TCoefBlock decoded;
                return DecodeBlock(in, decoded.C, slot, tables[0][c.DCTableId], tables[1][c.ACTableId],
                                   scratchFreq[0], scratchFreq[1]) &&
                       std::memcmp(decoded.C, blk, sizeof decoded.C) == 0;
            });
            if (in.Overrun()) same = false;
            if (same && RestartEnabled) {
                ++MCUCounter;
                const bool last = row == MCURows - 1 && col == MCUCols - 1;
                if (!last && MCUCounter == RestartInterval) {
                    std::memset(DCPredictor, 0, sizeof DCPredictor);
                    MCUCounter = 0;
                    int number = -1;
                    const bool saw = in.AlignToByte() == 0 && !in.Overrun();
                    const std::size_t pos = in.RawPosition();
                    const std::uint8_t* d = OutStream->Memory();
                    if (saw && pos + 1 < OutStream->Size() && d[pos] == 0xFF) number = d[pos + 1] - 0xD0;
                    same = number == expectRestart;
                    in.SetRawPosition(pos + 2);
                    expectRestart = (expectRestart + 1) & 7;
                }
            }
        }
    }
    NeedRecount = savedRecount;
    if (same) {
        same = in.AlignToByte() == 0 && !in.Overrun();
        const std::size_t pos = in.RawPosition();
        same = same && pos + 2 == OutStream->Size() && OutStream->Memory()[pos] == 0xFF &&
               OutStream->Memory()[pos + 1] == 0xD9;
    }
    return same;
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
