#pragma once
// A growable in-memory byte buffer with a position: the engine reads the source
// from one and writes the result into another. Loading from and saving to files
// is the host's business (platform layer), so the engine never touches a disk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "LargeMemory.h"

namespace lumaro {

// Raised when a read asks for more bytes than remain; the engine catches it.
class EReadError : public std::runtime_error {
public:
    EReadError() : std::runtime_error("read past the end of the stream") {}
};

class TMemoryStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(const std::vector<std::uint8_t>& bytes) : Bytes(bytes.begin(), bytes.end()) {}

    std::size_t Size() const { return Bytes.size(); }
    std::size_t Position() const { return Pos; }
    void SetPosition(std::size_t p) { Pos = p; }

    // Size and position 0; the capacity is kept for the next file.
    void Clear() { Bytes.clear(); Pos = 0; }
    // Empty, its room given back to the system.
    void Release() {
        TByteBuffer().swap(Bytes);
        Pos = 0;
        PresentData = nullptr;
        Present = 0;
    }
    // Room for n bytes without reallocation (on large pages when it is big).
    void Reserve(std::size_t n);
    // Makes the first n bytes of its room present in one go: on some
    // systems a page fault costs far more than the page itself. Room made
    // present before (for an earlier file) is not asked for again.
    void Prepare(std::size_t n);
    // Bytes it can hold before a write moves its memory.
    std::size_t Capacity() const { return Bytes.capacity(); }

    // Reads exactly n bytes or throws EReadError without moving.
    void Read(void* dest, std::size_t n);
    std::uint8_t ReadByte();
    // Writes at the position, growing the buffer as needed.
    void Write(const void* src, std::size_t n);
    void WriteByte(std::uint8_t b);

    // Replaces the whole content; position 0.
    void Assign(const std::uint8_t* data, std::size_t n);
    void Assign(const std::vector<std::uint8_t>& bytes) { Assign(bytes.data(), bytes.size()); }
    void CopyFrom(const TMemoryStream& other) { Bytes = other.Bytes; Pos = 0; }

    const std::uint8_t* Memory() const { return Bytes.data(); }
    std::uint8_t* Memory() { return Bytes.data(); }
    const TByteBuffer& Data() const { return Bytes; }
    TByteBuffer& Data() { return Bytes; }

private:
    TByteBuffer Bytes;
    std::size_t Pos = 0;
    // The room Prepare made present, and where it was: room that moved
    // (grown, or replaced through Data()) counts as new. A count that is
    // wrong only costs page faults.
    const std::uint8_t* PresentData = nullptr;
    std::size_t Present = 0;
};

} // namespace lumaro
