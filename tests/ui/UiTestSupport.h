#pragma once
// A scripted platform for driving the real main window: dialog answers are
// queued in advance, message boxes and opened documents are recorded, and the
// settings live in memory unless a test asks for the real store.
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QTemporaryDir>

#include "MainWindow.h"
#include "Platform.h"
#include "PosixPlatform.h"

namespace lumaro::uitest {

class TScriptDialogs : public IDialogs {
public:
    std::deque<std::optional<std::vector<std::string>>> OpenAnswers;
    std::deque<std::optional<std::string>> FolderAnswers;
    std::deque<std::optional<std::string>> SaveAsAnswers;
    std::vector<std::string> SaveAsInitial;
    std::vector<TMessageBox> Messages;
    // Shows the re-process dialog; defaults to "closed without a button".
    std::function<TWarningButton()> Warning;
    int WarningShown = 0;
    // Runs inside a Save As call, while the run is in progress.
    std::function<void()> DuringSaveAs;

    std::optional<std::vector<std::string>> OpenFiles() override {
        if (OpenAnswers.empty()) return std::nullopt;
        auto a = OpenAnswers.front();
        OpenAnswers.pop_front();
        return a;
    }
    std::optional<std::string> PickFolder() override {
        if (FolderAnswers.empty()) return std::nullopt;
        auto a = FolderAnswers.front();
        FolderAnswers.pop_front();
        return a;
    }
    std::optional<std::string> SaveAs(const std::string& InitialPath) override {
        SaveAsInitial.push_back(InitialPath);
        if (DuringSaveAs) DuringSaveAs();
        if (SaveAsAnswers.empty()) return std::nullopt;
        auto a = SaveAsAnswers.front();
        SaveAsAnswers.pop_front();
        return a;
    }
    TWarningButton ShowWarning() override {
        ++WarningShown;
        return Warning ? Warning() : TWarningButton::Closed;
    }
    void ShowMessage(const TMessageBox& Box) override { Messages.push_back(Box); }
    void BringToFront() override {}
};

class TRecordingShell : public IShell {
public:
    std::vector<std::string> Opened;
    bool OpenWithAssociatedProgram(const std::string& Path) override {
        Opened.push_back(Path);
        return true;
    }
};

// The real file system, with a hook called before a source is read whole:
// (index of the read within the run, path).
class THookedFileSystem : public TPosixFileSystem {
public:
    std::function<void(int, const std::string&)> BeforeRead;
    int Reads = 0;
    bool ReadWholeFile(const std::string& Path, TByteBuffer& Data, TIoError& Error) override {
        if (BeforeRead) BeforeRead(Reads, Path);
        ++Reads;
        return TPosixFileSystem::ReadWholeFile(Path, Data, Error);
    }
};

struct TMemoryStore {
    bool Stored = false;
    TSettings Settings;
    TWindowGeometry Geometry;
    int Saves = 0;
    ui::TSettingsAccess Access() {
        ui::TSettingsAccess a;
        a.Load = [this](TSettings& s, TWindowGeometry& g) {
            if (Stored) {
                s = Settings;
                g = Geometry;
            }
            return std::vector<std::string>{};
        };
        a.Save = [this](const TSettings& s, const TWindowGeometry& g) {
            Settings = s;
            Geometry = g;
            Stored = true;
            ++Saves;
            return std::vector<std::string>{};
        };
        return a;
    }
};

// One window over the scripted platform, with a folder of sample photos.
struct TRig {
    TScriptDialogs Dialogs;
    TRecordingShell Shell;
    THookedFileSystem Fs;
    TSteadyClock Clock;
    TMemoryStore Store;
    QTemporaryDir Dir;
    std::unique_ptr<ui::TFm_Main> Window;
    ui::TFm_Main* Current = nullptr;  // the window List() looks at

    // Copies the named samples into the temporary folder (sub folders allowed).
    std::string Sample(const std::string& name, const std::string& as = {});
    std::string Path(const std::string& relative) const;
    // A file that is not a JPEG.
    std::string Text(const std::string& name);

    ui::TFm_Main& Open(std::vector<std::string> arguments = {});
    ui::TMainWindowServices Services(std::vector<std::string> arguments = {});
    // Adds files through the open dialog.
    void Add(const std::vector<std::string>& paths);
    const std::vector<TFileEntry>& List() { return Current->Core().FileList(); }
};

std::vector<std::uint8_t> ReadBytes(const std::string& path);
bool SamePixels(const std::string& a, const std::string& b);
QString CellText(ui::TFm_Main& w, int row, int column);  // row as the grid numbers it (1 = first)
QPoint RowPoint(ui::TFm_Main& w, int row);
int ColumnAlignment(ui::TFm_Main& w, int row, int column);

} // namespace lumaro::uitest
