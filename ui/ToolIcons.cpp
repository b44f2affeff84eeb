#include "ToolIcons.h"

#include <QPainter>
#include <QPainterPath>

// The icon images are compiled into this static library; its resources must
// be registered explicitly.
static void RegisterIconResources() { Q_INIT_RESOURCE(icons); }

namespace lumaro::ui {
namespace {

void EnsureResources() {
    static const bool done = (RegisterIconResources(), true);
    (void)done;
}

constexpr int kSize = 24;

void DrawPage(QPainter& p) {
    QPainterPath page;
    page.moveTo(5, 2); page.lineTo(15, 2); page.lineTo(20, 7); page.lineTo(20, 22); page.lineTo(5, 22);
    page.closeSubpath();
    p.setPen(QPen(QColor(70, 70, 70), 1.2));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.setBrush(QColor(220, 220, 220));
    p.drawPolygon(QPolygonF({QPointF(15, 2), QPointF(15, 7), QPointF(20, 7)}));
    // A tiny landscape: the page is a picture.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(169, 214, 245));
    p.drawRect(QRectF(7.5, 9.5, 10, 8));
    p.setBrush(QColor(60, 154, 74));
    p.drawPolygon(QPolygonF({QPointF(7.5, 17.5), QPointF(11, 12), QPointF(13.5, 15), QPointF(15, 13.5), QPointF(17.5, 17.5)}));
}

void DrawFolder(QPainter& p) {
    p.setPen(QPen(QColor(150, 110, 20), 1.2));
    p.setBrush(QColor(240, 196, 80));
    QPainterPath back;
    back.moveTo(2, 6); back.lineTo(9, 6); back.lineTo(11, 8); back.lineTo(21, 8); back.lineTo(21, 20); back.lineTo(2, 20);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(252, 220, 120));
    p.drawPolygon(QPolygonF({QPointF(2, 20), QPointF(5, 11), QPointF(23, 11), QPointF(21, 20)}));
}

void DrawRun(QPainter& p) {
    p.setPen(QPen(QColor(20, 100, 30), 1.2));
    p.setBrush(QColor(60, 170, 70));
    p.drawPolygon(QPolygonF({QPointF(6, 3), QPointF(21, 12), QPointF(6, 21)}));
}

void DrawStop(QPainter& p) {
    p.setPen(QPen(QColor(130, 20, 20), 1.2));
    p.setBrush(QColor(210, 50, 45));
    p.drawRoundedRect(QRectF(5, 5, 14, 14), 2, 2);
}

void DrawListClear(QPainter& p) {
    p.setPen(QPen(QColor(90, 90, 90), 2));
    for (int y : {5, 10, 15, 20}) p.drawLine(QPointF(3, y), QPointF(14, y));
    p.setPen(QPen(QColor(200, 40, 40), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13, 11), QPointF(21, 19));
    p.drawLine(QPointF(21, 11), QPointF(13, 19));
}

void DrawOption(QPainter& p) {
    // A check box with its tick and a slider: "settings".
    p.setPen(QPen(QColor(70, 70, 70), 1.2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3, 3, 8, 8));
    p.setPen(QPen(QColor(30, 110, 200), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(4.5, 7), QPointF(6.5, 9.5), QPointF(10, 4.5)}));
    p.setPen(QPen(QColor(90, 90, 90), 1.6));
    p.drawLine(QPointF(14, 7), QPointF(21, 7));
    p.drawLine(QPointF(3, 17), QPointF(21, 17));
    p.setPen(QPen(QColor(70, 70, 70), 1.2));
    p.setBrush(QColor(30, 110, 200));
    p.drawRect(QRectF(12, 14, 4, 6));
}

QPixmap Render(TToolImage image, bool disabled) {
    QPixmap pm(kSize, kSize);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (image) {
    case TToolImage::FileOpen: DrawPage(p); break;
    case TToolImage::FolderOpen: DrawFolder(p); break;
    case TToolImage::DoOperation: DrawRun(p); break;
    case TToolImage::StopOperation: DrawStop(p); break;
    case TToolImage::ListClear: DrawListClear(p); break;
    case TToolImage::Option: DrawOption(p); break;
    }
    p.end();
    if (disabled) {
        // A disabled command reads as a flat grey silhouette.
        QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                QColor c = img.pixelColor(x, y);
                int g = 150 + qGray(c.rgb()) / 4;
                img.setPixelColor(x, y, QColor(g, g, g, c.alpha() / 2));
            }
        return QPixmap::fromImage(img);
    }
    return pm;
}

} // namespace

QIcon ToolIcon(TToolImage image) {
    QIcon icon;
    icon.addPixmap(Render(image, false), QIcon::Normal);
    icon.addPixmap(Render(image, true), QIcon::Disabled);
    return icon;
}

QIcon AppIcon() {
    EnsureResources();
    QIcon icon;
    for (const char* name : {":/lumaro/lumaro-32.png", ":/lumaro/lumaro-48.png", ":/lumaro/lumaro-256.png"})
        icon.addFile(QString::fromLatin1(name));
    return icon;
}

QPixmap AppIcon32() {
    EnsureResources();
    return QPixmap(QStringLiteral(":/lumaro/lumaro-32.png"));
}

} // namespace lumaro::ui
