#pragma once
// How the main window reaches the settings store: loaded once while the
// window is created, saved once when it closes. Each call returns the
// messages to show, one box each; a failed load still leaves usable settings.
#include <functional>
#include <string>
#include <vector>

#include "Settings.h"
#include "SettingsStore.h"

namespace lumaro::ui {

struct TSettingsAccess {
    std::function<std::vector<std::string>(TSettings&, TWindowGeometry&)> Load;
    std::function<std::vector<std::string>(const TSettings&, const TWindowGeometry&)> Save;
};

// The store chosen by the running executable's name.
TSettingsAccess DefaultSettingsAccess();

} // namespace lumaro::ui
