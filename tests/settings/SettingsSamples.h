#pragma once
// A settings record with every option away from its default, for the tests
// of the two stores and of the options dialog.
#include "Settings.h"

namespace lumaro::test {

// The folder name needs escaping in both stores.
inline TSettings EveryOptionChanged() {
    TSettings s;
    s.gOptimize_Code = false;
    s.gOptimize_Exif = true;
    s.gSaveFolderMode = sfmOverwriteWithBak;
    s.gSaveFolder = "/home/写真 \"best\"\\ 2024 ";
    s.gUseSaveAs = false;
    s.gKeepTimeStamp_Create = true;
    s.gKeepTimeStamp_Write = true;
    s.gGoOperationByDrop = true;
    s.gCopyOriginal = true;
    s.gSeekSubFolder = true;
    return s;
}

} // namespace lumaro::test
