#pragma once
// Where the running program lives and where a user's settings belong.
#include <string>

namespace lumaro {

// Full path of the running executable (UTF-8), or "" when it cannot be found.
// On Linux symbolic links are resolved, so a link named differently from its
// target reports the target's name.
std::string ExecutablePath();

// The per-user configuration folder without a trailing separator:
// $XDG_CONFIG_HOME when it is an absolute path, otherwise ~/.config
// (on Windows, %APPDATA%). "" when no home folder can be found.
std::string UserConfigFolder();

} // namespace lumaro
