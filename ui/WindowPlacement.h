#pragma once
#include <QWidget>

namespace lumaro::ui {

// Centres a top-level window on the screen it will appear on.
void CenterOnScreen(QWidget* w);

} // namespace lumaro::ui
