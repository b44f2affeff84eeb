#pragma once
// Writes a new scan straight into the result's memory and checks it as it
// goes. Every byte written is read back as a decoder reads it (a 0xFF must be
// followed by a stuffed 0x00, markers must stand where they belong) and
// compared with the bits the records and codes call for; a symbol without a
// code is a difference. The codes themselves are held to those the written
// tables define (TCheckTable: rebuilt from the tables' counts and symbol
// order, independently of the encoder's tables) once per scan, for every
// symbol value (CodesAgree): given equal codes, comparing each symbol's code
// again as it is written would find exactly what that one comparison found.
// The writing side and the reading side keep byte positions of their own.
// Checking bytes just written, still in this CPU's cache, costs less than
// reading them again later or from another CPU. Internal to the engine.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ScanCodec.h"
#include "ScanThreading.h"

namespace lumaro::scan {

// Its state is stored after every MCU: two writers working side by side must
// not share a cache line (alignas).
class alignas(64) TCheckedScanWriter {
public:
    // [begin, end): room for the scan. startBits: bits of the byte at begin
    // that belong to what comes before the scan's part written here; they
    // are written and checked as 0-bits and completed by the caller.
    TCheckedScanWriter(std::uint8_t* begin, std::uint8_t* end, int startBits = 0)
        : Begin(begin), End(end), O(begin), Bits(startBits), Q(begin) {}

    // Puts and checks the records of `count` blocks in a row (an MCU), each
    // with its own tables; returns the end of the last record, or null when
    // the room would not hold them (nothing is written then) or what was
    // written differs from what was expected (the two sides may then be at
    // different bytes: nothing more can be checked).
    const std::uint8_t* PutBlocks(const std::uint8_t* r, const TBlockCoding* coding, int count) {
        if (static_cast<std::size_t>(End - O) < kBlockRoom * static_cast<std::size_t>(count) + kMarkerRoom) {
            Overflow = true;
            return nullptr;
        }
        TState s{O, Acc, Bits, Q, 0};
        if (__builtin_expect(FlipAt >= 0, 0)) {
            for (int b = 0; b < count; ++b) r = PutRecord<true>(r, coding[b], s);
        } else {
            for (int b = 0; b < count; ++b) r = PutRecord<false>(r, coding[b], s);
        }
        O = s.O, Acc = s.Acc, Bits = s.Bits, Q = s.Q;
        // A symbol without a code took no bits: its length less one has the top bit set.
        Differs |= (s.Missing >> 31) != 0 || s.Differs;
        return Differs ? nullptr : r;
    }
    // Completes the current byte with 0-bits (no stuffed byte can follow it)
    // and puts the marker after it; both sides check what they expect.
    void PutMarker(std::uint16_t marker);
    // The room to leave after the bytes a scan is known to take at most.
    static constexpr std::size_t RoomAfter(int blocksPerMcu) {
        return kBlockRoom * static_cast<std::size_t>(blocksPerMcu) + kMarkerRoom;
    }
    // Nothing differed and everything fitted; every byte written was checked.
    bool Good() const { return !Differs && !Overflow && Q == O; }
    bool Overflowed() const { return Overflow; }
    // The next byte to write, and the bits of it already pending.
    std::uint8_t* Position() const { return O; }
    int PendingBits() const { return Bits; }
    // The pending bits as the byte they begin (0-bits after them).
    std::uint8_t PendingByte() const { return static_cast<std::uint8_t>(Acc << (8 - Bits)); }
    // Tests: this bit (counted from begin) is flipped as it is written, as by
    // a faulty encoder. -1: none.
    void FlipBitAt(std::int64_t bit) { FlipAt = bit; }

private:
    // Room one block may take: 64 codes of 16 bits with 11 extra bits, every
    // byte stuffed, and the 8 bytes a drain stores at once.
    static constexpr std::size_t kBlockRoom = 448;
    static constexpr std::size_t kMarkerRoom = 16;

    struct TState {
        std::uint8_t* O;
        std::uint64_t Acc;  // right-aligned pending bits
        int Bits;           // how many
        const std::uint8_t* Q;  // the reading side's next byte
        std::uint32_t Missing;  // the lengths of the symbols put, less one, OR-ed
        bool Differs = false;
    };

    template <bool kFaulty>
    __attribute__((always_inline)) const std::uint8_t* PutRecord(const std::uint8_t* r, const TBlockCoding& coding,
                                                                 TState& s) const {
        std::uint8_t* o = s.O;
        std::uint64_t acc = s.Acc;
        int bits = s.Bits;
        const std::uint8_t* q = s.Q;
        std::uint32_t missing = s.Missing;
        bool differs = false;
        // Whole bytes of the pending bits out (fewer than 8 stay), then the
        // same bytes read back and compared with the bits put.
        const auto drain = [&] {
            // Left-aligned, zeros after the pending bits: only a whole byte
            // can be 0xFF (a partial one ends in a zero bit).
            const std::uint64_t w = (acc << 1) << (63 - bits);
            const int whole = bits >> 3;
            bits &= 7;
            std::uint8_t* const before = o;
            // The way the written bytes are read back follows the writer's
            // way only for speed: whatever the bytes are, the first way
            // finds them equal to the bits put only if they are, and the
            // second reads them as a decoder would.
            if (NoFFByte(w)) {
                const std::uint64_t be = __builtin_bswap64(w);
                std::memcpy(o, &be, 8);
                o += whole;
                if constexpr (kFaulty) Flip(before, o);
                std::uint64_t got;
                std::memcpy(&got, q, 8);
                // The bytes compared, left-aligned (none when no byte is whole).
                const std::uint64_t keep = ~std::uint64_t{0} << (63 - 8 * whole) << 1;
                differs |= ((__builtin_bswap64(got) ^ w) & keep) != 0;
                q += whole;
            } else {
                for (int i = 0; i < whole; ++i) {
                    const auto b = static_cast<std::uint8_t>(w >> (56 - 8 * i));
                    *o++ = b;
                    if (b == 0xFF) *o++ = 0x00;
                }
                if constexpr (kFaulty) Flip(before, o);
                for (int i = 0; i < whole; ++i) {
                    const std::uint8_t b = *q++;
                    differs |= b != static_cast<std::uint8_t>(w >> (56 - 8 * i));
                    if (b == 0xFF) differs |= *q++ != 0x00;
                }
            }
        };
        const auto put = [&](std::uint32_t a, unsigned extra) {
            const auto n = a >> 27;
            missing |= n - 1;
            acc = (acc << n) | (a & 0x7FFFFFF) | extra;
            bits += static_cast<int>(n);
        };
        put(coding.Dc->Put[r[1]], r[2] | (r[3] << 8));
        const std::uint8_t* p = r + 4;
        const std::uint8_t* const end = p + r[0];
        const std::uint32_t* const ac = coding.Ac->Put;
        // Two AC entries at a time, read at once and joined before they go
        // in (a pair takes at most 52 bits): half the steps, and the last
        // entry of an odd count goes as a pair with nothing, not through a
        // loop of its own whose end would be guessed wrong every other block
        // (the whole engine on one thread, median of 14 runs: the 12 MP file
        // 29.0 to 28.1 ms; the micro-benchmark's short synthetic blocks gain
        // nothing). The decoder's 4-byte stores left 2 readable bytes after
        // a record's last entry. Up to two pairs between two drains (the DC
        // counts as one); a pair that would pass the 63 bits a drain takes
        // drains the ones before it.
        int pairs = 1;
        while (p < end) {
            std::uint32_t e;
            std::memcpy(&e, p, 4);
            const bool two = end - p >= 4;
            const unsigned rs0 = e & 0xFF, rs1 = (e >> 16) & 0xFF;
            if (rs0 == kWideEntry || (two && rs1 == kWideEntry)) break;  // one at a time below
            const std::uint32_t a0 = ac[rs0];
            const std::uint32_t a1 = two ? ac[rs1] : std::uint32_t{1} << 27;  // nothing: 1 bit, never put
            const unsigned n0 = a0 >> 27, n1 = two ? a1 >> 27 : 0;
            missing |= (n0 - 1) | ((a1 >> 27) - 1);
            const std::uint64_t second = two ? (a1 & 0x7FFFFFF) | (e >> 24) : 0;
            const std::uint64_t v = (std::uint64_t{(a0 & 0x7FFFFFF) | ((e >> 8) & 0xFF)} << n1) | second;
            const int n = static_cast<int>(n0 + n1);
            if (pairs == 2 || bits + n > 63) {
                drain();
                pairs = 0;
            }
            acc = (acc << n) | v;
            bits += n;
            ++pairs;
            p += two ? 4 : 2;
        }
        // From a wide entry (sizes 9 and 10) on, one entry at a time.
        while (p < end) {
            unsigned rs, extra;
            TakeAcEntry(p, rs, extra);
            const std::uint32_t a = ac[rs];
            if (bits + static_cast<int>(a >> 27) > 63) drain();
            put(a, extra);
        }
        drain();
        s.O = o, s.Acc = acc, s.Bits = bits, s.Q = q, s.Missing = missing;
        s.Differs |= differs;
        return p;
    }
    // The faulty encoder of the tests: flips FlipAt if it lies in [from, to).
    void Flip(std::uint8_t* from, std::uint8_t* to) const {
        const std::int64_t at = FlipAt / 8;
        if (at >= from - Begin && at < to - Begin) {
            Begin[at] ^= static_cast<std::uint8_t>(0x80 >> (FlipAt % 8));
            ++FlippedScanBits();
        }
    }

    std::uint8_t* const Begin;
    std::uint8_t* const End;
    std::uint8_t* O;
    std::uint64_t Acc = 0;
    int Bits;
    const std::uint8_t* Q;
    bool Differs = false;
    bool Overflow = false;
    std::int64_t FlipAt = -1;
};

// Puts a scan written in two parts together: `second` wrote the part after
// the one `first` wrote, from secondBegin on, taking the bits `first` left
// pending as 0-bits. The byte where the parts meet is made of both (and
// stuffed when it is 0xFF); the rest of the second part, checked where it
// was written, is copied after it, up to `limit`. Returns the end of the
// whole, or null when the parts do not fit together.
std::uint8_t* JoinParts(const TCheckedScanWriter& first, const std::uint8_t* secondBegin,
                        const TCheckedScanWriter& second, std::uint8_t* limit);

} // namespace lumaro::scan
