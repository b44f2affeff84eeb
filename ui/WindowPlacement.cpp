#include "WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>

namespace lumaro::ui {

void CenterOnScreen(QWidget* w) {
    QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QSize size = w->frameGeometry().size();
    w->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

} // namespace lumaro::ui
