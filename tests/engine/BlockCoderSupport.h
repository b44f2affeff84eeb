#pragma once
// The tables of the block coder for a run of block records, built as the
// engine builds them (optimal tables from the records' counts), for the
// block coder's tests and micro-benchmarks.
#include <cstdint>
#include <vector>

#include "HuffmanBuilder.h"
#include "ScanCodec.h"

namespace lumaro::testcoder {

struct TCoder {
    TOptimalTable Optimal[2];
    scan::TEncodeTable Encode[2];
    scan::TDecodeTable Decode[2];
    scan::TCheckTable Check[2];
    bool CheckBuilt = true;  // the check tables accepted the written tables
};

// For the first `blocks` records at `records`: DC (class 0) and AC (class 1).
inline TCoder CoderFor(const std::uint8_t* records, int blocks) {
    std::vector<std::int32_t> freq[2] = {std::vector<std::int32_t>(256), std::vector<std::int32_t>(256)};
    const std::uint8_t* rec = records;
    for (int b = 0; b < blocks; ++b, rec += scan::RecordSize(rec)) {
        ++freq[0][rec[1]];
        for (const std::uint8_t* e = rec + 4; e < rec + scan::RecordSize(rec); e += scan::AcEntryBytes(e))
            ++freq[1][scan::AcEntrySymbol(e)];
    }
    TCoder c;
    for (int cls = 0; cls < 2; ++cls) {
        std::vector<TSymbolCount> counts;
        for (int s = 0; s < 256; ++s)
            if (freq[cls][s]) counts.push_back({s, freq[cls][s]});
        c.Optimal[cls] = BuildOptimalTable(counts);
        c.Encode[cls].Build(c.Optimal[cls], cls);
        c.Decode[cls].Build(c.Optimal[cls].HuffBits, c.Optimal[cls].Symbol, cls);
        c.CheckBuilt = c.Check[cls].Build(c.Optimal[cls].HuffBits, c.Optimal[cls].Symbol, cls) && c.CheckBuilt;
    }
    return c;
}

} // namespace lumaro::testcoder
