#include "QtPlatform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>

#include "DisplayText.h"
#include "WarningDialog.h"

namespace lumaro::ui {

namespace {

QString U(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return QDir::toNativeSeparators(s).toStdString(); }

QString DesktopRoot() {
    const QString d = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QDir(d).exists() ? d : QDir::homePath();
}

// A picked folder without a trailing separator; a root keeps its own.
std::string FolderResult(const QString& chosen) {
    std::string p = S(chosen);
    while (p.size() > 1 && p.back() == kPathSep && !(p.size() == 3 && p[1] == ':')) p.pop_back();
    return p;
}

// A dialog opened from another modal dialog (the options' folder browser)
// belongs to that dialog, so that it stays in front of it.
QWidget* DialogParent(QWidget* owner) {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    return owner;
}

} // namespace

// Names are matched case-sensitively here, so both spellings are listed.
QString JpegFilter() { return QStringLiteral("JPEGファイル (*.jpg *.jpeg *.JPG *.JPEG)"); }

std::optional<std::vector<std::string>> TQtDialogs::OpenFiles() {
    QFileDialog dlg(DialogParent(Owner), QString(), QString(), JpegFilter());
    dlg.setFileMode(QFileDialog::ExistingFiles);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setOption(QFileDialog::ReadOnly, false);
    dlg.setSizeGripEnabled(true);
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    std::vector<std::string> paths;
    for (const QString& f : dlg.selectedFiles()) paths.push_back(S(f));
    return paths;
}

std::optional<std::string> TQtDialogs::PickFolder() { return PickFolder(std::string(), std::string()); }

std::optional<std::string> TQtDialogs::PickFolder(const std::string& Title, const std::string& Initial) {
    const QString start = Initial.empty() ? DesktopRoot() : U(Initial);
    const QString chosen = QFileDialog::getExistingDirectory(DialogParent(Owner), U(Title), start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return std::nullopt;
    return FolderResult(chosen);
}

std::optional<std::string> TQtDialogs::SaveAs(const std::string& InitialPath) {
    QFileDialog dlg(DialogParent(Owner), QString(), QString(), JpegFilter());
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix(QStringLiteral("JPG"));
    dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
    const QFileInfo initial(U(InitialPath));
    dlg.setDirectory(initial.absolutePath());
    dlg.selectFile(initial.fileName());
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    return S(dlg.selectedFiles().first());
}

TWarningButton TQtDialogs::ShowWarning() {
    if (!Warning) return TWarningButton::Closed;
    Warning->ShowModal();
    return Warning->LastButton;
}

void TQtDialogs::ShowMessage(const TMessageBox& Box) {
    QMessageBox box(DialogParent(Owner));
    box.setWindowTitle(U(Box.Title));
    box.setText(U(Box.Text));
    switch (Box.Icon) {
    case TMsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case TMsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case TMsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case TMsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
    }
    const bool yes = Box.Buttons == TMsgButtons::Yes;
    QPushButton* only = box.addButton(yes ? QStringLiteral("はい(&Y)") : QStringLiteral("OK"),
                                      yes ? QMessageBox::YesRole : QMessageBox::AcceptRole);
    box.setDefaultButton(only);
    box.setEscapeButton(only);
    box.exec();
}

void TQtDialogs::BringToFront() {
    if (!Owner) return;
    QWidget* w = Owner->window();
    if (w->isMinimized()) w->showNormal();
    w->raise();
    w->activateWindow();
}

bool TQtShell::OpenWithAssociatedProgram(const std::string& Path) {
    // Returns at once; the viewer is never waited for.
    return QDesktopServices::openUrl(QUrl::fromLocalFile(U(Path)));
}

} // namespace lumaro::ui
