// The options, About and re-process dialogs and the Qt message boxes, each on
// its own.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "HelpDialog.h"
#include "OptionsDialog.h"
#include "QtPlatform.h"
#include "../settings/SettingsSamples.h"
#include "WarningDialog.h"

using namespace lumaro;
using namespace lumaro::ui;

namespace {
// Runs `act` on the modal dialog once it is up.
void WhenModal(std::function<void(QWidget*)> act) {
    QTimer::singleShot(0, [act] {
        if (QWidget* m = QApplication::activeModalWidget(); m && m->isVisible()) act(m);
        else WhenModal(act);
    });
}
} // namespace

class DialogTest : public QObject {
    Q_OBJECT
private slots:
    void optionsShowCopiesEverySetting();
    void optionsOkAndCancel();
    void optionsUnknownModeAndMissingFolder();
    void optionsKeysAndTabOrder();
    void warningKeepsItsAnswer();
    void aboutDialog();
    void messageBoxesUseTheirTitlesAndButtons();
};

void DialogTest::optionsShowCopiesEverySetting() {
    // The fixed folder, not yet chosen, enables the folder controls.
    TSettings s = test::EveryOptionChanged();
    s.gSaveFolderMode = sfmFixedFolder;
    s.gSaveFolder = "";
    TFm_Options o(s);
    o.FormShow();
    QVERIFY(!o.chk_gOptimize_Code->isChecked() && o.Chk_gOptimize_Exif->isChecked());
    QCOMPARE(o.Rdo_SaveFolder->currentIndex(), 2);
    QCOMPARE(o.Rdo_SaveFolder->count(), 5);
    QVERIFY(o.Btn_Folder->isEnabled() && o.lbl_FolderName->isEnabled());
    QCOMPARE(o.lbl_FolderName->text(), QStringLiteral("デスクトップ"));
    QVERIFY(!o.chk_gUseSaveAs->isChecked());
    QVERIFY(o.chk_KeepTimeStamp_Create->isChecked() && o.chk_KeepTimeStamp_Write->isChecked());
    QVERIFY(o.chk_gGoOperationByDrop->isChecked() && o.chk_gCopyOriginal->isChecked() && o.chk_gSeekSubFolder->isChecked());
    // Another mode disables the folder controls; the Save As box stays.
    o.Rdo_SaveFolder->setCurrentIndex(0);
    o.Rdo_SaveFolderChange();
    QVERIFY(!o.Btn_Folder->isEnabled() && !o.lbl_FolderName->isEnabled() && o.chk_gUseSaveAs->isEnabled());
}

void DialogTest::optionsOkAndCancel() {
    QTemporaryDir dir, other;
    TSettings s;
    s.gSaveFolderMode = sfmFixedFolder;
    s.gSaveFolder = dir.path().toStdString();
    TFm_Options o(s);
    int browsed = 0;
    std::string preselected;
    o.BrowseFolder = [&](const std::string& title, const std::string& initial, std::string& chosen) {
        ++browsed;
        preselected = initial;
        if (title != "フォルダの選択") return false;
        chosen = other.path().toStdString();
        return true;
    };
    // Browse, then cancel: the stored folder stays and shows again next time.
    WhenModal([&](QWidget*) {
        o.Btn_Folder->click();
        o.Btn_Cancel->click();
    });
    QVERIFY(!o.ShowModal());
    QCOMPARE(browsed, 1);
    QCOMPARE(preselected, dir.path().toStdString());
    QCOMPARE(s.gSaveFolder, dir.path().toStdString());
    o.FormShow();
    QCOMPARE(o.FSaveFolder, dir.path().toStdString());

    // Browse, pick mode 0, OK: the mode changes and the folder is kept too.
    WhenModal([&](QWidget*) {
        o.Btn_Folder->click();
        o.Rdo_SaveFolder->setCurrentIndex(0);
        o.Rdo_SaveFolderChange();
        o.Btn_OK->click();
    });
    QVERIFY(o.ShowModal());
    QCOMPARE(int(s.gSaveFolderMode), 0);
    QCOMPARE(s.gSaveFolder, other.path().toStdString());
    // OK without touching anything changes nothing.
    const TSettings before = s;
    WhenModal([&](QWidget*) { o.Btn_OK->click(); });
    QVERIFY(o.ShowModal());
    QCOMPARE(s.gSaveFolder, before.gSaveFolder);
    QCOMPARE(s.gSaveFolderMode, before.gSaveFolderMode);
    QCOMPARE(s.gOptimize_Code, before.gOptimize_Code);
    QCOMPARE(s.gUseSaveAs, before.gUseSaveAs);
}

void DialogTest::optionsUnknownModeAndMissingFolder() {
    TSettings s;
    s.gSaveFolderMode = 7;
    s.gSaveFolder = "/no/such/folder/anywhere";
    TFm_Options o(s);
    bool offered = false;
    std::string preselected = "unset";
    o.BrowseFolder = [&](const std::string&, const std::string& initial, std::string&) {
        offered = true;
        preselected = initial;
        return false;  // cancelled
    };
    o.FormShow();
    QCOMPARE(o.Rdo_SaveFolder->currentIndex(), -1);
    QVERIFY(!o.Btn_Folder->isEnabled());
    QCOMPARE(o.lbl_FolderName->text(), QString::fromStdString(s.gSaveFolder));
    // The missing folder is forgotten when browsing is cancelled.
    o.Btn_FolderClick();
    QVERIFY(offered);
    QCOMPARE(preselected, std::string());
    QCOMPARE(o.lbl_FolderName->text(), QString());
    o.Btn_OKClick();
    QCOMPARE(int(s.gSaveFolderMode), 7);
    QCOMPARE(s.gSaveFolder, std::string());
}

void DialogTest::optionsKeysAndTabOrder() {
    TSettings s;
    TFm_Options o(s);
    QWidget *atOpen = nullptr, *afterTab = nullptr, *afterTab2 = nullptr;
    bool openAfterKeys = false;
    WhenModal([&](QWidget* m) {
        atOpen = o.focusWidget();
        // Escape and Enter on a check box do not close the dialog.
        o.chk_gSeekSubFolder->setFocus();
        QTest::keyClick(o.chk_gSeekSubFolder, Qt::Key_Escape);
        QTest::keyClick(o.chk_gSeekSubFolder, Qt::Key_Return);
        openAfterKeys = m->isVisible();
        o.Btn_OK->setFocus();
        QTest::keyClick(o.Btn_OK, Qt::Key_Tab);
        afterTab = o.focusWidget();
        QTest::keyClick(o.Btn_Cancel, Qt::Key_Tab);
        afterTab2 = o.focusWidget();
        o.close();  // the close box cancels
    });
    QVERIFY(!o.ShowModal());
    QCOMPARE(atOpen, static_cast<QWidget*>(o.Btn_OK));
    QVERIFY(openAfterKeys);
    QCOMPARE(afterTab, static_cast<QWidget*>(o.Btn_Cancel));
    QCOMPARE(afterTab2, static_cast<QWidget*>(o.chk_gOptimize_Code));
}

void DialogTest::warningKeepsItsAnswer() {
    TFm_Warning w;
    QCOMPARE(w.Answer, std::int16_t(0));
    QVERIFY(w.Btn_Yes->isDefault());
    WhenModal([&](QWidget*) { w.Btn_Cancel->click(); });
    QCOMPARE(w.ShowModal(), std::int16_t(2));
    QCOMPARE(w.LastButton, TWarningButton::Cancel);
    WhenModal([&](QWidget* m) { m->close(); });
    QCOMPARE(w.ShowModal(), std::int16_t(2));  // closed: the previous answer stands
    QCOMPARE(w.LastButton, TWarningButton::Closed);
    WhenModal([&](QWidget*) { w.Btn_Yes->click(); });
    QCOMPARE(w.ShowModal(), std::int16_t(6));
    WhenModal([&](QWidget*) { w.Btn_No->click(); });
    QCOMPARE(w.ShowModal(), std::int16_t(7));
    QCOMPARE(w.LastButton, TWarningButton::No);
}

void DialogTest::aboutDialog() {
    TFm_Help h;
    QCOMPARE(h.Lbl_02->text(), QStringLiteral("Version 1.06"));
    QCOMPARE(h.Image->pixmap().size(), QSize(32, 32));
    // The version label is wide enough for its text in the font actually used.
    QVERIFY(QFontMetrics(h.Lbl_02->font()).horizontalAdvance(h.Lbl_02->text()) <= h.Lbl_02->width());
    WhenModal([&](QWidget*) { h.btn_close->click(); });
    h.exec();
    QVERIFY(!h.isVisible());
}

void DialogTest::messageBoxesUseTheirTitlesAndButtons() {
    QWidget owner;
    TQtDialogs dialogs(&owner, nullptr);
    struct TSeen { QString Title, Text, Button; QMessageBox::Icon Icon = QMessageBox::NoIcon; int Buttons = 0; };
    TSeen seen;
    auto capture = [&](QWidget* m) {
        auto* box = qobject_cast<QMessageBox*>(m);
        if (!box) {
            m->close();
            return;
        }
        seen.Title = box->windowTitle();
        seen.Text = box->text();
        seen.Icon = box->icon();
        seen.Buttons = int(box->buttons().size());
        seen.Button = box->buttons().value(0) ? box->buttons().value(0)->text() : QString();
        box->buttons().value(0)->click();
    };
    WhenModal(capture);
    dialogs.ShowMessage({"x.jpg\r処理を行うことが出来ません。", "エラー", TMsgIcon::Error, TMsgButtons::Yes});
    QCOMPARE(seen.Title, QStringLiteral("エラー"));
    QCOMPARE(seen.Button, QStringLiteral("はい(&Y)"));
    QCOMPARE(seen.Buttons, 1);
    QCOMPARE(seen.Icon, QMessageBox::Critical);
    QVERIFY(seen.Text.contains(QStringLiteral("処理を行うことが出来ません。")));
    WhenModal(capture);
    dialogs.ShowMessage({"注意", "警告", TMsgIcon::Warning, TMsgButtons::Ok});
    QCOMPARE(seen.Title, QStringLiteral("警告"));
    QCOMPARE(seen.Button, QStringLiteral("OK"));
    QCOMPARE(seen.Icon, QMessageBox::Warning);
}

QTEST_MAIN(DialogTest)
#include "DialogTest.moc"
