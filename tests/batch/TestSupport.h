#pragma once
// A recording main window, scripted dialogs, a scripted clock, a temporary
// folder and JPEG samples made with cjpeg: enough to play whole sessions of
// the batch core on real files.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BatchCore.h"
#include "PosixPlatform.h"

namespace lumaro::test {

namespace fs = std::filesystem;

class TRecordingView : public IBatchView {
public:
    void SetStatusText(const std::string& t) override { Status = t; ++StatusWrites; }
    void SetCommandEnabled(TCommand c, bool e) override { Enabled[c] = e; }
    void SetProgressBarVisible(bool v) override { ProgressVisible = v; }
    void SetProgressMax(int m) override { ProgressMax = m; }
    void SetProgressPosition(int p) override { ProgressPosition = p; }
    void SetGridVisible(bool v) override { GridVisible = v; }
    void SetGridRowCount(int n) override { RowCount = n; }
    void SetGridSelection(const TGridSelection& s) override { Selection = s; }
    void SetGridTopRow(int r) override { TopRows.push_back(r); }
    int VisibleDataRows() override { return VisibleRows; }
    void RepaintGrid() override { ++Repaints; }
    void FitColumnsForName(const std::string& n) override { FittedNames.push_back(n); }
    void SetDropAccepted(bool a) override { DropAccepted = a; DropChanges.push_back(a); }
    void ProcessEvents() override {
        ++EventTurns;
        if (OnEvents) OnEvents();
    }

    bool IsEnabled(TCommand c) const {
        auto it = Enabled.find(c);
        return it != Enabled.end() && it->second;
    }

    std::string Status;
    int StatusWrites = 0;
    // The window's state at start-up: run, stop and remove disabled.
    std::map<TCommand, bool> Enabled{{TCommand::FileOpen, true},      {TCommand::FolderOpen, true},
                                     {TCommand::DoOperation, false},  {TCommand::StopOperation, false},
                                     {TCommand::ListClear, false},    {TCommand::Option, true}};
    bool ProgressVisible = false, GridVisible = false, DropAccepted = true;
    int ProgressMax = 100, ProgressPosition = 0, RowCount = 0, Repaints = 0, EventTurns = 0;
    int VisibleRows = 10;
    TGridSelection Selection;
    std::vector<int> TopRows;
    std::vector<std::string> FittedNames;
    std::vector<bool> DropChanges;
    std::function<void()> OnEvents;  // plays the user's actions during a run
};

class TScriptedDialogs : public IDialogs {
public:
    std::optional<std::vector<std::string>> OpenFiles() override { return Next(OpenAnswers); }
    std::optional<std::string> PickFolder() override { ++FolderPicks; return Next(FolderAnswers); }
    std::optional<std::string> SaveAs(const std::string& initial) override {
        SaveAsInitial.push_back(initial);
        return Next(SaveAsAnswers);
    }
    TWarningButton ShowWarning() override {
        ++WarningShown;
        if (WarningAnswers.empty()) throw std::logic_error("warning dialog shown unexpectedly");
        TWarningButton b = WarningAnswers.front();
        WarningAnswers.pop_front();
        return b;
    }
    void ShowMessage(const TMessageBox& box) override { Messages.push_back(box); }
    void BringToFront() override { ++FrontCalls; }

    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> t;
        for (const auto& m : Messages) t.push_back(m.Text);
        return t;
    }

    std::deque<std::optional<std::vector<std::string>>> OpenAnswers;
    std::deque<std::optional<std::string>> FolderAnswers, SaveAsAnswers;
    std::deque<TWarningButton> WarningAnswers;
    std::vector<TMessageBox> Messages;
    std::vector<std::string> SaveAsInitial;
    int WarningShown = 0, FrontCalls = 0, FolderPicks = 0;

private:
    template <class T>
    static T Next(std::deque<T>& q) {
        if (q.empty()) throw std::logic_error("dialog shown without a scripted answer");
        T v = q.front();
        q.pop_front();
        return v;
    }
};

// Every reading advances by Step milliseconds.
class TScriptedClock : public IClock {
public:
    std::uint32_t TickMs() override { Now += Step; return Now; }
    std::uint32_t Now = 1000, Step = 37;
};

// The real file system with a desktop of the test's choosing.
class TTestFileSystem : public TPosixFileSystem {
public:
    std::string DesktopFolder() override { return Desktop; }
    std::string Desktop;
};

// A fresh folder under the system's temporary folder, removed afterwards.
class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    const fs::path& Path() const { return Root; }
    std::string operator/(const std::string& rel) const { return (Root / rel).string(); }

private:
    fs::path Root;
};

// Baseline JPEG made by cjpeg with its standard tables, so the engine can
// always make it smaller. Variant changes the picture (and so the size).
std::vector<std::uint8_t> SampleJpeg(int Variant = 0, bool Optimized = false);
void WriteBytes(const std::string& Path, const std::vector<std::uint8_t>& Bytes);
std::vector<std::uint8_t> ReadBytes(const std::string& Path);
// Writes a sample JPEG to Path (creating its folders) and returns its bytes.
std::vector<std::uint8_t> PutJpeg(const std::string& Path, int Variant = 0);

// A core with its recording window, scripted dialogs and clock.
struct TSession {
    TSettings Settings;
    TRecordingView View;
    TScriptedDialogs Dialogs;
    TTestFileSystem Fs;
    TScriptedClock Clock;
    TBatchCore Core{Settings, View, Dialogs, Fs, Clock};
};

} // namespace lumaro::test
