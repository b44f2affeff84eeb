#include "MarkerScan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumaro {

namespace {

// The first 0xFF at or after pos, before size - 1, that a byte other than
// 0x00 follows (a marker, or fill before one); size when there is none.
// Stuffed 0xFF bytes, one in some hundred bytes of a scan, are passed sixteen
// bytes at a time instead of being stopped at one by one.
std::size_t NextMarkerByte(const std::uint8_t* d, std::size_t pos, std::size_t size) {
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi8(-1), zeros = _mm_setzero_si128();
    for (; pos + 17 <= size; pos += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos + 1));
        const int hits = _mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi8(next, zeros), _mm_cmpeq_epi8(here, ones)));
        if (hits) return pos + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
#endif
    for (; pos + 1 < size; ++pos)
        if (d[pos] == 0xFF && d[pos + 1] != 0x00) return pos;
    return size;
}

} // namespace

TMarkerScanner::TMarkerScanner(const std::uint8_t* data, std::size_t size, std::size_t start, int stretches)
    : Data(data), Size(size), Start(start), Span(size - start), Stretches(stretches) {}

TMarkerWalk TMarkerScanner::Walk(std::size_t from, std::size_t until) const {
    TMarkerWalk w;
    // The first stretch that ends at or past `from`: those before it end
    // where the walk before this one goes.
    while (w.NextCut < Stretches && Cut(w.NextCut) < from) ++w.NextCut;
    Continue(w, from, until);
    return w;
}

void TMarkerScanner::WalkOn(TMarkerWalk& first) const {
    if (first.End == TMarkerWalk::TEnd::Open) Continue(first, first.Pos, Size);
}

// Markers whose 0xFF lies before `until` are this walk's; a walk from
// `until` on takes the rest. A segment is skipped whole, even past `until`.
void TMarkerScanner::Continue(TMarkerWalk& w, std::size_t pos, std::size_t until) const {
    // A marker byte before `until` is read with the byte after it.
    const std::size_t limit = until < Size ? until + 1 : Size;
    for (;;) {
        if (pos > until) {  // a segment reached past the part
            w.Pos = pos;
            w.End = until < Size ? TMarkerWalk::TEnd::Open : TMarkerWalk::TEnd::ScanEnds;
            return;
        }
        pos = NextMarkerByte(Data, pos, limit);
        if (pos >= until) {
            w.Pos = until;
            w.End = until < Size ? TMarkerWalk::TEnd::Open : TMarkerWalk::TEnd::ScanEnds;
            return;
        }
        const std::uint8_t m = Data[pos + 1];
        if (m >= 0xD0 && m <= 0xD7) {
            if (w.FirstRestart == static_cast<std::size_t>(-1)) w.FirstRestart = pos;
            if (w.NextCut < Stretches && pos >= Cut(w.NextCut)) {
                w.Points.push_back({pos, w.Restarts});
                // One marker for every stretch it passes (long intervals).
                while (w.NextCut < Stretches && pos >= Cut(w.NextCut)) ++w.NextCut;
            }
            ++w.Restarts;
        }
        if (m == 0xFF || (m >= 0xD0 && m <= 0xD7)) {
            ++pos;
            continue;
        }
        if (m == 0xDA || m == 0xD9 || pos + 3 >= Size) {
            w.Pos = pos;
            w.End = m == 0xDA ? TMarkerWalk::TEnd::SecondScan : TMarkerWalk::TEnd::ScanEnds;
            return;
        }
        pos += 2 + ((std::size_t{Data[pos + 2]} << 8) | Data[pos + 3]);
    }
}

bool TMarkerScanner::Join(TMarkerWalk& first, const TMarkerWalk& second, std::size_t middle) const {
    if (first.End != TMarkerWalk::TEnd::Open || first.Pos != middle) return false;
    // A stretch that ends before the middle with no restart marker after it
    // there ends at the first one the second walk met (which that walk noted
    // only if it also ends a stretch of its own).
    if (first.NextCut < Stretches && Cut(first.NextCut) < middle &&
        second.FirstRestart != static_cast<std::size_t>(-1) &&
        (second.Points.empty() || second.Points.front().Marker != second.FirstRestart))
        first.Points.push_back({second.FirstRestart, first.Restarts});
    for (const TSplitPoint& p : second.Points) first.Points.push_back({p.Marker, first.Restarts + p.Index});
    if (first.FirstRestart == static_cast<std::size_t>(-1)) first.FirstRestart = second.FirstRestart;
    first.Restarts += second.Restarts;
    first.NextCut = second.NextCut;
    first.Pos = second.Pos;
    first.End = second.End;
    return true;
}

} // namespace lumaro
