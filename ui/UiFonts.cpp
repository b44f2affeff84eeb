#include "UiFonts.h"

#include <QStringList>

namespace lumaro::ui {

static const char16_t* const kDesignFamily = u"ＭＳ Ｐゴシック";

void InstallFontSubstitutions() {
    const QString family = QString::fromUtf16(kDesignFamily);
    QFont::insertSubstitutions(family, {QStringLiteral("IPAPGothic"), QStringLiteral("IPA Pゴシック"),
                                        QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans CJK JP")});
}

QFont DesignFont(int pixelHeight, bool bold) {
    static const bool installed = (InstallFontSubstitutions(), true);
    (void)installed;
    QFont f(QString::fromUtf16(kDesignFamily));
    f.setPixelSize(pixelHeight);
    f.setBold(bold);
    f.setStyleHint(QFont::SansSerif);
    return f;
}

} // namespace lumaro::ui
