// The main window driven as a user would, over a scripted platform and real
// files in a temporary folder.
#include <filesystem>

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QFontInfo>
#include <QImage>
#include <QMenu>
#include <QPushButton>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "DisplayText.h"
#include "FileGrid.h"
#include "HelpDialog.h"
#include "OptionsDialog.h"
#include "QtPlatform.h"
#include "UiTestSupport.h"
#include "WarningDialog.h"

using namespace lumaro;
using namespace lumaro::uitest;
namespace fs = std::filesystem;

namespace {
const QString kListStatus = QStringLiteral("個のファイルが処理の対象となっています。ダブルクリックすると画像を表示します。");
const char* const kSamples[] = {"rose-420.jpg", "granite-exif.jpg", "wizard-444.jpg", "plasma-restart.jpg"};

QColor TextColour(QLabel* l) { return l->palette().color(QPalette::WindowText); }

// Presses a button of a modal dialog as soon as that dialog is up.
void PressWhenShown(QWidget* dialog, QAbstractButton* button) {
    QTimer::singleShot(0, dialog, [dialog, button] {
        if (dialog->isVisible()) button->click();
        else PressWhenShown(dialog, button);
    });
}
void CloseWhenShown(QWidget* dialog) {
    QTimer::singleShot(0, dialog, [dialog] {
        if (dialog->isVisible()) dialog->close();
        else CloseWhenShown(dialog);
    });
}

std::vector<std::string> Samples(TRig& rig, int n, const std::string& folder = "") {
    std::vector<std::string> paths;
    for (int i = 0; i < n; ++i) paths.push_back(rig.Sample(kSamples[i], folder + kSamples[i]));
    return paths;
}
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void startUpState();
    void addingThroughOpenDialogAndFolder();
    void dropOfFilesAndFolders();
    void dropWithImmediateRun();
    void commandLineRunsAfterStart();
    void removalAndSelection();
    void ctrlASelectsEveryRow();
    void runInEachDestinationMode_data();
    void runInEachDestinationMode();
    void reprocessDialogAnswers();
    void saveAsForASingleFile();
    void stopKeepsTheFileInHand();
    void largeFileKeepsTheWindowResponsive();
    void closeDuringARun();
    void optionsRoundTripRecoloursIndicators();
    void rightClickAndPopupEnabling();
    void doubleClickOpensNewestVersions();
    void helpTopicAndAbout();
    void settingsSurviveARestart();
    void failedLoadStillStarts();
    void storedPlaceOffEveryScreen();
};

void MainWindowTest::startUpState() {
    TRig rig;
    auto& w = rig.Open();
    QCOMPARE(w.frameGeometry(), QRect(231, 172, 696, 480));
    QVERIFY(w.Grid->isHidden());
    // The empty list asks for a drop, in grey, right below the tool bar.
    QWidget* area = w.findChild<QWidget*>(QStringLiteral("ListArea"));
    QVERIFY(area);
    QCOMPARE(area->mapTo(&w, QPoint(0, 0)).y(), w.Panel->mapTo(&w, QPoint(0, 0)).y() + 32);
    const QImage face = area->grab().toImage();
    int grey = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 200; ++x) grey += face.pixelColor(x, y) == QColor(128, 128, 128);
    QVERIFY(grey > 20);
    QVERIFY(w.StatusBar->isVisible());
    QVERIFY(w.ProgressBar->isHidden());
    // Commands: a tool button follows its menu item's state.
    QVERIFY(w.sbn_FileOpen->isEnabled() && w.sbn_FolderOpen->isEnabled() && w.sbn_Option->isEnabled());
    QVERIFY(!w.sbn_DoOperation->isEnabled() && !w.sbn_StopOperation->isEnabled() && !w.sbn_ListClear->isEnabled());
    QVERIFY(!w.mnu_DoOperation->isEnabled() && !w.mnu_ListClear->isEnabled());
    QCOMPARE(w.sbn_ListClear->toolTip(), QStringLiteral("選択したリストの削除"));
    for (QToolButton* b : {w.sbn_FileOpen, w.sbn_FolderOpen, w.sbn_DoOperation, w.sbn_StopOperation, w.sbn_ListClear, w.sbn_Option})
        QVERIFY(!b->icon().isNull());
    // Default options: optimisation on (black), Exif removal off (grey).
    QCOMPARE(TextColour(w.Pnl_Code), QColor(0, 0, 0));
    QCOMPARE(TextColour(w.Pnl_Exif), QColor(128, 128, 128));
    QVERIFY(w.DropAccepted());
    // The grid font resolves to a font that has Japanese glyphs.
    QVERIFY(QFontMetrics(w.Grid->font()).inFont(QChar(0x51E6)));
    QCOMPARE(QFontInfo(w.Grid->font()).family(), QStringLiteral("IPAPGothic"));
}

void MainWindowTest::addingThroughOpenDialogAndFolder() {
    TRig rig;
    auto& w = rig.Open();
    const auto paths = Samples(rig, 2);
    const std::string text = rig.Text("note.jpg");
    rig.Add({paths[0], text, paths[1], paths[0]});  // a non-JPEG and a duplicate
    QCOMPARE(rig.List().size(), std::size_t(2));
    QCOMPARE(rig.Dialogs.Messages.size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(rig.Dialogs.Messages[0].Text), QString::fromStdString(text) + QStringLiteral("はJPEGファイルではないようです。"));
    QCOMPARE(rig.Dialogs.Messages[0].Title, std::string("エラー"));
    QVERIFY(!w.Grid->isHidden());
    QCOMPARE(w.GridModel->rowCount(), 2);
    QCOMPARE(w.StatusBar->text(), QStringLiteral("2") + kListStatus);
    QVERIFY(w.mnu_DoOperation->isEnabled());

    // The cells: number, name, size with separators, "未処理" on the left, folder.
    QCOMPARE(CellText(w, 2, 0), QStringLiteral("2"));
    QCOMPARE(CellText(w, 1, 1), QStringLiteral("rose-420.jpg"));
    QCOMPARE(CellText(w, 1, 2), QStringLiteral("7,440"));
    QCOMPARE(ColumnAlignment(w, 1, 2), int(Qt::AlignRight));
    QCOMPARE(CellText(w, 1, 3), QStringLiteral("未処理"));
    QCOMPARE(ColumnAlignment(w, 1, 3), int(Qt::AlignLeft));
    QCOMPARE(CellText(w, 1, 4), rig.Dir.path());
    // The full-path column takes the rest of the width, at least 128 pixels.
    int rest = w.Grid->viewport()->width() - 5;
    for (int c = 0; c < 4; ++c) rest -= w.Grid->columnWidth(c);
    QCOMPARE(w.Grid->columnWidth(4), std::max(128, rest));
    w.resize(300, 400);
    QTRY_COMPARE(w.Grid->columnWidth(4), 128);

    // A folder: its JPEG files are added; a folder without any gives a box.
    Samples(rig, 3, "sub/");
    rig.Dialogs.FolderAnswers.push_back(rig.Path("sub"));
    w.mnu_FolderOpen->trigger();
    QCOMPARE(rig.List().size(), std::size_t(5));
    fs::create_directories(rig.Path("empty"));
    rig.Dialogs.FolderAnswers.push_back(rig.Path("empty"));
    w.mnu_FolderOpen->trigger();
    QCOMPARE(rig.Dialogs.Messages.back().Text, std::string("このフォルダにはJPEGファイルがありません。"));
    QCOMPARE(rig.Dialogs.Messages.back().Title, std::string("ファイルがありません"));
    // A cancelled dialog still writes the status line.
    w.StatusBar->clear();
    w.mnu_FileOpen->trigger();
    QCOMPARE(w.StatusBar->text(), QStringLiteral("5") + kListStatus);
}

void MainWindowTest::dropOfFilesAndFolders() {
    TRig rig;
    auto& w = rig.Open();
    const auto loose = Samples(rig, 1);
    Samples(rig, 2, "dropped/");
    rig.Text("a.txt.jpg");
    rig.Text("b.txt.jpg");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(loose[0])), QUrl::fromLocalFile(QString::fromStdString(rig.Path("a.txt.jpg"))),
                  QUrl::fromLocalFile(QString::fromStdString(rig.Path("b.txt.jpg"))), QUrl::fromLocalFile(QString::fromStdString(rig.Path("dropped")))});
    const QPoint at = w.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &drop);
    QVERIFY(drop.isAccepted());
    QTRY_COMPARE(rig.List().size(), std::size_t(3));
    QVERIFY(!w.Grid->isHidden());
    QCOMPARE(rig.List()[1].SourcePath, rig.Path("dropped/granite-exif.jpg"));  // listed by name
    QCOMPARE(rig.List()[2].SourcePath, rig.Path("dropped/rose-420.jpg"));
    // Only the first non-JPEG of a drop is reported.
    QCOMPARE(rig.Dialogs.Messages.size(), std::size_t(1));
    QCOMPARE(w.StatusBar->text(), QStringLiteral("3") + kListStatus);
    QVERIFY(!fs::exists(rig.Path("result_lumaro")));  // no run without the option

    // Drops are refused while they are switched off (as during a run).
    w.SetDropAccepted(false);
    QDragEnterEvent refused(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &refused);
    QVERIFY(!refused.isAccepted());
}

void MainWindowTest::dropWithImmediateRun() {
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gGoOperationByDrop = true;
    w.Settings.gUseSaveAs = false;
    const auto first = Samples(rig, 1, "old/");
    rig.Add(first);
    const auto paths = Samples(rig, 2, "new/");
    w.DropPaths(paths);
    // The drop replaced the list and ran at once.
    QCOMPARE(rig.List().size(), std::size_t(2));
    QCOMPARE(rig.List()[0].SourcePath, paths[0]);
    QVERIFY(fs::exists(rig.Path("new/result_lumaro/rose-420.jpg")));
    QVERIFY(fs::exists(rig.Path("new/result_lumaro/granite-exif.jpg")));
    QVERIFY(w.StatusBar->text().startsWith(QStringLiteral("2個のファイルを処理しました。")));
}

void MainWindowTest::commandLineRunsAfterStart() {
    TRig rig;
    const auto paths = Samples(rig, 2);
    ui::TFm_Main w(rig.Services(paths));
    rig.Current = &w;
    w.show();
    // The window comes up first; the arguments wait for the start-up timer.
    QVERIFY(rig.List().empty());
    QVERIFY(w.Timer->isActive());
    QCOMPARE(w.Timer->interval(), 100);
    QTRY_COMPARE_WITH_TIMEOUT(rig.List().size(), std::size_t(2), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(w.StatusBar->text().contains(QStringLiteral("個のファイルを処理しました。")), 20000);
    for (const auto& p : paths) {
        const std::string result = rig.Path("result_lumaro/" + fs::path(p).filename().string());
        QVERIFY(fs::exists(result));
        QVERIFY(fs::file_size(result) <= fs::file_size(p));
        QVERIFY(SamePixels(p, result));
    }
    QCOMPARE(CellText(w, 1, 3), ui::FormatSize(rig.List()[0].SizeAfter));
    QVERIFY(!w.Timer->isActive());
    w.close();
}

void MainWindowTest::removalAndSelection() {
    TRig rig;
    auto& w = rig.Open();
    // One entry and no row selected: remove is on and removes it.
    rig.Add(Samples(rig, 1));
    QVERIFY(w.mnu_ListClear->isEnabled());
    w.sbn_ListClear->click();
    QVERIFY(rig.List().empty());
    QVERIFY(w.Grid->isHidden());
    QVERIFY(!w.mnu_DoOperation->isEnabled() && !w.mnu_ListClear->isEnabled());

    rig.Add(Samples(rig, 4));
    QVERIFY(!w.mnu_ListClear->isEnabled());  // four entries, nothing selected
    QTest::mouseClick(w.Grid->viewport(), Qt::LeftButton, {}, RowPoint(w, 2));
    QVERIFY(w.mnu_ListClear->isEnabled());
    QTest::mouseClick(w.Grid->viewport(), Qt::LeftButton, Qt::ShiftModifier, RowPoint(w, 3));
    QCOMPARE(w.Core().Selection().Top, 2);
    QCOMPARE(w.Core().Selection().Bottom, 3);
    w.mnu_ListClear->trigger();
    QCOMPARE(rig.List().size(), std::size_t(2));
    QCOMPARE(rig.List()[1].SourcePath, rig.Path(kSamples[3]));
    // The row that followed the removed block is selected, in the view too.
    QCOMPARE(w.Core().Selection().Top, 2);
    QCOMPARE(w.CurrentSelection().Top, 2);
    QCOMPARE(w.CurrentSelection().Bottom, 2);
    // Removing the last row selects the new last row.
    w.mnu_ListClear->trigger();
    QCOMPARE(rig.List().size(), std::size_t(1));
    QCOMPARE(w.CurrentSelection().Top, 1);
    QCOMPARE(w.StatusBar->text(), QStringLiteral("1") + kListStatus);
    // A press below the last row keeps the selection.
    QTest::mouseClick(w.Grid->viewport(), Qt::LeftButton, {}, QPoint(20, w.Grid->viewport()->height() - 5));
    QCOMPARE(w.CurrentSelection().Top, 1);
}

void MainWindowTest::ctrlASelectsEveryRow() {
    TRig rig;
    auto& w = rig.Open();
    QTest::keyClick(&w, Qt::Key_A, Qt::ControlModifier);  // empty list: nothing
    QCOMPARE(w.Core().Selection().Top, 0);
    rig.Add(Samples(rig, 3));
    QVERIFY(!w.mnu_ListClear->isEnabled());
    // The window sees the key whichever control has it (the tool bar
    // panel would do nothing with it on its own).
    QTest::keyClick(w.Panel, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(w.Core().Selection().Top, 1);
    QCOMPARE(w.Core().Selection().Bottom, 3);
    QCOMPARE(w.CurrentSelection().Bottom, 3);
    QVERIFY(w.mnu_ListClear->isEnabled());
    w.mnu_ListClear->trigger();
    QVERIFY(rig.List().empty());
}

void MainWindowTest::runInEachDestinationMode_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("beside the source") << int(sfmSourceFolder);
    QTest::newRow("picked folder") << int(sfmAskEachTime);
    QTest::newRow("fixed folder") << int(sfmFixedFolder);
    QTest::newRow("overwrite") << int(sfmOverwrite);
    QTest::newRow("overwrite with bak") << int(sfmOverwriteWithBak);
}

void MainWindowTest::runInEachDestinationMode() {
    QFETCH(int, mode);
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gSaveFolderMode = static_cast<std::uint8_t>(mode);
    w.Settings.gSaveFolder = rig.Path("fixed");
    fs::create_directories(rig.Path("fixed"));
    fs::create_directories(rig.Path("picked"));
    rig.Dialogs.FolderAnswers.push_back(rig.Path("picked"));
    const auto paths = Samples(rig, 3, "src/");
    std::vector<std::vector<std::uint8_t>> originals;
    for (const auto& p : paths) originals.push_back(ReadBytes(p));
    rig.Add(paths);
    const std::string keep = rig.Path("original.jpg");
    fs::copy_file(paths[0], keep);

    w.sbn_DoOperation->click();
    QVERIFY2(rig.Dialogs.Messages.empty(), rig.Dialogs.Messages.empty() ? "" : rig.Dialogs.Messages[0].Text.c_str());
    std::string folder;
    switch (mode) {
    case sfmSourceFolder: folder = rig.Path("src/result_lumaro/"); break;
    case sfmAskEachTime: folder = rig.Path("picked/result_lumaro/"); break;
    case sfmFixedFolder: folder = rig.Path("fixed/result_lumaro/"); break;
    default: folder = rig.Path("src/"); break;
    }
    std::int64_t before = 0, after = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const TFileEntry& e = rig.List()[i];
        const std::string result = folder + fs::path(paths[i]).filename().string();
        QCOMPARE(e.ResultPath, result);
        QCOMPARE(std::int64_t(fs::file_size(result)), e.SizeAfter);
        QVERIFY(e.SizeAfter <= e.SizeBefore);
        QCOMPARE(CellText(w, int(i) + 1, 3), ui::FormatSize(e.SizeAfter));
        before += e.SizeBefore;
        after += e.SizeAfter;
        if (mode == sfmOverwriteWithBak) {
            const std::string bak = rig.Path("src/" + fs::path(paths[i]).stem().string() + ".bak");
            QCOMPARE(ReadBytes(bak), originals[i]);
        }
    }
    QVERIFY(SamePixels(keep, folder + fs::path(paths[0]).filename().string()));
    QVERIFY(after < before);  // the samples carry generic tables
    const QString status = w.StatusBar->text();
    QVERIFY2(status.startsWith(QStringLiteral("3個のファイルを処理しました。(処理時間  ")), qPrintable(status));
    QVERIFY2(status.endsWith(QStringLiteral("ミリ秒)。合計%1byte→%2byte。ダブルクリックすると処理後の画像を表示します。").arg(before).arg(after)),
             qPrintable(status));
    // The window is idle again.
    QVERIFY(w.StatusBar->isVisible() && w.ProgressBar->isHidden());
    QVERIFY(w.mnu_DoOperation->isEnabled() && w.mnu_Option->isEnabled() && !w.mnu_StopOperation->isEnabled());
    QVERIFY(w.DropAccepted());
}

void MainWindowTest::reprocessDialogAnswers() {
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gUseSaveAs = false;
    ui::TQtDialogs real(&w, w.Fm_Warning);
    QAbstractButton* press = nullptr;
    rig.Dialogs.Warning = [&] {
        if (press) PressWhenShown(w.Fm_Warning, press);
        else CloseWhenShown(w.Fm_Warning);
        return real.ShowWarning();
    };
    // [processed, unprocessed]: the first processed alone, then a second file.
    const auto paths = Samples(rig, 2);
    rig.Add({paths[0]});
    w.mnu_DoOperation->trigger();  // single file, Save As off: written beside it
    QVERIFY(rig.List()[0].SizeAfter != -1);
    rig.Add({paths[1]});
    const std::string firstResult = rig.List()[0].ResultPath;
    fs::remove(firstResult);

    // "処理を中断する": nothing is touched, the list's status line is shown.
    press = w.Fm_Warning->Btn_Cancel;
    w.mnu_DoOperation->trigger();
    QCOMPARE(rig.Dialogs.WarningShown, 1);
    QCOMPARE(w.Fm_Warning->Answer, std::int16_t(2));
    QVERIFY(!fs::exists(firstResult));
    QCOMPARE(rig.List()[1].SizeAfter, std::int64_t(-1));
    QCOMPARE(w.StatusBar->text(), QStringLiteral("2") + kListStatus);

    // "処理していないファイルのみを処理": the processed entry is skipped.
    press = w.Fm_Warning->Btn_Yes;
    w.mnu_DoOperation->trigger();
    QCOMPARE(w.Fm_Warning->Answer, std::int16_t(6));
    QVERIFY(!fs::exists(firstResult));
    QVERIFY(rig.List()[1].SizeAfter != -1);
    QVERIFY(w.StatusBar->text().startsWith(QStringLiteral("処理時間  ")));  // one file processed

    // "すべてのファイルを処理": asked again only when the last entry is new.
    rig.Add({rig.Sample(kSamples[2])});
    press = w.Fm_Warning->Btn_No;
    w.mnu_DoOperation->trigger();
    QCOMPARE(rig.Dialogs.WarningShown, 3);
    QCOMPARE(w.Fm_Warning->Answer, std::int16_t(7));
    QVERIFY(fs::exists(firstResult));
    QVERIFY(w.StatusBar->text().startsWith(QStringLiteral("3個のファイルを処理しました。")));

    // Closing the dialog without a button repeats the last answer ("all").
    rig.Add({rig.Sample(kSamples[3])});
    fs::remove(firstResult);
    press = nullptr;
    w.mnu_DoOperation->trigger();
    QCOMPARE(rig.Dialogs.WarningShown, 4);
    QVERIFY(fs::exists(firstResult));
}

void MainWindowTest::saveAsForASingleFile() {
    TRig rig;
    auto& w = rig.Open();
    const auto paths = Samples(rig, 1);
    rig.Add(paths);
    const std::string chosen = rig.Path("chosen name.jpg");
    rig.Dialogs.SaveAsAnswers.push_back(chosen);
    bool runState = false;
    rig.Dialogs.DuringSaveAs = [&] {
        // While the run is in progress it owns the window's commands.
        runState = !w.DropAccepted() && w.ProgressBar->isVisible() && w.StatusBar->isHidden() &&
                   w.mnu_StopOperation->isEnabled() && !w.mnu_DoOperation->isEnabled() &&
                   !w.mnu_FileOpen->isEnabled() && !w.mnu_Option->isEnabled() && !w.sbn_ListClear->isEnabled();
        w.PopupMenuPopup();
        runState = runState && !w.mnu_DeleteList->isEnabled();
    };
    w.mnu_DoOperation->trigger();
    QVERIFY(runState);
    QCOMPARE(rig.Dialogs.SaveAsInitial, std::vector<std::string>{paths[0]});
    QVERIFY(fs::exists(chosen));
    QCOMPARE(rig.List()[0].ResultPath, chosen);
    QVERIFY(SamePixels(paths[0], chosen));
    QVERIFY(w.StatusBar->text().startsWith(QStringLiteral("処理時間  ")));

    // Cancelled: nothing written, a summary of no files.
    fs::remove(chosen);
    rig.Dialogs.DuringSaveAs = nullptr;
    w.mnu_DoOperation->trigger();
    QVERIFY(!fs::exists(chosen));
    QVERIFY(w.StatusBar->text().startsWith(QStringLiteral("0個のファイルを処理しました。")));
}

void MainWindowTest::stopKeepsTheFileInHand() {
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gSaveFolderMode = sfmOverwrite;
    const auto paths = Samples(rig, 3);
    const auto second = ReadBytes(paths[1]);
    rig.Add(paths);
    // The stop button is pressed while the second file is being read.
    rig.Fs.BeforeRead = [&](int read, const std::string&) {
        if (read == 1) {
            QVERIFY(w.sbn_StopOperation->isEnabled());
            w.sbn_StopOperation->click();
        }
    };
    w.mnu_DoOperation->trigger();
    QVERIFY(rig.List()[0].SizeAfter != -1);
    QCOMPARE(rig.List()[1].SizeAfter, std::int64_t(-1));
    QCOMPARE(rig.List()[2].SizeAfter, std::int64_t(-1));
    QCOMPARE(ReadBytes(paths[1]), second);  // the file in hand is untouched on disk
    QVERIFY(w.StatusBar->text().startsWith(QStringLiteral("1個のファイルを処理しました。")));
    QVERIFY(w.mnu_DoOperation->isEnabled() && !w.mnu_StopOperation->isEnabled());
}

void MainWindowTest::largeFileKeepsTheWindowResponsive() {
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gUseSaveAs = false;
    // A photo-sized picture of noise: a big scan for the engine.
    QImage img(2400, 1600, QImage::Format_RGB32);
    std::uint32_t seed = 12345;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            img.setPixel(x, y, (seed >> 8) | 0xff000000u);
        }
    const std::string big = rig.Path("big.jpg");
    QVERIFY(img.save(QString::fromStdString(big), "JPG", 92));
    rig.Add({big});
    // A zero timer that re-arms itself counts the event loop's turns.
    int turns = 0, stopAt = -1, furthest = 0;
    std::function<void()> tick = [&] {
        ++turns;
        furthest = std::max(furthest, w.ProgressBar->value());
        if (turns == stopAt) w.sbn_StopOperation->click();
        if (w.Core().RunInProgress()) QTimer::singleShot(0, &w, tick);
    };
    QTimer::singleShot(0, &w, tick);
    w.mnu_DoOperation->trigger();
    QVERIFY2(turns >= 20, qPrintable(QString::number(turns)));  // the window ran during the one file
    QVERIFY(furthest > 0 && furthest <= w.ProgressBar->maximum());  // and the bar moved
    QVERIFY(fs::exists(rig.Path("result_lumaro/big.jpg")));
    QVERIFY(SamePixels(big, rig.Path("result_lumaro/big.jpg")));

    // A stop in the middle of the file gives it up: nothing written.
    fs::remove_all(rig.Path("result_lumaro"));
    turns = 0;
    stopAt = 5;
    QTimer::singleShot(0, &w, tick);
    w.mnu_DoOperation->trigger();
    QVERIFY(!fs::exists(rig.Path("result_lumaro/big.jpg")));
    QCOMPARE(rig.Dialogs.Messages.back().Text, std::string("処理を中止しました。"));
    QVERIFY(w.mnu_DoOperation->isEnabled() && !w.mnu_StopOperation->isEnabled());
}

void MainWindowTest::closeDuringARun() {
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gSeekSubFolder = true;  // something to find in the store
    const auto paths = Samples(rig, 3);
    rig.Add(paths);
    rig.Fs.BeforeRead = [&](int read, const std::string&) {
        if (read == 1) w.mnu_Exit->trigger();
    };
    w.mnu_DoOperation->trigger();
    QVERIFY(!w.isVisible());
    QCOMPARE(rig.Store.Saves, 1);
    QVERIFY(rig.Store.Settings.gSeekSubFolder);
    QVERIFY(rig.List()[0].SizeAfter != -1);
    QCOMPARE(rig.List()[1].SizeAfter, std::int64_t(-1));
    QVERIFY(!fs::exists(rig.Path("result_lumaro/" + fs::path(paths[1]).filename().string())));
    QVERIFY(!fs::exists(rig.Path("result_lumaro/" + fs::path(paths[2]).filename().string())));
    w.close();  // a second close request saves nothing more
    QCOMPARE(rig.Store.Saves, 1);
}

void MainWindowTest::optionsRoundTripRecoloursIndicators() {
    TRig rig;
    auto& w = rig.Open();
    auto* o = w.Fm_Options;
    // OK after changes: the settings take them, the indicators follow.
    QTimer::singleShot(0, o, [o] {
        o->chk_gOptimize_Code->setChecked(false);
        o->Chk_gOptimize_Exif->setChecked(true);
        o->Rdo_SaveFolder->setCurrentIndex(sfmFixedFolder);
        o->Rdo_SaveFolderChange();
        o->Btn_Folder->click();
        o->chk_gSeekSubFolder->setChecked(true);
        o->Btn_OK->click();
    });
    fs::create_directories(rig.Path("out"));
    rig.Dialogs.FolderAnswers.push_back(rig.Path("out"));
    w.sbn_Option->click();
    QVERIFY(!w.Settings.gOptimize_Code);
    QVERIFY(w.Settings.gOptimize_Exif);
    QCOMPARE(int(w.Settings.gSaveFolderMode), int(sfmFixedFolder));
    QCOMPARE(w.Settings.gSaveFolder, rig.Path("out"));
    QVERIFY(w.Settings.gSeekSubFolder);
    QCOMPARE(TextColour(w.Pnl_Code), QColor(128, 128, 128));
    QCOMPARE(TextColour(w.Pnl_Exif), QColor(0, 0, 0));
    QCOMPARE(rig.Store.Saves, 0);  // the store is written only at close

    // Cancel after changes: nothing changes.
    QTimer::singleShot(0, o, [o] {
        o->Chk_gOptimize_Exif->setChecked(false);
        o->Btn_Cancel->click();
    });
    w.mnu_Option->trigger();
    QVERIFY(w.Settings.gOptimize_Exif);
    QCOMPARE(TextColour(w.Pnl_Exif), QColor(0, 0, 0));
}

void MainWindowTest::rightClickAndPopupEnabling() {
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gUseSaveAs = false;
    rig.Add(Samples(rig, 3));
    // Nothing selected: the three items are disabled.
    QTest::mousePress(w.Grid->viewport(), Qt::RightButton, {}, QPoint(20, w.Grid->viewport()->height() - 5));
    QCOMPARE(w.Core().Selection().Top, 0);
    w.PopupMenuPopup();
    QVERIFY(!w.mnu_PreImage->isEnabled() && !w.mnu_PostImage->isEnabled() && !w.mnu_DeleteList->isEnabled());
    // A right click outside the selection selects that row alone.
    QTest::mousePress(w.Grid->viewport(), Qt::RightButton, {}, RowPoint(w, 2));
    QCOMPARE(w.CurrentSelection(), (TGridSelection{0, 2, 4, 2}));
    QCOMPARE(w.Core().Selection().Top, 2);
    w.PopupMenuPopup();
    QVERIFY(w.mnu_PreImage->isEnabled() && !w.mnu_PostImage->isEnabled() && w.mnu_DeleteList->isEnabled());
    w.Core().GridSelectCell(TGridSelection{0, 1, 4, 3});
    w.SetGridSelection(TGridSelection{0, 1, 4, 3});
    // A right click inside a selection of several rows keeps them all.
    QTest::mousePress(w.Grid->viewport(), Qt::RightButton, {}, RowPoint(w, 3));
    QCOMPARE(w.CurrentSelection(), (TGridSelection{0, 1, 4, 3}));
    QCOMPARE(w.Core().Selection().Bottom, 3);
}

void MainWindowTest::doubleClickOpensNewestVersions() {
    TRig rig;
    auto& w = rig.Open();
    w.Settings.gUseSaveAs = false;
    const auto paths = Samples(rig, 3);
    // Build [processed, new, new]: process three, drop the last two, add them again.
    rig.Add({paths[1], paths[0], paths[2]});
    w.mnu_DoOperation->trigger();
    const std::string processed = rig.List()[0].ResultPath;
    QVERIFY(!processed.empty());
    QTest::mouseClick(w.Grid->viewport(), Qt::LeftButton, {}, RowPoint(w, 2));
    QTest::mouseClick(w.Grid->viewport(), Qt::LeftButton, Qt::ShiftModifier, RowPoint(w, 3));
    w.mnu_ListClear->trigger();
    w.Core().GridSelectCell(TGridSelection{});
    w.SetGridSelection(TGridSelection{});
    rig.Add({paths[0], paths[2]});
    QCOMPARE(rig.List().size(), std::size_t(3));

    // A double click on the header row with no data row selected opens nothing.
    QTest::mouseDClick(w.Grid->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(10, 10));
    QVERIFY(rig.Shell.Opened.empty());
    w.PopupMenuPopup();
    QVERIFY(!w.mnu_PreImage->isEnabled() && !w.mnu_PostImage->isEnabled() && !w.mnu_DeleteList->isEnabled());

    // With every row selected: the newest version of each, in order.
    w.Grid->setFocus();
    QTest::keyClick(w.Grid, Qt::Key_A, Qt::ControlModifier);
    QTest::mouseDClick(w.Grid->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(rig.Shell.Opened, (std::vector<std::string>{processed, paths[0], paths[2]}));

    // The pop-up items: the result only of the processed entry, every source.
    w.PopupMenuPopup();
    QVERIFY(w.mnu_PreImage->isEnabled() && w.mnu_PostImage->isEnabled() && w.mnu_DeleteList->isEnabled());
    rig.Shell.Opened.clear();
    w.mnu_PostImage->trigger();
    QCOMPARE(rig.Shell.Opened, std::vector<std::string>{processed});
    rig.Shell.Opened.clear();
    w.mnu_PreImage->trigger();
    QCOMPARE(rig.Shell.Opened, (std::vector<std::string>{paths[1], paths[0], paths[2]}));

    // A double click on a row: its first click selects that row alone.
    rig.Shell.Opened.clear();
    QTest::mouseClick(w.Grid->viewport(), Qt::LeftButton, {}, RowPoint(w, 3));
    QTest::mouseDClick(w.Grid->viewport(), Qt::LeftButton, {}, RowPoint(w, 3));
    QCOMPARE(rig.Shell.Opened, std::vector<std::string>{paths[2]});
    w.PopupMenuPopup();
    QVERIFY(!w.mnu_PostImage->isEnabled());
}

void MainWindowTest::helpTopicAndAbout() {
    TRig rig;
    auto& w = rig.Open();
    w.mnu_Topic->trigger();
    QCOMPARE(rig.Shell.Opened, std::vector<std::string>{rig.Path("readme.txt")});
    CloseWhenShown(w.Fm_Help);
    w.mnu_About->trigger();
    QVERIFY(!w.Fm_Help->isVisible());
    QVERIFY(w.isVisible());
}

void MainWindowTest::settingsSurviveARestart() {
    // The real store, in a configuration folder of the test's own.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    TRig rig;
    QRect frame;
    {
        auto services = rig.Services();
        services.Settings = {};
        ui::TFm_Main first(services);
        first.show();
        QVERIFY(QTest::qWaitForWindowExposed(&first));
        QCOMPARE(first.frameGeometry(), QRect(231, 172, 696, 480));
        first.Settings.gOptimize_Exif = true;
        first.Settings.gSaveFolderMode = sfmOverwriteWithBak;
        first.Settings.gSaveFolder = "/tmp/写真";
        first.setGeometry(100, 120, 800, 500);
        frame = first.frameGeometry();
        first.close();
    }
    auto services = rig.Services();
    services.Settings = {};
    ui::TFm_Main second(services);
    second.show();
    QVERIFY(QTest::qWaitForWindowExposed(&second));
    QVERIFY(second.LoadErrors.empty());
    QVERIFY(second.Settings.gOptimize_Exif);
    QCOMPARE(int(second.Settings.gSaveFolderMode), int(sfmOverwriteWithBak));
    QCOMPARE(second.Settings.gSaveFolder, std::string("/tmp/写真"));
    QCOMPARE(second.frameGeometry(), frame);
    QCOMPARE(TextColour(second.Pnl_Exif), QColor(0, 0, 0));
    second.close();
    qunsetenv("XDG_CONFIG_HOME");
}

void MainWindowTest::failedLoadStillStarts() {
    TRig rig;
    auto services = rig.Services(Samples(rig, 1));
    services.Settings.Load = [](TSettings& s, TWindowGeometry&) {
        s.gOptimize_Exif = true;  // read before the broken value
        return std::vector<std::string>{"'gUseSaveAs' のデータ型が不正です"};
    };
    services.Settings.Save = [](const TSettings&, const TWindowGeometry&) {
        return std::vector<std::string>{"/x/ostrel.ini に書き込めません"};
    };
    ui::TFm_Main w(services);
    rig.Current = &w;
    w.show();
    // Start-up went on: the command line is taken and run after the message.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Dialogs.SaveAsInitial.empty(), 10000);
    QCOMPARE(rig.Dialogs.Messages.at(0).Text, std::string("'gUseSaveAs' のデータ型が不正です"));
    QCOMPARE(TextColour(w.Pnl_Exif), QColor(0, 0, 0));
    QCOMPARE(w.frameGeometry(), QRect(231, 172, 696, 480));
    w.close();
    QCOMPARE(rig.Dialogs.Messages.back().Text, std::string("/x/ostrel.ini に書き込めません"));
}

void MainWindowTest::storedPlaceOffEveryScreen() {
    TRig rig;
    rig.Store.Stored = true;
    rig.Store.Geometry = TWindowGeometry{-9000, -9000, 500, 640, 0};
    auto& w = rig.Open();
    QCOMPARE(w.frameGeometry(), QRect(231, 172, 640, 500));  // the size is kept
}

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
