// The block coder on its own: records written with new tables, read back by
// the block decoder, and the bit-for-bit check that guards every result. The
// check is the last line of defence, so it must refuse any scan that differs
// from the records in a single bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "BlockCoderSupport.h"
#include "CheckedScanWriter.h"
#include "MemoryStream.h"
#include "ScanCodec.h"

using namespace lumaro;

namespace {

using Records = std::vector<std::uint8_t>;
using testcoder::TCoder;

// One block: a DC size and its bits, then (run, size, bits) entries; an end
// of block is added when the coefficients stop before position 63.
struct TBlockSpec {
    unsigned DcSize = 0, DcBits = 0;
    struct TAc {
        unsigned Run, Size, Bits;
    };
    std::vector<TAc> Ac;
};

// Blocks of every kind the records hold: short and long runs (sixteen-zero
// entries before them), sizes 1 to 10 (9 and 10 take the wide entry), blocks
// whose last coefficient is the 63rd (no end of block), empty blocks.
std::vector<TBlockSpec> MixedBlocks(int count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<TBlockSpec> blocks;
    for (int b = 0; b < count; ++b) {
        TBlockSpec s;
        s.DcSize = random() % 12;
        s.DcBits = s.DcSize ? static_cast<unsigned>(random() & ((1u << s.DcSize) - 1)) : 0;
        unsigned k = 1;
        const int kind = static_cast<int>(random() % 6);
        while (k < 64 && kind != 0) {
            unsigned run = random() % 4 == 0 ? random() % 40 : random() % 3;
            if (kind == 5) run = 0;  // dense up to the 63rd coefficient
            if (k + run > 63) break;
            const unsigned size = 1 + (random() % 5 == 0 ? random() % 10 : random() % 4);
            s.Ac.push_back({run, size, static_cast<unsigned>(random() & ((1u << size) - 1))});
            k += run + 1;
            if (kind != 5 && random() % 9 == 0) break;
        }
        blocks.push_back(s);
    }
    return blocks;
}

Records ToRecords(const std::vector<TBlockSpec>& blocks) {
    Records r;
    for (const TBlockSpec& s : blocks) {
        const std::size_t start = r.size();
        r.resize(start + scan::kMaxRecord);
        std::uint8_t* rec = r.data() + start;
        scan::PutEntry(rec + 1, s.DcSize, s.DcBits);
        std::uint8_t* p = rec + 4;
        unsigned k = 1;
        for (const auto& a : s.Ac) {
            for (unsigned run = a.Run; run >= 16; run -= 16) p = scan::PutAc(p, 0xF0, 0);
            p = scan::PutAc(p, ((a.Run % 16) << 4) | a.Size, a.Bits);
            k += a.Run + 1;
        }
        if (k < 64) p = scan::PutAc(p, 0x00, 0);
        rec[0] = static_cast<std::uint8_t>(p - rec - 4);
        r.resize(start + scan::RecordSize(rec));
    }
    r.resize(r.size() + scan::kMaxRecord);  // room for word-wide reads past the last record
    return r;
}

TCoder CoderFor(const Records& r, int blocks) {
    TCoder c = testcoder::CoderFor(r.data(), blocks);
    EXPECT_TRUE(c.CheckBuilt);
    return c;
}

// The scan of the records, ended by EOI.
std::vector<std::uint8_t> Encode(const Records& r, int blocks, const TCoder& c) {
    TMemoryStream out;
    out.Reserve(r.size() * 4 + 64);
    scan::TScanWriter w(out, out.Capacity());
    const std::uint8_t* rec = r.data();
    for (int b = 0; b < blocks; ++b) rec = w.PutBlock(rec, c.Encode[0], c.Encode[1]);
    w.PutMarker(0xFFD9);
    w.Flush();
    EXPECT_FALSE(w.Overflowed());
    return {out.Data().begin(), out.Data().end()};
}

// True when every block of the scan checks against its record.
bool CheckAll(const std::vector<std::uint8_t>& scanBytes, const Records& r, int blocks, const TCoder& c) {
    TScanReader in(scanBytes.data(), scanBytes.size());
    scan::TBitWindow bits(in);
    const std::uint8_t* rec = r.data();
    for (int b = 0; b < blocks; ++b, rec += scan::RecordSize(rec))
        if (!scan::CheckBlock(bits, rec, c.Check[0], c.Check[1])) return false;
    bits.Put();
    return !in.Overrun();
}

} // namespace

TEST(BlockCoder, RecordsComeBackFromTheirScanWithTheirCounts) {
    const int blocks = 3000;
    const Records r = ToRecords(MixedBlocks(blocks, 1));
    const TCoder c = CoderFor(r, blocks);
    const auto scanBytes = Encode(r, blocks, c);

    TScanReader in(scanBytes.data(), scanBytes.size());
    scan::TBitWindow bits(in);
    Records back(r.size());
    std::uint8_t* out = back.data();
    std::uint32_t freq[2][256] = {};
    for (int b = 0; b < blocks; ++b)
        ASSERT_TRUE(scan::DecodeBlock(bits, out, c.Decode[0], c.Decode[1], freq[0], freq[1])) << "block " << b;
    const std::size_t used = static_cast<std::size_t>(out - back.data());
    ASSERT_EQ(used, r.size() - scan::kMaxRecord);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + static_cast<long>(used), r.begin()));
    for (int cls = 0; cls < 2; ++cls)
        for (std::size_t k = 0; k < c.Optimal[cls].Symbol.size(); ++k)
            EXPECT_GT(freq[cls][c.Optimal[cls].Symbol[k]], 0u);
    EXPECT_TRUE(CheckAll(scanBytes, r, blocks, c));
}

TEST(BlockCoder, TheCheckRefusesEveryBitThatDiffers) {
    const int blocks = 40;
    const Records r = ToRecords(MixedBlocks(blocks, 2));
    const TCoder c = CoderFor(r, blocks);
    const auto good = Encode(r, blocks, c);
    ASSERT_TRUE(CheckAll(good, r, blocks, c));
    // Every bit of the coded blocks (the last byte before EOI may hold padding).
    const std::size_t coded = good.size() - 3;
    int refused = 0, tried = 0;
    for (std::size_t i = 0; i < coded; ++i)
        for (int bit = 0; bit < 8; ++bit) {
            if (good[i] == 0x00 && i > 0 && good[i - 1] == 0xFF) continue;  // stuffing, not data
            auto bad = good;
            bad[i] ^= static_cast<std::uint8_t>(1 << bit);
            ++tried;
            if (!CheckAll(bad, r, blocks, c)) ++refused;
        }
    EXPECT_EQ(refused, tried);
}

// Where the bits of an entry are kept in a record: its symbol byte and, per
// extra bit, the byte and bit holding it.
struct TEntryPlace {
    bool Dc;
    std::size_t Symbol;
    std::vector<std::pair<std::size_t, int>> Extra;
};

std::vector<TEntryPlace> EntryPlaces(const Records& r, int blocks) {
    std::vector<TEntryPlace> places;
    std::size_t rec = 0;
    for (int b = 0; b < blocks; ++b, rec += scan::RecordSize(&r[rec])) {
        TEntryPlace dc{true, rec + 1, {}};
        for (unsigned j = 0; j < r[rec + 1]; ++j) dc.Extra.push_back({rec + 2 + j / 8, static_cast<int>(j % 8)});
        places.push_back(dc);
        for (std::size_t p = rec + 4; p < rec + scan::RecordSize(&r[rec]); p += scan::AcEntryBytes(&r[p])) {
            const bool wide = r[p] == scan::kWideEntry;
            TEntryPlace ac{false, wide ? p + 2 : p, {}};
            for (unsigned j = 0; j < static_cast<unsigned>(scan::AcSize(static_cast<int>(scan::AcEntrySymbol(&r[p])))); ++j)
                ac.Extra.push_back(j < 8 ? std::pair{wide ? p + 3 : p + 1, static_cast<int>(j)}
                                         : std::pair{p + 1, static_cast<int>(j - 8)});
            places.push_back(ac);
        }
    }
    return places;
}

// One extra bit flipped, or an AC symbol replaced by another of the same
// size that has a code: the scan no longer carries the records.
TEST(BlockCoder, TheCheckRefusesRecordsTheScanDoesNotCarry) {
    const int blocks = 200;
    const Records r = ToRecords(MixedBlocks(blocks, 3));
    const TCoder c = CoderFor(r, blocks);
    const auto scanBytes = Encode(r, blocks, c);
    const auto places = EntryPlaces(r, blocks);
    std::mt19937 random(4);
    int extraBits = 0, symbols = 0;
    for (int round = 0; round < 600; ++round) {
        const TEntryPlace& e = places[random() % places.size()];
        Records other = r;
        if (round % 2 == 0) {
            if (e.Extra.empty()) continue;
            const auto& [byte, bit] = e.Extra[random() % e.Extra.size()];
            other[byte] ^= static_cast<std::uint8_t>(1 << bit);
            ++extraBits;
        } else {
            if (e.Dc) continue;  // a DC symbol is its size: another one changes the extra bits' meaning
            const unsigned rs = r[e.Symbol];
            std::vector<unsigned> same;
            for (unsigned t = 0; t < 256; ++t)
                if (t != rs && (t & 15) == (rs & 15) && t != scan::kWideEntry && c.Check[1].Put[t]) same.push_back(t);
            if (same.empty()) continue;
            other[e.Symbol] = static_cast<std::uint8_t>(same[random() % same.size()]);
            ++symbols;
        }
        EXPECT_FALSE(CheckAll(scanBytes, other, blocks, c)) << "round " << round;
    }
    EXPECT_GT(extraBits, 100);
    EXPECT_GT(symbols, 50);
}

TEST(BlockCoder, TheCheckRefusesASymbolWithoutACode) {
    const int blocks = 100;
    const Records r = ToRecords(MixedBlocks(blocks, 5));
    TCoder c = CoderFor(r, blocks);
    const auto scanBytes = Encode(r, blocks, c);
    // The written table as a decoder sees it, without the most common AC symbol.
    const int dropped = c.Optimal[1].Symbol.front();
    c.Check[1].Put[dropped] = 0;
    EXPECT_FALSE(CheckAll(scanBytes, r, blocks, c));
}

// Whole MCUs at a time, as the engine codes them: two luma-like blocks and one
// chroma-like block per MCU, each kind with tables of its own, over enough
// MCUs that the writer hands its chunk over in the middle of some. Every
// block must go through its own tables, and the check of a whole MCU must
// still refuse a single bit that differs.
TEST(BlockCoder, McusOfBlocksWithTablesOfTheirOwnComeBackAndAreChecked) {
    const int mcus = 4000;
    const Records luma = ToRecords(MixedBlocks(2 * mcus, 6));
    const Records chroma = ToRecords(MixedBlocks(mcus, 7));
    const TCoder lc = CoderFor(luma, 2 * mcus), cc = CoderFor(chroma, mcus);
    // The records in scan order: two luma blocks, then a chroma block.
    Records r;
    const std::uint8_t* l = luma.data();
    const std::uint8_t* ch = chroma.data();
    for (int m = 0; m < mcus; ++m)
        for (const std::uint8_t** from : {&l, &l, &ch}) {
            r.insert(r.end(), *from, *from + scan::RecordSize(*from));
            *from += scan::RecordSize(*from);
        }
    const std::size_t used = r.size();
    r.resize(used + scan::kMaxRecord);

    const scan::TBlockCoding coding[3] = {{&lc.Encode[0], &lc.Encode[1]}, {&lc.Encode[0], &lc.Encode[1]},
                                          {&cc.Encode[0], &cc.Encode[1]}};
    TMemoryStream out;
    out.Reserve(r.size() * 4 + 64);
    scan::TScanWriter w(out, out.Capacity());
    const std::uint8_t* rec = r.data();
    for (int m = 0; m < mcus; ++m) rec = w.PutBlocks(rec, coding, 3);
    w.PutMarker(0xFFD9);
    w.Flush();
    ASSERT_FALSE(w.Overflowed());
    ASSERT_GT(out.Size(), std::size_t{2} << 16);  // over two chunks
    const std::vector<std::uint8_t> scanBytes(out.Data().begin(), out.Data().end());

    std::uint32_t freq[4][256] = {};
    const scan::TBlockDecoding decoding[3] = {{&lc.Decode[0], &lc.Decode[1], freq[0], freq[1]},
                                              {&lc.Decode[0], &lc.Decode[1], freq[0], freq[1]},
                                              {&cc.Decode[0], &cc.Decode[1], freq[2], freq[3]}};
    TScanReader in(scanBytes.data(), scanBytes.size());
    scan::TBitWindow bits(in);
    Records back(r.size());
    std::uint8_t* o = back.data();
    for (int m = 0; m < mcus; ++m) ASSERT_TRUE(scan::DecodeBlocks(bits, o, decoding, 3)) << "MCU " << m;
    ASSERT_EQ(static_cast<std::size_t>(o - back.data()), used);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + static_cast<long>(used), r.begin()));

    const scan::TBlockChecking checking[3] = {{&lc.Check[0], &lc.Check[1]}, {&lc.Check[0], &lc.Check[1]},
                                              {&cc.Check[0], &cc.Check[1]}};
    const auto checkAll = [&](const std::vector<std::uint8_t>& bytes) {
        TScanReader check(bytes.data(), bytes.size());
        scan::TBitWindow window(check);
        const std::uint8_t* expected = r.data();
        for (int m = 0; m < mcus; ++m)
            if (!scan::CheckBlocks(window, expected, checking, 3)) return false;
        window.Put();
        return expected == r.data() + used && !check.Overrun();
    };
    EXPECT_TRUE(checkAll(scanBytes));
    // Bits spread over the whole scan (the last byte before EOI may hold padding).
    for (std::size_t bit = 5; bit < (scanBytes.size() - 3) * 8; bit += 4099) {
        std::vector<std::uint8_t> other = scanBytes;
        other[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
        EXPECT_FALSE(checkAll(other)) << "bit " << bit;
    }
}

// ------------------------------------------------- the checking scan writer

namespace {

// Blocks [first, end) of the records through a checking writer with one
// pair of tables, a restart marker after every `interval` blocks (0: none;
// numbered from the block index, as the engine numbers them), EOI after the
// last block of all. Returns whether the writer found everything as expected.
struct TCheckedRun {
    std::vector<std::uint8_t> Bytes;
    bool Good = false;
    int PendingBits = 0;
    std::uint8_t* End = nullptr;
};

void RunChecked(scan::TCheckedScanWriter& w, const Records& r, int first, int end, int blocks, int interval,
                const TCoder& c) {
    const scan::TBlockCoding coding{&c.Encode[0], &c.Encode[1]};
    const std::uint8_t* rec = r.data();
    for (int b = 0; b < first; ++b) rec += scan::RecordSize(rec);
    for (int b = first; b < end; ++b) {
        rec = w.PutBlocks(rec, &coding, 1);
        if (!rec) return;
        if (interval && (b + 1) % interval == 0 && b + 1 < blocks)
            w.PutMarker(static_cast<std::uint16_t>(0xFFD0 + ((b + 1) / interval - 1) % 8));
    }
    if (end == blocks) w.PutMarker(0xFFD9);
}

TCheckedRun WriteChecked(const Records& r, int blocks, int interval, const TCoder& c, std::int64_t flip = -1) {
    TCheckedRun run;
    run.Bytes.resize(r.size() * 4 + 64);
    scan::TCheckedScanWriter w(run.Bytes.data(), run.Bytes.data() + run.Bytes.size());
    w.FlipBitAt(flip);
    RunChecked(w, r, 0, blocks, blocks, interval, c);
    run.Good = w.Good();
    run.Bytes.resize(static_cast<std::size_t>(w.Position() - run.Bytes.data()));
    return run;
}

// The same through the plain writer, for comparison.
std::vector<std::uint8_t> EncodePlain(const Records& r, int blocks, int interval, const TCoder& c) {
    TMemoryStream out;
    out.Reserve(r.size() * 4 + 64);
    scan::TScanWriter w(out, out.Capacity());
    const std::uint8_t* rec = r.data();
    for (int b = 0; b < blocks; ++b) {
        rec = w.PutBlock(rec, c.Encode[0], c.Encode[1]);
        if (interval && (b + 1) % interval == 0 && b + 1 < blocks)
            w.PutMarker(static_cast<std::uint16_t>(0xFFD0 + ((b + 1) / interval - 1) % 8));
    }
    w.PutMarker(0xFFD9);
    w.Flush();
    return {out.Data().begin(), out.Data().end()};
}

} // namespace

// Whatever the records and restart markers, the checking writer writes the
// plain writer's bytes, and finds them as expected.
TEST(CheckedWriter, WritesWhatThePlainWriterWritesAndFindsItAsExpected) {
    const int blocks = 3000;
    const Records r = ToRecords(MixedBlocks(blocks, 11));
    const TCoder c = CoderFor(r, blocks);
    for (const int interval : {0, 1, 7}) {
        SCOPED_TRACE(testing::Message() << "restart every " << interval);
        const TCheckedRun run = WriteChecked(r, blocks, interval, c);
        EXPECT_TRUE(run.Good);
        EXPECT_EQ(run.Bytes, EncodePlain(r, blocks, interval, c));
    }
}

// A faulty encoder (one bit flipped as it is written) is caught wherever the
// bit lies: a code, extra bits, padding, a stuffed byte, a marker, EOI.
TEST(CheckedWriter, RefusesEveryBitWrittenWrong) {
    const int blocks = 60;
    const Records r = ToRecords(MixedBlocks(blocks, 12));
    const TCoder c = CoderFor(r, blocks);
    const TCheckedRun good = WriteChecked(r, blocks, 5, c);
    ASSERT_TRUE(good.Good);
    int stuffed = 0;
    for (std::size_t i = 0; i + 1 < good.Bytes.size(); ++i) stuffed += good.Bytes[i] == 0xFF && good.Bytes[i + 1] == 0;
    ASSERT_GT(stuffed, 0) << "no stuffed byte to flip";
    for (std::int64_t bit = 0; bit < static_cast<std::int64_t>(good.Bytes.size() * 8); ++bit)
        ASSERT_FALSE(WriteChecked(r, blocks, 5, c, bit).Good) << "bit " << bit;
}

// The codes are held to those the written tables give, built from the
// tables alone: a symbol the encoder codes differently, or one either side
// lacks, is refused; and a symbol without a code in the encoder is refused
// as it is written.
TEST(CheckedWriter, RefusesCodesTheWrittenTablesDoNotGive) {
    const int blocks = 300;
    const Records r = ToRecords(MixedBlocks(blocks, 13));
    TCoder c = CoderFor(r, blocks);
    ASSERT_TRUE(WriteChecked(r, blocks, 0, c).Good);
    EXPECT_TRUE(scan::CodesAgree(c.Encode[0], c.Check[0]));
    EXPECT_TRUE(scan::CodesAgree(c.Encode[1], c.Check[1]));
    // Two AC symbols of the same code length swap their codes in the encoder.
    const auto& ac = c.Optimal[1];
    bool swapped = false;
    for (std::size_t i = 0; i + 1 < ac.Symbol.size() && !swapped; ++i)
        if (ac.CodeLength[i] == ac.CodeLength[i + 1] && (ac.Symbol[i] & 15) == (ac.Symbol[i + 1] & 15)) {
            TCoder wrong = c;
            std::swap(wrong.Encode[1].Put[ac.Symbol[i]], wrong.Encode[1].Put[ac.Symbol[i + 1]]);
            EXPECT_FALSE(scan::CodesAgree(wrong.Encode[1], wrong.Check[1]));
            swapped = true;
        }
    EXPECT_TRUE(swapped);
    TCoder lacking = c;
    lacking.Check[1].Put[ac.Symbol.front()] = 0;
    EXPECT_FALSE(scan::CodesAgree(lacking.Encode[1], lacking.Check[1]));
    // The records hold a symbol the encoder has no code for: it would take no
    // bits. Every symbol in turn, wherever it stands among the entries.
    for (int cls = 0; cls < 2; ++cls)
        for (const std::int32_t symbol : c.Optimal[cls].Symbol) {
            TCoder noCode = c;
            noCode.Encode[cls].Put[symbol] = 0;
            EXPECT_FALSE(WriteChecked(r, blocks, 0, noCode).Good) << "class " << cls << " symbol " << symbol;
        }
}

// A scan written in two parts (the second taking the bits the first leaves
// pending as 0-bits) and joined is the scan written whole, wherever it is
// cut: every number of pending bits, and joints that are 0xFF and must be
// stuffed.
TEST(CheckedWriter, PartsJoinedAtEveryBlockGiveTheWholeScan) {
    const int blocks = 400;
    const Records r = ToRecords(MixedBlocks(blocks, 15));  // a seed that gives 0xFF joints
    const TCoder c = CoderFor(r, blocks);
    const std::vector<std::uint8_t> whole = EncodePlain(r, blocks, 0, c);
    bool pendingSeen[8] = {};
    int stuffedJoints = 0;
    for (int cut = 1; cut < blocks; ++cut) {
        SCOPED_TRACE(testing::Message() << "cut before block " << cut);
        std::vector<std::uint8_t> out(r.size() * 4 + 64), second(r.size() * 4 + 64);
        scan::TCheckedScanWriter head(out.data(), out.data() + out.size());
        RunChecked(head, r, 0, cut, blocks, 0, c);
        ASSERT_TRUE(head.Good());
        scan::TCheckedScanWriter tail(second.data(), second.data() + second.size(), head.PendingBits());
        RunChecked(tail, r, cut, blocks, blocks, 0, c);
        ASSERT_TRUE(tail.Good());
        std::uint8_t* end = scan::JoinParts(head, second.data(), tail, out.data() + out.size());
        ASSERT_NE(end, nullptr);
        out.resize(static_cast<std::size_t>(end - out.data()));
        ASSERT_EQ(out, whole);
        pendingSeen[head.PendingBits()] = true;
        const std::size_t joint = static_cast<std::size_t>(head.Position() - out.data());
        if (head.PendingBits() && out[joint] == 0xFF) ++stuffedJoints;
    }
    for (int bits = 0; bits < 8; ++bits) EXPECT_TRUE(pendingSeen[bits]) << bits << " pending bits";
    EXPECT_GT(stuffedJoints, 0);
}

// A room too small for the scan: the writer stops before its end, writes
// nothing past it, and says so.
TEST(CheckedWriter, StopsAtTheEndOfItsRoom) {
    const int blocks = 500;
    const Records r = ToRecords(MixedBlocks(blocks, 15));
    const TCoder c = CoderFor(r, blocks);
    const std::size_t needed = EncodePlain(r, blocks, 0, c).size();
    std::vector<std::uint8_t> out(needed + 4096, 0xA5);
    const std::size_t room = needed / 2;
    scan::TCheckedScanWriter w(out.data(), out.data() + room);
    RunChecked(w, r, 0, blocks, blocks, 0, c);
    EXPECT_TRUE(w.Overflowed());
    EXPECT_FALSE(w.Good());
    EXPECT_LE(w.Position(), out.data() + room);
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(room), out.end(), [](std::uint8_t b) { return b == 0xA5; }));
}
