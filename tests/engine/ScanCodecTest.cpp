// The block coder on its own: records written with new tables, read back by
// the block decoder, and the bit-for-bit check that guards every result. The
// check is the last line of defence, so it must refuse any scan that differs
// from the records in a single bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "BlockCoderSupport.h"
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
