// LoadSettings and SaveSettings over both stores, as the main window uses them.
#include "SettingsStore.h"
#include "SettingsSamples.h"
#include "TestFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace lumaro {
namespace {

using test::Exists;
using test::ReadFile;
using test::TTempFolder;
using test::WriteFile;

const char kRegHeader[] = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Pelvarin\\lumaro]\n";

void ExpectSame(const TSettings& a, const TSettings& b) {
    EXPECT_EQ(a.gOptimize_Code, b.gOptimize_Code);
    EXPECT_EQ(a.gOptimize_Exif, b.gOptimize_Exif);
    EXPECT_EQ(a.gSaveFolderMode, b.gSaveFolderMode);
    EXPECT_EQ(a.gSaveFolder, b.gSaveFolder);
    EXPECT_EQ(a.gUseSaveAs, b.gUseSaveAs);
    EXPECT_EQ(a.gKeepTimeStamp_Create, b.gKeepTimeStamp_Create);
    EXPECT_EQ(a.gKeepTimeStamp_Write, b.gKeepTimeStamp_Write);
    EXPECT_EQ(a.gGoOperationByDrop, b.gGoOperationByDrop);
    EXPECT_EQ(a.gCopyOriginal, b.gCopyOriginal);
    EXPECT_EQ(a.gSeekSubFolder, b.gSeekSubFolder);
}

void ExpectGeometry(const TWindowGeometry& g, int top, int left, int height, int width, int state) {
    EXPECT_EQ(g.Top, top);
    EXPECT_EQ(g.Left, left);
    EXPECT_EQ(g.Height, height);
    EXPECT_EQ(g.Width, width);
    EXPECT_EQ(g.WindowState, state);
}

int CountLines(const std::string& text, const std::string& pattern) {
    int count = 0;
    for (std::size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) ++count;
    return count;
}

// Both stores run the same behaviour tests.
class BothStores : public ::testing::TestWithParam<TSettingsStoreKind> {
protected:
    std::string Exe() const {
        return GetParam() == TSettingsStoreKind::Ini ? Folder / "ostrel" : Folder / "lumaro";
    }
    std::string StoreFile() const {
        return GetParam() == TSettingsStoreKind::Ini ? Folder / "ostrel.ini" : Folder.RegistryFile();
    }
    TTempFolder Folder;
};

INSTANTIATE_TEST_SUITE_P(Store, BothStores,
                         ::testing::Values(TSettingsStoreKind::Registry, TSettingsStoreKind::Ini),
                         [](const auto& info) {
                             return info.param == TSettingsStoreKind::Ini ? std::string("Ini")
                                                                          : std::string("Registry");
                         });

TEST_P(BothStores, FirstStartGivesDefaultsAndDesignedGeometry) {
    TSettings settings;
    TWindowGeometry geometry;
    EXPECT_TRUE(LoadSettings(Exe(), settings, geometry).empty());
    ExpectSame(settings, TSettings{});
    ExpectGeometry(geometry, 172, 231, 480, 696, 0);
}

TEST_P(BothStores, EveryFieldAndTheGeometrySurviveARoundTrip) {
    TWindowGeometry closed{-8, -1200, 900, 1600, 0};
    ASSERT_TRUE(SaveSettings(Exe(), test::EveryOptionChanged(), closed).empty());
    EXPECT_TRUE(Exists(StoreFile()));

    TSettings settings;
    TWindowGeometry geometry;
    EXPECT_TRUE(LoadSettings(Exe(), settings, geometry).empty());
    ExpectSame(settings, test::EveryOptionChanged());
    ExpectGeometry(geometry, -8, -1200, 900, 1600, 0);

    // and back to the defaults, so nothing is stuck at the changed values;
    // a mode above the known ones is kept as it is
    TSettings defaults;
    defaults.gSaveFolderMode = 200;
    ASSERT_TRUE(SaveSettings(Exe(), defaults, TWindowGeometry{}).empty());
    EXPECT_TRUE(LoadSettings(Exe(), settings, geometry).empty());
    ExpectSame(settings, defaults);
    ExpectGeometry(geometry, 172, 231, 480, 696, 0);
}

TEST_P(BothStores, MaximisedOrMinimisedCloseKeepsEarlierPositionAndSize) {
    ASSERT_TRUE(SaveSettings(Exe(), TSettings{}, TWindowGeometry{10, 20, 300, 400, 0}).empty());
    ASSERT_TRUE(SaveSettings(Exe(), TSettings{}, TWindowGeometry{0, 0, 1080, 1920, 2}).empty());

    TSettings settings;
    TWindowGeometry geometry;
    LoadSettings(Exe(), settings, geometry);
    ExpectGeometry(geometry, 10, 20, 300, 400, 2);

    ASSERT_TRUE(SaveSettings(Exe(), TSettings{}, TWindowGeometry{5, 5, 5, 5, 1}).empty());
    LoadSettings(Exe(), settings, geometry);
    ExpectGeometry(geometry, 10, 20, 300, 400, 1);
}

TEST_P(BothStores, FirstCloseMaximisedWritesNoPositionOrSize) {
    ASSERT_TRUE(SaveSettings(Exe(), TSettings{}, TWindowGeometry{1, 2, 3, 4, 2}).empty());
    std::string text = ReadFile(StoreFile());
    EXPECT_EQ(CountLines(text, "App_WindowState"), 1);
    EXPECT_EQ(CountLines(text, "App_Top"), 0);
    EXPECT_EQ(CountLines(text, "App_Width"), 0);
    EXPECT_EQ(CountLines(text, "gSeekSubFolder"), 1);

    TSettings settings;
    TWindowGeometry geometry;
    LoadSettings(Exe(), settings, geometry);
    ExpectGeometry(geometry, 172, 231, 480, 696, 2);
}

TEST_P(BothStores, UnwritableFolderGivesTheWriteMessageAndKeepsTheOldFile) {
    ASSERT_TRUE(SaveSettings(Exe(), TSettings{}, TWindowGeometry{}).empty());
    std::string before = ReadFile(StoreFile());
    std::string folder = StoreFile().substr(0, StoreFile().rfind('/'));
    // Readable for everyone, as settings files usually are.
    chmod((Folder.Path + "/config").c_str(), 0755);
    chmod(folder.c_str(), 0755);
    chmod(StoreFile().c_str(), 0644);

    std::string exe = Exe();
    std::string message = test::RunWithoutWriteAccess(folder, [&] {
        auto messages = SaveSettings(exe, test::EveryOptionChanged(), TWindowGeometry{});
        return messages.size() == 1 ? messages[0] : "messages: " + std::to_string(messages.size());
    });

    if (GetParam() == TSettingsStoreKind::Ini)
        EXPECT_EQ(message, StoreFile() + " に書き込めません");
    else
        EXPECT_EQ(message, "'App_WindowState' の設定に失敗しました");
    EXPECT_EQ(ReadFile(StoreFile()), before);
    // no temporary file left behind
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, 1);
}

// --- The registry store ---

class RegistryStore : public ::testing::Test {
protected:
    void Store(const std::string& values) {
        std::filesystem::create_directories(Folder.Path + "/config/Pelvarin");
        WriteFile(Folder.RegistryFile(), std::string(kRegHeader) + values);
    }
    std::vector<std::string> Load() { return LoadSettings(Folder / "lumaro", Settings, Geometry); }
    TTempFolder Folder;
    TSettings Settings;
    TWindowGeometry Geometry;
};

TEST_F(RegistryStore, FirstStartLeavesAnEmptyKeyBehind) {
    EXPECT_FALSE(Exists(Folder.RegistryFile()));
    Load();
    ASSERT_TRUE(Exists(Folder.RegistryFile()));
    EXPECT_EQ(ReadFile(Folder.RegistryFile()), std::string(kRegHeader) + "\n");
}

TEST_F(RegistryStore, ValuesAreWrittenAsARegistryExport) {
    TSettings s;
    s.gSaveFolder = "C:\\写真\\\"x\"";
    ASSERT_TRUE(SaveSettings(Folder / "lumaro", s, TWindowGeometry{}).empty());
    std::string text = ReadFile(Folder.RegistryFile());
    EXPECT_EQ(text.rfind(kRegHeader, 0), 0u) << text;
    EXPECT_NE(text.find("\"App_WindowState\"=dword:00000000\n\"App_Top\"=dword:000000ac\n"
                        "\"App_Left\"=dword:000000e7\n\"App_Height\"=dword:000001e0\n\"App_Width\"=dword:000002b8\n"
                        "\"gOptimize_Code\"=dword:00000001\n\"gOptimize_Exif\"=dword:00000000\n"
                        "\"SaveFolderMode\"=dword:00000000\n\"gSaveFolder\"=\"C:\\\\写真\\\\\\\"x\\\"\"\n"),
              std::string::npos)
        << text;
}

TEST_F(RegistryStore, PartialKeyAppliesWhatIsThereOnly) {
    Store("\"App_Left\"=dword:00000010\n\"gSeekSubFolder\"=dword:00000001\n");
    EXPECT_TRUE(Load().empty());
    ExpectGeometry(Geometry, 172, 16, 480, 696, 0);
    TSettings expected;
    expected.gSeekSubFolder = true;
    ExpectSame(Settings, expected);
}

TEST_F(RegistryStore, WrongTypeStopsTheLoadAndLaterValuesKeepDefaults) {
    Store("\"App_Top\"=dword:00000005\n\"App_Left\"=dword:00000006\n\"App_Height\"=\"500\"\n"
          "\"App_Width\"=dword:00000007\n\"gOptimize_Exif\"=dword:00000001\n");
    EXPECT_EQ(Load(), std::vector<std::string>{"'App_Height' のデータ型が不正です"});
    ExpectGeometry(Geometry, 5, 6, 480, 696, 0);
    EXPECT_FALSE(Settings.gOptimize_Exif);
}

TEST_F(RegistryStore, FolderStoredAsNumberOrBinaryIsTheWrongType) {
    Store("\"gOptimize_Exif\"=dword:00000001\n\"gSaveFolder\"=dword:00000001\n\"gUseSaveAs\"=dword:00000000\n");
    EXPECT_EQ(Load(), std::vector<std::string>{"'gSaveFolder' のデータ型が不正です"});
    EXPECT_TRUE(Settings.gOptimize_Exif);
    EXPECT_TRUE(Settings.gUseSaveAs);

    Store("\"gCopyOriginal\"=hex:01,00,00,00\n");
    Settings = {};
    EXPECT_EQ(Load(), std::vector<std::string>{"'gCopyOriginal' のデータ型が不正です"});
    EXPECT_FALSE(Settings.gCopyOriginal);
}

TEST_F(RegistryStore, UnreadableValueStopsTheLoadWithItsName) {
    Store("\"App_Top\"=dword:00000005\n\"App_Left\"=dword:xyz\n\"App_Width\"=dword:00000007\n");
    EXPECT_EQ(Load(), std::vector<std::string>{"'App_Left' の取得に失敗しました"});
    ExpectGeometry(Geometry, 5, 231, 480, 696, 0);
}

TEST_F(RegistryStore, OnlyTheLowByteOfModeAndWindowStateCounts) {
    Store("\"App_WindowState\"=dword:00000102\n\"SaveFolderMode\"=dword:00000303\n");
    Load();
    EXPECT_EQ(Geometry.WindowState, 2);
    EXPECT_EQ(Settings.gSaveFolderMode, 3);
}

TEST_F(RegistryStore, UnknownWindowStateStartsNormal) {
    Store("\"App_WindowState\"=dword:00000007\n");
    Load();
    EXPECT_EQ(Geometry.WindowState, 0);
}

TEST_F(RegistryStore, AnyNonZeroNumberIsTrue) {
    Store("\"gOptimize_Exif\"=dword:80000000\n\"gOptimize_Code\"=dword:00000000\n");
    Load();
    EXPECT_TRUE(Settings.gOptimize_Exif);
    EXPECT_FALSE(Settings.gOptimize_Code);
}

TEST_F(RegistryStore, ExpandableStringIsTakenUnexpanded) {
    // "%HOME%\x" as REG_EXPAND_SZ in UTF-16LE
    Store("\"gSaveFolder\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,5c,00,78,00,00,00\n");
    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(Settings.gSaveFolder, "%HOME%\\x");
}

TEST_F(RegistryStore, SavingKeepsOtherValuesAndKeys) {
    Store("\"Mine\"=\"keep me\"\n\"App_Top\"=dword:00000001\n\n[HKEY_CURRENT_USER\\Software\\Other]\n\"x\"=dword:1\n");
    ASSERT_TRUE(SaveSettings(Folder / "lumaro", TSettings{}, TWindowGeometry{}).empty());
    std::string text = ReadFile(Folder.RegistryFile());
    EXPECT_NE(text.find("\"Mine\"=\"keep me\"\n\"App_Top\"=dword:000000ac\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Other]\n\"x\"=dword:1\n"), std::string::npos) << text;
    EXPECT_EQ(CountLines(text, "App_Top"), 1);
}

TEST_F(RegistryStore, FolderWithALineBreakSurvives) {
    TSettings s;
    s.gSaveFolder = "/tmp/a\nb";
    s.gSeekSubFolder = true;
    ASSERT_TRUE(SaveSettings(Folder / "lumaro", s, TWindowGeometry{}).empty());
    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(Settings.gSaveFolder, "/tmp/a\nb");
    EXPECT_TRUE(Settings.gSeekSubFolder);  // values after it are read too
}

// --- The INI store ---

class IniStore : public ::testing::Test {
protected:
    void Store(const std::string& text) { WriteFile(Folder / "ostrel.ini", text); }
    std::vector<std::string> Load() { return LoadSettings(Folder / "ostrel", Settings, Geometry); }
    TTempFolder Folder;
    TSettings Settings;
    TWindowGeometry Geometry;
};

TEST_F(IniStore, LoadCreatesNothingAndFirstCloseWritesAllFifteenKeys) {
    Load();
    EXPECT_FALSE(Exists(Folder / "ostrel.ini"));
    EXPECT_FALSE(Exists(Folder.RegistryFile()));  // the stores are never mixed
    ASSERT_TRUE(SaveSettings(Folder / "ostrel", Settings, Geometry).empty());
    EXPECT_EQ(ReadFile(Folder / "ostrel.ini"),
              "[ostrel]\nApp_WindowState=0\nApp_Top=172\nApp_Left=231\nApp_Height=480\nApp_Width=696\n"
              "gOptimize_Code=1\ngOptimize_Exif=0\ngSaveFolderMode=0\ngSaveFolder=\ngUseSaveAs=1\n"
              "gKeepTimeStamp_Create=0\ngKeepTimeStamp_Write=0\ngGoOperationByDrop=0\ngCopyOriginal=0\n"
              "gSeekSubFolder=0\n");
    EXPECT_FALSE(Exists(Folder.RegistryFile()));
}

TEST_F(IniStore, HexadecimalAndBadNumbersFallBackToTheDefaults) {
    Store("[ostrel]\nApp_Width=0x10\nApp_Height=abc\nApp_Top=0X1f\nApp_Left=0x\ngSaveFolderMode=12abc\n"
          "gOptimize_Code=yes\ngUseSaveAs=\n");
    EXPECT_TRUE(Load().empty());
    ExpectGeometry(Geometry, 31, 231, 480, 16, 0);
    EXPECT_EQ(Settings.gSaveFolderMode, 0);
    EXPECT_TRUE(Settings.gOptimize_Code);  // the default, not 0
    EXPECT_TRUE(Settings.gUseSaveAs);
}

TEST_F(IniStore, BooleanTwoReadsTrueAndIsWrittenBackAsOne) {
    Store("[ostrel]\ngCopyOriginal=2\n");
    Load();
    EXPECT_TRUE(Settings.gCopyOriginal);
    ASSERT_TRUE(SaveSettings(Folder / "ostrel", Settings, Geometry).empty());
    std::string text = ReadFile(Folder / "ostrel.ini");
    EXPECT_NE(text.find("\ngCopyOriginal=1\n"), std::string::npos) << text;
    EXPECT_EQ(CountLines(text, "gCopyOriginal"), 1);
}

TEST_F(IniStore, PartialFileAndCaseInsensitiveKeys) {
    Store("[OSTREL]\napp_left = -20\nGSEEKSUBFOLDER=1\ngSaveFolder = \"/a b \"\n");
    Load();
    ExpectGeometry(Geometry, 172, -20, 480, 696, 0);
    TSettings expected;
    expected.gSeekSubFolder = true;
    expected.gSaveFolder = "/a b ";
    ExpectSame(Settings, expected);
}

TEST_F(IniStore, SavingKeepsOtherSectionsKeysAndComments) {
    Store("; my notes\n[other]\nApp_Top=1\n\n[ostrel]\nextra=yes\nApp_Top=5\n\n[last]\nz=1\n");
    ASSERT_TRUE(SaveSettings(Folder / "ostrel", TSettings{}, TWindowGeometry{}).empty());
    std::string text = ReadFile(Folder / "ostrel.ini");
    EXPECT_EQ(text.rfind("; my notes\n[other]\nApp_Top=1\n\n[ostrel]\nextra=yes\nApp_Top=172\n", 0), 0u) << text;
    EXPECT_NE(text.find("gSeekSubFolder=0\n\n[last]\nz=1\n"), std::string::npos) << text;
}

TEST_F(IniStore, FolderWithALineBreakIsRefusedAndNothingIsWritten) {
    Store("[ostrel]\ngSaveFolder=/old\n");
    TSettings s;
    s.gSaveFolder = "/tmp/a\ngOptimize_Code=0";
    EXPECT_EQ(SaveSettings(Folder / "ostrel", s, TWindowGeometry{}),
              std::vector<std::string>{Folder / "ostrel.ini に書き込めません"});
    EXPECT_EQ(ReadFile(Folder / "ostrel.ini"), "[ostrel]\ngSaveFolder=/old\n");
}

TEST_F(IniStore, UnreadableFileIsNotReplaced) {
    std::filesystem::create_directory(Folder / "ostrel.ini");  // a folder stands where the file should
    EXPECT_TRUE(Load().empty());
    ExpectSame(Settings, TSettings{});
    EXPECT_EQ(SaveSettings(Folder / "ostrel", Settings, Geometry),
              std::vector<std::string>{Folder / "ostrel.ini に書き込めません"});
    EXPECT_TRUE(std::filesystem::is_directory(Folder / "ostrel.ini"));
}

// --- Window placement ---

TEST(KeepOnScreen, OnlyAFrameOffEveryScreenMovesBack) {
    std::vector<TScreenArea> screens{{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}};
    TWindowGeometry onSecond{100, -1000, 400, 600, 0};
    EXPECT_FALSE(KeepOnScreen(onSecond, screens));
    ExpectGeometry(onSecond, 100, -1000, 400, 600, 0);
    TWindowGeometry partly{1000, 1800, 480, 696, 0};  // mostly off the right edge, still reachable
    EXPECT_FALSE(KeepOnScreen(partly, screens));

    TWindowGeometry gone{100, 3000, 400, 600, 2};  // where a third monitor used to be
    EXPECT_TRUE(KeepOnScreen(gone, screens));
    ExpectGeometry(gone, 172, 231, 400, 600, 2);
    TWindowGeometry justLeft{0, -1880, 400, 600, 0};  // touches the left screen's edge only
    EXPECT_TRUE(KeepOnScreen(justLeft, screens));
    EXPECT_EQ(justLeft.Left, 231);

    TWindowGeometry flat{10, 10, 0, -5, 0};
    EXPECT_TRUE(KeepOnScreen(flat, screens));
    ExpectGeometry(flat, 10, 10, 480, 696, 0);
    TWindowGeometry huge{2147483000, 2147483000, 2000, 2000, 0};  // no overflow
    EXPECT_TRUE(KeepOnScreen(huge, screens));
    TWindowGeometry unknown{-5000, -5000, 10, 10, 0};
    EXPECT_FALSE(KeepOnScreen(unknown, {}));  // no screens known: left alone
}

// --- Which store ---

TEST(StoreChoice, OnlyTheExactNameOstrelUsesTheIniFile) {
    EXPECT_EQ(ChooseSettingsStore("/opt/x/ostrel"), TSettingsStoreKind::Ini);
    EXPECT_EQ(ChooseSettingsStore("ostrel"), TSettingsStoreKind::Ini);
    EXPECT_EQ(ChooseSettingsStore("/opt/x/Ostrel"), TSettingsStoreKind::Registry);
    EXPECT_EQ(ChooseSettingsStore("/opt/x/OSTREL"), TSettingsStoreKind::Registry);
    EXPECT_EQ(ChooseSettingsStore("/opt/x/ostrel.exe"), TSettingsStoreKind::Registry);
    EXPECT_EQ(ChooseSettingsStore("/opt/ostrel/lumaro"), TSettingsStoreKind::Registry);
    EXPECT_EQ(ChooseSettingsStore("/opt/x/ostrel2"), TSettingsStoreKind::Registry);
    EXPECT_EQ(ChooseSettingsStore(""), TSettingsStoreKind::Registry);
}

TEST(StoreChoice, StorePaths) {
    TTempFolder folder;
    EXPECT_EQ(SettingsStorePath("/opt/x/ostrel"), "/opt/x/ostrel.ini");
    EXPECT_EQ(SettingsStorePath("/opt/x/lumaro"), folder.RegistryFile());
    setenv("XDG_CONFIG_HOME", "relative/path", 1);  // invalid: ~/.config is used instead
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", folder.Path.c_str(), 1);
    EXPECT_EQ(SettingsStorePath("/opt/x/lumaro"), folder.Path + "/.config/Pelvarin/lumaro.reg");
    setenv("HOME", home.c_str(), 1);
}

TEST(StoreChoice, DifferentlyCasedNameReadsTheRegistryNotTheIniFile) {
    TTempFolder folder;
    WriteFile(folder / "ostrel.ini", "[ostrel]\ngOptimize_Exif=1\n");
    std::filesystem::create_directories(folder.Path + "/config/Pelvarin");
    WriteFile(folder.RegistryFile(), std::string(kRegHeader) + "\"gSeekSubFolder\"=dword:00000001\n");

    TSettings settings;
    TWindowGeometry geometry;
    LoadSettings(folder / "Ostrel", settings, geometry);
    EXPECT_FALSE(settings.gOptimize_Exif);
    EXPECT_TRUE(settings.gSeekSubFolder);

    settings = {};
    LoadSettings(folder / "ostrel", settings, geometry);
    EXPECT_TRUE(settings.gOptimize_Exif);
    EXPECT_FALSE(settings.gSeekSubFolder);
}

} // namespace
} // namespace lumaro
