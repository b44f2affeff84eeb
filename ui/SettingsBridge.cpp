#include "SettingsBridge.h"

namespace lumaro::ui {

TSettingsAccess DefaultSettingsAccess() {
    TSettingsAccess a;
    a.Load = [](TSettings& s, TWindowGeometry& g) { return LoadSettings(s, g); };
    a.Save = [](const TSettings& s, const TWindowGeometry& g) { return SaveSettings(s, g); };
    return a;
}

} // namespace lumaro::ui
