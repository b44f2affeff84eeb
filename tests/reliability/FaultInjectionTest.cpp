// Failing disks and a changing world under the run, on real files: a stop or a
// close request at every progress report, result folders that vanish, sources
// that change or vanish after they were listed, a full file system, a
// read-only one, backups that cannot be written. In every case the sources
// keep their bytes (or are replaced by a complete result), each entry's state
// follows the run's rules, the messages are the run's own, and a second run on
// the same core works.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CoefOracle.h"
#include "TestSupport.h"

namespace lumaro::test {
namespace {

const std::string kStopped = "処理を中止しました。";
const std::string kSaveFailed = "ファイルの保存に失敗しました。処理を中止しました。";
const std::string kWriteFailed = "ファイルの書き込みに失敗しました。処理を中止しました。";
const std::string kReadFailed = "ファイルを読み込めませんでした。処理を中止しました。";
const std::string kSummaryTail = "個のファイルを処理しました。";

using TBytes = std::vector<std::uint8_t>;

bool SameCoefficients(const TBytes& a, const TBytes& b) {
    TCoefImage x, y;
    return ReadCoefficients(a.data(), a.size(), x) == TOracleRead::Clean &&
           ReadCoefficients(b.data(), b.size(), y) == TOracleRead::Clean && CompareCoefficients(x, y).empty();
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

bool NoTemporaryFiles(const fs::path& folder) {
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.path().filename().string().find(".lumaro-") != std::string::npos) return false;
    return true;
}

class FaultTest : public ::testing::Test {
protected:
    TTempFolder Tmp;
    std::vector<TBytes> Originals;

    // Drops Count fresh sample files on a new session.
    std::vector<std::string> Put(TSession& s, int count) { return Put(s, count, Tmp); }
    std::vector<std::string> Put(TSession& s, int count, const TTempFolder& folder) {
        std::vector<std::string> paths;
        Originals.clear();
        for (int i = 0; i < count; ++i) {
            paths.push_back(folder / ("p" + std::to_string(i) + ".jpg"));
            Originals.push_back(PutJpeg(paths.back(), i));
        }
        s.Settings.gUseSaveAs = false;
        s.Core.WMDropFiles(paths);
        return paths;
    }
    static void ExpectIdle(TSession& s, const std::string& label) {
        EXPECT_FALSE(s.Core.RunInProgress()) << label;
        EXPECT_FALSE(s.View.ProgressVisible) << label;
        EXPECT_TRUE(s.View.DropAccepted) << label;
        EXPECT_TRUE(s.View.IsEnabled(TCommand::DoOperation)) << label;
        EXPECT_FALSE(s.View.IsEnabled(TCommand::StopOperation)) << label;
    }
    // A second run with nothing in the way writes every entry.
    void ExpectSecondRunWorks(TSession& s, const std::string& label) {
        s.View.OnEvents = nullptr;
        s.Dialogs.Messages.clear();
        const auto& list = s.Core.FileList();
        if (list.size() > 1 && list.front().SizeAfter != -1 && list.back().SizeAfter == -1)
            s.Dialogs.WarningAnswers.push_back(TWarningButton::No);  // process them all
        s.Core.mnu_DoOperationClick();
        EXPECT_TRUE(s.Dialogs.Messages.empty()) << label;
        for (const auto& e : s.Core.FileList()) {
            EXPECT_NE(e.SizeAfter, -1) << label << " " << e.SourcePath;
            EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(e.ResultPath)), e.SizeAfter) << label;
        }
        ExpectIdle(s, label);
    }
};

// Where each event turn of a run falls: in the engine's work on a file, or
// after the file was written.
struct TTurn {
    std::size_t File;
    bool AfterFile;
};

std::vector<TTurn> TurnsOfARun(int files, std::uint8_t mode) {
    TTempFolder tmp;
    TSession s;
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) {
        paths.push_back(tmp / ("p" + std::to_string(i) + ".jpg"));
        PutJpeg(paths.back(), i);
    }
    s.Settings.gUseSaveAs = false;
    s.Settings.gSaveFolderMode = mode;
    s.Core.WMDropFiles(paths);
    std::vector<TTurn> turns;
    s.View.OnEvents = [&] {
        const std::size_t i = static_cast<std::size_t>(s.Core.Selection().Top - 1);
        turns.push_back({i, s.Core.FileList()[i].SizeAfter != -1});
    };
    s.Core.mnu_DoOperationClick();
    return turns;
}

// A stop, or a close request, at each event turn of a three-file run in turn:
// files before the one in hand are written, the one in hand and those after it
// are untouched, and over the source (mode 3) nothing is half done.
TEST_F(FaultTest, StopOrCloseAtEveryProgressReport) {
    int cases = 0;
    for (std::uint8_t mode : {sfmOverwrite, sfmSourceFolder}) {
        const auto turns = TurnsOfARun(3, mode);
        ASSERT_GT(turns.size(), 9u);  // several reports per file
        for (bool close : {false, true})
            for (bool copyOriginal : {false, true})
                for (std::size_t k = 0; k < turns.size(); ++k) {
                    TTempFolder tmp;
                    TSession s;
                    const auto paths = Put(s, 3, tmp);
                    s.Settings.gSaveFolderMode = mode;
                    s.Settings.gCopyOriginal = copyOriginal;
                    std::size_t turn = 0;
                    s.View.OnEvents = [&] {
                        if (turn++ == k) close ? s.Core.FormCloseQuery() : s.Core.mnu_StopOperationClick();
                    };
                    s.Core.mnu_DoOperationClick();
                    ++cases;

                    const std::string label = std::string(close ? "close" : "stop") + " at turn " +
                                              std::to_string(k) + " mode " + std::to_string(mode) +
                                              (copyOriginal ? " copying sources" : "");
                    const TTurn at = turns[k];
                    const std::size_t written = at.File + (at.AfterFile ? 1 : 0);
                    // The engine sees the stop in the file in hand or, after a
                    // file, in the next one; only then is there a box.
                    const bool engineGaveUp = !at.AfterFile || written < paths.size();
                    const auto& list = s.Core.FileList();
                    for (std::size_t i = 0; i < paths.size(); ++i) {
                        const TBytes now = ReadBytes(paths[i]);
                        if (i < written) {
                            EXPECT_NE(list[i].SizeAfter, -1) << label << " file " << i;
                            EXPECT_EQ(ReadBytes(list[i].ResultPath).size(), std::size_t(list[i].SizeAfter)) << label;
                            EXPECT_TRUE(SameCoefficients(ReadBytes(list[i].ResultPath), Originals[i])) << label;
                        } else {
                            EXPECT_EQ(list[i].SizeAfter, -1) << label << " file " << i;
                            EXPECT_TRUE(list[i].ResultPath.empty()) << label << " file " << i;
                            EXPECT_EQ(now, Originals[i]) << label << " file " << i;
                        }
                        if (mode == sfmSourceFolder) {
                            EXPECT_EQ(now, Originals[i]) << label;
                        }
                    }
                    const std::vector<std::string> boxes =
                        engineGaveUp && !copyOriginal ? std::vector<std::string>{kStopped} : std::vector<std::string>{};
                    EXPECT_EQ(s.Dialogs.MessageTexts(), boxes) << label;
                    EXPECT_TRUE(StartsWith(s.View.Status, std::to_string(written) + kSummaryTail))
                        << label << ": " << s.View.Status;
                    EXPECT_TRUE(NoTemporaryFiles(tmp.Path())) << label;
                    ExpectIdle(s, label);
                    if (k % 5 == 0) ExpectSecondRunWorks(s, label);
                }
    }
    std::printf("[ faults ] stop/close at every report: %d runs\n", cases);
}

// The picked or fixed result folder vanishes while the run is under way: the
// next write cannot be created, the run ends with the save message, the file
// in hand has no result, and the next run creates the folder again.
TEST_F(FaultTest, ResultFolderRemovedDuringTheRun) {
    for (bool duringEngine : {false, true}) {
        const std::string label = duringEngine ? "removed during the engine" : "removed between files";
        TSession s;
        const auto paths = Put(s, 2);
        s.Settings.gSaveFolderMode = sfmFixedFolder;
        s.Settings.gSaveFolder = Tmp / (duringEngine ? "out1" : "out2");
        fs::create_directories(s.Settings.gSaveFolder);
        const std::string folder = s.Settings.gSaveFolder + "/result_lumaro";
        s.View.OnEvents = [&] {
            const bool inSecond = s.Core.Selection().Top == 2;
            const bool firstDone = s.Core.FileList()[0].SizeAfter != -1;
            if (duringEngine ? inSecond : firstDone) fs::remove_all(folder);
        };
        s.Core.mnu_DoOperationClick();
        EXPECT_EQ(s.Dialogs.MessageTexts(), (std::vector<std::string>{kSaveFailed})) << label;
        EXPECT_NE(s.Core.FileList()[0].SizeAfter, -1) << label;
        EXPECT_EQ(s.Core.FileList()[1].SizeAfter, -1) << label;
        EXPECT_TRUE(s.Core.FileList()[1].ResultPath.empty()) << label;
        for (std::size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(ReadBytes(paths[i]), Originals[i]) << label;
        ExpectIdle(s, label);
        ExpectSecondRunWorks(s, label);
        EXPECT_TRUE(fs::is_directory(folder)) << label;
    }
    // Beside each source the folder is made again for every file.
    TSession s;
    Put(s, 2);
    s.Settings.gSaveFolderMode = sfmSourceFolder;
    bool removed = false;
    s.View.OnEvents = [&] {  // once, right after the first file was written
        if (!removed && s.Core.FileList()[0].SizeAfter != -1) removed = fs::remove_all(Tmp / "result_lumaro") > 0;
    };
    s.Core.mnu_DoOperationClick();
    EXPECT_TRUE(removed);
    EXPECT_TRUE(s.Dialogs.Messages.empty());
    EXPECT_EQ(ReadBytes(s.Core.FileList()[1].ResultPath).size(), std::size_t(s.Core.FileList()[1].SizeAfter));
}

// Sources that changed after they were listed. Over the source (mode 3) a
// file the engine refuses is left exactly as it now is; a file that grew is
// replaced by a faithful result of its new content.
TEST_F(FaultTest, SourcesChangedAfterTheyWereListed) {
    struct Change {
        const char* Name;
        std::function<TBytes(const TBytes&)> Make;
        bool Refused;
    };
    const TBytes other = SampleJpeg(7);
    const std::vector<Change> changes{
        {"no longer a JPEG", [](const TBytes&) { return TBytes{'h', 'e', 'l', 'l', 'o'}; }, true},
        {"cut in its scan", [](const TBytes& b) { return TBytes(b.begin(), b.begin() + b.size() * 3 / 4); }, true},
        {"now empty", [](const TBytes&) { return TBytes{}; }, true},
        {"replaced by a larger JPEG", [&](const TBytes&) { return other; }, false},
    };
    for (bool copyOriginal : {false, true})
        for (const Change& c : changes) {
            const std::string label = std::string(c.Name) + (copyOriginal ? " copying sources" : "");
            TSession s;
            const auto paths = Put(s, 2);
            s.Settings.gSaveFolderMode = sfmOverwrite;
            s.Settings.gCopyOriginal = copyOriginal;
            const TBytes changed = c.Make(Originals[0]);
            WriteBytes(paths[0], changed);
            s.Core.mnu_DoOperationClick();
            const TFileEntry& e = s.Core.FileList()[0];
            if (c.Refused && !copyOriginal) {
                const auto texts = s.Dialogs.MessageTexts();
                ASSERT_GE(texts.size(), 1u) << label;
                EXPECT_EQ(texts.back(), kStopped) << label;
                EXPECT_EQ(e.SizeAfter, -1) << label;
                EXPECT_EQ(ReadBytes(paths[1]), Originals[1]) << label;  // the run ended
            } else {
                EXPECT_TRUE(s.Dialogs.Messages.empty()) << label;
                EXPECT_EQ(e.SizeAfter, static_cast<std::int64_t>(ReadBytes(paths[0]).size())) << label;
            }
            const TBytes now = ReadBytes(paths[0]);
            if (c.Refused) EXPECT_EQ(now, changed) << label;
            else EXPECT_TRUE(SameCoefficients(now, changed)) << label;
            EXPECT_TRUE(NoTemporaryFiles(Tmp.Path())) << label;
            ExpectIdle(s, label);
        }
    // A source that became a folder cannot be read: the run says so and ends.
    TSession s;
    const auto paths = Put(s, 2);
    s.Settings.gSaveFolderMode = sfmOverwrite;
    fs::remove(paths[0]);
    fs::create_directory(paths[0]);
    s.Core.mnu_DoOperationClick();
    ASSERT_EQ(s.Dialogs.Messages.size(), 1u);
    EXPECT_TRUE(StartsWith(s.Dialogs.Messages[0].Text, kReadFailed));
    EXPECT_EQ(ReadBytes(paths[1]), Originals[1]);
    ExpectIdle(s, "source became a folder");
}

// Runs Body in a child with its own mount namespace, where Folder holds a
// fresh tmpfs of SizeKb. The child's exit code says how it went: 0 passed, 77
// mounting is not possible here, anything else the number of a failed check.
template <class Body>
int WithSmallFileSystem(const std::string& folder, int sizeKb, Body&& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0) _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
        const std::string options = "size=" + std::to_string(sizeKb) + "k";
        if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) _exit(77);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// Fills a file system but for Spare bytes.
void FillUpTo(const std::string& path, std::size_t spare) {
    const auto space = fs::space(fs::path(path).parent_path());
    const std::size_t fill = space.available > spare ? space.available - spare : 0;
    WriteBytes(path, TBytes(fill, 0x55));
}

// A small file system that is full: writing over the source, beside it and
// its backup all fail half-way; the sources keep every byte, no temporary file
// is left, and once space is freed the same core finishes the job.
TEST_F(FaultTest, FullFileSystem) {
    const std::string disk = Tmp / "disk";
    fs::create_directories(disk);
    const TBytes jpeg = SampleJpeg(0), jpeg2 = SampleJpeg(1);
    for (std::uint8_t mode : {sfmOverwrite, sfmOverwriteWithBak, sfmSourceFolder}) {
        const int rc = WithSmallFileSystem(disk, 256, [&]() -> int {
            TSession s;
            const std::string a = disk + "/a.jpg", b = disk + "/b.jpg";
            WriteBytes(a, jpeg);
            WriteBytes(b, jpeg2);
            s.Settings.gUseSaveAs = false;
            s.Settings.gSaveFolderMode = mode;
            s.Core.WMDropFiles({a, b});
            if (mode == sfmSourceFolder) fs::create_directory(disk + "/result_lumaro");
            FillUpTo(disk + "/filler", 512);
            s.Core.mnu_DoOperationClick();
            if (ReadBytes(a) != jpeg || ReadBytes(b) != jpeg2) return 1;
            if (s.Dialogs.Messages.size() != 1) return 2;
            const std::string& text = s.Dialogs.Messages[0].Text;
            if (!StartsWith(text, mode == sfmOverwriteWithBak ? kSaveFailed : kWriteFailed)) return 3;
            if (s.Core.FileList()[0].SizeAfter != -1 || !s.Core.FileList()[0].ResultPath.empty()) return 4;
            if (!NoTemporaryFiles(disk)) return 5;
            if (s.Core.RunInProgress() || !s.View.IsEnabled(TCommand::DoOperation)) return 6;
            // Room again: the same core finishes the job.
            fs::remove(disk + "/filler");
            s.Dialogs.Messages.clear();
            s.Core.mnu_DoOperationClick();
            if (!s.Dialogs.Messages.empty()) return 7;
            for (const auto& e : s.Core.FileList())
                if (e.SizeAfter == -1 || ReadBytes(e.ResultPath).size() != std::size_t(e.SizeAfter)) return 8;
            if (!SameCoefficients(ReadBytes(s.Core.FileList()[0].ResultPath), jpeg)) return 9;
            if (mode == sfmOverwriteWithBak && ReadBytes(disk + "/a.bak") != jpeg) return 10;
            return 0;
        });
        if (rc == 77) GTEST_SKIP() << "a tmpfs cannot be mounted here";
        EXPECT_EQ(rc, 0) << "mode " << int(mode);
    }
}

// A read-only file system: nothing can be created, over the source or beside
// it; the run reports the save failure and every source keeps its bytes.
TEST_F(FaultTest, ReadOnlyFileSystem) {
    const std::string disk = Tmp / "ro";
    fs::create_directories(disk);
    const TBytes jpeg = SampleJpeg(0), jpeg2 = SampleJpeg(1);
    for (std::uint8_t mode : {sfmOverwrite, sfmOverwriteWithBak, sfmSourceFolder})
        for (bool copyOriginal : {false, true}) {
            const int rc = WithSmallFileSystem(disk, 1024, [&]() -> int {
                TSession s;
                const std::string a = disk + "/a.jpg", b = disk + "/b.jpg";
                WriteBytes(a, jpeg);
                WriteBytes(b, jpeg2);
                if (mount(nullptr, disk.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 77;
                s.Settings.gUseSaveAs = false;
                s.Settings.gSaveFolderMode = mode;
                s.Settings.gCopyOriginal = copyOriginal;
                s.Core.WMDropFiles({a, b});
                s.Core.mnu_DoOperationClick();
                if (ReadBytes(a) != jpeg || ReadBytes(b) != jpeg2) return 1;
                const auto expected =
                    copyOriginal ? std::vector<std::string>{} : std::vector<std::string>{kSaveFailed};
                if (s.Dialogs.MessageTexts() != expected) return 2;
                for (const auto& e : s.Core.FileList())
                    if (e.SizeAfter != -1 || !e.ResultPath.empty()) return 3;
                if (fs::exists(disk + "/a.bak") || fs::exists(disk + "/result_lumaro")) return 4;
                if (s.Core.RunInProgress() || !s.View.IsEnabled(TCommand::DoOperation)) return 5;
                return 0;
            });
            if (rc == 77) GTEST_SKIP() << "a tmpfs cannot be mounted here";
            EXPECT_EQ(rc, 0) << "mode " << int(mode) << (copyOriginal ? " copying sources" : "");
        }
}

// Backups whose name is taken by something that cannot be replaced by a file:
// a folder with content, a dangling link into a missing folder. The source is
// only overwritten when a backup with its exact bytes exists.
TEST_F(FaultTest, BackupThatCannotBeWritten) {
    struct Obstacle {
        const char* Name;
        std::function<void(const std::string&)> Make;
    };
    const std::vector<Obstacle> obstacles{
        {"folder with content", [](const std::string& bak) { WriteBytes(bak + "/inner.txt", {'x'}); }},
        {"dangling link", [this](const std::string& bak) { fs::create_symlink(Tmp / "missing/x.bak", bak); }},
    };
    for (const Obstacle& o : obstacles) {
        TSession s;
        const auto paths = Put(s, 2);
        s.Settings.gSaveFolderMode = sfmOverwriteWithBak;
        const std::string bak = Tmp / "p0.bak";
        fs::remove_all(bak);
        o.Make(bak);
        s.Core.mnu_DoOperationClick();
        const TBytes now = ReadBytes(paths[0]);
        const bool backedUp = fs::is_regular_file(bak) && ReadBytes(bak) == Originals[0];
        EXPECT_TRUE(now == Originals[0] || backedUp) << o.Name << ": the source was replaced without a backup";
        if (now == Originals[0]) {
            EXPECT_EQ(s.Dialogs.MessageTexts(), (std::vector<std::string>{kSaveFailed})) << o.Name;
            EXPECT_EQ(s.Core.FileList()[0].SizeAfter, -1) << o.Name;
            EXPECT_EQ(ReadBytes(paths[1]), Originals[1]) << o.Name;
        }
        ExpectIdle(s, o.Name);
        fs::remove_all(bak);
        fs::remove(Tmp / "p1.bak");
    }
}

} // namespace
} // namespace lumaro::test
