// How files enter and leave the list: duplicate and signature tests, the
// three ways of reporting non-JPEG files, folder search, removal with the
// selection that follows it, and the command states.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace lumaro::test {
namespace {

const std::string kNoJpeg = "このフォルダにはJPEGファイルがありません。";

std::string ListStatus(int n) { return std::to_string(n) + kListStatusSuffix; }

std::vector<std::string> Sources(const TBatchCore& core) {
    std::vector<std::string> s;
    for (const auto& e : core.FileList()) s.push_back(e.SourcePath);
    return s;
}

class CollectionTest : public ::testing::Test {
protected:
    TTempFolder Tmp;
    TSession S;
    std::string NotJpeg(const std::string& rel) {
        WriteBytes(Tmp / rel, {'G', 'I', 'F', '8', '9', 'a'});
        return Tmp / rel;
    }
};

TEST_F(CollectionTest, DuplicatesAreSkippedButAnotherLetterCaseIsAnotherEntry) {
    auto bytes = PutJpeg(Tmp / "a.jpg");
    PutJpeg(Tmp / "A.jpg");
    S.Dialogs.OpenAnswers.push_back(std::vector<std::string>{Tmp / "a.jpg", Tmp / "a.jpg", Tmp / "A.jpg"});
    S.Core.mnu_FileOpenClick();
    ASSERT_EQ(Sources(S.Core), (std::vector<std::string>{Tmp / "a.jpg", Tmp / "A.jpg"}));
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    const TFileEntry& e = S.Core.FileList()[0];
    EXPECT_EQ(e.SizeBefore, static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(e.SizeAfter, -1);
    EXPECT_TRUE(e.ResultPath.empty());
    EXPECT_EQ(S.View.RowCount, 3);
    EXPECT_TRUE(S.View.GridVisible);
    EXPECT_EQ(S.View.Status, ListStatus(2));
    EXPECT_EQ(S.View.FittedNames, (std::vector<std::string>{"a.jpg", "A.jpg"}));
}

TEST_F(CollectionTest, NonJpegFilesAreReportedByDialogOnceByDropAndNeverByFolder) {
    std::vector<std::string> bad = {NotJpeg("d/x.jpg"), NotJpeg("d/y.jpg"), NotJpeg("d/z.jpg")};
    S.Dialogs.OpenAnswers.push_back(bad);
    S.Core.mnu_FileOpenClick();
    ASSERT_EQ(S.Dialogs.Messages.size(), 3u);
    EXPECT_EQ(S.Dialogs.Messages[1].Text, bad[1] + "はJPEGファイルではないようです。");
    EXPECT_EQ(S.Dialogs.Messages[1].Title, "エラー");
    EXPECT_EQ(S.Dialogs.FrontCalls, 3);

    S.Dialogs.Messages.clear();
    S.Core.WMDropFiles(bad);
    ASSERT_EQ(S.Dialogs.MessageTexts(), (std::vector<std::string>{bad[0] + "はJPEGファイルではないようです。"}));
    EXPECT_EQ(S.Core.AddSource, asSilent);

    // A matching name was found, so the folder command shows nothing at all.
    S.Dialogs.Messages.clear();
    S.Dialogs.FolderAnswers.push_back(Tmp / "d");
    S.Core.mnu_FolderOpenClick();
    EXPECT_TRUE(S.Dialogs.Messages.empty());
    EXPECT_TRUE(S.Core.FileList().empty());
    EXPECT_FALSE(S.View.GridVisible);
    EXPECT_EQ(S.View.Status, ListStatus(0));
}

TEST_F(CollectionTest, CancelledDialogsStillWriteTheStatusLine) {
    S.Dialogs.OpenAnswers.push_back(std::nullopt);
    S.Core.mnu_FileOpenClick();
    EXPECT_EQ(S.View.Status, ListStatus(0));
    S.View.Status.clear();
    S.Dialogs.FolderAnswers.push_back(std::nullopt);
    S.Core.mnu_FolderOpenClick();
    EXPECT_EQ(S.View.Status, ListStatus(0));
    EXPECT_TRUE(S.Dialogs.Messages.empty());
}

TEST_F(CollectionTest, FolderSearchOrderHiddenEntriesAndLetterCase) {
    PutJpeg(Tmp / "r/b.jpg");
    PutJpeg(Tmp / "r/A.JPG");
    PutJpeg(Tmp / "r/.hidden.jpg");
    PutJpeg(Tmp / "r/x.jpeg");  // does not match "*.jpg"
    PutJpeg(Tmp / "r/sub1/c.jpg");
    PutJpeg(Tmp / "r/sub1/deep/d.jpg");
    PutJpeg(Tmp / "r/Sub2/e.jpg");
    PutJpeg(Tmp / "r/.hid/f.jpg");
    fs::create_symlink(Tmp.Path() / "r", Tmp.Path() / "r/sub1/loop");  // must not search forever

    S.Dialogs.FolderAnswers.push_back(Tmp / "r");
    S.Core.mnu_FolderOpenClick();
    EXPECT_EQ(Sources(S.Core), (std::vector<std::string>{Tmp / "r/A.JPG", Tmp / "r/b.jpg"}));

    // Own files first, then each sub-folder depth first, also when the folder
    // itself already held files.
    S.Settings.gSeekSubFolder = true;
    S.Dialogs.FolderAnswers.push_back(Tmp / "r");
    S.Core.mnu_FolderOpenClick();
    EXPECT_EQ(Sources(S.Core), (std::vector<std::string>{Tmp / "r/A.JPG", Tmp / "r/b.jpg", Tmp / "r/sub1/c.jpg",
                                                         Tmp / "r/sub1/deep/d.jpg", Tmp / "r/Sub2/e.jpg"}));
    EXPECT_TRUE(S.Dialogs.Messages.empty());
}

TEST_F(CollectionTest, FolderWithoutMatchingFilesIsReported) {
    PutJpeg(Tmp / "only-sub/inner/a.jpg");
    S.Dialogs.FolderAnswers.push_back(Tmp / "only-sub");
    S.Core.mnu_FolderOpenClick();
    ASSERT_EQ(S.Dialogs.Messages.size(), 1u);
    EXPECT_EQ(S.Dialogs.Messages[0].Text, kNoJpeg);
    EXPECT_EQ(S.Dialogs.Messages[0].Title, "ファイルがありません");
    EXPECT_EQ(S.Dialogs.Messages[0].Icon, TMsgIcon::Error);

    S.Settings.gSeekSubFolder = true;
    S.Dialogs.FolderAnswers.push_back(Tmp / "only-sub");
    S.Core.mnu_FolderOpenClick();
    EXPECT_EQ(S.Dialogs.Messages.size(), 1u);
    EXPECT_EQ(S.Core.FileList().size(), 1u);
}

TEST_F(CollectionTest, UnreadableSignatureEndsTheCommandButKeepsWhatWasAdded) {
    PutJpeg(Tmp / "a.jpg");
    WriteBytes(Tmp / "short.jpg", {0xFF, 0xD8});
    PutJpeg(Tmp / "c.jpg");
    S.Settings.gGoOperationByDrop = true;
    S.Core.WMDropFiles({Tmp / "a.jpg", Tmp / "short.jpg", Tmp / "c.jpg"});
    EXPECT_EQ(Sources(S.Core), (std::vector<std::string>{Tmp / "a.jpg"}));
    ASSERT_EQ(S.Dialogs.Messages.size(), 1u);
    EXPECT_NE(S.Dialogs.Messages[0].Text.find(Tmp / "short.jpg"), std::string::npos);
    EXPECT_EQ(S.Dialogs.Messages[0].Icon, TMsgIcon::Error);
    // No run was started, and the status line matches the list.
    EXPECT_EQ(S.Core.FileList()[0].SizeAfter, -1);
    EXPECT_FALSE(fs::exists(Tmp / "result_lumaro"));
    EXPECT_EQ(S.View.Status, ListStatus(1));

    // A folder named on the command line is read as a file and fails the same way.
    S.Dialogs.Messages.clear();
    S.Core.TimerTimer({Tmp / "c.jpg", Tmp.Path().string()});
    EXPECT_EQ(S.Core.FileList().size(), 2u);
    EXPECT_EQ(S.Dialogs.Messages.size(), 1u);
    EXPECT_FALSE(fs::exists(Tmp / "result_lumaro"));
}

TEST_F(CollectionTest, RemovalSelectsTheFollowingOrTheNewLastRow) {
    for (char c = 'a'; c <= 'e'; ++c) PutJpeg(Tmp / (std::string(1, c) + ".jpg"));
    std::vector<std::string> all;
    for (char c = 'a'; c <= 'e'; ++c) all.push_back(Tmp / (std::string(1, c) + ".jpg"));
    S.Core.WMDropFiles(all);
    EXPECT_FALSE(S.View.IsEnabled(TCommand::ListClear));  // five entries, nothing selected

    S.Core.GridSelectCell({0, 2, 4, 3});  // b, c
    EXPECT_TRUE(S.View.IsEnabled(TCommand::ListClear));
    S.Core.mnu_ListClearClick();
    EXPECT_EQ(Sources(S.Core), (std::vector<std::string>{all[0], all[3], all[4]}));
    EXPECT_EQ(S.View.Selection, (TGridSelection{0, 2, 4, 2}));  // d followed the block
    EXPECT_EQ(S.View.RowCount, 4);
    EXPECT_EQ(S.View.Status, ListStatus(3));

    S.Core.GridSelectCell({0, 3, 4, 3});  // e, the last
    S.Core.mnu_ListClearClick();
    EXPECT_EQ(S.View.Selection, (TGridSelection{0, 2, 4, 2}));  // the new last row

    S.Core.GridSelectCell({0, 0, 0, 0});
    EXPECT_FALSE(S.View.IsEnabled(TCommand::ListClear));
    S.Core.SelectAll();
    EXPECT_TRUE(S.View.IsEnabled(TCommand::ListClear));
    S.Core.mnu_ListClearClick();
    EXPECT_TRUE(S.Core.FileList().empty());
    EXPECT_FALSE(S.View.GridVisible);
    EXPECT_FALSE(S.View.IsEnabled(TCommand::DoOperation));
    EXPECT_FALSE(S.View.IsEnabled(TCommand::ListClear));
    EXPECT_EQ(S.View.Selection, TGridSelection{});
}

TEST_F(CollectionTest, SingleEntryIsRemovableWithoutSelection) {
    PutJpeg(Tmp / "a.jpg");
    S.Core.WMDropFiles({Tmp / "a.jpg"});
    EXPECT_TRUE(S.View.IsEnabled(TCommand::DoOperation));
    EXPECT_TRUE(S.View.IsEnabled(TCommand::ListClear));
    TPopupState none = S.Core.PopupState();
    EXPECT_FALSE(none.ShowSource || none.ShowResult || none.Remove);
    S.Core.mnu_ListClearClick();
    EXPECT_TRUE(S.Core.FileList().empty());
}

TEST_F(CollectionTest, DropWithGoOperationReplacesTheListAndRuns) {
    PutJpeg(Tmp / "a.jpg");
    S.Core.WMDropFiles({Tmp / "a.jpg"});
    S.Settings.gGoOperationByDrop = true;
    S.View.DropChanges.clear();
    std::string bad1 = NotJpeg("x.jpg"), bad2 = NotJpeg("y.jpg");
    S.Core.WMDropFiles({bad1, bad2});
    EXPECT_TRUE(S.Core.FileList().empty());
    EXPECT_EQ(S.Dialogs.MessageTexts(), (std::vector<std::string>{bad1 + "はJPEGファイルではないようです。"}));
    // The run on the empty list only switched drops off and on again.
    EXPECT_EQ(S.View.DropChanges, (std::vector<bool>{false, true}));
    EXPECT_EQ(S.View.Status, ListStatus(0));
}

} // namespace
} // namespace lumaro::test
