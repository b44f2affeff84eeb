#include "ScanCodec.h"

namespace lumaro::scan {

void TDecodeTable::Build(const std::int16_t bits[16], const std::vector<std::int32_t>& symbols, int cls) {
    std::memset(Fast, 0, sizeof Fast);
    std::memset(Value, 0, sizeof Value);
    std::int32_t code = 0, k = 0;
    for (int len = 1; len <= 16; ++len) {
        ValOffset[len] = k - code;
        for (int j = 0; j < bits[len - 1]; ++j, ++k, ++code) {
            const int symbol = symbols[k];
            Vals[k] = static_cast<std::uint8_t>(symbol);
            if (len > kLookBits) continue;
            const int shift = kLookBits - len;
            const auto entry = static_cast<std::uint16_t>((len << 8) | symbol);
            // A shortcut only for symbols that mean something here: DC sizes
            // up to 11; AC sizes up to 8 (whose entries take 2 bytes), or end
            // of block. Sixteen zeros take the longer way, which keeps track
            // of zero runs that end a block.
            const int size = cls == 0 ? DcSize(symbol) : AcSize(symbol);
            const bool meaningful = cls == 0 ? symbol <= 11 : size <= 8 && (size > 0 || symbol == 0x00);
            const unsigned mask = cls == 0 ? 0 : (1u << size) - 1;
            const unsigned covers = cls == 0 ? 0 : symbol == 0x00 ? 64 : (static_cast<unsigned>(symbol) >> 4) + 1;
            for (int x = code << shift; x < ((code + 1) << shift); ++x) {
                Fast[x] = entry;
                if (meaningful)
                    Value[x] = (covers << 24) | (mask << 16) | (static_cast<unsigned>(symbol) << 8) |
                               static_cast<unsigned>(len + size);
            }
        }
        MaxCode[len] = bits[len - 1] ? code - 1 : -1;
        code <<= 1;
    }
    MaxCode[17] = 0x7FFFFFFF;
}

void TEncodeTable::Build(const TOptimalTable& t, int cls) {
    std::memset(Length, 0, sizeof Length);
    std::memset(Code, 0, sizeof Code);
    for (std::size_t k = 0; k < t.Symbol.size(); ++k) {
        Code[t.Symbol[k]] = static_cast<std::uint32_t>(t.Code[k]);
        Length[t.Symbol[k]] = static_cast<std::uint8_t>(t.CodeLength[k]);
    }
    for (int s = 0; s < 256; ++s) {
        const int size = cls == 0 ? DcSize(s) : AcSize(s);
        const bool meaningful = cls == 0 ? size <= 11 : size <= 10;
        // A symbol without a code puts nothing, which the check refuses.
        Put[s] = meaningful && Length[s] ? (static_cast<std::uint32_t>(Length[s] + size) << 27) | (Code[s] << size) : 0;
    }
}

bool TCheckTable::Build(const std::int16_t bits[16], const std::vector<std::int32_t>& symbols, int cls) {
    std::memset(Put, 0, sizeof Put);
    bool seen[256] = {};
    std::uint32_t code = 0;
    std::size_t k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int j = 0; j < bits[len - 1]; ++j, ++k, ++code) {
            if (code >= (1u << len) || k >= symbols.size()) return false;
            const int symbol = symbols[k];
            if (symbol < 0 || symbol > 255 || seen[symbol]) return false;
            seen[symbol] = true;
            const int size = cls == 0 ? DcSize(symbol) : AcSize(symbol);
            if (size <= (cls == 0 ? 11 : 10))
                Put[symbol] = (static_cast<std::uint32_t>(len + size) << 27) | (code << size);
        }
        code <<= 1;
    }
    return true;
}

void TScanWriter::Settle() {
    while (Bits >= 8) {
        Bits -= 8;
        const auto b = static_cast<std::uint8_t>(Acc >> Bits);
        EmitByte(b);
        if (b == 0xFF) EmitByte(0x00);
    }
}

void TScanWriter::PadToByte() {
    Settle();
    // The padding bits are 0, so this byte is never 0xFF.
    if (Bits) EmitByte(static_cast<std::uint8_t>(Acc << (8 - Bits)));
    Bits = 0;
    Acc = 0;
}

void TScanWriter::PutMarker(std::uint16_t marker) {
    PadToByte();
    EmitByte(static_cast<std::uint8_t>(marker >> 8));
    EmitByte(static_cast<std::uint8_t>(marker));
}

void TScanWriter::Flush() {
    if (Out.Size() + Used > Limit) Overflow = true;
    if (!Overflow) Out.Write(Chunk.get(), Used);
    Used = 0;
}

} // namespace lumaro::scan
