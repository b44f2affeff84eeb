#pragma once
// The program's fonts. The windows are designed around "ＭＳ Ｐゴシック"; on a
// system without it the name is mapped to IPA P Gothic, which has the same
// proportional Japanese metrics.
#include <QFont>

namespace lumaro::ui {

// Registers the font substitution; call once after the application object exists.
void InstallFontSubstitutions();

// The design font at the given pixel height.
QFont DesignFont(int pixelHeight, bool bold = false);

} // namespace lumaro::ui
