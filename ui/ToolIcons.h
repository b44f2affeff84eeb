#pragma once
// Images of the six tool buttons, drawn in code so that they stay crisp at any
// scale, and the program's own icon.
#include <QIcon>
#include <QPixmap>

namespace lumaro::ui {

enum class TToolImage { FileOpen, FolderOpen, DoOperation, StopOperation, ListClear, Option };

QIcon ToolIcon(TToolImage image);
// The program's icon (all sizes) and its 32 by 32 image for the About dialog.
QIcon AppIcon();
QPixmap AppIcon32();

} // namespace lumaro::ui
