#include "BitStreamFile.h"

#include <cstring>

namespace lumaro {

const char* const kBitStreamMessage = "ビットストリームが正しく読みとれませんでした。";

// ---------------------------------------------------------------- reader

TInBitStreamFile::TInBitStreamFile(TMemoryStream& stream, TPeelErrorProc onError)
    : Data(stream.Memory()), Size(stream.Size()), Stream(stream), OnError(std::move(onError)) {
    Stream.SetPosition(0);
}

void TInBitStreamFile::Fill() {
    if (Count > 56) return;
    // Fast path: as many whole bytes as fit, read at once when none of the
    // next eight bytes is 0xFF (no stuffing, no marker).
    if (!Stopped && Pos + 8 <= Size) {
        std::uint64_t w;
        std::memcpy(&w, Data + Pos, 8);
        const std::uint64_t x = ~w;  // a 0xFF byte becomes a zero byte
        if (((x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL) == 0) {
            const int bytes = (64 - Count) >> 3;
            const int keep = Count + bytes * 8;
            const std::uint64_t mask = keep == 64 ? ~0ULL : ~((~0ULL) >> keep);
            Buf |= (__builtin_bswap64(w) >> Count) & mask;
            Count = keep;
            Pos += bytes;
            return;
        }
    }
    FillSlow();
}

void TInBitStreamFile::FillSlow() {
    while (Count <= 56) {
        if (Stopped) {  // Buf's low bits are already 0
            Count += 8;
            PadBits += 8;
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

void TInBitStreamFile::Need(int n) {
    while (Count - PadBits < n) {
        if (!Stopped) {
            FillSlow();
            continue;
        }
        // Only the real bits stay; what follows depends on why fetching stopped.
        Count -= PadBits;
        PadBits = 0;
        if (Pos + 1 >= Size) throw EReadError();
        // A marker inside the data: report it, keep the 0xFF as data and lose
        // the byte after it, then fetch on.
        if (OnError) OnError(kBitStreamMessage, 2);
        Stopped = false;
        Pos += 2;
        PushByte(0xFF);
    }
}

int TInBitStreamFile::ReadBit() {
    Need(1);
    const int bit = static_cast<int>(Buf >> 63);
    Skip(1);
    return bit;
}

std::uint16_t TInBitStreamFile::ReadBits(int n) {
    if (n <= 0) return 0;
    Need(n);
    const std::uint16_t v = static_cast<std::uint16_t>(Peek(n));
    Skip(n);
    return v;
}

std::size_t TInBitStreamFile::RawPosition() const {
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

void TInBitStreamFile::Normalize() {
    if (Count == 0 && !Stopped) return;
    Pos = RawPosition();
    Buf = 0;
    Count = 0;
    PadBits = 0;
    Stopped = false;
}

void TInBitStreamFile::SetRawPosition(std::size_t pos) {
    Buf = 0;
    Count = 0;
    PadBits = 0;
    Stopped = false;
    Pos = pos;
}

int TInBitStreamFile::AlignToByte() {
    const int real = Count - PadBits;
    if (real <= 0) return 0;
    Skip(real % 8);
    return (real - real % 8) / 8;
}

void TInBitStreamFile::ReadBuffer(void* dest, std::size_t count) {
    Normalize();
    if (count > Size || Pos > Size - count) throw EReadError();
    if (count) std::memcpy(dest, Data + Pos, count);
    Pos += count;
}

std::uint8_t TInBitStreamFile::ReadByte() {
    Normalize();
    if (Pos >= Size) throw EReadError();
    return Data[Pos++];
}

std::uint16_t TInBitStreamFile::ReadWord() {
    const std::uint16_t hi = ReadByte();
    return static_cast<std::uint16_t>((hi << 8) | ReadByte());
}

std::int64_t TInBitStreamFile::MarkPosition() {
    Normalize();
    Mark = static_cast<std::int64_t>(Pos);
    return Mark;
}

void TInBitStreamFile::ReturnToMark() {
    Normalize();
    Pos = static_cast<std::size_t>(Mark);
}

std::int64_t TInBitStreamFile::BytesSinceMark() const {
    return static_cast<std::int64_t>(RawPosition()) - Mark;
}

// ---------------------------------------------------------------- writer

TOutBitStreamFile::TOutBitStreamFile(TMemoryStream& stream, TPeelErrorProc onError)
    : Stream(stream), OnError(std::move(onError)) {}

TOutBitStreamFile::~TOutBitStreamFile() = default;

void TOutBitStreamFile::Commit() {
    Drain();
    WriteOutBuffer();
}

void TOutBitStreamFile::WriteOutBuffer() {
    if (BufLen) Stream.Write(Buffer, BufLen);
    BufLen = 0;
}

void TOutBitStreamFile::Drain() {
    // Four bytes at a time while none of them needs a stuffed byte.
    while (Bits >= 32 && BufLen + 4 < sizeof(Buffer)) {
        const auto w = static_cast<std::uint32_t>(Acc >> (Bits - 32));
        const std::uint32_t x = ~w;  // a 0xFF byte becomes a zero byte
        if ((x - 0x01010101u) & ~x & 0x80808080u) break;
        Buffer[BufLen] = static_cast<std::uint8_t>(w >> 24);
        Buffer[BufLen + 1] = static_cast<std::uint8_t>(w >> 16);
        Buffer[BufLen + 2] = static_cast<std::uint8_t>(w >> 8);
        Buffer[BufLen + 3] = static_cast<std::uint8_t>(w);
        BufLen += 4;
        Bits -= 32;
    }
    while (Bits >= 8) {
        const auto b = static_cast<std::uint8_t>(Acc >> (Bits - 8));
        Emit(b);
        if (b == 0xFF) Emit(0x00);
        Bits -= 8;
    }
}

void TOutBitStreamFile::WriteBit(int bit) { PutBits(bit == 1 ? 1u : 0u, 1); }

void TOutBitStreamFile::WriteBits(std::uint32_t value, int n) {
    if (n <= 0) return;
    if (n > 32) {  // the bits above a 32-bit value are 0
        for (int i = 32; i < n; ++i) PutBits(0, 1);
        n = 32;
    }
    const std::uint32_t mask = n == 32 ? 0xFFFFFFFFu : ((1u << n) - 1);
    PutBits(value & mask, n);
}

void TOutBitStreamFile::FlushBits() {
    Drain();
    // The bits not yet written are 0, so the byte can never be 0xFF and no
    // stuffed byte follows it.
    const auto b = static_cast<std::uint8_t>((Acc << (8 - Bits)) & 0xFF);
    Emit(Bits ? b : 0);
    Bits = 0;
    Acc = 0;
}

void TOutBitStreamFile::WriteByte(std::uint8_t b) {
    Drain();
    if (Bits) FlushBits();
    Emit(b);
}

void TOutBitStreamFile::WriteWord(std::uint16_t w) {
    WriteByte(static_cast<std::uint8_t>(w >> 8));
    Emit(static_cast<std::uint8_t>(w & 0xFF));
}

void TOutBitStreamFile::WriteBuffer(const void* src, std::size_t count) {
    Drain();
    if (Bits) FlushBits();
    WriteOutBuffer();
    Stream.Write(src, count);
}

} // namespace lumaro
