#pragma once
// Qt implementations of the platform's dialogs and shell: file dialogs,
// folder picker, message boxes, the re-process dialog and "open with the
// associated program".
#include <QPointer>
#include <QWidget>

#include "Platform.h"

namespace lumaro::ui {

class TFm_Warning;

class TQtDialogs : public IDialogs {
public:
    TQtDialogs(QWidget* owner, TFm_Warning* warning) : Owner(owner), Warning(warning) {}

    std::optional<std::vector<std::string>> OpenFiles() override;
    std::optional<std::string> PickFolder() override;
    std::optional<std::string> SaveAs(const std::string& InitialPath) override;
    TWarningButton ShowWarning() override;
    void ShowMessage(const TMessageBox& Box) override;
    void BringToFront() override;

    // The folder picker with an instruction text and a folder to preselect.
    std::optional<std::string> PickFolder(const std::string& Title, const std::string& Initial);

private:
    QPointer<QWidget> Owner;
    TFm_Warning* Warning;
};

class TQtShell : public IShell {
public:
    bool OpenWithAssociatedProgram(const std::string& Path) override;
};

// The file-dialog filter of JPEG files, upper and lower case alike.
QString JpegFilter();

} // namespace lumaro::ui
