#pragma once
// Bit fetching from an entropy-coded segment: bytes are taken most significant
// bit first into a 64-bit buffer, a stuffed 0x00 after 0xFF is dropped, and at
// a marker (or the end of the data) fetching stops and zero bits are appended
// instead, counted so that a caller can tell whether it consumed any of them.
//
// The data may still be growing (a scan another thread is writing): a reader
// given a TByteSupply asks it for more bytes instead of taking the end of what
// it has as the end of the data.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lumaro {

class TByteSupply {
public:
    // Blocks until at least `want` bytes exist or no more will come; returns
    // the bytes available and sets `final` once no more will come.
    virtual std::size_t WaitFor(std::size_t want, bool& final) = 0;

protected:
    ~TByteSupply() = default;
};

// A flag (the top bit) in each 0xFF byte of w; 0 when there is none. The
// lowest flag always marks a 0xFF byte; flags above it may be false ones.
inline std::uint64_t FFByteFlags(std::uint64_t w) {
    const std::uint64_t x = ~w;  // a 0xFF byte becomes a zero byte
    return (x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL;
}
// True when none of the eight bytes of w is 0xFF.
inline bool NoFFByte(std::uint64_t w) { return FFByteFlags(w) == 0; }

class TScanReader {
public:
    TScanReader(const std::uint8_t* data, std::size_t size, TByteSupply* supply = nullptr)
        : Data(data), Size(size), Supply(supply), Final(supply == nullptr) {}

    // Makes at least 57 bits available (zero bits past a marker or the end).
    void Fill() {
        if (Count <= 56) FillSlow();
    }
    std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(Buf >> (64 - n)); }
    void Skip(int n) {
        Buf <<= n;
        Count -= n;
    }
    // Valid bits in the buffer, appended zero bits included.
    int Available() const { return Count; }
    // Consumed bits that the data did not have (past a marker or the end).
    bool Overrun() const { return Count < PadBits; }
    // The fill stopped at the end of the data rather than at a marker.
    bool StoppedAtEnd() const { return Stopped && Pos + 1 >= Size; }

    // The bit buffer and fetch position, for a coder that keeps them in
    // registers while it works and hands them back before anything else
    // touches the reader. It may take the eight bytes at Pos itself while
    // Pos + 8 <= FastEnd() and none of them is 0xFF.
    void Export(std::uint64_t& buf, int& count, std::size_t& pos) const {
        buf = Buf;
        count = Count;
        pos = Pos;
    }
    void Import(std::uint64_t buf, int count, std::size_t pos) {
        Buf = buf;
        Count = count;
        Pos = pos;
    }
    std::size_t FastEnd() const { return Stopped ? 0 : Size; }
    // The next raw byte to fetch; with RealBits() it says where the reader is.
    std::size_t FetchPosition() const { return Pos; }

    // Raw position of the next byte a raw read would return.
    std::size_t RawPosition() const;
    // Forgets the buffered bits; fetching restarts at pos.
    void SetRawPosition(std::size_t pos);
    // Drops the unread rest of the current byte; returns the number of whole
    // data bytes that were fetched but not consumed.
    int AlignToByte();
    // Where the next bit is: the raw position of the byte holding it and how
    // many bits of that byte were taken before it.
    void BitPosition(std::size_t& byte, int& bit) const;
    // Goes to bit `bit` of the byte at raw position `byte`.
    void SeekBit(std::size_t byte, int bit);
    // Makes bytes [0, end) readable if the data has them (waiting for a
    // growing supply); false when the data ends before.
    bool Ensure(std::size_t end) {
        if (end > Size && !Final) Grow(end);
        return end <= Size;
    }
    std::size_t DataSize() const { return Size; }
    const std::uint8_t* DataBytes() const { return Data; }

    // For the one-bit-at-a-time reader, which takes a marker met inside the
    // data as data: bits that are real data (not appended zeros)...
    int RealBits() const { return Count - PadBits; }
    bool IsStopped() const { return Stopped; }
    // ...more of them, until at least 57 are buffered or it stops...
    void FillSlow();
    // ...and after a stop: forget the appended zeros; false at the end of the
    // data, otherwise the 0xFF of the marker becomes a data byte, the byte
    // after it is lost, and fetching goes on.
    bool TakeMarkerAsData();

private:
    void PushByte(std::uint8_t b) {
        Buf |= static_cast<std::uint64_t>(b) << (56 - Count);
        Count += 8;
    }
    void Grow(std::size_t want);

    const std::uint8_t* Data;
    std::size_t Size;
    TByteSupply* Supply;
    bool Final;                // Size is the size of the whole data
    std::size_t Pos = 0;       // next raw byte to fetch
    std::uint64_t Buf = 0;     // left-aligned: the next bit is bit 63
    int Count = 0;             // valid bits in Buf, padding included
    int PadBits = 0;           // zero bits appended after a stop
    bool Stopped = false;      // fetching stopped at a marker or the end
};

} // namespace lumaro
