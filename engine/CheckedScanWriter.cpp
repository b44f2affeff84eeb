#include "CheckedScanWriter.h"

namespace lumaro::scan {

void TCheckedScanWriter::PutMarker(std::uint16_t marker) {
    if (static_cast<std::size_t>(End - O) < kMarkerRoom) {
        Overflow = true;
        return;
    }
    // After every record fewer than 8 bits are pending on either side. The
    // padding bits are 0, so the padded byte is never 0xFF.
    std::uint8_t* const before = O;
    const bool padded = Bits != 0;
    if (padded) *O++ = PendingByte();
    *O++ = static_cast<std::uint8_t>(marker >> 8);
    *O++ = static_cast<std::uint8_t>(marker);
    if (FlipAt >= 0) Flip(before, O);
    if (padded) Differs |= *Q++ != static_cast<std::uint8_t>(Acc << (8 - Bits));
    Bits = 0;
    Acc = 0;
    Differs |= Q[0] != static_cast<std::uint8_t>(marker >> 8) || Q[1] != static_cast<std::uint8_t>(marker);
    Q += 2;
}

std::uint8_t* JoinParts(const TCheckedScanWriter& first, const std::uint8_t* secondBegin,
                        const TCheckedScanWriter& second, std::uint8_t* limit) {
    std::uint8_t* o = first.Position();
    const std::uint8_t* from = secondBegin;
    std::size_t n = static_cast<std::size_t>(second.Position() - secondBegin);
    const int pending = first.PendingBits();
    if (n == 0 || o + 2 > limit) return nullptr;
    if (pending) {
        if (from[0] >> (8 - pending)) return nullptr;  // they must have been written as 0-bits
        const auto joint = static_cast<std::uint8_t>(first.PendingByte() | from[0]);
        *o++ = joint;
        if (joint == 0xFF) *o++ = 0x00;
        ++from;
        --n;
    }
    if (n > static_cast<std::size_t>(limit - o)) return nullptr;
    std::memcpy(o, from, n);
    return o + n;
}

} // namespace lumaro::scan
