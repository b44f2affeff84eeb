#pragma once
// TFm_Warning: asks whether entries that were already processed should be
// processed again. Answer keeps the code of the last button pressed (6 only
// the unprocessed files, 7 all files, 2 cancel); it starts at 0 and is kept
// from one showing to the next, so closing the window without a button
// repeats the previous answer.
#include <cstdint>

#include <QDialog>

#include "Platform.h"

class QLabel;
class QPushButton;

namespace lumaro::ui {

class TFm_Warning : public QDialog {
    Q_OBJECT
public:
    explicit TFm_Warning(QWidget* parent = nullptr);

    std::int16_t Answer = 0;
    // The button that closed the latest showing (Closed: none was pressed).
    TWarningButton LastButton = TWarningButton::Closed;

    // Shows the dialog modally and returns Answer afterwards.
    std::int16_t ShowModal();

    QLabel* Label1;
    QLabel* Label3;
    QPushButton* Btn_Yes;
    QPushButton* Btn_No;
    QPushButton* Btn_Cancel;

private:
    void Choose(std::int16_t code, TWarningButton button);
};

} // namespace lumaro::ui
