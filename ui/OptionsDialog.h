#pragma once
// TFm_Options: edits the ten options. Opening copies the settings into the
// controls; OK copies them back; Cancel and the close box change nothing.
// The dialog never touches the settings store.
#include <functional>
#include <string>

#include <QDialog>

#include "Settings.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;

namespace lumaro::ui {

class TFm_Options : public QDialog {
    Q_OBJECT
public:
    // (instruction text, folder to preselect or empty, chosen folder) -> confirmed
    using TBrowseFolder = std::function<bool(const std::string&, const std::string&, std::string&)>;
    using TFolderExists = std::function<bool(const std::string&)>;

    TFm_Options(TSettings& settings, QWidget* parent = nullptr);

    TBrowseFolder BrowseFolder;
    TFolderExists FolderExists;

    // Shows the dialog modally; true when it was closed with OK.
    bool ShowModal();

    // The working copy of gSaveFolder while the dialog is open.
    std::string FSaveFolder;

    QGroupBox* GroupBox_Optimize;
    QCheckBox* chk_gOptimize_Code;
    QLabel* lbl_gOptimize_Code;
    QCheckBox* Chk_gOptimize_Exif;
    QLabel* Lbl_gOptimize_Exif;
    QGroupBox* GroupBox_SaveFolder;
    QLabel* Label1;
    QComboBox* Rdo_SaveFolder;
    QFrame* pnl_FolderName;
    QLabel* lbl_FolderName;
    QPushButton* Btn_Folder;
    QCheckBox* chk_gUseSaveAs;
    QGroupBox* GroupBox3;
    QCheckBox* chk_KeepTimeStamp_Create;
    QCheckBox* chk_KeepTimeStamp_Write;
    QCheckBox* chk_gCopyOriginal;
    QLabel* txt_gCopyOriginal;
    QCheckBox* chk_gSeekSubFolder;
    QCheckBox* chk_gGoOperationByDrop;
    QPushButton* Btn_OK;
    QPushButton* Btn_Cancel;

    void FormShow();
    void Rdo_SaveFolderChange();
    void Btn_FolderClick();
    void Btn_OKClick();
    void Btn_CancelClick();

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void ShowFolderName(const std::string& text);
    TSettings& Settings;
};

} // namespace lumaro::ui
