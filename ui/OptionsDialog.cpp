#include "OptionsDialog.h"

#include <filesystem>
#include <system_error>

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "DisplayText.h"
#include "UiFonts.h"
#include "WindowPlacement.h"

namespace lumaro::ui {

namespace {

const char* const kModeTexts[] = {
    "元の画像ファイルがある場所に保存する。",
    "毎回指定する。",
    "以下の場所に保存する。",
    "元ファイルを上書きする（ご納得の上、お使いください）",
    "元ファイルを拡張子をbakに変えて保存し、上書きする。",
};

QString U(const std::string& s) { return QString::fromStdString(s); }

} // namespace

TFm_Options::TFm_Options(TSettings& settings, QWidget* parent) : QDialog(parent), Settings(settings) {
    SetUpFixedDialog(this, QStringLiteral("Fm_Options"), QStringLiteral("オプションの設定"), 632, 414);

    FolderExists = [](const std::string& p) {
        std::error_code ec;
        return !p.empty() && std::filesystem::is_directory(std::filesystem::u8path(p), ec);
    };

    auto group = [this](const char* name, const QString& title, QRect r) {
        auto* g = new QGroupBox(title, this);
        g->setObjectName(QString::fromLatin1(name));
        g->setFont(DesignFont(16, true));
        g->setGeometry(r);
        return g;
    };
    auto check = [](QWidget* parent, const char* name, const QString& text, QRect r, bool bold) {
        auto* c = new QCheckBox(text, parent);
        c->setObjectName(QString::fromLatin1(name));
        c->setFont(DesignFont(15, bold));
        c->setGeometry(r);
        return c;
    };
    auto label = [](QWidget* parent, const char* name, const QString& text, QRect r, bool bold) {
        auto* l = new QLabel(text, parent);
        l->setObjectName(QString::fromLatin1(name));
        l->setFont(DesignFont(15, bold));
        l->setGeometry(r);
        return l;
    };

    // The group boxes' children are placed in the group's own coordinates;
    // their widths leave room for the larger fallback font.
    GroupBox_Optimize = group("GroupBox_Optimize", QStringLiteral("処理内容について"), {8, 4, 617, 109});
    chk_gOptimize_Code = check(GroupBox_Optimize, "chk_gOptimize_Code", QStringLiteral("圧縮用情報を最適化する。"), {24, 22, 260, 17}, true);
    lbl_gOptimize_Code = label(GroupBox_Optimize, "lbl_gOptimize_Code",
                               QStringLiteral("「圧縮用情報(ハフマンテーブル)」を解析し、最適なものに差し替えます。"), {48, 44, 560, 15}, false);
    Chk_gOptimize_Exif = check(GroupBox_Optimize, "Chk_gOptimize_Exif", QStringLiteral("撮影情報(Exifヘッダ)を取り除く"), {24, 68, 300, 17}, true);
    Lbl_gOptimize_Exif = label(GroupBox_Optimize, "Lbl_gOptimize_Exif",
                               QStringLiteral("レンズ絞りやシャッター速度などの撮影情報を削除します。"), {48, 88, 480, 15}, false);

    GroupBox_SaveFolder = group("GroupBox_SaveFolder", QStringLiteral("保存場所について"), {8, 120, 617, 145});
    Label1 = label(GroupBox_SaveFolder, "Label1",
                   QStringLiteral("ここで指定した場所にさらに\"result_lumaro\"フォルダを作成し、保存します。"), {16, 24, 590, 15}, false);
    Rdo_SaveFolder = new QComboBox(GroupBox_SaveFolder);
    Rdo_SaveFolder->setObjectName(QStringLiteral("Rdo_SaveFolder"));
    Rdo_SaveFolder->setFont(DesignFont(16));
    Rdo_SaveFolder->setGeometry(24, 48, 489, 24);
    Rdo_SaveFolder->setEditable(false);
    for (const char* t : kModeTexts) Rdo_SaveFolder->addItem(QString::fromUtf8(t));
    Rdo_SaveFolder->setCurrentIndex(-1);
    pnl_FolderName = new QFrame(GroupBox_SaveFolder);
    pnl_FolderName->setObjectName(QStringLiteral("pnl_FolderName"));
    pnl_FolderName->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pnl_FolderName->setGeometry(64, 80, 433, 22);
    lbl_FolderName = new QLabel(pnl_FolderName);
    lbl_FolderName->setObjectName(QStringLiteral("lbl_FolderName"));
    lbl_FolderName->setFont(DesignFont(15));
    lbl_FolderName->setGeometry(2, 2, 433 - 4, 22 - 4);
    Btn_Folder = new QPushButton(QStringLiteral("参照"), GroupBox_SaveFolder);
    Btn_Folder->setObjectName(QStringLiteral("Btn_Folder"));
    Btn_Folder->setFont(DesignFont(15));
    Btn_Folder->setGeometry(512, 80, 48, 22);
    chk_gUseSaveAs = check(GroupBox_SaveFolder, "chk_gUseSaveAs",
                           QStringLiteral("処理対象ファイルが一つの場合、「名前をつけて保存」ダイアログを使って保存する。"), {24, 112, 585, 17}, false);

    GroupBox3 = group("GroupBox3", QStringLiteral("ファイルの日付情報について"), {8, 272, 617, 49});
    chk_KeepTimeStamp_Create = check(GroupBox3, "chk_KeepTimeStamp_Create", QStringLiteral("元のファイルの作成日付をコピーする。"), {24, 22, 285, 17}, false);
    chk_KeepTimeStamp_Write = check(GroupBox3, "chk_KeepTimeStamp_Write", QStringLiteral("元のファイルの更新日付をコピーする。"), {312, 22, 295, 17}, false);

    chk_gCopyOriginal = check(this, "chk_gCopyOriginal", QStringLiteral("エラー発生時は、処理を停止せずオリジナルデータをコピー"), {32, 336, 390, 17}, false);
    txt_gCopyOriginal = label(this, "txt_gCopyOriginal", QStringLiteral("(エラーの表示を行いません)"), {425, 336, 200, 15}, true);
    chk_gSeekSubFolder = check(this, "chk_gSeekSubFolder", QStringLiteral("フォルダを開く場合に、サブフォルダまで画像を検索する。"), {32, 360, 390, 17}, false);
    chk_gGoOperationByDrop = check(this, "chk_gGoOperationByDrop", QStringLiteral("ファイルをドロップすると、すぐに処理を開始する。"), {32, 384, 380, 17}, false);

    Btn_OK = new QPushButton(QStringLiteral("OK"), this);
    Btn_OK->setObjectName(QStringLiteral("Btn_OK"));
    Btn_OK->setFont(DesignFont(16));
    Btn_OK->setGeometry(432, 384, 75, 25);
    Btn_Cancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    Btn_Cancel->setObjectName(QStringLiteral("Btn_Cancel"));
    Btn_Cancel->setFont(DesignFont(16));
    Btn_Cancel->setGeometry(528, 384, 75, 25);
    // Neither button is the default or the cancel button: Enter and Escape
    // pressed elsewhere do not close the dialog.
    for (QPushButton* b : {Btn_OK, Btn_Cancel, Btn_Folder}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    pnl_FolderName->setFocusPolicy(Qt::NoFocus);

    // Tab order: the buttons first, then the groups in their own order.
    QWidget* order[] = {Btn_OK, Btn_Cancel, chk_gOptimize_Code, Chk_gOptimize_Exif, chk_gUseSaveAs, Btn_Folder,
                        Rdo_SaveFolder, chk_KeepTimeStamp_Create, chk_KeepTimeStamp_Write, chk_gCopyOriginal,
                        chk_gSeekSubFolder, chk_gGoOperationByDrop};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    connect(Rdo_SaveFolder, qOverload<int>(&QComboBox::activated), this, [this](int) { Rdo_SaveFolderChange(); });
    connect(Btn_Folder, &QPushButton::clicked, this, &TFm_Options::Btn_FolderClick);
    connect(Btn_OK, &QPushButton::clicked, this, &TFm_Options::Btn_OKClick);
    connect(Btn_Cancel, &QPushButton::clicked, this, &TFm_Options::Btn_CancelClick);
}

bool TFm_Options::ShowModal() {
    FormShow();
    CenterOnScreen(this);
    Btn_OK->setFocus();
    return exec() == QDialog::Accepted;
}

void TFm_Options::FormShow() {
    Chk_gOptimize_Exif->setChecked(Settings.gOptimize_Exif);
    chk_gOptimize_Code->setChecked(Settings.gOptimize_Code);
    // A mode outside 0 to 4 leaves the previous selection (none at first).
    if (Settings.gSaveFolderMode <= sfmOverwriteWithBak) Rdo_SaveFolder->setCurrentIndex(Settings.gSaveFolderMode);
    Rdo_SaveFolderChange();
    FSaveFolder = Settings.gSaveFolder;
    if (FSaveFolder.empty()) lbl_FolderName->setText(QStringLiteral("デスクトップ"));
    else ShowFolderName(FSaveFolder);
    chk_gUseSaveAs->setChecked(Settings.gUseSaveAs);
    chk_KeepTimeStamp_Create->setChecked(Settings.gKeepTimeStamp_Create);
    chk_KeepTimeStamp_Write->setChecked(Settings.gKeepTimeStamp_Write);
    chk_gGoOperationByDrop->setChecked(Settings.gGoOperationByDrop);
    chk_gCopyOriginal->setChecked(Settings.gCopyOriginal);
    chk_gSeekSubFolder->setChecked(Settings.gSeekSubFolder);
}

void TFm_Options::Rdo_SaveFolderChange() {
    const bool fixed = Rdo_SaveFolder->currentIndex() == sfmFixedFolder;
    Btn_Folder->setEnabled(fixed);
    lbl_FolderName->setEnabled(fixed);
}

void TFm_Options::ShowFolderName(const std::string& text) {
    const QFontMetrics fm(lbl_FolderName->font());
    const auto width = [&fm](const std::string& s) { return fm.horizontalAdvance(U(s)); };
    lbl_FolderName->setText(U(ShortenFolderPath(text, lbl_FolderName->width(), width)));
    lbl_FolderName->setToolTip(U(text));
}

void TFm_Options::Btn_FolderClick() {
    if (!FolderExists || !FolderExists(FSaveFolder)) FSaveFolder.clear();
    std::string chosen;
    if (BrowseFolder && BrowseFolder("フォルダの選択", FSaveFolder, chosen)) FSaveFolder = chosen;
    ShowFolderName(FSaveFolder);
}

void TFm_Options::Btn_OKClick() {
    Settings.gOptimize_Exif = Chk_gOptimize_Exif->isChecked();
    Settings.gOptimize_Code = chk_gOptimize_Code->isChecked();
    const int mode = Rdo_SaveFolder->currentIndex();
    if (mode >= 0 && mode <= sfmOverwriteWithBak) Settings.gSaveFolderMode = static_cast<std::uint8_t>(mode);
    Settings.gSaveFolder = FSaveFolder;
    Settings.gUseSaveAs = chk_gUseSaveAs->isChecked();
    Settings.gKeepTimeStamp_Create = chk_KeepTimeStamp_Create->isChecked();
    Settings.gKeepTimeStamp_Write = chk_KeepTimeStamp_Write->isChecked();
    Settings.gGoOperationByDrop = chk_gGoOperationByDrop->isChecked();
    Settings.gCopyOriginal = chk_gCopyOriginal->isChecked();
    Settings.gSeekSubFolder = chk_gSeekSubFolder->isChecked();
    accept();
}

void TFm_Options::Btn_CancelClick() { reject(); }

void TFm_Options::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Escape:
        e->accept();  // no cancel button: Escape does not close the dialog
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter presses a focused button, and nothing else.
        if (auto* b = qobject_cast<QPushButton*>(focusWidget())) b->click();
        e->accept();
        return;
    default:
        QDialog::keyPressEvent(e);
    }
}

} // namespace lumaro::ui
