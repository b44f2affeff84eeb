#pragma once
// The ten persistent user options. Field names follow their store keys.
#include <cstdint>
#include <string>

namespace lumaro {

// Where results are written. The stores hold the number; a larger number read
// from a store is kept as it is.
enum TSaveFolderMode : std::uint8_t {
    sfmSourceFolder = 0,      // "result_lumaro" beside each source
    sfmAskEachTime = 1,       // a folder picked for each run
    sfmFixedFolder = 2,       // gSaveFolder, or the desktop when empty
    sfmOverwrite = 3,         // over the source
    sfmOverwriteWithBak = 4,  // over the source, after a ".bak" copy
};

struct TSettings {
    bool gOptimize_Code = true;
    bool gOptimize_Exif = false;
    std::uint8_t gSaveFolderMode = sfmSourceFolder;
    std::string gSaveFolder;  // UTF-8; empty = the user's desktop
    bool gUseSaveAs = true;
    bool gKeepTimeStamp_Create = false;
    bool gKeepTimeStamp_Write = false;
    bool gGoOperationByDrop = false;
    bool gCopyOriginal = false;
    bool gSeekSubFolder = false;
};

} // namespace lumaro
