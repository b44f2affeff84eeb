#pragma once
#include <QDialog>
#include <QString>
#include <QWidget>

namespace lumaro::ui {

// Centres a top-level window on the screen it will appear on.
void CenterOnScreen(QWidget* w);

// The frame every dialog of the program shares: fixed size, modal, title and
// close button only, the designed font.
void SetUpFixedDialog(QDialog* d, const QString& objectName, const QString& title, int width, int height);

} // namespace lumaro::ui
