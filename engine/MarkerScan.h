#pragma once
// The walk over what follows a scan header: the entropy-coded data, any
// segments after it, up to the scan's end (EOI or the data's end) or a
// second scan. On the way it notes where decoding may be split: the first
// restart marker at or past each of a number of equal stretches of the data,
// and how many restart markers came before it.
//
// A large scan is walked in two halves side by side: the data from the
// middle on is walked as if it were entropy-coded from there, and the two
// walks are joined when the first one reached the middle in entropy-coded
// data (a segment that reaches past the middle makes the first walk go on
// alone). Joined or not, the result is exactly that of one walk from the
// start. Internal to the engine.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumaro {

// A restart marker (the offset of its 0xFF) and how many came before it.
struct TSplitPoint {
    std::size_t Marker;
    std::int64_t Index;
};

// Where a walk over part of the data stands.
struct TMarkerWalk {
    enum class TEnd {
        Open,        // it reached the end of its part
        SecondScan,  // a second scan header follows the scan
        ScanEnds,    // EOI, or the data ends
    };
    TEnd End = TEnd::Open;
    // Open: everything before Pos was walked, nothing from Pos on. Pos lies
    // past the end of the part when a segment reached past it.
    std::size_t Pos = 0;
    std::int64_t Restarts = 0;  // restart markers met
    int NextCut = 1;            // the stretch the next split point ends
    std::size_t FirstRestart = static_cast<std::size_t>(-1);
    std::vector<TSplitPoint> Points;
};

class TMarkerScanner {
public:
    // data/size: the file; start: the scan's first byte; stretches: how
    // many equal stretches the data is cut into for split points.
    TMarkerScanner(const std::uint8_t* data, std::size_t size, std::size_t start, int stretches);

    // Walks [from, until) as entropy-coded data from `from`, which is the
    // scan's start or where another walk began its part.
    TMarkerWalk Walk(std::size_t from, std::size_t until) const;
    // Walks the first walk on to the end of the data.
    void WalkOn(TMarkerWalk& first) const;
    // Adds the walk of the data from `middle` on to the walk of the data
    // before it, as if one walk had gone through. False (nothing changed)
    // when the first walk did not stop right at the middle.
    bool Join(TMarkerWalk& first, const TMarkerWalk& second, std::size_t middle) const;

    // The whole walk on one thread.
    TMarkerWalk WalkAll() const { return Walk(Start, Size); }

private:
    std::size_t Cut(int k) const { return Start + Span / static_cast<std::size_t>(Stretches) * static_cast<std::size_t>(k); }
    void Continue(TMarkerWalk& w, std::size_t pos, std::size_t until) const;

    const std::uint8_t* Data;
    std::size_t Size, Start, Span;
    int Stretches;
};

} // namespace lumaro
