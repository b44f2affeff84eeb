#include "WarningDialog.h"

#include <QLabel>
#include <QPushButton>

#include "UiFonts.h"
#include "WindowPlacement.h"

namespace lumaro::ui {

TFm_Warning::TFm_Warning(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, QStringLiteral("Fm_Warning"), QStringLiteral("処理範囲の確認"), 361, 207);

    auto label = [this](const char* name, const QString& text, int y) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setFont(DesignFont(16));
        l->move(24, y);
        l->adjustSize();
        return l;
    };
    Label1 = label("Label1", QStringLiteral("リストの中に既に処理済みのファイルがあります。"), 16);
    Label3 = label("Label3", QStringLiteral("もう一度処理しますか？"), 41);

    auto button = [this](const char* name, const QString& text, int y, std::int16_t code, TWarningButton which) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(64, y, 233, 25);
        connect(b, &QPushButton::clicked, this, [this, code, which] { Choose(code, which); });
        return b;
    };
    Btn_Yes = button("Btn_Yes", QStringLiteral("処理していないファイルのみを処理"), 88, 6, TWarningButton::Yes);
    Btn_No = button("Btn_No", QStringLiteral("すべてのファイルを処理"), 128, 7, TWarningButton::No);
    Btn_Cancel = button("Btn_Cancel", QStringLiteral("処理を中断する"), 168, 2, TWarningButton::Cancel);
    Btn_Yes->setDefault(true);
}

void TFm_Warning::Choose(std::int16_t code, TWarningButton button) {
    Answer = code;
    LastButton = button;
    accept();
}

std::int16_t TFm_Warning::ShowModal() {
    LastButton = TWarningButton::Closed;
    CenterOnScreen(this);
    Btn_Yes->setFocus();
    exec();
    return Answer;
}

} // namespace lumaro::ui
