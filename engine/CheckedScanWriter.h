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
        // Up to kGroup symbols between two drains; one that would pass the
        // 63 bits a drain takes drains the ones before it.
        constexpr int kGroup = 4;
        int gathered = 1;
        while (p < end) {
            unsigned rs, extra;
            TakeAcEntry(p, rs, extra);
            const std::uint32_t a = coding.Ac->Put[rs];
            if (gathered == kGroup || bits + static_cast<int>(a >> 27) > 63) {
                drain();
                gathered = 0;
            }
            put(a, extra);
            ++gathered;
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
