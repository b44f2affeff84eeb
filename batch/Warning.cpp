#include "Warning.h"

namespace lumaro {

bool TWarning::NeedsConfirmation(const std::vector<TFileEntry>& List) {
    return List.size() > 1 && List.front().SizeAfter != -1 && List.back().SizeAfter == -1;
}

std::uint16_t TWarning::Ask(IDialogs& Dialogs) {
    switch (Dialogs.ShowWarning()) {
    case TWarningButton::Yes: Btn_YesClick(); break;
    case TWarningButton::No: Btn_NoClick(); break;
    case TWarningButton::Cancel: Btn_CancelClick(); break;
    case TWarningButton::Closed: break;  // the previous press counts again
    }
    return Answer == 0 ? std::uint16_t(waAll) : Answer;
}

} // namespace lumaro
