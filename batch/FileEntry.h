#pragma once
// One listed file and the grid's selection rectangle.
#include <cstdint>
#include <string>
#include <vector>

namespace lumaro {

struct TFileEntry {
    std::string SourcePath;       // full path, exactly as it was added (UTF-8, never cut)
    std::string ResultPath;       // what the last successful run wrote; empty until then
    std::int64_t SizeBefore = 0;  // size when the entry was added; never refreshed
    std::int64_t SizeAfter = -1;  // size of the result last written; -1 = not processed
};

// Rows as the grid numbers them: row 0 is the header, row r shows entry r-1.
// A top row of 0 means that no data row is selected.
struct TGridSelection {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool operator==(const TGridSelection&) const = default;
};

// How AddFile treats a file that is not a JPEG during the current collecting
// command.
enum TAddSource : std::uint8_t {
    asFileDialog = 0,  // every such file is reported
    asSilent = 1,      // none is reported
    asDrop = 2,        // the first is reported, then AddSource becomes asSilent
};

} // namespace lumaro
