// Whole-file reads and the atomic replacement the stores rely on.
#include "ConfigFile.h"
#include "ExecutablePath.h"
#include "TestFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace lumaro {
namespace {

using test::ReadFile;
using test::TTempFolder;
using test::WriteFile;

int FolderEntries(const std::string& folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}

TEST(ReadWholeTextFile, TellsMissingFromUnreadable) {
    TTempFolder folder;
    std::string text = "stale";
    EXPECT_EQ(ReadWholeTextFile(folder / "none", text), TFileReadResult::Missing);
    EXPECT_EQ(text, "");
    EXPECT_EQ(ReadWholeTextFile(folder.Path, text), TFileReadResult::Failed);
    std::string big(200000, 'x');
    big[123456] = '\0';
    WriteFile(folder / "big", big);
    EXPECT_EQ(ReadWholeTextFile(folder / "big", text), TFileReadResult::Ok);
    EXPECT_EQ(text, big);
}

TEST(ReplaceFileAtomically, ReplacesKeepingModeAndLeavesNoTemporaryFile) {
    TTempFolder folder;
    std::string path = folder / "settings.ini";
    ASSERT_TRUE(ReplaceFileAtomically(path, "one"));
    EXPECT_EQ(ReadFile(path), "one");
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(ReplaceFileAtomically(path, "two"));
    EXPECT_EQ(ReadFile(path), "two");
    struct stat info{};
    stat(path.c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(FolderEntries(folder.Path), 1);
}

TEST(ReplaceFileAtomically, RenamesANewFileIntoPlaceRatherThanRewritingTheOld) {
    // A reader that opened the old file keeps seeing all of it, and the new
    // file is another inode: the old bytes were never overwritten in place.
    TTempFolder folder;
    std::string path = folder / "lumaro.reg";
    WriteFile(path, "old contents");
    std::ifstream reader(path, std::ios::binary);
    struct stat before{}, after{};
    stat(path.c_str(), &before);
    ASSERT_TRUE(ReplaceFileAtomically(path, "new"));
    stat(path.c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino);
    std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, "old contents");
    EXPECT_EQ(ReadFile(path), "new");
}

TEST(ReplaceFileAtomically, KeepsASymbolicLinkAndWritesItsTarget) {
    TTempFolder folder;
    std::filesystem::create_directory(folder / "dotfiles");
    WriteFile(folder / "dotfiles/ostrel.ini", "old");
    std::filesystem::create_symlink(folder / "dotfiles/ostrel.ini", folder / "ostrel.ini");
    ASSERT_TRUE(ReplaceFileAtomically(folder / "ostrel.ini", "new"));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "ostrel.ini"));
    EXPECT_EQ(ReadFile(folder / "dotfiles/ostrel.ini"), "new");
}

TEST(ReplaceFileAtomically, FailsWithoutTouchingTheOldFile) {
    TTempFolder folder;
    EXPECT_FALSE(ReplaceFileAtomically(folder / "no/such/folder/x", "data"));
    WriteFile(folder / "keep", "old");
    std::string result = test::RunWithoutWriteAccess(folder.Path, [&] {
        return ReplaceFileAtomically(folder / "keep", "new") ? std::string("replaced") : std::string("refused");
    });
    EXPECT_EQ(result, "refused");
    EXPECT_EQ(ReadFile(folder / "keep"), "old");
    EXPECT_EQ(FolderEntries(folder.Path), 1);
}

TEST(CreateFolderPath, MakesParentsAndRefusesFiles) {
    TTempFolder folder;
    EXPECT_TRUE(CreateFolderPath(folder / "a/b/c"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "a/b/c"));
    EXPECT_TRUE(CreateFolderPath(folder / "a/b/c"));
    WriteFile(folder / "file", "");
    EXPECT_FALSE(CreateFolderPath(folder / "file"));
    EXPECT_FALSE(CreateFolderPath(folder / "file/sub"));
}

TEST(ExecutablePath, NamesThisTestProgram) {
    std::string path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "settings_tests");
}

} // namespace
} // namespace lumaro
