#include "ScanReader.h"

#include <algorithm>

namespace lumaro {

void TScanReader::Grow(std::size_t want) {
    if (Supply && !Final) Size = Supply->WaitFor(want, Final);
}

void TScanReader::FillSlow() {
    while (Count <= 56) {
        // The plain bytes before a 0xFF in the next eight (all that fit when
        // there is none), at once; a 0xFF, a marker or the end byte by byte.
        if (!Stopped && Pos + 8 <= Size) {
            std::uint64_t w;
            std::memcpy(&w, Data + Pos, 8);
            const std::uint64_t ff = FFByteFlags(w);
            // Bytes before the first 0xFF (the lowest flagged byte: the data
            // is read little-endian here); none when the first byte is one.
            const int plain = std::min(ff ? __builtin_ctzll(ff) / 8 : 8, (64 - Count) / 8);
            if (plain > 0) {
                const int bits = plain * 8;
                Buf |= (__builtin_bswap64(w) & (~0ULL << (64 - bits))) >> Count;
                Count += bits;
                Pos += static_cast<std::size_t>(plain);
                continue;
            }
        }
        if (Stopped) {  // Buf's low bits are already 0
            Count += 8;
            PadBits += 8;
            continue;
        }
        // The end of what a growing supply has delivered is not the end of
        // the data: wait for more first.
        if (Pos + 1 >= Size && !Final) {
            Grow(Pos + 8);
            continue;
        }
        if (Pos >= Size) {
            Stopped = true;
            continue;
        }
        const std::uint8_t b = Data[Pos];
        if (b != 0xFF) {
            ++Pos;
            PushByte(b);
            continue;
        }
        if (Pos + 1 >= Size) {  // 0xFF as the very last byte: the data ends
            Stopped = true;
            continue;
        }
        if (Data[Pos + 1] == 0x00) {  // stuffed byte
            Pos += 2;
            PushByte(0xFF);
            continue;
        }
        Stopped = true;  // a marker: fetching waits here
    }
}

bool TScanReader::TakeMarkerAsData() {
    Count -= PadBits;
    PadBits = 0;
    if (Pos + 1 >= Size) return false;
    Stopped = false;
    Pos += 2;
    PushByte(0xFF);
    return true;
}

std::size_t TScanReader::RawPosition() const {
    const int real = Count - PadBits;
    if (real <= 0) return Pos;
    const int partial = real % 8;
    std::size_t raw = Pos;
    // Every whole byte still buffered was fetched from one raw byte, or from
    // two when it was a 0xFF (stuffed, or taken as data at a marker).
    for (int i = 0; i < real / 8; ++i) {
        const auto b = static_cast<std::uint8_t>(Buf >> (64 - partial - 8 * (i + 1)));
        raw -= (b == 0xFF) ? 2 : 1;
    }
    return raw;
}

void TScanReader::SetRawPosition(std::size_t pos) {
    Buf = 0;
    Count = 0;
    PadBits = 0;
    Stopped = false;
    Pos = pos;
}

void TScanReader::BitPosition(std::size_t& byte, int& bit) const {
    const int real = Count - PadBits;
    const int partial = real > 0 ? real % 8 : 0;
    byte = RawPosition();
    bit = 0;
    if (partial == 0) return;
    // The partly read byte lies just before; a 0xFF took two raw bytes.
    byte -= byte >= 2 && Data[byte - 1] == 0x00 && Data[byte - 2] == 0xFF ? 2 : 1;
    bit = 8 - partial;
}

void TScanReader::SeekBit(std::size_t byte, int bit) {
    SetRawPosition(byte);
    if (bit == 0) return;
    Fill();
    Skip(bit);
}

int TScanReader::AlignToByte() {
    const int real = Count - PadBits;
    if (real <= 0) return 0;
    Skip(real % 8);
    return (real - real % 8) / 8;
}

} // namespace lumaro
