#pragma once
// The per-user registry key of this program, and the load and save steps
// over any key (tests hand in their own).
#include "RegistryKey.h"
#include "SettingsStore.h"

#include <memory>
#include <string>
#include <vector>

namespace lumaro {

inline constexpr char kRegistryKeyPath[] = "HKEY_CURRENT_USER\\Software\\Pelvarin\\lumaro";

// The file standing in for the registry key outside Windows:
// <config folder>/Pelvarin/lumaro.reg. "" on Windows or without a home folder.
std::string RegistryFilePath();

// Opens the key, creating it if missing (at once when createNow, otherwise
// with the first lasting write). Null when it can be neither opened nor created.
std::unique_ptr<TRegistryKey> OpenRegistryKey(bool createNow);

std::vector<std::string> LoadSettingsFromKey(const TRegistryKey& key, TSettings& settings, TWindowGeometry& geometry);
std::vector<std::string> SaveSettingsToKey(TRegistryKey& key, const TSettings& settings,
                                           const TWindowGeometry& geometry);

} // namespace lumaro
