// The registry-export text file that stands in for the registry key.
#include "RegistryFile.h"
#include "TestFolder.h"

#include <gtest/gtest.h>

namespace lumaro {
namespace {

const char kKey[] = "HKEY_CURRENT_USER\\Software\\Pelvarin\\lumaro";

TEST(RegData, Dwords) {
    TRegValue v = ParseRegData("dword:000000ac");
    EXPECT_EQ(v.Kind, TRegValueKind::Dword);
    EXPECT_EQ(v.Dword, 172u);
    EXPECT_EQ(ParseRegData("DWORD:FFFFFFFF").Dword, 0xFFFFFFFFu);
    EXPECT_EQ(ParseRegData("dword:1").Dword, 1u);
    EXPECT_EQ(ParseRegData("hex(4):2a,00,00,01").Dword, 0x0100002Au);  // a DWORD written as bytes
    EXPECT_EQ(ParseRegData("hex(4):2a,00,00,01").Kind, TRegValueKind::Dword);
    for (const char* bad : {"dword:", "dword:123456789", "dword:12g4", "dword: 12", "hex(4):01,02,03", "12"})
        EXPECT_EQ(ParseRegData(bad).Kind, TRegValueKind::Unreadable) << bad;
}

TEST(RegData, Strings) {
    TRegValue v = ParseRegData(R"("C:\\a \"b\"")");
    EXPECT_EQ(v.Kind, TRegValueKind::String);
    EXPECT_EQ(v.Text, "C:\\a \"b\"");
    EXPECT_EQ(ParseRegData("\"\"").Text, "");
    EXPECT_EQ(ParseRegData("\"写真\"  ").Text, "写真");
    EXPECT_EQ(ParseRegData("\"open").Kind, TRegValueKind::Unreadable);
    EXPECT_EQ(ParseRegData("\"a\"b\"").Kind, TRegValueKind::Unreadable);
    // REG_SZ in hex: "é😀" in UTF-16LE with its terminator
    v = ParseRegData("hex(1):e9,00,3d,d8,00,de,00,00");
    EXPECT_EQ(v.Kind, TRegValueKind::String);
    EXPECT_EQ(v.Text, "é😀");
    EXPECT_EQ(ParseRegData("hex(2):41,00,00,00").Kind, TRegValueKind::ExpandString);
    EXPECT_EQ(ParseRegData("hex(1):41,00,00").Kind, TRegValueKind::Unreadable);  // odd byte count
}

TEST(RegData, OtherTypesAndDeletion) {
    EXPECT_EQ(ParseRegData("hex:01,02").Kind, TRegValueKind::OtherType);
    EXPECT_EQ(ParseRegData("hex:").Kind, TRegValueKind::OtherType);
    EXPECT_EQ(ParseRegData("hex(b):01,00,00,00,00,00,00,00").Kind, TRegValueKind::OtherType);  // QWORD
    EXPECT_EQ(ParseRegData("hex(7):41,00,00,00,00,00").Kind, TRegValueKind::OtherType);        // multi-string
    EXPECT_EQ(ParseRegData("hex(5):00,00,00,01").Kind, TRegValueKind::OtherType);              // big-endian DWORD
    EXPECT_EQ(ParseRegData("hex:0g").Kind, TRegValueKind::Unreadable);
    EXPECT_EQ(ParseRegData("hex(zz):00").Kind, TRegValueKind::Unreadable);
    EXPECT_EQ(ParseRegData("-").Kind, TRegValueKind::Missing);
}

TEST(RegData, StringsRoundTripThroughTheirWrittenForm) {
    for (std::string text : {"", "plain", "C:\\dir\\", "say \"hi\"", "改行\nあり", "cr\rlf\r\n", "😀\n"}) {
        TRegValue v = ParseRegData(FormatRegString(text));
        EXPECT_EQ(v.Kind, TRegValueKind::String) << text;
        EXPECT_EQ(v.Text, text);
    }
    EXPECT_EQ(FormatRegString("a\\\"b"), "\"a\\\\\\\"b\"");
}

TEST(RegFile, FindsTheKeyWhateverTheCaseAndTheHeader) {
    TRegistryFileKey key(kKey, "REGEDIT4\r\n\r\n[hkey_current_user\\SOFTWARE\\pelvarin\\Lumaro]\r\n"
                               "\"app_top\"=dword:00000005\r\n");
    ASSERT_TRUE(key.HasKey());
    EXPECT_EQ(key.Read("App_Top").Dword, 5u);
    EXPECT_EQ(key.Read("App_Left").Kind, TRegValueKind::Missing);

    TRegistryFileKey shortForm(kKey, "[HKCU\\Software\\Pelvarin\\lumaro]\n@=\"default\"\n\"a\"=dword:1\n");
    EXPECT_EQ(shortForm.Read("a").Dword, 1u);
    EXPECT_EQ(shortForm.Read("").Text, "default");

    TRegistryFileKey other(kKey, "[HKEY_CURRENT_USER\\Software\\Pelvarin\\lumaro2]\n\"a\"=dword:1\n");
    EXPECT_FALSE(other.HasKey());
    EXPECT_EQ(other.Read("a").Kind, TRegValueKind::Missing);
}

TEST(RegFile, ReadsTheUtf16ExportOfRegedit) {
    std::string ascii = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelvarin\\lumaro]\r\n"
                        "\"gSaveFolder\"=\"D:\\\\x\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : ascii) utf16 += std::string{c, '\0'};
    TRegistryFileKey key(kKey, utf16);
    EXPECT_EQ(key.Read("gSaveFolder").Text, "D:\\x");
}

TEST(RegFile, HexDataMayGoOnOverSeveralLines) {
    TRegistryFileKey key(kKey, std::string("[") + kKey + "]\n\"s\"=hex(2):41,00,\\\n  42,00,\\\n  00,00\n\"n\"=dword:2\n");
    EXPECT_EQ(key.Read("s").Text, "AB");
    EXPECT_EQ(key.Read("n").Dword, 2u);
    key.WriteDword("n", 3);
    EXPECT_NE(key.Text().find("\"s\"=hex(2):41,00,\\\n  42,00,\\\n  00,00\n\"n\"=dword:00000003\n"), std::string::npos)
        << key.Text();
}

TEST(RegFile, LaterDuplicateWinsAndWritingLeavesOneValue) {
    TRegistryFileKey key(kKey, std::string("[") + kKey + "]\n\"A\"=dword:1\n; note\n\"a\"=dword:2\n");
    EXPECT_EQ(key.Read("A").Dword, 2u);
    key.WriteDword("a", 9);
    EXPECT_EQ(key.Text(), std::string("Windows Registry Editor Version 5.00\n\n[") + kKey +
                              "]\n\"a\"=dword:00000009\n; note\n\n");
}

TEST(RegFile, NewKeyIsAddedAfterOtherKeysAndGarbageIsKept) {
    TRegistryFileKey key(kKey, "; exported by hand\n[HKEY_CURRENT_USER\\Other]\nnot a value line\n");
    EXPECT_FALSE(key.HasKey());
    key.WriteString("gSaveFolder", "x");
    EXPECT_EQ(key.Text(), std::string("Windows Registry Editor Version 5.00\n\n; exported by hand\n\n"
                                      "[HKEY_CURRENT_USER\\Other]\nnot a value line\n\n[") +
                              kKey + "]\n\"gSaveFolder\"=\"x\"\n\n");
}

TEST(RegFile, OpenOrCreateMakesTheFoldersAndTheEmptyKey) {
    test::TTempFolder folder;
    std::string path = folder / "a/b/lumaro.reg";
    ASSERT_NE(TRegistryFileKey::OpenOrCreate(path, kKey), nullptr);
    EXPECT_EQ(test::ReadFile(path), std::string("Windows Registry Editor Version 5.00\n\n[") + kKey + "]\n\n");
    // and opening again leaves it as it is
    ASSERT_NE(TRegistryFileKey::OpenOrCreate(path, kKey), nullptr);
    EXPECT_EQ(test::ReadFile(path), std::string("Windows Registry Editor Version 5.00\n\n[") + kKey + "]\n\n");

    // where no folder can be made, there is no key
    test::WriteFile(folder / "plainfile", "x");
    EXPECT_EQ(TRegistryFileKey::OpenOrCreate(folder / "plainfile/lumaro.reg", kKey), nullptr);
    EXPECT_EQ(TRegistryFileKey::OpenForWrite(folder.Path, kKey), nullptr);  // a folder, not a file
}

} // namespace
} // namespace lumaro
