// The run on real files: the five destinations, the Save As case, the
// re-process check, never-larger, the engine error policy, stop, file times,
// the status line and the state of the window around a run.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestSupport.h"

namespace lumaro::test {
namespace {

const std::string kStopped = "処理を中止しました。";
const std::string kSaveFailed = "ファイルの保存に失敗しました。処理を中止しました。";

std::string Summary(int n, std::int64_t before, std::int64_t after, int ms = 37) {
    return std::to_string(n) + "個のファイルを処理しました。(処理時間  " + std::to_string(ms) + "ミリ秒)。合計" +
           std::to_string(before) + "byte→" + std::to_string(after) + "byte。ダブルクリックすると処理後の画像を表示します。";
}
std::string OneFile(int ms = 37) {
    return "処理時間  " + std::to_string(ms) + "ミリ秒。ダブルクリックすると処理後の画像を表示します。";
}

// Decoded pixels of a JPEG file, by djpeg.
std::string Pixels(const std::string& path) {
    std::string cmd = "djpeg -pnm '" + path + "'", out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    return out;
}

TFileTime MTime(const std::string& path) {
    struct stat st;
    stat(path.c_str(), &st);
    return {st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec)};
}

class RunTest : public ::testing::Test {
protected:
    TTempFolder Tmp;
    TSession S;
    void Add(const std::vector<std::string>& rels, int variant = 0) {
        std::vector<std::string> paths;
        for (const auto& r : rels) {
            PutJpeg(Tmp / r, variant++);
            paths.push_back(Tmp / r);
        }
        S.Core.WMDropFiles(paths);
    }
    const TFileEntry& E(std::size_t i) { return S.Core.FileList().at(i); }
    void ExpectIdle() {
        for (TCommand c : {TCommand::FileOpen, TCommand::FolderOpen, TCommand::DoOperation, TCommand::ListClear,
                           TCommand::Option})
            EXPECT_TRUE(S.View.IsEnabled(c));
        EXPECT_FALSE(S.View.IsEnabled(TCommand::StopOperation));
        EXPECT_FALSE(S.View.ProgressVisible);
        EXPECT_TRUE(S.View.DropAccepted);
        EXPECT_FALSE(S.Core.RunInProgress());
    }
};

TEST_F(RunTest, SourceFolderModeWritesBesideEachSourceAndSummarises) {
    Add({"one/a.jpg", "two/b.jpg"});
    S.View.VisibleRows = 1;
    bool checkedDuringRun = false;
    S.View.OnEvents = [&] {
        // While running only the stop command is available and the list is frozen.
        EXPECT_TRUE(S.View.IsEnabled(TCommand::StopOperation));
        EXPECT_FALSE(S.View.IsEnabled(TCommand::DoOperation));
        EXPECT_FALSE(S.View.IsEnabled(TCommand::ListClear));
        EXPECT_TRUE(S.View.ProgressVisible);
        EXPECT_FALSE(S.View.DropAccepted);
        S.Core.WMDropFiles({Tmp / "one/a.jpg"});
        S.Core.SelectAll();
        S.Core.mnu_ListClearClick();
        S.Core.mnu_DoOperationClick();
        EXPECT_FALSE(S.Core.PopupState().Remove);
        EXPECT_EQ(S.Core.FileList().size(), 2u);
        checkedDuringRun = true;
    };
    S.Core.mnu_DoOperationClick();
    ASSERT_TRUE(checkedDuringRun);
    std::int64_t before = 0, after = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string src = E(i).SourcePath;
        const std::string want = (fs::path(src).parent_path() / "result_lumaro" / fs::path(src).filename()).string();
        EXPECT_EQ(E(i).ResultPath, want);
        ASSERT_TRUE(fs::exists(want));
        EXPECT_EQ(E(i).SizeAfter, static_cast<std::int64_t>(fs::file_size(want)));
        EXPECT_LT(E(i).SizeAfter, E(i).SizeBefore);
        EXPECT_EQ(Pixels(want), Pixels(src));
        before += E(i).SizeBefore;
        after += E(i).SizeAfter;
    }
    EXPECT_EQ(S.View.Status, Summary(2, before, after));
    EXPECT_EQ(S.View.TopRows, (std::vector<int>{1, 2}));  // the current row is the last visible
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    EXPECT_TRUE(S.Core.Running());  // stays set after a normal end
    ExpectIdle();

    Add({"three/c.jpg"});
    S.Core.GridSelectCell({0, 3, 4, 3});
    TPopupState fresh = S.Core.PopupState();
    EXPECT_TRUE(fresh.ShowSource && fresh.Remove);
    EXPECT_FALSE(fresh.ShowResult);
    S.Core.GridSelectCell({0, 2, 4, 3});
    EXPECT_TRUE(S.Core.PopupState().ShowResult);
}

TEST_F(RunTest, PickedFolderModeAndItsCancel) {
    Add({"a.jpg", "b.jpg"});
    S.Settings.gSaveFolderMode = sfmAskEachTime;
    S.View.Status = "before";
    S.Dialogs.FolderAnswers.push_back(std::nullopt);
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(S.View.Status, "before");
    EXPECT_EQ(E(0).SizeAfter, -1);
    ExpectIdle();

    fs::create_directories(Tmp.Path() / "out");
    S.Dialogs.FolderAnswers.push_back(Tmp / "out/");  // a root-like folder keeps its one separator
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(E(1).ResultPath, Tmp / "out/result_lumaro/b.jpg");
    EXPECT_TRUE(fs::exists(Tmp / "out/result_lumaro/a.jpg"));
}

TEST_F(RunTest, FixedFolderModeUsesTheDesktopWhenEmptyAndSameNamesCollide) {
    Add({"x/a.jpg", "y/a.jpg"});
    S.Settings.gSaveFolderMode = sfmFixedFolder;
    S.Fs.Desktop = Tmp / "Desktop";
    fs::create_directories(S.Fs.Desktop);
    S.Core.mnu_DoOperationClick();
    const std::string out = Tmp / "Desktop/result_lumaro/a.jpg";
    EXPECT_EQ(E(0).ResultPath, out);
    EXPECT_EQ(E(1).ResultPath, out);
    EXPECT_EQ(fs::file_size(out), static_cast<std::uintmax_t>(E(1).SizeAfter));  // the later one

    S.Settings.gSaveFolder = Tmp / "fixed";
    fs::create_directories(S.Settings.gSaveFolder);
    S.Core.mnu_DoOperationClick();  // both processed: no confirmation
    EXPECT_EQ(E(0).ResultPath, Tmp / "fixed/result_lumaro/a.jpg");
}

TEST_F(RunTest, OverwriteModesReplaceTheSourceAndKeepBackups) {
    Add({"a.jpg", "a.jpeg", "c"});
    const auto a = ReadBytes(Tmp / "a.jpg"), aj = ReadBytes(Tmp / "a.jpeg"), c = ReadBytes(Tmp / "c");
    WriteBytes(Tmp / "a.bak", {'o', 'l', 'd'});  // from an earlier day: replaced
    const TFileTime old{978307200, 123456789};
    S.Fs.SetLastWriteTime(Tmp / "a.jpg", old);
    S.Settings.gSaveFolderMode = sfmOverwriteWithBak;
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(ReadBytes(Tmp / "a.bak"), a);
    EXPECT_EQ(MTime(Tmp / "a.bak"), old);
    // a.jpeg would share the name a.bak: its backup takes its full name instead.
    EXPECT_EQ(ReadBytes(Tmp / "a.jpeg.bak"), aj);
    EXPECT_EQ(ReadBytes(Tmp / "c.bak"), c);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(E(i).ResultPath, E(i).SourcePath);
        EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(E(i).SourcePath)), E(i).SizeAfter);
        EXPECT_LT(E(i).SizeAfter, E(i).SizeBefore);
    }
    EXPECT_EQ(Pixels(Tmp / "a.jpg"), Pixels(Tmp / "a.bak"));

    // Plain overwrite: no backup, the source shrinks once more only if it can.
    S.Settings.gSaveFolderMode = sfmOverwrite;
    fs::remove(Tmp / "c.bak");
    const auto shrunk = ReadBytes(Tmp / "c");
    S.Core.mnu_DoOperationClick();
    EXPECT_FALSE(fs::exists(Tmp / "c.bak"));
    EXPECT_LE(fs::file_size(Tmp / "c"), shrunk.size());
}

TEST_F(RunTest, SaveAsCaseWritesTheChosenPath) {
    Add({"a.jpg"});
    S.Settings.gKeepTimeStamp_Write = true;
    const TFileTime t{1000000000, 5};
    S.Fs.SetLastWriteTime(Tmp / "a.jpg", t);
    S.Dialogs.SaveAsAnswers.push_back(Tmp / "chosen.jpg");
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(S.Dialogs.SaveAsInitial, (std::vector<std::string>{Tmp / "a.jpg"}));
    EXPECT_EQ(E(0).ResultPath, Tmp / "chosen.jpg");
    EXPECT_EQ(MTime(Tmp / "chosen.jpg"), t);
    EXPECT_EQ(S.View.Status, OneFile());
    EXPECT_GE(S.Dialogs.FrontCalls, 1);

    // In the fixed-folder mode only the chosen name counts.
    S.Settings.gSaveFolderMode = sfmFixedFolder;
    S.Settings.gSaveFolder = Tmp / "fixed";
    fs::create_directories(S.Settings.gSaveFolder);
    S.Dialogs.SaveAsAnswers.push_back(Tmp / "elsewhere/named.jpg");
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(E(0).ResultPath, Tmp / "fixed/result_lumaro/named.jpg");

    S.Dialogs.SaveAsAnswers.push_back(std::nullopt);
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(E(0).ResultPath, Tmp / "fixed/result_lumaro/named.jpg");
    EXPECT_EQ(S.View.Status, Summary(0, 0, 0));
    ExpectIdle();
}

TEST_F(RunTest, ReprocessCheckAndItsAnswers) {
    Add({"a.jpg"});
    S.Settings.gUseSaveAs = false;
    S.Core.mnu_DoOperationClick();  // one processed entry: no question
    EXPECT_EQ(S.Dialogs.WarningShown, 0);
    EXPECT_EQ(S.View.Status, OneFile());
    Add({"b.jpg", "c.jpg"}, 3);  // [processed, new, new]

    // "Only the unprocessed": a.jpg's result is not written again.
    fs::remove(Tmp / "result_lumaro/a.jpg");
    S.Dialogs.WarningAnswers = {TWarningButton::Yes};
    S.Core.mnu_DoOperationClick();
    EXPECT_FALSE(fs::exists(Tmp / "result_lumaro/a.jpg"));
    EXPECT_NE(E(0).SizeAfter, -1);
    EXPECT_TRUE(fs::exists(Tmp / "result_lumaro/c.jpg"));
    EXPECT_EQ(S.View.Status, Summary(2, E(1).SizeBefore + E(2).SizeBefore, E(1).SizeAfter + E(2).SizeAfter));

    // [processed, processed, new]: the answer is remembered when the dialog is
    // closed without a button; "cancel" touches nothing.
    Add({"d.jpg"}, 5);
    S.Dialogs.WarningAnswers = {TWarningButton::Cancel};
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(E(3).SizeAfter, -1);
    EXPECT_EQ(S.View.Status, std::to_string(4) + kListStatusSuffix);
    S.Dialogs.WarningAnswers = {TWarningButton::Closed};
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(E(3).SizeAfter, -1);
    EXPECT_EQ(S.Core.Warning.Answer, waCancel);

    // "All files": everything is written again.
    S.Dialogs.WarningAnswers = {TWarningButton::No};
    S.Core.mnu_DoOperationClick();
    EXPECT_TRUE(fs::exists(Tmp / "result_lumaro/a.jpg"));
    EXPECT_NE(E(3).SizeAfter, -1);
    EXPECT_EQ(S.Dialogs.WarningShown, 4);
}

TEST_F(RunTest, ReprocessCheckLooksOnlyAtFirstAndLast) {
    std::vector<TFileEntry> list(3);
    list[0].SizeAfter = 10;
    list[2].SizeAfter = 10;
    EXPECT_FALSE(TWarning::NeedsConfirmation(list));  // [p, u, p]
    list[0].SizeAfter = -1;
    EXPECT_FALSE(TWarning::NeedsConfirmation(list));  // [u, u, p]
    list[0].SizeAfter = 10;
    list[2].SizeAfter = -1;
    EXPECT_TRUE(TWarning::NeedsConfirmation(list));
    list.resize(1);
    EXPECT_FALSE(TWarning::NeedsConfirmation(list));

    TWarning w;  // first showing closed without a button: process all
    TScriptedDialogs d;
    d.WarningAnswers = {TWarningButton::Closed, TWarningButton::Yes, TWarningButton::Closed};
    EXPECT_EQ(w.Ask(d), waAll);
    EXPECT_EQ(w.Answer, 0);
    EXPECT_EQ(w.Ask(d), waOnlyNew);
    EXPECT_EQ(w.Ask(d), waOnlyNew);
}

TEST_F(RunTest, ResultIsNeverLargerThanItsSource) {
    Add({"a.jpg"});
    WriteBytes(Tmp / "opt.jpg", SampleJpeg(4, true));
    S.Core.WMDropFiles({Tmp / "opt.jpg"});
    S.Settings.gOptimize_Code = false;  // the engine copies the scan: a tie
    S.Core.mnu_DoOperationClick();
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(E(i).SizeAfter, E(i).SizeBefore);
        EXPECT_EQ(ReadBytes(E(i).ResultPath), ReadBytes(E(i).SourcePath));
    }
}

TEST_F(RunTest, EngineFailureStopsTheRunUnlessSourcesAreCopied) {
    Add({"a.jpg"});
    auto bad = SampleJpeg(1);
    bad.resize(bad.size() / 2);  // the signature survives, the scan does not
    WriteBytes(Tmp / "bad.jpg", bad);
    S.Core.WMDropFiles({Tmp / "bad.jpg"});
    Add({"c.jpg"}, 2);
    ASSERT_EQ(E(1).SourcePath, Tmp / "bad.jpg");

    S.Core.mnu_DoOperationClick();
    auto texts = S.Dialogs.MessageTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("\r処理を行うことが出来ません。"), std::string::npos);
    EXPECT_EQ(S.Dialogs.Messages[0].Buttons, TMsgButtons::Yes);
    EXPECT_EQ(texts[1], kStopped);
    EXPECT_NE(E(0).SizeAfter, -1);
    EXPECT_EQ(E(1).SizeAfter, -1);
    EXPECT_EQ(E(2).SizeAfter, -1);  // after the end of the run
    EXPECT_EQ(S.View.Status, OneFile());
    ExpectIdle();

    S.Dialogs.Messages.clear();
    S.Settings.gCopyOriginal = true;
    S.Dialogs.WarningAnswers = {TWarningButton::No};
    S.Core.mnu_DoOperationClick();
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    EXPECT_EQ(ReadBytes(E(1).ResultPath), bad);
    EXPECT_EQ(E(1).SizeAfter, static_cast<std::int64_t>(bad.size()));
    EXPECT_NE(E(2).SizeAfter, -1);
    EXPECT_EQ(S.View.Status.rfind("3個のファイルを処理しました。", 0), 0u);
}

TEST_F(RunTest, StopDuringTheSecondFileLeavesItUntouched) {
    Add({"a.jpg", "b.jpg", "c.jpg"});
    S.Settings.gSaveFolderMode = sfmOverwrite;
    const auto b = ReadBytes(Tmp / "b.jpg");
    S.View.OnEvents = [&] {
        if (E(0).SizeAfter != -1) S.Core.mnu_StopOperationClick();
    };
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(S.Dialogs.MessageTexts(), (std::vector<std::string>{kStopped}));
    EXPECT_EQ(ReadBytes(Tmp / "b.jpg"), b);
    EXPECT_EQ(E(1).SizeAfter, -1);
    EXPECT_TRUE(E(1).ResultPath.empty());
    EXPECT_EQ(E(2).SizeAfter, -1);
    EXPECT_EQ(S.View.Status, Summary(1, E(0).SizeBefore, E(0).SizeAfter));
    EXPECT_FALSE(S.Core.Running());
    ExpectIdle();
}

TEST_F(RunTest, StopDuringTheOnlyFileWithCopiedSourcesWritesNothing) {
    Add({"a.jpg"});
    S.Settings.gUseSaveAs = false;
    S.Settings.gCopyOriginal = true;
    S.View.OnEvents = [&] { S.Core.FormCloseQuery(); };
    S.Core.mnu_DoOperationClick();
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    EXPECT_FALSE(fs::exists(Tmp / "result_lumaro/a.jpg"));
    EXPECT_EQ(S.View.Status, Summary(0, 0, 0));
    EXPECT_GT(S.View.ProgressMax, 0);
}

TEST_F(RunTest, LastWriteTimeIsCopiedOnlyWhenAsked) {
    Add({"a.jpg", "b.jpg"});
    const TFileTime t{1234567890, 987654321};
    S.Fs.SetLastWriteTime(Tmp / "a.jpg", t);
    S.Fs.SetLastWriteTime(Tmp / "b.jpg", t);
    S.Settings.gKeepTimeStamp_Create = true;  // cannot be set on Linux: must do no harm
    S.Core.mnu_DoOperationClick();
    EXPECT_NE(MTime(E(0).ResultPath), t);
    S.Settings.gKeepTimeStamp_Write = true;
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(MTime(E(0).ResultPath), t);
    EXPECT_EQ(MTime(E(1).ResultPath), t);
}

TEST_F(RunTest, TargetThatCannotBeCreated) {
    Add({"a.jpg", "b.jpg"});
    S.Settings.gSaveFolderMode = sfmFixedFolder;
    S.Settings.gSaveFolder = Tmp / "gone/away";  // its parent does not exist either
    S.Core.mnu_DoOperationClick();
    EXPECT_EQ(S.Dialogs.MessageTexts(), (std::vector<std::string>{kSaveFailed}));
    EXPECT_EQ(E(0).SizeAfter, -1);
    EXPECT_EQ(E(1).SizeAfter, -1);
    EXPECT_EQ(S.View.Status, Summary(0, 0, 0));

    // With copied sources: silent, the run goes on, and a file that was not
    // written is neither counted nor summed.
    S.Dialogs.Messages.clear();
    S.Settings.gCopyOriginal = true;
    S.Core.mnu_DoOperationClick();
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    EXPECT_EQ(S.View.Status, Summary(0, 0, 0));
    ExpectIdle();
}

TEST_F(RunTest, CommandLineAddsFilesAndRuns) {
    PutJpeg(Tmp / "a.jpg");
    PutJpeg(Tmp / "b.jpg", 1);
    S.Core.TimerTimer({Tmp / "a.jpg", Tmp / "b.jpg"});
    EXPECT_NE(E(1).SizeAfter, -1);
    EXPECT_EQ(S.View.Status.rfind("2個のファイルを処理しました。", 0), 0u);
    S.Core.TimerTimer({});
    EXPECT_EQ(S.Core.FileList().size(), 2u);
}

} // namespace
} // namespace lumaro::test
