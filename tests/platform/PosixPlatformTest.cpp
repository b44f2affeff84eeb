// The POSIX services on their own: name patterns, the desktop folder, and the
// edge cases of reading and replacing files that the batch tests do not reach.
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <sys/stat.h>

#include "PosixPlatform.h"

namespace lumaro {
namespace {

namespace fs = std::filesystem;

TEST(PosixPlatform, PatternsMatchWithoutRegardToLetterCase) {
    EXPECT_TRUE(MatchesPattern("photo.JPG", "*.jpg"));
    EXPECT_TRUE(MatchesPattern("a.b.jpg", "*.jpg"));
    EXPECT_TRUE(MatchesPattern(".jpg", "*.jpg"));
    EXPECT_FALSE(MatchesPattern("photo.jpeg", "*.jpg"));
    EXPECT_FALSE(MatchesPattern("photo.jpg.txt", "*.jpg"));
    EXPECT_TRUE(MatchesPattern("x1.jpg", "x?.jpg"));
    EXPECT_FALSE(MatchesPattern("x.jpg", "x?.jpg"));
    EXPECT_TRUE(MatchesPattern("anything", "*"));
}

TEST(PosixPlatform, DesktopFromUserDirs) {
    const std::string home = "/home/u";
    EXPECT_EQ(DesktopFromUserDirs("# comment\nXDG_DESKTOP_DIR=\"$HOME/デスクトップ\"\n", home), "/home/u/デスクトップ");
    EXPECT_EQ(DesktopFromUserDirs("XDG_DESKTOP_DIR=\"/data/desk/\"\n", home), "/data/desk");
    EXPECT_EQ(DesktopFromUserDirs("XDG_DOWNLOAD_DIR=\"$HOME/dl\"\n", home), "/home/u/Desktop");
    EXPECT_EQ(DesktopFromUserDirs("XDG_DESKTOP_DIR=\"relative\"\n", home), "/home/u/Desktop");
    EXPECT_EQ(DesktopFromUserDirs("", home), "/home/u/Desktop");
}

class PosixFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string t = (fs::temp_directory_path() / "lumaro-platform-XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        Dir = t;
    }
    void TearDown() override { fs::remove_all(Dir); }
    std::string P(const std::string& rel) { return (Dir / rel).string(); }
    fs::path Dir;
    TPosixFileSystem Fs;
    TIoError Error;
};

TEST_F(PosixFiles, FirstBytesFailForShortFilesFoldersAndMissingFiles) {
    std::ofstream(P("two")) << "ab";
    std::vector<std::uint8_t> b;
    EXPECT_FALSE(Fs.ReadFirstBytes(P("two"), 3, b, Error));
    EXPECT_FALSE(Error.Text.empty());
    EXPECT_FALSE(Fs.ReadFirstBytes(Dir.string(), 3, b, Error));
    ASSERT_EQ(mkfifo(P("pipe").c_str(), 0600), 0);
    EXPECT_FALSE(Fs.ReadFirstBytes(P("pipe"), 3, b, Error));  // refused, not waited on
    TByteBuffer whole;
    EXPECT_FALSE(Fs.ReadWholeFile(P("pipe"), whole, Error));
    EXPECT_FALSE(Fs.ReadFirstBytes(P("none"), 3, b, Error));
    EXPECT_EQ(Error.Text, "ファイルまたはフォルダが見つかりません。");
    EXPECT_FALSE(Fs.FileExists(Dir.string()));
    EXPECT_TRUE(Fs.FolderExists(Dir.string()));
}

// Results are written a piece at a time: every size around the pieces'
// edges must come back whole and in order, and a device that takes nothing
// must fail the write with its reason.
TEST_F(PosixFiles, LargeWritesComeBackWholeAcrossPieces) {
    const std::size_t sizes[] = {0, 1, kWritePiece - 1, kWritePiece, kWritePiece + 1, 3 * kWritePiece + 7};
    std::vector<std::uint8_t> data(3 * kWritePiece + 7);
    std::mt19937 random(7);  // no period that a piece's size could hide a misplaced piece behind
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        ASSERT_EQ(Fs.WriteWholeFile(P("big"), data.data(), size, Error), TWriteStatus::Ok);
        TByteBuffer back;
        ASSERT_TRUE(Fs.ReadWholeFile(P("big"), back, Error));
        ASSERT_EQ(back.size(), size);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
    }
    const int full = ::open("/dev/full", O_WRONLY);  // Linux: every write fails with ENOSPC
    ASSERT_GE(full, 0);
    int err = 0;
    EXPECT_FALSE(WriteAll(full, data.data(), data.size(), err));
    EXPECT_EQ(err, ENOSPC);
    ::close(full);
}

TEST_F(PosixFiles, ReplacingWritesAndCopies) {
    const std::uint8_t data[] = {1, 2, 3};
    mode_t old = umask(022);
    EXPECT_EQ(Fs.WriteWholeFile(P("new"), data, 3, Error), TWriteStatus::Ok);
    umask(old);
    EXPECT_EQ(fs::status(P("new")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(Fs.WriteWholeFile(P(std::string(255, 'n')), data, 3, Error), TWriteStatus::Ok);  // longest name
    fs::remove(P(std::string(255, 'n')));
    EXPECT_EQ(Fs.WriteWholeFile(P("new/child"), data, 3, Error), TWriteStatus::CannotCreate);
    EXPECT_EQ(Fs.WriteWholeFile(Dir.string(), data, 3, Error), TWriteStatus::CannotCreate);

    std::ofstream(P("dest")) << "older and longer";
    ASSERT_TRUE(Fs.CopyFile(P("new"), P("dest"), Error));
    EXPECT_EQ(fs::file_size(P("dest")), 3u);
    EXPECT_FALSE(Fs.CopyFile(P("missing"), P("dest"), Error));
    EXPECT_EQ(fs::file_size(P("dest")), 3u);
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator{}), 2);  // no leftovers

    const TFileTime t{1577836800, 250000000};
    ASSERT_TRUE(Fs.SetLastWriteTime(P("dest"), t));
    EXPECT_EQ(Fs.GetFileTimes(P("dest")).LastWrite, t);
    EXPECT_FALSE(Fs.SetCreationTime(P("dest"), t));
}

// The system calls that make data durable, counted; a folder's sync can be
// made to fail as a failing disk's would.
class TCountingFileSystem : public TPosixFileSystem {
public:
    int FileSyncs = 0, FolderSyncs = 0;
    bool FailFolderSync = false;

protected:
    int SyncFile(int Fd) override {
        ++FileSyncs;
        return TPosixFileSystem::SyncFile(Fd);
    }
    int SyncFolder(int Fd) override {
        ++FolderSyncs;
        if (FailFolderSync) {
            errno = EIO;
            return -1;
        }
        return TPosixFileSystem::SyncFolder(Fd);
    }
};

// With deferral, a brand-new file is synced on the syncing thread and waited
// for by the flush, which then syncs each folder that got a new entry, once;
// whatever replaces a file (an existing target, a copy made as a backup) is
// synced before it does, deferral or not.
TEST_F(PosixFiles, NewFilesWaitForTheFlushWhatReplacesAFileDoesNot) {
    const std::uint8_t data[] = {1, 2, 3};
    TCountingFileSystem fs;
    EXPECT_EQ(fs.WriteWholeFile(P("plain"), data, 3, Error), TWriteStatus::Ok);
    EXPECT_EQ(fs.FileSyncs, 1) << "without deferral every write is synced";
    ASSERT_TRUE(fs.FlushWrites(Error));
    EXPECT_EQ(fs.FilesSyncedLater() + fs.FolderSyncs, 0) << "nothing was deferred";

    fs.DeferNewFiles = true;
    ASSERT_TRUE(fs.CreateFolder(P("sub")));
    EXPECT_EQ(fs.WriteWholeFile(P("a"), data, 3, Error), TWriteStatus::Ok);
    EXPECT_EQ(fs.WriteWholeFile(P("sub/b"), data, 3, Error), TWriteStatus::Ok);
    EXPECT_EQ(fs.WriteWholeFile(P("sub/c"), data, 3, Error), TWriteStatus::Ok);
    EXPECT_EQ(fs.FileSyncs, 1) << "new files are not synced on the writer's thread";
    EXPECT_EQ(fs::file_size(P("a")), 3u);  // complete and in place before the flush
    EXPECT_EQ(fs.WriteWholeFile(P("a"), data, 2, Error), TWriteStatus::Ok);
    EXPECT_EQ(fs.FileSyncs, 2) << "a write over an existing file";
    ASSERT_TRUE(fs.CopyFile(P("a"), P("a.bak"), Error));
    EXPECT_EQ(fs.FileSyncs, 3) << "a backup";

    ASSERT_TRUE(fs.FlushWrites(Error));
    EXPECT_EQ(fs.FilesSyncedLater(), 3) << "a, sub/b and sub/c";
    EXPECT_EQ(fs.FolderSyncs, 2) << "the folder holding a and sub (a new entry each), and sub";
    ASSERT_TRUE(fs.FlushWrites(Error));
    EXPECT_EQ(fs.FilesSyncedLater() + fs.FolderSyncs, 5) << "nothing left to sync";

    // A failing sync is reported, with the system's reason.
    EXPECT_EQ(fs.WriteWholeFile(P("d"), data, 3, Error), TWriteStatus::Ok);
    fs.FailFolderSync = true;
    EXPECT_FALSE(fs.FlushWrites(Error));
    EXPECT_EQ(Error.Text, "入出力エラーが発生しました。");
}

// The syncing thread: every file handed over is durable when Wait returns;
// a file that cannot be synced is reported once, with the system's code, and
// the files after it are synced all the same.
TEST_F(PosixFiles, DeferredSyncWaitsForEveryFileAndReportsTheFirstFailure) {
    TDeferredSync sync;
    EXPECT_EQ(sync.Wait(), 0) << "nothing handed over";
    const std::uint8_t data[] = {7};
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Fs.WriteWholeFile(P("f" + std::to_string(i)), data, 1, Error), TWriteStatus::Ok);
        sync.Add(P("f" + std::to_string(i)));
    }
    EXPECT_EQ(sync.Wait(), 0);
    EXPECT_EQ(sync.Synced(), 20);

    sync.Add(P("missing"));
    sync.Add(P("f0"));
    EXPECT_EQ(sync.Wait(), ENOENT);
    EXPECT_EQ(sync.Synced(), 21);
    EXPECT_EQ(sync.Wait(), 0) << "a failure is reported once";
}

} // namespace
} // namespace lumaro
