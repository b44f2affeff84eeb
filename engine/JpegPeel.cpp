#include "JpegPeel.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "JpegPeelImpl.h"
#include "PeelMessages.h"
#include "ScanThreading.h"

namespace lumaro {

namespace {

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

} // namespace

void TJpegPeelImpl::ResetFrame() {
    FrameSeen = false;
    ImageWidth = ImageHeight = 0;
    MaxH = MaxV = 1;
    ComponentCount = 0;
    ScanCount = 0;
    RestartEnabled = false;
    RestartInterval = 0;
    Segments.clear();
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
    const std::uint64_t scanBytes = InSize - ScanDataStart;
    if (TotalBlocks > scanBytes * 4 + 4) Fail(kMsgScanTruncated);

    BlocksPerMcu = 0;
    for (int i = 0; i < ScanCount; ++i) {
        const int slot = ScanOrder[i];
        for (int b = 0; b < Comp[slot].McuH * Comp[slot].McuV; ++b) McuSlots[BlocksPerMcu++] = slot;
    }
}

// ------------------------------------------------------------ statistics

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
            Encode[c][t].Build(Optimal[c][t], c);
        }
}

// ------------------------------------------------------------ output

void TJpegPeelImpl::WriteOptimizedHuffmanTables(const TSegment& seg) {
    TOutBitStreamFile& out = *OutBits;
    const std::uint8_t* d = InData;
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
    const std::uint8_t* d = InData;
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
    const std::uint64_t size = InSize;
    const std::uint64_t unit = size / 100 ? size / 100 : 1;
    ProgressMax(static_cast<int>(size / unit));
    const std::uint64_t rest = size - ScanDataStart;
    for (std::uint64_t count = unit; count <= rest; count += unit) Progress(static_cast<int>(count / unit));
    OutBits->WriteBuffer(InData + ScanDataStart, rest);
}

// ------------------------------------------------------------ the whole job

// A file large enough for a second thread has it started now, so that it is
// awake by the time the scan comes (waking a sleeping CPU can take longer
// than reading the headers).
void TJpegPeelImpl::Expect(std::size_t size) {
    const TScanThreading& limits = ScanThreading();
    if (Owner.OptimizeCode && size >= std::min(limits.SplitDecodeMin, limits.ThreadedVerifyMin)) Helper.Warm();
}

// The source's scan is read no more: the caller is told so, on the helper
// when it is running. Dropping the pages of a mapped source takes a few
// hundred microseconds, which this thread spends meanwhile on the tables
// and the result's room.
void TJpegPeelImpl::SourceRead() {
    if (!Owner.OnSourceRead) return;
    const std::size_t offset = ScanDataStart, length = InSize - ScanDataStart;
    if (Helper.Started() && Helper.Start([this, offset, length] { Owner.OnSourceRead(offset, length); })) return;
    Owner.OnSourceRead(offset, length);
}

void TJpegPeelImpl::ReleaseWorkingMemory() {
    const auto release = [this] {
        Coefficients.Release();
        HelperCoefficients.Release();
        SecondPart.Release();
        Pieces.clear();
    };
    if (!Helper.Started() || !Helper.Start(release)) release();
}

bool TJpegPeelImpl::Process(const std::uint8_t* data, std::size_t size, TMemoryStream& out, bool sourcePresent) {
    Helper.Join();  // memory still being given back
    InData = data;
    InSize = size;
    SourcePresent = sourcePresent;
    OutStream = &out;
    out.Clear();
    ResetFrame();
    InBits.reset();
    OutBits.reset();
    InBits = std::make_unique<TInBitStreamFile>(data, size, Owner.OnError);
    OutBits = std::make_unique<TOutBitStreamFile>(out, Owner.OnError);
    Expect(size);

    if (size < 2 || InBits->ReadWord() != 0xFFD8) Fail(kMsgNoSOI);
    ReadHeaders();
    CheckScanTables();
    ComputeLayout();
    if (ScanMarkers(ScanDataStart)) Fail(kMsgMultiScan);

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
    SourceRead();
    BuildTables();
    ReserveResult();

    WriteHeaders(true);
    OutBits->Commit();
    if (!EncodeAndVerify(out.Size())) return false;
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

void TJpegPeel::Expect(std::size_t fileSize) { Impl->Expect(fileSize); }

void TJpegPeel::ReleaseWorkingMemory() { Impl->ReleaseWorkingMemory(); }

bool TJpegPeel::Process(TMemoryStream& InStream, TMemoryStream& OutStream) {
    InStream.SetPosition(0);
    return Run(InStream.Memory(), InStream.Size(), OutStream, true);
}

bool TJpegPeel::Process(const std::uint8_t* data, std::size_t size, TMemoryStream& OutStream) {
    return Run(data, size, OutStream, false);
}

bool TJpegPeel::Run(const std::uint8_t* data, std::size_t size, TMemoryStream& OutStream, bool sourcePresent) {
    struct Release {
        TJpegPeelImpl& Impl;
        ~Release() { Impl.ReleaseStreams(); }
    } release{*Impl};
    bool ok = false;
    try {
        ok = Impl->Process(data, size, OutStream, sourcePresent);
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
