#pragma once
// Tools for feeding the engine hostile input: a run of TJpegPeel that records
// its messages, time and largest allocation; a segment walker; a maker of
// synthetic frames; and the judgement of one outcome against libjpeg.
#include <cstdint>
#include <string>
#include <vector>

#include "CoefOracle.h"

namespace lumaro::test {

using TBytes = std::vector<std::uint8_t>;

struct TPeelOutcome {
    bool Ok = false;
    std::vector<std::string> Errors;
    TBytes Out;
    double Seconds = 0;
    std::size_t LargestAllocation = 0;  // bytes asked for in one request
};

TPeelOutcome RunPeel(const TBytes& In, bool Optimize = true, bool RemoveExif = false);

// Largest single allocation request while tracking is on (operator new).
void StartAllocationTracking();
std::size_t StopAllocationTracking();

// The header segments of a file up to and including its scan header.
struct TSegmentRef {
    std::uint16_t Marker;
    std::size_t Offset;  // of the marker
    std::size_t Length;  // the length field's value
};
std::vector<TSegmentRef> WalkSegments(const TBytes& Jpeg);

// A baseline frame of the given size whose every block is all zero, coded with
// one-bit DC and AC codes (two bits a block, the least any scan can spend).
// ScanBytes, when given, replaces the scan's true length (a lying frame).
struct TForgeOptions {
    int Width = 16, Height = 16;
    int Components = 1;       // 1 or 3
    int Sampling = 0x11;      // of the first component; the others are 1x1
    std::size_t ScanBytes = 0;  // 0: just enough for every block
    int AppSegments = 0;      // APP2 segments of AppBytes each, before the frame
    int AppBytes = 16;
    std::uint8_t AppMarker = 0xE2;
};
TBytes ForgeJpeg(const TForgeOptions& Options);

TBytes ReadFileBytes(const std::string& Path);
std::vector<std::string> JpegFilesUnder(const std::string& Folder);

// Tallies of a hostile series, for the report and for sanity checks.
struct TTally {
    int Tried = 0, Refused = 0, Accepted = 0, Judged = 0;
    double SlowestSeconds = 0;
    long PeakRssKb = 0;  // of the process that ran the series
};

// The outcome of one hostile input must be a refusal with a message or a
// result that libjpeg reads to the same coefficients as Reference (or, without
// a reference, as the input itself when libjpeg reads that cleanly). The copy-
// through mode must give a refusal with a message or the input unchanged.
// Returns an empty string when sound, else what went wrong.
std::string JudgeOutcome(const TBytes& Input, const TCoefImage* Reference, TTally& Tally);

} // namespace lumaro::test
