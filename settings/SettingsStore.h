#pragma once
// Loading and saving the options and the main window's geometry.
//
// The store follows from the executable's file name alone: a program named
// "ostrel" ("ostrel.exe" on Windows, letter case counting) keeps its settings
// in "ostrel.ini" beside itself; any other name uses the per-user registry
// key HKEY_CURRENT_USER\Software\Pelvarin\lumaro, which outside Windows is
// the file $XDG_CONFIG_HOME/Pelvarin/lumaro.reg (~/.config by default) in the
// text format of a registry export.
//
// Neither call throws. Both return the Japanese messages the user should see,
// one per message box, in order; an empty list means nothing to tell.
#include "Settings.h"

#include <string>
#include <vector>

namespace lumaro {

// The main window's outer frame in screen pixels; the defaults are its
// designed place and size. WindowState: 0 normal, 1 minimised, 2 maximised.
struct TWindowGeometry {
    int Top = 172, Left = 231, Height = 480, Width = 696;
    int WindowState = 0;
};

// One screen's area in the same coordinates as the window geometry.
struct TScreenArea {
    int Left = 0, Top = 0, Width = 0, Height = 0;
};

// For the window to call after LoadSettings with its screens: a stored frame
// that overlaps no screen at all (a monitor since unplugged) goes back to the
// designed position, and a size that is not positive to the designed size.
// Anything on a screen, even partly, stays as stored. True when it changed.
bool KeepOnScreen(TWindowGeometry& geometry, const std::vector<TScreenArea>& screens);

enum class TSettingsStoreKind { Registry, Ini };

TSettingsStoreKind ChooseSettingsStore(const std::string& executablePath);

// The file that holds the settings for that executable: "ostrel.ini" beside
// it, or the per-user registry file ("" on Windows, where the real registry
// is used, or when no home folder is known).
std::string SettingsStorePath(const std::string& executablePath);

// Reads the chosen store into settings and geometry, which hold the defaults
// and the designed geometry on entry. What is missing keeps what it had. A
// stored window state other than 0, 1 or 2 reads as 0 (normal).
std::vector<std::string> LoadSettings(const std::string& executablePath, TSettings& settings,
                                      TWindowGeometry& geometry);

// Writes the window state, then (only when it is 0, normal) the position and
// size, then the ten options. A window closed maximised or minimised thus
// keeps the position and size of its last normal close.
std::vector<std::string> SaveSettings(const std::string& executablePath, const TSettings& settings,
                                      const TWindowGeometry& geometry);

// The same for the running program itself.
std::vector<std::string> LoadSettings(TSettings& settings, TWindowGeometry& geometry);
std::vector<std::string> SaveSettings(const TSettings& settings, const TWindowGeometry& geometry);

} // namespace lumaro
