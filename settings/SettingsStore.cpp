#include "SettingsStore.h"

#include "ExecutablePath.h"
#include "ProfileFile.h"
#include "RegistryFile.h"
#include "RegistryKeyOpen.h"

#include <algorithm>
#include <cstdint>
#include <functional>

namespace lumaro {

namespace {

#ifdef _WIN32
const char kIniExecutableName[] = "ostrel.exe";
const char kSeparators[] = "\\/";
#else
const char kIniExecutableName[] = "ostrel";
const char kSeparators[] = "/";
#endif
const char kIniFileName[] = "ostrel.ini";
const char kIniSection[] = "ostrel";

const char kMsgWrongType[] = "'%s' のデータ型が不正です";
const char kMsgQueryFailed[] = "'%s' の取得に失敗しました";
const char kMsgSetFailed[] = "'%s' の設定に失敗しました";
const char kMsgIniNotWritable[] = "%s に書き込めません";

std::string Format(const char* pattern, const std::string& argument) {
    std::string text = pattern;
    return text.replace(text.find("%s"), 2, argument);
}

// Window states outside the three known ones start the window normal.
int KnownWindowState(std::uint32_t stored) {
    int state = static_cast<int>(stored & 0xFF);  // kept in one byte
    return state <= 2 ? state : 0;
}

int AsInt(std::uint32_t dword) { return static_cast<int>(static_cast<std::int32_t>(dword)); }

// One stored item, in load and save order, with the way it meets the record.
struct TItem {
    const char* RegistryName;
    const char* IniName;
    enum { Integer, Boolean, Mode, Text } Kind;
    int TWindowGeometry::*GeometryField;
    bool TSettings::*Flag;
};

// The geometry in load order, then the ten options in table order.
const TItem kGeometry[] = {
    {"App_Top", "App_Top", TItem::Integer, &TWindowGeometry::Top, nullptr},
    {"App_Left", "App_Left", TItem::Integer, &TWindowGeometry::Left, nullptr},
    {"App_Height", "App_Height", TItem::Integer, &TWindowGeometry::Height, nullptr},
    {"App_Width", "App_Width", TItem::Integer, &TWindowGeometry::Width, nullptr},
};
const TItem kWindowState = {"App_WindowState", "App_WindowState", TItem::Integer, &TWindowGeometry::WindowState,
                            nullptr};
const TItem kOptions[] = {
    {"gOptimize_Code", "gOptimize_Code", TItem::Boolean, nullptr, &TSettings::gOptimize_Code},
    {"gOptimize_Exif", "gOptimize_Exif", TItem::Boolean, nullptr, &TSettings::gOptimize_Exif},
    {"SaveFolderMode", "gSaveFolderMode", TItem::Mode, nullptr, nullptr},
    {"gSaveFolder", "gSaveFolder", TItem::Text, nullptr, nullptr},
    {"gUseSaveAs", "gUseSaveAs", TItem::Boolean, nullptr, &TSettings::gUseSaveAs},
    {"gKeepTimeStamp_Create", "gKeepTimeStamp_Create", TItem::Boolean, nullptr, &TSettings::gKeepTimeStamp_Create},
    {"gKeepTimeStamp_Write", "gKeepTimeStamp_Write", TItem::Boolean, nullptr, &TSettings::gKeepTimeStamp_Write},
    {"gGoOperationByDrop", "gGoOperationByDrop", TItem::Boolean, nullptr, &TSettings::gGoOperationByDrop},
    {"gCopyOriginal", "gCopyOriginal", TItem::Boolean, nullptr, &TSettings::gCopyOriginal},
    {"gSeekSubFolder", "gSeekSubFolder", TItem::Boolean, nullptr, &TSettings::gSeekSubFolder},
};

// Every item in load order.
std::vector<const TItem*> LoadOrder() {
    std::vector<const TItem*> items;
    for (const auto& item : kGeometry) items.push_back(&item);
    items.push_back(&kWindowState);
    for (const auto& item : kOptions) items.push_back(&item);
    return items;
}

// Every item in save order for a window in that state.
std::vector<const TItem*> SaveOrder(int windowState) {
    std::vector<const TItem*> items{&kWindowState};
    if (windowState == 0)
        for (const auto& item : kGeometry) items.push_back(&item);
    for (const auto& item : kOptions) items.push_back(&item);
    return items;
}

std::uint32_t StoredNumber(const TItem& item, const TSettings& settings, const TWindowGeometry& geometry) {
    if (item.GeometryField) return static_cast<std::uint32_t>(geometry.*item.GeometryField);
    if (item.Flag) return (settings.*item.Flag) ? 1 : 0;
    return settings.gSaveFolderMode;
}

void ApplyNumber(const TItem& item, std::uint32_t number, TSettings& settings, TWindowGeometry& geometry) {
    if (item.GeometryField == &TWindowGeometry::WindowState)
        geometry.WindowState = KnownWindowState(number);
    else if (item.GeometryField)
        geometry.*item.GeometryField = AsInt(number);
    else if (item.Flag)
        settings.*item.Flag = number != 0;
    else
        settings.gSaveFolderMode = static_cast<std::uint8_t>(number & 0xFF);  // kept in one byte
}

std::string ParentFolder(const std::string& path) {
    std::size_t cut = path.find_last_of(kSeparators);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string FileName(const std::string& path) {
    std::size_t cut = path.find_last_of(kSeparators);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::vector<std::string> LoadFromRegistry(const TRegistryKey& key, TSettings& settings, TWindowGeometry& geometry) {
    for (const TItem* item : LoadOrder()) {
        TRegValue value = key.Read(item->RegistryName);
        bool wantText = item->Kind == TItem::Text;
        switch (value.Kind) {
        case TRegValueKind::Missing:
            continue;  // keeps its default
        case TRegValueKind::Unreadable:
            return {Format(kMsgQueryFailed, item->RegistryName)};
        case TRegValueKind::Dword:
            if (wantText) return {Format(kMsgWrongType, item->RegistryName)};
            ApplyNumber(*item, value.Dword, settings, geometry);
            break;
        case TRegValueKind::String:
        case TRegValueKind::ExpandString:  // taken as it stands, unexpanded
            if (!wantText) return {Format(kMsgWrongType, item->RegistryName)};
            settings.gSaveFolder = value.Text;
            break;
        case TRegValueKind::OtherType:
            return {Format(kMsgWrongType, item->RegistryName)};
        }
    }
    return {};
}

std::vector<std::string> SaveToRegistry(TRegistryKey& key, const TSettings& settings,
                                        const TWindowGeometry& geometry) {
    auto items = SaveOrder(geometry.WindowState);
    for (const TItem* item : items) {
        bool ok = item->Kind == TItem::Text ? key.WriteString(item->RegistryName, settings.gSaveFolder)
                                            : key.WriteDword(item->RegistryName, StoredNumber(*item, settings, geometry));
        if (!ok) return {Format(kMsgSetFailed, item->RegistryName)};
    }
    // A store that writes everything at once fails as a whole: as far as the
    // user can tell, the first value could not be set.
    if (!key.Flush()) return {Format(kMsgSetFailed, items.front()->RegistryName)};
    return {};
}

void LoadFromIni(const TProfileFile& profile, TSettings& settings, TWindowGeometry& geometry) {
    for (const TItem* item : LoadOrder()) {
        if (item->Kind == TItem::Text) {
            settings.gSaveFolder = profile.ReadString(kIniSection, item->IniName).value_or(settings.gSaveFolder);
            continue;
        }
        // The fallback is the current value; for the window state it is normal.
        TWindowGeometry normal = geometry;
        normal.WindowState = 0;
        int fallback = static_cast<int>(StoredNumber(*item, settings, normal));
        ApplyNumber(*item, static_cast<std::uint32_t>(profile.ReadInteger(kIniSection, item->IniName, fallback)),
                    settings, geometry);
    }
}

std::vector<std::string> SaveToIni(const std::string& path, const TSettings& settings,
                                   const TWindowGeometry& geometry) {
    TProfileFile profile;
    // A file that is there but cannot be read must not be replaced by one
    // that holds only our keys.
    if (path.empty() || TProfileFile::Load(path, profile) == TFileReadResult::Failed)
        return {Format(kMsgIniNotWritable, path)};
    for (const TItem* item : SaveOrder(geometry.WindowState)) {
        std::string value = item->Kind == TItem::Text
                                ? settings.gSaveFolder
                                : std::to_string(AsInt(StoredNumber(*item, settings, geometry)));
        if (!profile.WriteString(kIniSection, item->IniName, value)) return {Format(kMsgIniNotWritable, path)};
    }
    if (!profile.Save(path)) return {Format(kMsgIniNotWritable, path)};
    return {};
}

} // namespace

bool KeepOnScreen(TWindowGeometry& geometry, const std::vector<TScreenArea>& screens) {
    const TWindowGeometry designed;
    bool changed = false;
    if (geometry.Width <= 0 || geometry.Height <= 0) {
        geometry.Width = designed.Width;
        geometry.Height = designed.Height;
        changed = true;
    }
    auto overlaps = [&](const TScreenArea& screen) {
        // 64-bit sums: stored numbers may be anything up to the int limits.
        std::int64_t right = std::int64_t{geometry.Left} + geometry.Width;
        std::int64_t bottom = std::int64_t{geometry.Top} + geometry.Height;
        return geometry.Left < std::int64_t{screen.Left} + screen.Width && right > screen.Left &&
               geometry.Top < std::int64_t{screen.Top} + screen.Height && bottom > screen.Top;
    };
    if (!screens.empty() && std::none_of(screens.begin(), screens.end(), overlaps)) {
        geometry.Top = designed.Top;
        geometry.Left = designed.Left;
        changed = true;
    }
    return changed;
}

TSettingsStoreKind ChooseSettingsStore(const std::string& executablePath) {
    return FileName(executablePath) == kIniExecutableName ? TSettingsStoreKind::Ini : TSettingsStoreKind::Registry;
}

std::string SettingsStorePath(const std::string& executablePath) {
    if (ChooseSettingsStore(executablePath) == TSettingsStoreKind::Ini)
        return ParentFolder(executablePath) + kIniFileName;
    return RegistryFilePath();
}

std::vector<std::string> LoadSettings(const std::string& executablePath, TSettings& settings,
                                      TWindowGeometry& geometry) {
    try {
        if (ChooseSettingsStore(executablePath) == TSettingsStoreKind::Ini) {
            TProfileFile profile;
            TProfileFile::Load(SettingsStorePath(executablePath), profile);  // missing or unreadable: defaults
            LoadFromIni(profile, settings, geometry);
            return {};
        }
        auto key = OpenRegistryKey(true);
        if (!key) return {};  // no key: defaults, and nothing to tell
        return LoadFromRegistry(*key, settings, geometry);
    } catch (const std::exception&) {
        return {};  // out of memory while reading: the defaults stand
    }
}

std::vector<std::string> SaveSettings(const std::string& executablePath, const TSettings& settings,
                                      const TWindowGeometry& geometry) {
    bool ini = ChooseSettingsStore(executablePath) == TSettingsStoreKind::Ini;
    try {
        if (ini) return SaveToIni(SettingsStorePath(executablePath), settings, geometry);
        auto key = OpenRegistryKey(false);
        if (!key) return {};  // the key can be neither opened nor created: nothing is written
        return SaveToRegistry(*key, settings, geometry);
    } catch (const std::exception&) {
        // Out of memory before anything reached the disk.
        return {ini ? Format(kMsgIniNotWritable, SettingsStorePath(executablePath))
                    : Format(kMsgSetFailed, kWindowState.RegistryName)};
    }
}

std::vector<std::string> LoadSettings(TSettings& settings, TWindowGeometry& geometry) {
    return LoadSettings(ExecutablePath(), settings, geometry);
}

std::vector<std::string> SaveSettings(const TSettings& settings, const TWindowGeometry& geometry) {
    return SaveSettings(ExecutablePath(), settings, geometry);
}

// Exposed for tests through RegistryKeyOpen.h.
std::vector<std::string> LoadSettingsFromKey(const TRegistryKey& key, TSettings& settings,
                                             TWindowGeometry& geometry) {
    return LoadFromRegistry(key, settings, geometry);
}

std::vector<std::string> SaveSettingsToKey(TRegistryKey& key, const TSettings& settings,
                                           const TWindowGeometry& geometry) {
    return SaveToRegistry(key, settings, geometry);
}

} // namespace lumaro
