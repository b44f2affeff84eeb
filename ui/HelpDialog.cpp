#include "HelpDialog.h"

#include <algorithm>

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include "ToolIcons.h"
#include "UiFonts.h"
#include "WindowPlacement.h"

namespace lumaro::ui {

TFm_Help::TFm_Help(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, QStringLiteral("Fm_Help"), QStringLiteral("lumaroについて..."), 364, 134);

    Image = new QLabel(this);
    Image->setObjectName(QStringLiteral("Image"));
    Image->setGeometry(24, 16, 41, 41);
    Image->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // drawn unscaled at the top-left corner
    Image->setPixmap(AppIcon32());

    auto label = [this](const char* name, const QString& text, int x, int y, int w, int h) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setFont(DesignFont(16));
        // Room for the text in the font actually used, within the dialog.
        const int need = QFontMetrics(l->font()).horizontalAdvance(text) + 2;
        const int width = std::max(need, w);
        l->setGeometry(std::max(4, std::min(x, 364 - 4 - width)), y, width, h);
        return l;
    };
    Lbl_01 = label("Lbl_01", QStringLiteral("JPEGファイル圧縮プログラム - lumaro -"), 80, 16, 281, 16);
    Lbl_02 = label("Lbl_02", QStringLiteral("Version 1.06"), 272, 32, 82, 16);
    lbl_03 = label("lbl_03", QStringLiteral("Copyright (C) lumaro developers"), 80, 56, 270, 16);

    btn_close = new QPushButton(QStringLiteral("閉じる"), this);
    btn_close->setObjectName(QStringLiteral("btn_close"));
    btn_close->setGeometry(152, 96, 75, 25);
    btn_close->setDefault(true);
    btn_close->setFocus();
    connect(btn_close, &QPushButton::clicked, this, &TFm_Help::btn_closeClick);
    setWindowIcon(AppIcon());
}

void TFm_Help::btn_closeClick() { accept(); }

} // namespace lumaro::ui
