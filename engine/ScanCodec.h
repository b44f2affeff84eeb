#pragma once
// The entropy coding of a baseline scan, block by block: lookup tables for
// decoding and encoding, the record kept for every block, and the block
// decoder and encoder. Internal to the engine.
//
// A block record holds the symbols the encoder writes for the block, each with
// its extra bits: one byte (how many bytes of AC entries follow the DC entry),
// the DC entry (the size category and its extra bits, low byte first: 3
// bytes), then the AC entries. An AC entry is the run/size byte and its extra
// bits: 2 bytes. Sizes 9 and 10 (rare) have more extra bits than a byte holds:
// their entry is kWideEntry and the high extra bits, then the usual 2 bytes.
// Every pass over the records then steps 2 bytes at a time without waiting
// for the byte it has just read. Encoding a record is a table lookup per
// entry, and the image cannot change: the extra bits are copied, only the
// codes in front of them are new.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "HuffmanBuilder.h"
#include "LargeMemory.h"
#include "MemoryStream.h"
#include "ScanReader.h"

namespace lumaro::scan {

// A block has at most 63 AC entries: 63 coefficients, or fewer and an end of block.
constexpr std::size_t kMaxEntries = 63;
// Run 1 with size 0 never reaches a record (such scans are refused): it
// marks an entry whose extra bits do not fit a byte.
constexpr unsigned kWideEntry = 0x10;
// The largest record and the bytes past it a 4-byte store may touch.
constexpr std::size_t kMaxRecord = 4 + 4 * kMaxEntries + 4;

inline std::size_t RecordSize(const std::uint8_t* r) { return 4 + std::size_t{r[0]}; }
// The bytes of the AC entry at p, and its run/size symbol.
inline int AcEntryBytes(const std::uint8_t* p) { return p[0] == kWideEntry ? 4 : 2; }
inline unsigned AcEntrySymbol(const std::uint8_t* p) { return p[0] == kWideEntry ? p[2] : p[0]; }

// Codes of up to kLookBits bits are decoded in one lookup, which also says
// how many bits the code and its extra bits take, so that the extra bits are
// cut out of the bit window beside the next lookup instead of waiting for a
// slower way (the lookup used to hold them, which only works where code and
// extra bits fit in kLookBits: photos have many that do not). Every AC
// symbol with such a code and up to 8 extra bits takes the shortcut, and
// three of them fit the 56 bits a refill leaves.
constexpr int kLookBits = 10;
constexpr int kMaxShortcutBits = kLookBits + 8;
constexpr int kShortcutsPerRefill = 56 / kMaxShortcutBits;

struct TDecodeTable {
    std::uint16_t Fast[1 << kLookBits];  // (length << 8) | symbol; 0 = longer code
    // (symbol << 8) | bits taken (code and extra bits); 0 = no shortcut. AC
    // symbols also carry the mask of their extra bits (bits 16-23) and the
    // coefficients they cover (run + 1, or 64 for an end of block) in the top byte.
    std::uint32_t Value[1 << kLookBits];
    std::int32_t MaxCode[18];
    std::int32_t ValOffset[18];
    std::uint8_t Vals[256];

    // cls 0 (DC) or 1 (AC): which symbols have a meaning decides the shortcuts.
    void Build(const std::int16_t bits[16], const std::vector<std::int32_t>& symbols, int cls);
};

// Per symbol value: the code and its length (0 = the table lacks the symbol).
// The size category of a symbol: its extra bits.
inline int DcSize(int symbol) { return symbol; }
inline int AcSize(int symbol) { return symbol & 15; }

struct TEncodeTable {
    std::uint32_t Code[256];
    std::uint8_t Length[256];
    // What a symbol puts, its extra bits left as 0: (length + size) << 27 | code << size;
    // 0 for a symbol without a code.
    std::uint32_t Put[256];
    // cls 0 (DC) or 1 (AC): how many extra bits follow each symbol.
    void Build(const TOptimalTable& t, int cls);
};


// What the written tables make of every symbol, for checking a new scan bit
// for bit: the canonical codes rebuilt from a table's counts and symbol order
// (as every decoder derives them, independently of the encoder's tables),
// packed as TEncodeTable::Put. Bits that match these codes of a prefix code
// decode to exactly the symbols they were checked against.
struct TCheckTable {
    std::uint32_t Put[256];
    // False when the counts do not describe a prefix code or a symbol is
    // listed twice.
    bool Build(const std::int16_t bits[16], const std::vector<std::int32_t>& symbols, int cls);
};

// Whether the encoder gives every symbol value the code and length the
// written table gives it (and lacks the same ones).
inline bool CodesAgree(const TEncodeTable& encode, const TCheckTable& check) {
    return std::memcmp(encode.Put, check.Put, sizeof encode.Put) == 0;
}

// The reader's state held in locals while blocks are decoded: stores into
// the records could otherwise alias it and force reloads per symbol. Refills
// from plain data (no 0xFF in the next eight bytes) happen here; the rest,
// and everything about markers and the end of the data, is the reader's:
// Put() hands the state back before the reader is asked anything, Take()
// picks it up again after the reader moved. A block is decoded on a copy
// held in registers (see DecodeBlock).
struct TBitWindow {
    TScanReader* In;
    const std::uint8_t* Data;
    std::size_t Pos, FastEnd;
    std::uint64_t Buf;
    int Count;
    explicit TBitWindow(TScanReader& in) : In(&in) { Take(); }
    void Put() { In->Import(Buf, Count, Pos); }
    void Take() {
        In->Export(Buf, Count, Pos);
        Data = In->DataBytes();
        FastEnd = In->FastEnd();
    }
    // At least 56 bits: a DC and an AC symbol, or two AC symbols, with
    // their extra bits. From plain data it takes every whole byte that fits,
    // without asking whether it must: the bits past the last whole byte are
    // the data's own next bits, so OR-ing them in again later changes nothing.
    // Only after bits were taken: with all 64 bits buffered the shift below
    // would be out of range.
    void Refill() {
        if (Pos + 8 <= FastEnd) {
            std::uint64_t w;
            std::memcpy(&w, Data + Pos, 8);
            if (NoFFByte(w)) {
                Buf |= __builtin_bswap64(w) >> Count;
                Pos += (63 - Count) >> 3;
                Count |= 56;
                return;
            }
        }
        Put();
        In->Fill();
        Take();
    }
    std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(Buf >> (64 - n)); }
    void Skip(int n) {
        Buf <<= n;
        Count -= n;
    }
};

// A code longer than the shortcut covers (or a symbol without shortcut).
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

inline void PutEntry(std::uint8_t* p, unsigned symbol, unsigned extra) {
    const std::uint32_t v = symbol | (extra << 8);
    std::memcpy(p, &v, 4);  // bytes past the entry are overwritten by what follows
}
// Reads the AC entry at p (symbol and extra bits) and moves p past it.
inline void TakeAcEntry(const std::uint8_t*& p, unsigned& rs, unsigned& extra) {
    rs = p[0];
    extra = p[1];
    if (rs == kWideEntry) extra = (extra << 8) | p[3], rs = p[2], p += 2;  // sizes 9 and 10
    p += 2;
}
// An AC entry at p; returns the byte after it.
inline std::uint8_t* PutAc(std::uint8_t* p, unsigned rs, unsigned extra) {
    if ((rs & 15) <= 8) {
        PutEntry(p, rs, extra);
        return p + 2;
    }
    PutEntry(p, kWideEntry, extra >> 8);
    PutEntry(p + 2, rs, extra & 0xFF);
    return p + 4;
}

// Skips the bits a shortcut took (the low byte of its entry: at most 21).
// The shift takes its count from the entry itself: a shift only looks at
// the count's low six bits, so no step to cut the byte out stands between
// the table lookup and the next one (a cycle less per symbol).
__attribute__((always_inline)) inline void SkipTaken(TBitWindow& in, std::uint32_t entry) {
    in.Buf <<= (entry & 63);
    in.Count -= static_cast<int>(entry & 0xFF);
}

// What the common AC symbols skip: sixteen zeros, codes longer than the
// shortcut covers, and anything that is not a valid symbol here. Decodes
// symbols until one that is neither sixteen zeros nor ends the block, so
// that zero runs are always followed by what ends them; zero runs that end
// the block without a coefficient after them become an end of block, as the
// encoder writes them. 1: the block goes on, 0: it ended, -1: not valid.
inline int DecodeAcRare(TBitWindow& in, const TDecodeTable& ac, std::uint32_t* acFreq, std::uint8_t*& p,
                        unsigned& k) {
    int zeroRuns = 0;  // sixteen-zero entries since the last coefficient
    for (;;) {
        // A symbol takes at most 26 bits. The caller may just have refilled:
        // a refill must follow taken bits (see Refill).
        if (in.Count < 32) in.Refill();
        const int rs = DecodeSymbol(in, ac);
        if (rs < 0) return -1;
        const int size = AcSize(rs);
        // Runs 1 to 14 with size 0 are undefined in a sequential scan: common
        // decoders end the block there, a literal reading writes r + 1 zeros and
        // goes on. The two give different pictures, so no result could be
        // trusted to show what the source shows.
        if ((size == 0 && rs != 0x00 && rs != 0xF0) || size > 10) return -1;
        const unsigned extra = size ? in.Peek(size) : 0;
        in.Skip(size);
        ++acFreq[rs];
        if (rs == 0xF0) {  // sixteen zeros
            if (k > 48) return -1;
            k += 16;
            p = PutAc(p, 0xF0, 0);
            ++zeroRuns;
            if (k < 64) continue;
            ++acFreq[0x00];  // the block ends in zeros: an end of block instead
        }
        if (size == 0) {  // end of block (written for the trailing zero runs too)
            p -= 2 * zeroRuns;
            acFreq[0xF0] -= zeroRuns;
            p = PutAc(p, 0x00, 0);
            return 0;
        }
        k += (rs >> 4) + 1;
        p = PutAc(p, static_cast<unsigned>(rs), extra);
        if (k < 64) return 1;
        return k == 64 ? 0 : -1;
    }
}

// Decodes one block into a record at `record` and moves it past the record.
// Every symbol is counted, and zero runs that end the block without a
// coefficient after them become an end of block, as the encoder writes them;
// the counts are those of the symbols the encoder will write. Otherwise the
// record holds the symbols exactly as the data has them. False: the data is
// not a valid block (no code, a symbol without meaning here, or coefficients
// past the end of the block).
__attribute__((always_inline)) inline bool DecodeBlockIn(TBitWindow& in, std::uint8_t*& record, const TDecodeTable& dc,
                                                        const TDecodeTable& ac, std::uint32_t* dcFreq,
                                                        std::uint32_t* acFreq) {
    in.Refill();
    if (const std::uint32_t e = dc.Value[in.Peek(kLookBits)]) {
        // At most 10 + 11 bits: a refill leaves 56.
        const unsigned taken = e & 0xFF, s = (e >> 8) & 0xFF;
        const unsigned bits = static_cast<unsigned>(in.Buf >> (64 - taken)) & ((1u << s) - 1);
        SkipTaken(in, e);
        PutEntry(record + 1, s, bits);
        ++dcFreq[s];
    } else {
        const int s = DecodeSymbol(in, dc);
        if (s < 0 || s > 11) return false;
        const unsigned bits = s ? in.Peek(s) : 0;
        in.Skip(s);
        PutEntry(record + 1, static_cast<unsigned>(s), bits);
        ++dcFreq[s];
    }
    std::uint8_t* p = record + 4;
    unsigned k = 1;  // next coefficient position
    // One AC symbol: 0 when the block goes on, 1 when it ended, -1 when the
    // data is not valid, 2 when the rare way took it (it may have taken many
    // bits: refill first).
    const auto symbol = [&]() __attribute__((always_inline)) {
        const std::uint32_t e = ac.Value[in.Peek(kLookBits)];
        if (__builtin_expect(e == 0, 0)) {
            const int more = DecodeAcRare(in, ac, acFreq, p, k);
            return more < 0 ? -1 : more == 0 ? 1 : 2;
        }
        const unsigned taken = e & 0xFF;
        const unsigned extra = static_cast<unsigned>(in.Buf >> (64 - taken)) & ((e >> 16) & 0xFF);
        SkipTaken(in, e);
        ++acFreq[(e >> 8) & 0xFF];
        // The entry (symbol, extra bits); the bytes after it are written over.
        const std::uint32_t entry = ((e >> 8) & 0xFF) | (extra << 8);
        std::memcpy(p, &entry, 4);
        p += 2;
        // Coefficients the symbol covers; an end of block counts 64, so
        // that one test finds every end.
        k += e >> 24;
        if (k >= 64) return (e & 0xFF00) == 0 || k == 64 ? 1 : -1;  // end of block, or the 63rd coefficient
        return 0;
    };
    // The DC took at most 27 of the 56 bits a refill leaves: the first AC
    // symbol (often the end of the block) needs no refill of its own.
    if (const int r = symbol()) {
        if (r < 0) return false;
        if (r == 1) goto done;
    }
    for (;;) {
        // A refill leaves at least 56 bits: kShortcutsPerRefill symbols with
        // a shortcut; the rare way refills for itself.
        in.Refill();
        for (int i = 0; i < kShortcutsPerRefill; ++i) {
            if (const int r = symbol()) {
                if (r < 0) return false;
                if (r == 1) goto done;
                break;
            }
        }
    }
done:
    record[0] = static_cast<std::uint8_t>(p - record - 4);
    record = p;
    return true;
}

// A block's tables and counts.
struct TBlockDecoding {
    const TDecodeTable* Dc;
    const TDecodeTable* Ac;
    std::uint32_t* DcFreq;
    std::uint32_t* AcFreq;
};

// Decodes `count` blocks in a row (an MCU), each with its own tables. False
// as DecodeBlockIn.
inline bool DecodeBlocks(TBitWindow& window, std::uint8_t*& record, const TBlockDecoding* blocks, int count) {
    // A local copy stays in registers; the caller's window may live in memory.
    TBitWindow in = window;
    bool ok = true;
    for (int b = 0; b < count && ok; ++b) {
        const TBlockDecoding& d = blocks[b];
        ok = DecodeBlockIn(in, record, *d.Dc, *d.Ac, d.DcFreq, d.AcFreq);
    }
    window = in;
    return ok;
}

inline bool DecodeBlock(TBitWindow& window, std::uint8_t*& record, const TDecodeTable& dc, const TDecodeTable& ac,
                        std::uint32_t* dcFreq, std::uint32_t* acFreq) {
    const TBlockDecoding one{&dc, &ac, dcFreq, acFreq};
    return DecodeBlocks(window, record, &one, 1);
}

// The codes and extra bits of up to kGroup symbols, gathered into Want (N
// bits) to be compared with the scan against one refill, which leaves at
// least 56 bits; a symbol that would pass them has the ones before it
// compared first. A group may span blocks: what is left is compared at the
// end of the MCU.
struct TCheckGroup {
    static constexpr int kGroup = 4;
    std::uint64_t Want = 0;
    int N = 0;
    int Gathered = 0;

    // Compares the gathered bits with the scan and moves past them.
    __attribute__((always_inline)) bool Compare(TBitWindow& in) {
        in.Refill();
        const bool same = (in.Buf >> (64 - N)) == Want;
        in.Skip(N);
        Want = 0;
        N = 0;
        Gathered = 0;
        return same;
    }
    // Adds a symbol's code and extra bits (put as TCheckTable::Put, its
    // extra bits in `extra`); false when the scan differs before it or the
    // table has no code for it.
    __attribute__((always_inline)) bool Add(TBitWindow& in, std::uint32_t put, unsigned extra) {
        const int bits = static_cast<int>(put >> 27);
        if (bits == 0) return false;
        if ((Gathered == kGroup || N + bits > 56) && !Compare(in)) return false;
        Want = (Want << bits) | (put & 0x7FFFFFF) | extra;
        N += bits;
        ++Gathered;
        return true;
    }
};

// Checks that the scan goes on with exactly the codes and extra bits of
// record r (the last of them may be left in `group`); false at the first bit
// that differs or a symbol without a code.
__attribute__((always_inline)) inline bool CheckBlockIn(TBitWindow& in, TCheckGroup& group, const std::uint8_t* r,
                                                       const TCheckTable& dc, const TCheckTable& ac) {
    const std::uint8_t* p = r + 4;
    const std::uint8_t* const end = p + r[0];
    if (!group.Add(in, dc.Put[r[1]], r[2] | (r[3] << 8))) return false;
    while (p < end) {
        unsigned rs, extra;
        TakeAcEntry(p, rs, extra);
        if (!group.Add(in, ac.Put[rs], extra)) return false;
    }
    return true;
}

// A block's tables for checking.
struct TBlockChecking {
    const TCheckTable* Dc;
    const TCheckTable* Ac;
};

// Checks `count` blocks in a row (an MCU), each against its own tables, and
// moves `record` past them; false as CheckBlockIn. The scan is compared up
// to the end of the last block.
inline bool CheckBlocks(TBitWindow& window, const std::uint8_t*& record, const TBlockChecking* blocks, int count) {
    TBitWindow in = window;  // in registers, as in DecodeBlocks
    const std::uint8_t* r = record;
    TCheckGroup group;
    bool same = true;
    for (int b = 0; b < count && same; ++b) {
        same = CheckBlockIn(in, group, r, *blocks[b].Dc, *blocks[b].Ac);
        r += RecordSize(r);
    }
    same = same && group.Compare(in);
    window = in;
    record = r;
    return same;
}

inline bool CheckBlock(TBitWindow& window, const std::uint8_t* r, const TCheckTable& dc, const TCheckTable& ac) {
    const TBlockChecking one{&dc, &ac};
    return CheckBlocks(window, r, &one, 1);
}

// A block's tables for encoding.
struct TBlockCoding {
    const TEncodeTable* Dc;
    const TEncodeTable* Ac;
};

// Writes entropy-coded bits with byte stuffing into a chunk buffer that goes
// to the output stream whenever it fills, or when asked.
class TScanWriter {
public:
    // limit: the stream never grows past it (its memory must not move while
    // another thread reads it); a write that would is dropped and Overflowed().
    TScanWriter(TMemoryStream& out, std::size_t limit)
        : Out(out), Limit(limit), Chunk(new std::uint8_t[kChunk + kSlack]) {
        // Not zeroed, and made present in one call: a page fault each costs
        // more than the whole call on some systems.
        PrepareLarge(Chunk.get(), kChunk + kSlack);
    }

    // Puts one block record; returns the record's end.
    const std::uint8_t* PutBlock(const std::uint8_t* r, const TEncodeTable& dc, const TEncodeTable& ac) {
        const TBlockCoding one{&dc, &ac};
        return PutBlocks(r, &one, 1);
    }
    // Puts the records of `count` blocks in a row (an MCU), each with its own
    // tables; returns the end of the last. The pending bits and the write
    // position stay in registers from block to block.
    const std::uint8_t* PutBlocks(const std::uint8_t* r, const TBlockCoding* blocks, int count) {
        std::uint8_t* o = Chunk.get() + Used;
        std::uint64_t acc = Acc;
        int bits = Bits;  // fewer than 8 between blocks
        for (int b = 0; b < count; ++b) {
            if (o > Chunk.get() + kChunk) {
                Used = static_cast<std::size_t>(o - Chunk.get());
                Flush();
                o = Chunk.get() + Used;
            }
            r = PutRecord(r, *blocks[b].Dc, *blocks[b].Ac, o, acc, bits);
        }
        Acc = acc;
        Bits = bits;
        Used = static_cast<std::size_t>(o - Chunk.get());
        return r;
    }
    // Writes out every whole byte of the pending bits: fewer than 8 stay.
    void Settle();
    int PendingBits() const { return Bits; }
    // Completes the current byte with 0-bits (no stuffed byte can follow it).
    void PadToByte();
    // A marker after the padded data.
    void PutMarker(std::uint16_t marker);
    // Hands every whole byte so far to the stream; pending bits stay.
    void Flush();
    bool Overflowed() const { return Overflow; }

private:
    // One record at o, with the pending bits in acc/bits; returns its end.
    __attribute__((always_inline)) static const std::uint8_t* PutRecord(const std::uint8_t* r, const TEncodeTable& dc,
                                                                       const TEncodeTable& ac, std::uint8_t*& o,
                                                                       std::uint64_t& acc, int& bits) {
        const auto put = [&](std::uint32_t value, int n) {
            acc = (acc << n) | value;
            bits += n;
        };
        // Writes the whole bytes of the pending bits (fewer than 8 stay): all
        // eight bytes are stored at once, and as many as are whole count.
        const auto drain = [&] {
            // Left-aligned, zeros after the pending bits: only a whole byte
            // can be 0xFF (a partial one ends in a zero bit).
            const std::uint64_t w = (acc << 1) << (63 - bits);
            const int whole = bits >> 3;
            bits &= 7;
            if (NoFFByte(w)) {
                const std::uint64_t be = __builtin_bswap64(w);
                std::memcpy(o, &be, 8);
                o += whole;
                return;
            }
            for (int i = 0; i < whole; ++i) {
                const auto b = static_cast<std::uint8_t>(w >> (56 - 8 * i));
                *o++ = b;
                if (b == 0xFF) *o++ = 0x00;
            }
        };
        // Up to kGroup symbols between two drains; one that would pass the
        // 63 bits a drain takes drains the ones before it first.
        constexpr int kGroup = 4;
        const std::uint32_t d = dc.Put[r[1]];
        put((d & 0x7FFFFFF) | (r[2] | (r[3] << 8)), static_cast<int>(d >> 27));
        const std::uint8_t* p = r + 4;
        const std::uint8_t* const end = p + r[0];
        int gathered = 1;
        while (p < end) {
            unsigned rs, extra;
            TakeAcEntry(p, rs, extra);
            const std::uint32_t a = ac.Put[rs];
            const int n = static_cast<int>(a >> 27);
            if (gathered == kGroup || bits + n > 63) {
                drain();
                gathered = 0;
            }
            put((a & 0x7FFFFFF) | extra, n);
            ++gathered;
        }
        drain();
        return p;
    }

    static constexpr std::size_t kChunk = 1 << 16;
    // Room after kChunk for one block (at most 64 codes of 16 bits plus 11
    // extra bits, every byte stuffed) and a marker with the bytes before it.
    static constexpr std::size_t kSlack = 1024;
    void EmitByte(std::uint8_t b) { Chunk[Used++] = b; }

    TMemoryStream& Out;
    std::size_t Limit;
    bool Overflow = false;
    std::unique_ptr<std::uint8_t[]> Chunk;
    std::size_t Used = 0;
    std::uint64_t Acc = 0;  // right-aligned pending bits (higher bits of Acc are left over)
    int Bits = 0;           // pending bits in Acc: fewer than 8 between blocks
};

} // namespace lumaro::scan
