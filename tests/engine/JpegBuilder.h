#pragma once
// Test helper: writes small baseline JPEG files from coefficient blocks, with
// full control over component ids, sampling, tables, restart markers and odd
// symbol streams, and decodes them back bit by bit as an independent oracle.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace testjpeg {

using Bytes = std::vector<std::uint8_t>;
using Block = std::array<std::int16_t, 64>;

struct Table {
    int Class = 0, Id = 0;
    std::array<std::uint8_t, 16> Bits{};
    std::vector<std::uint8_t> Vals;
};

// A table that holds every symbol a baseline encoder may need (DC sizes 0..11;
// AC end of block, zero run and every run/size up to size 10), fixed length.
Table FullTable(int cls, int id);
// A fixed-length code holding exactly the given symbols.
Table FlatTable(int cls, int id, const std::vector<std::uint8_t>& symbols);

// One symbol of a hand-made symbol stream: the code of Symbol, then Count raw bits of Bits.
struct Sym {
    int Class;  // 0 DC, 1 AC
    int Symbol;
    std::uint32_t Bits = 0;
    int Count = 0;
};

struct Component {
    std::uint8_t Id = 1;
    int H = 1, V = 1, Tq = 0, Td = 0, Ta = 0;
};

struct Recipe {
    int Width = 16, Height = 16;
    std::vector<Component> Comps = std::vector<Component>(1);
    std::vector<int> ScanOrder;        // indices into Comps; empty = frame order
    int RestartInterval = -1;          // -1: no DRI segment
    std::vector<int> RestartNumbers;   // marker numbers to write, cycled; empty = 0..7
    std::vector<Table> Tables;         // empty = the four standard tables
    bool OneDht = false;               // all tables in one DHT segment
    std::vector<Bytes> Before;         // whole segments written right after SOI
    Bytes After;                       // appended after EOI
    bool WriteEoi = true;
    // Coefficients of the block at (bx, by) of component c, in zig-zag order.
    std::function<Block(int c, int bx, int by)> Coef;
    // A hand-made symbol stream for a block instead of the usual coding.
    std::function<std::optional<std::vector<Sym>>(int c, int bx, int by)> Raw;
};

Bytes Build(const Recipe& recipe);

// Block grids per frame component (row-major), decoded bit by bit.
struct Decoded {
    bool Ok = false;
    int Width = 0, Height = 0;
    std::vector<std::vector<Block>> Comps;
    std::vector<std::size_t> GridWidth;
};
Decoded DecodeReference(const Bytes& jpeg);

// Marker segments of a file up to and including SOS: (marker, whole segment bytes).
std::vector<std::pair<int, Bytes>> Segments(const Bytes& jpeg);
Bytes Segment(int marker, const Bytes& payload);  // marker, length, payload

} // namespace testjpeg
