#pragma once
// Bit-level reader and writer over an in-memory byte stream, with JPEG byte
// stuffing (a data byte 0xFF is followed by a stuffed 0x00 in the stream).
//
// Both offer raw access for marker segments (bytes, big-endian words, blocks)
// and bit access for the entropy-coded scan, most significant bit first. A raw
// access always starts on a byte boundary: the reader drops the unread rest of
// a partly consumed byte, the writer first completes a partly filled byte with
// 0-bits. The engine relies on this at restart markers and at the end of a scan.
//
// Internally both keep a 64-bit bit buffer; the byte-level behaviour is that
// of a reader and writer that handle one bit at a time. The reader fetches
// through a TScanReader, which the scan decoder also uses directly; the scan
// encoder writes through its own TScanWriter (ScanCodec.h).
#include <cstddef>
#include <cstdint>

#include "JpegPeel.h"
#include "MemoryStream.h"
#include "ScanReader.h"

namespace lumaro {

extern const char* const kBitStreamMessage;  // "ビットストリームが正しく読みとれませんでした。"

class TInBitStreamFile {
public:
    TInBitStreamFile(TMemoryStream& stream, TPeelErrorProc onError);
    TInBitStreamFile(const std::uint8_t* data, std::size_t size, TPeelErrorProc onError);

    // Raw access (drops a partly read byte first). Throws EReadError past the end.
    void ReadBuffer(void* dest, std::size_t count);
    std::uint8_t ReadByte();
    std::uint16_t ReadWord();

    // Entropy-coded bits. A marker met while fetching a data byte is reported
    // through OnError (kind 2); the 0xFF is then taken as data and the byte
    // after it is lost. Reading past the end throws EReadError.
    int ReadBit();
    std::uint16_t ReadBits(int n);  // n = 0..16; 0 yields 0 and reads nothing

    std::int64_t MarkPosition();
    void ReturnToMark();
    std::int64_t BytesSinceMark() const;
    // Raw position of the next byte a raw read would return.
    std::size_t RawPosition() const { return Bits.RawPosition(); }
    void SetRawPosition(std::size_t pos) { Bits.SetRawPosition(pos); }
    std::size_t StreamSize() const { return Size; }
    const std::uint8_t* StreamData() const { return Data; }

    // The bit fetching underneath, for the scan coder.
    TScanReader& Scan() { return Bits; }

private:
    // Makes n real bits available for the one-bit-at-a-time interface.
    void Need(int n);
    // Forgets the buffered bits and restarts fetching at the raw position.
    void Normalize();

    const std::uint8_t* Data;
    std::size_t Size;
    TScanReader Bits;
    std::int64_t Mark = 0;
    TPeelErrorProc OnError;
};

class TOutBitStreamFile {
public:
    TOutBitStreamFile(TMemoryStream& stream, TPeelErrorProc onError);
    ~TOutBitStreamFile();

    void WriteBuffer(const void* src, std::size_t count);
    void WriteByte(std::uint8_t b);
    void WriteWord(std::uint16_t w);
    void WriteBit(int bit);                     // only 1 sets a bit
    void WriteBits(std::uint32_t value, int n); // low n bits, first bit most significant
    // Completes a partly filled byte with 0-bits and writes it out.
    void FlushBits();
    // Hands every whole byte written so far to the stream. Bytes not committed
    // are dropped with the writer: a failed file leaves the stream alone.
    void Commit();

    // n <= 32 bits of value, already masked.
    void PutBits(std::uint32_t value, int n) {
        Acc = (Acc << n) | value;
        Bits += n;
        if (Bits >= 32) Drain();
    }
    void Drain();  // writes out every whole byte held in Acc

private:
    void WriteOutBuffer();
    void Emit(std::uint8_t b) {
        if (BufLen >= sizeof(Buffer) - 1) WriteOutBuffer();
        Buffer[BufLen++] = b;
    }

    std::uint64_t Acc = 0;  // right-aligned pending bits
    int Bits = 0;           // pending bits in Acc
    std::uint8_t Buffer[8192];
    std::size_t BufLen = 0;
    TMemoryStream& Stream;
    TPeelErrorProc OnError;
};

} // namespace lumaro
