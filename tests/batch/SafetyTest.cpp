// Failures that must never cost a file: real write failures (a file-size
// limit, a blocked folder, a backup that cannot be made), a source that
// vanished, and names that would make one file overwrite another.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"

namespace lumaro::test {
namespace {

const std::string kSaveFailed = "ファイルの保存に失敗しました。処理を中止しました。";

class SafetyTest : public ::testing::Test {
protected:
    TTempFolder Tmp;
    TSession S;
    const TFileEntry& E(std::size_t i) { return S.Core.FileList().at(i); }
    bool NoTemporaryFilesIn(const fs::path& folder) {
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().filename().string().find(".lumaro-") != std::string::npos) return false;
        return true;
    }
};

// Runs the core in a child whose files may not grow beyond Limit bytes, so
// every write of the run fails half-way (EFBIG). The child reports through its
// exit code: 0 when the window was left idle with the expected box.
int RunWithFileSizeLimit(const std::string& source, std::uint8_t mode, rlim_t limit, const std::string& box) {
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit r{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(10);
        TSession s;
        s.Settings.gSaveFolderMode = mode;
        s.Settings.gUseSaveAs = false;
        s.Core.WMDropFiles({source});
        s.Core.mnu_DoOperationClick();
        if (s.Dialogs.Messages.size() != 1) _exit(11);
        if (s.Dialogs.Messages[0].Text.rfind(box, 0) != 0) _exit(12);
        if (s.Core.FileList()[0].SizeAfter != -1 || !s.Core.FileList()[0].ResultPath.empty()) _exit(13);
        if (s.View.ProgressVisible || !s.View.DropAccepted || !s.View.IsEnabled(TCommand::DoOperation)) _exit(14);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(SafetyTest, FailedWriteOverTheSourceLeavesItIntact) {
    const auto original = PutJpeg(Tmp / "a.jpg");
    const rlim_t limit = original.size() / 2;
    // Overwrite: the write fails after the temporary file was created.
    EXPECT_EQ(RunWithFileSizeLimit(Tmp / "a.jpg", sfmOverwrite, limit,
                                   "ファイルの書き込みに失敗しました。処理を中止しました。\n" + (Tmp / "a.jpg")),
              0);
    EXPECT_EQ(ReadBytes(Tmp / "a.jpg"), original);
    EXPECT_TRUE(NoTemporaryFilesIn(Tmp.Path()));
    // With backup: the backup cannot be made either, so the source is not touched.
    EXPECT_EQ(RunWithFileSizeLimit(Tmp / "a.jpg", sfmOverwriteWithBak, limit, kSaveFailed), 0);
    EXPECT_EQ(ReadBytes(Tmp / "a.jpg"), original);
    EXPECT_FALSE(fs::exists(Tmp / "a.bak"));
    EXPECT_TRUE(NoTemporaryFilesIn(Tmp.Path()));
}

TEST_F(SafetyTest, FailedResultWriteKeepsTheEarlierResult) {
    PutJpeg(Tmp / "a.jpg");
    S.Settings.gUseSaveAs = false;
    S.Core.WMDropFiles({Tmp / "a.jpg"});
    S.Core.mnu_DoOperationClick();
    const auto result = ReadBytes(Tmp / "result_lumaro/a.jpg");
    // A second run whose write fails half-way must not truncate the first result.
    EXPECT_EQ(RunWithFileSizeLimit(Tmp / "a.jpg", sfmSourceFolder, result.size() / 2,
                                   "ファイルの書き込みに失敗しました。"),
              0);
    EXPECT_EQ(ReadBytes(Tmp / "result_lumaro/a.jpg"), result);
    EXPECT_TRUE(NoTemporaryFilesIn(Tmp.Path() / "result_lumaro"));
}

TEST_F(SafetyTest, BackupThatCannotBeMadeKeepsTheSource) {
    const auto a = PutJpeg(Tmp / "a.jpg");
    PutJpeg(Tmp / "b.jpg", 1);
    fs::create_directories(Tmp.Path() / "a.bak");  // the backup's name is taken by a folder
    S.Settings.gSaveFolderMode = sfmOverwriteWithBak;
    S.Core.WMDropFiles({Tmp / "a.jpg", Tmp / "b.jpg"});
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(S.Dialogs.MessageTexts(), (std::vector<std::string>{kSaveFailed}));
    EXPECT_EQ(ReadBytes(Tmp / "a.jpg"), a);
    EXPECT_EQ(E(0).SizeAfter, -1);
    EXPECT_EQ(E(1).SizeAfter, -1);  // the run ended

    // With copied sources the run goes on with the next file.
    S.Dialogs.Messages.clear();
    S.Settings.gCopyOriginal = true;
    S.Core.mnu_DoOperationClick();
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    EXPECT_EQ(ReadBytes(Tmp / "a.jpg"), a);
    EXPECT_NE(E(1).SizeAfter, -1);
    EXPECT_TRUE(fs::exists(Tmp / "b.bak"));
}

TEST_F(SafetyTest, BackupNeverReplacesAListedFileOrTheSourceItself) {
    const auto a = PutJpeg(Tmp / "a.jpg");
    const auto bak = PutJpeg(Tmp / "a.bak", 1);  // a JPEG that happens to be named .bak
    const auto x = PutJpeg(Tmp / "x.bak", 2);
    S.Settings.gSaveFolderMode = sfmOverwriteWithBak;
    S.Core.WMDropFiles({Tmp / "a.jpg", Tmp / "a.bak", Tmp / "x.bak"});
    S.Core.mnu_DoOperationClick();
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    EXPECT_EQ(ReadBytes(Tmp / "a.jpg.bak"), a);
    EXPECT_EQ(ReadBytes(Tmp / "a.bak.bak"), bak);
    EXPECT_EQ(ReadBytes(Tmp / "x.bak.bak"), x);
    EXPECT_EQ(E(1).ResultPath, Tmp / "a.bak");
}

TEST_F(SafetyTest, SourceEditedDuringItsRunKeepsTheEdit) {
    PutJpeg(Tmp / "a.jpg");
    const auto edit = PutJpeg(Tmp / "edit.jpg", 3);
    S.Core.WMDropFiles({Tmp / "a.jpg"});
    S.Settings.gUseSaveAs = false;
    for (std::uint8_t mode : {std::uint8_t{sfmOverwrite}, std::uint8_t{sfmOverwriteWithBak}}) {
        S.Settings.gSaveFolderMode = mode;
        S.Dialogs.Messages.clear();
        PutJpeg(Tmp / "a.jpg");
        bool edited = false;
        // Another program saves the file while lumaro works on it (the file has been read).
        S.View.OnEvents = [&] {
            if (edited || S.Core.InStream.Size() == 0) return;
            fs::copy_file(Tmp / "edit.jpg", Tmp / "a.jpg", fs::copy_options::overwrite_existing);
            edited = true;
        };
        S.Core.mnu_DoOperationClick();
        S.View.OnEvents = nullptr;
        ASSERT_TRUE(edited);
        EXPECT_EQ(ReadBytes(Tmp / "a.jpg"), edit) << int(mode);
        ASSERT_EQ(S.Dialogs.Messages.size(), 1u);
        EXPECT_EQ(S.Dialogs.Messages[0].Text.rfind("ファイルが処理中に他のプログラムによって変更されたため", 0), 0u);
        EXPECT_EQ(E(0).SizeAfter, -1);
        EXPECT_TRUE(NoTemporaryFilesIn(Tmp.Path()));
        S.Core.InStream.Clear();
    }
}

TEST_F(SafetyTest, VanishedSourceEndsTheRunWithAMessageAndRestoresTheWindow) {
    PutJpeg(Tmp / "a.jpg");
    PutJpeg(Tmp / "b.jpg", 1);
    PutJpeg(Tmp / "c.jpg", 2);
    S.Core.WMDropFiles({Tmp / "a.jpg", Tmp / "b.jpg", Tmp / "c.jpg"});
    fs::remove(Tmp / "b.jpg");
    S.Settings.gCopyOriginal = true;  // an unreadable source is reported all the same
    S.Core.mnu_DoOperationClick();
    ASSERT_EQ(S.Dialogs.Messages.size(), 1u);
    const std::string& text = S.Dialogs.Messages[0].Text;
    EXPECT_EQ(text.rfind("ファイルを読み込めませんでした。", 0), 0u);
    EXPECT_NE(text.find(Tmp / "b.jpg"), std::string::npos);
    EXPECT_NE(text.find("見つかりません"), std::string::npos);
    EXPECT_NE(E(0).SizeAfter, -1);
    EXPECT_EQ(E(1).SizeAfter, -1);
    EXPECT_EQ(E(2).SizeAfter, -1);
    EXPECT_FALSE(fs::exists(Tmp / "result_lumaro/b.jpg"));
    EXPECT_FALSE(S.View.ProgressVisible);
    EXPECT_TRUE(S.View.DropAccepted);
    EXPECT_TRUE(S.View.IsEnabled(TCommand::DoOperation));
    EXPECT_FALSE(S.View.IsEnabled(TCommand::StopOperation));
    EXPECT_FALSE(S.Core.RunInProgress());
}

TEST_F(SafetyTest, UnexpectedFailureDuringARunRestoresTheWindow) {
    PutJpeg(Tmp / "a.jpg");
    PutJpeg(Tmp / "b.jpg", 1);
    S.Core.WMDropFiles({Tmp / "a.jpg", Tmp / "b.jpg"});
    S.View.OnEvents = [&] {
        if (E(0).SizeAfter != -1) throw std::bad_alloc();  // between files, outside the engine
    };
    S.Core.mnu_DoOperationClick();
    ASSERT_EQ(S.Dialogs.Messages.size(), 1u);
    EXPECT_NE(S.Dialogs.Messages[0].Text.find("処理を中止しました。"), std::string::npos);
    EXPECT_EQ(E(1).SizeAfter, -1);
    EXPECT_FALSE(S.Core.RunInProgress());
    EXPECT_FALSE(S.View.ProgressVisible);
    EXPECT_TRUE(S.View.DropAccepted);
    EXPECT_TRUE(S.View.IsEnabled(TCommand::DoOperation));
    EXPECT_FALSE(S.View.IsEnabled(TCommand::StopOperation));
}

TEST_F(SafetyTest, ResultFolderBlockedByAFileIsATargetThatCannotBeCreated) {
    const auto a = PutJpeg(Tmp / "a.jpg");
    WriteBytes(Tmp / "result_lumaro", {'x'});  // a file where the folder should be
    S.Settings.gUseSaveAs = false;
    S.Core.WMDropFiles({Tmp / "a.jpg"});
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(S.Dialogs.MessageTexts(), (std::vector<std::string>{kSaveFailed}));
    EXPECT_EQ(ReadBytes(Tmp / "result_lumaro"), (std::vector<std::uint8_t>{'x'}));
    EXPECT_EQ(ReadBytes(Tmp / "a.jpg"), a);
}

TEST_F(SafetyTest, UnknownDestinationModeWritesBesideTheSource) {
    PutJpeg(Tmp / "a.jpg");
    S.Settings.gSaveFolderMode = 9;  // kept as read from a store
    S.Settings.gUseSaveAs = false;
    S.Core.WMDropFiles({Tmp / "a.jpg"});
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(E(0).ResultPath, Tmp / "result_lumaro/a.jpg");
    EXPECT_TRUE(fs::exists(Tmp / "result_lumaro/a.jpg"));
}

TEST_F(SafetyTest, OverwriteKeepsPermissionsAndWritesThroughLinks) {
    PutJpeg(Tmp / "real.jpg");
    fs::permissions(Tmp / "real.jpg", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(Tmp.Path() / "real.jpg", Tmp.Path() / "link.jpg");
    S.Settings.gSaveFolderMode = sfmOverwrite;
    S.Settings.gUseSaveAs = false;
    S.Core.WMDropFiles({Tmp / "link.jpg"});
    S.Core.mnu_DoOperationClick();
    EXPECT_TRUE(fs::is_symlink(Tmp / "link.jpg"));
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(Tmp / "real.jpg")), E(0).SizeAfter);
    EXPECT_LT(E(0).SizeAfter, E(0).SizeBefore);
    EXPECT_EQ(fs::status(Tmp / "real.jpg").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

} // namespace
} // namespace lumaro::test
