#include "WindowPlacement.h"

#include "UiFonts.h"

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

void SetUpFixedDialog(QDialog* d, const QString& objectName, const QString& title, int width, int height) {
    d->setObjectName(objectName);
    d->setWindowTitle(title);
    d->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    d->setFixedSize(width, height);
    d->setFont(DesignFont(12));
    d->setModal(true);
}

} // namespace lumaro::ui
