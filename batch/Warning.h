#pragma once
// The re-process confirmation: when it is asked and what its answer means.
// The dialog's window ("処理範囲の確認") lives in ui/; this is its logic.
#include <cstdint>
#include <vector>

#include "FileEntry.h"
#include "Platform.h"

namespace lumaro {

// Answer codes of a run.
enum : std::uint16_t {
    waCancel = 2,       // "処理を中断する": no file is touched
    waOnlyNew = 6,      // "処理していないファイルのみを処理"
    waAll = 7,          // "すべてのファイルを処理"
};

class TWarning {
public:
    // Asked when the list holds more than one entry, the first is processed
    // and the last is not; only these two entries are looked at.
    static bool NeedsConfirmation(const std::vector<TFileEntry>& List);

    // Shows the dialog and returns the run's answer code. A button press is
    // remembered; closing the dialog without a button repeats the previous
    // press, and before any press that means "process every entry".
    std::uint16_t Ask(IDialogs& Dialogs);

    void Btn_YesClick() { Answer = waOnlyNew; }
    void Btn_NoClick() { Answer = waAll; }
    void Btn_CancelClick() { Answer = waCancel; }

    // Code of the last button pressed; 0 before the first press.
    std::uint16_t Answer = 0;
};

} // namespace lumaro
