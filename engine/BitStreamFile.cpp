#include "BitStreamFile.h"

#include <cstring>

namespace lumaro {

const char* const kBitStreamMessage = "ビットストリームが正しく読みとれませんでした。";

// ---------------------------------------------------------------- reader

TInBitStreamFile::TInBitStreamFile(TMemoryStream& stream, TPeelErrorProc onError)
    : TInBitStreamFile(stream.Memory(), stream.Size(), std::move(onError)) {
    stream.SetPosition(0);
}

TInBitStreamFile::TInBitStreamFile(const std::uint8_t* data, std::size_t size, TPeelErrorProc onError)
    : Data(data), Size(size), Bits(data, size), OnError(std::move(onError)) {}

void TInBitStreamFile::Need(int n) {
    while (Bits.RealBits() < n) {
        if (!Bits.IsStopped()) {
            Bits.FillSlow();
            continue;
        }
        // Only the real bits stay; at the end of the data there are no more.
        if (!Bits.TakeMarkerAsData()) throw EReadError();
        // A marker inside the data: reported; its 0xFF was kept as data and
        // the byte after it lost, then fetching goes on.
        if (OnError) OnError(kBitStreamMessage, 2);
    }
}

int TInBitStreamFile::ReadBit() {
    Need(1);
    const int bit = static_cast<int>(Bits.Peek(1));
    Bits.Skip(1);
    return bit;
}

std::uint16_t TInBitStreamFile::ReadBits(int n) {
    if (n <= 0) return 0;
    Need(n);
    const std::uint16_t v = static_cast<std::uint16_t>(Bits.Peek(n));
    Bits.Skip(n);
    return v;
}

void TInBitStreamFile::Normalize() {
    if (Bits.Available() == 0 && !Bits.IsStopped()) return;
    Bits.SetRawPosition(Bits.RawPosition());
}

void TInBitStreamFile::ReadBuffer(void* dest, std::size_t count) {
    Normalize();
    const std::size_t pos = Bits.RawPosition();
    if (count > Size || pos > Size - count) throw EReadError();
    if (count) std::memcpy(dest, Data + pos, count);
    Bits.SetRawPosition(pos + count);
}

std::uint8_t TInBitStreamFile::ReadByte() {
    Normalize();
    const std::size_t pos = Bits.RawPosition();
    if (pos >= Size) throw EReadError();
    Bits.SetRawPosition(pos + 1);
    return Data[pos];
}

std::uint16_t TInBitStreamFile::ReadWord() {
    const std::uint16_t hi = ReadByte();
    return static_cast<std::uint16_t>((hi << 8) | ReadByte());
}

std::int64_t TInBitStreamFile::MarkPosition() {
    Normalize();
    Mark = static_cast<std::int64_t>(Bits.RawPosition());
    return Mark;
}

void TInBitStreamFile::ReturnToMark() { Bits.SetRawPosition(static_cast<std::size_t>(Mark)); }

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
