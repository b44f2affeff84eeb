// INI files read and written like the classic profile routines.
#include "ProfileFile.h"

#include <gtest/gtest.h>

namespace lumaro {
namespace {

TEST(ProfileInteger, DecimalHexAndGarbage) {
    struct {
        const char* text;
        int expected;
    } cases[] = {
        {"42", 42},   {"-8", -8},     {"+7", 7},          {"0X1f", 31},
        {"0xFFFFFFFF", -1},           {"0x0000000010", 16}, {"-2147483648", -2147483647 - 1},
        {"0x", 99},   {"0x1g", 99},   {"0x100000000", 99}, {"", 99},
        {"1 2", 99},  {"2147483648", 99}, {"-", 99},      {"-0x10", 99},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseProfileInteger(c.text, 99), c.expected) << c.text;
}

TEST(ProfileRead, SectionsAndKeysMatchWithoutCaseAndTheFirstWins) {
    TProfileFile ini("[Other]\nkey=no\n[OSTREL]\n ; key=comment\n  Key  =  first  \nkey=second\n[ostrel]\nkey=third\n");
    EXPECT_EQ(ini.ReadString("ostrel", "KEY").value(), "first");
    EXPECT_EQ(ini.ReadString("other", "key").value(), "no");
    EXPECT_FALSE(ini.ReadString("ostrel", "missing").has_value());
    EXPECT_FALSE(ini.ReadString("none", "key").has_value());
    EXPECT_EQ(ini.ReadInteger("ostrel", "missing", 5), 5);
}

TEST(ProfileRead, OnePairOfQuotesIsTakenOff) {
    TProfileFile ini("[s]\na=\"x y\"\nb='z'\nc=\"unbalanced\nd=\"\"\"\"\ne=\"\nf=a=b\n");
    EXPECT_EQ(ini.ReadString("s", "a").value(), "x y");
    EXPECT_EQ(ini.ReadString("s", "b").value(), "z");
    EXPECT_EQ(ini.ReadString("s", "c").value(), "\"unbalanced");
    EXPECT_EQ(ini.ReadString("s", "d").value(), "\"\"");
    EXPECT_EQ(ini.ReadString("s", "e").value(), "\"");
    EXPECT_EQ(ini.ReadString("s", "f").value(), "a=b");
}

TEST(ProfileWrite, ValuesComeBackExactly) {
    for (std::string value : {"", "plain", " lead", "trail ", "\"quoted\"", "'single'", "a=b;c", "\t"}) {
        TProfileFile ini;
        ASSERT_TRUE(ini.WriteString("s", "k", value));
        EXPECT_EQ(TProfileFile(ini.Text()).ReadString("s", "k").value(), value) << ini.Text();
    }
    TProfileFile ini("[s]\nk=1\n");
    EXPECT_FALSE(ini.WriteString("s", "k", "two\nlines"));
    EXPECT_FALSE(ini.WriteString("s", "k", "cr\r"));
    EXPECT_EQ(ini.Text(), "[s]\nk=1\n");
}

TEST(ProfileWrite, UpdatesInPlaceAndAddsAtTheEndOfTheSection) {
    TProfileFile ini("[a]\nX=1\n\n[b]\ny=2\n");
    ini.WriteString("A", "x", "10");
    ini.WriteString("a", "new", "3");
    ini.WriteString("c", "z", "4");
    EXPECT_EQ(ini.Text(), "[a]\nx=10\nnew=3\n\n[b]\ny=2\n\n[c]\nz=4\n");
}

TEST(ProfileWrite, KeepsLineEndsAndByteOrderMark) {
    TProfileFile ini("\xEF\xBB\xBF[s]\r\na=1\r\n");
    EXPECT_EQ(ini.ReadString("s", "a").value(), "1");
    ini.WriteString("s", "b", "2");
    EXPECT_EQ(ini.Text(), "\xEF\xBB\xBF[s]\r\na=1\r\nb=2\r\n");
}

} // namespace
} // namespace lumaro
