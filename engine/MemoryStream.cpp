#include "MemoryStream.h"

#include <algorithm>
#include <cstring>


namespace lumaro {

void TMemoryStream::Read(void* dest, std::size_t n) {
    if (n > Bytes.size() || Pos > Bytes.size() - n) throw EReadError();
    if (n) std::memcpy(dest, Bytes.data() + Pos, n);
    Pos += n;
}

std::uint8_t TMemoryStream::ReadByte() {
    if (Pos >= Bytes.size()) throw EReadError();
    return Bytes[Pos++];
}

void TMemoryStream::Reserve(std::size_t n) {
    // At least twofold, as a growing write would: a run over many files then
    // seldom maps fresh memory.
    if (n > Bytes.capacity()) Bytes.reserve(std::max(n, 2 * Bytes.capacity()));
}

void TMemoryStream::Prepare(std::size_t n) {
    if (Bytes.data() != PresentData) {
        PresentData = Bytes.data();
        Present = 0;
    }
    Present = PrepareBeyond(Bytes.data(), Present, std::min(n, Bytes.capacity()));
}

void TMemoryStream::Write(const void* src, std::size_t n) {
    if (!n) return;
    const auto* bytes = static_cast<const std::uint8_t*>(src);
    if (Pos == Bytes.size()) {  // appending: no zero fill first
        Bytes.insert(Bytes.end(), bytes, bytes + n);
    } else {
        if (Pos > Bytes.size()) Bytes.resize(Pos, 0);  // a gap before the position reads as zeros
        if (Pos + n > Bytes.size()) Bytes.resize(Pos + n);
        std::memcpy(Bytes.data() + Pos, bytes, n);
    }
    Pos += n;
}

void TMemoryStream::WriteByte(std::uint8_t b) {
    if (Pos == Bytes.size()) {
        Bytes.push_back(b);
        ++Pos;
    } else if (Pos < Bytes.size()) {
        Bytes[Pos++] = b;
    } else {
        Write(&b, 1);
    }
}

void TMemoryStream::Assign(const std::uint8_t* data, std::size_t n) {
    Bytes.assign(data, data + n);
    Pos = 0;
}

} // namespace lumaro
