#pragma once
// TBatchCore: the file list, the commands that fill and empty it, and the run
// over it. The main window owns one and forwards its handlers here; the core
// reaches the window only through IBatchView and the machine only through the
// platform interfaces, so a whole session can be played by a test.
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "BatchView.h"
#include "FileEntry.h"
#include "JpegPeel.h"
#include "MemoryStream.h"
#include "Platform.h"
#include "Settings.h"
#include "Warning.h"

namespace lumaro {

// The text after the entry count in the status line.
extern const char* const kListStatusSuffix;

// An input/output failure while collecting files; what() is a Japanese text.
class ECollectError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Which items of the grid's pop-up menu are enabled.
struct TPopupState {
    bool ShowSource = false;  // "元画像の表示"
    bool ShowResult = false;  // "処理後画像の表示"
    bool Remove = false;      // "リストから削除"
};

class TBatchCore {
public:
    TBatchCore(TSettings& Settings, IBatchView& View, IDialogs& Dialogs, IFileSystem& Fs, IClock& Clock);
    ~TBatchCore();
    TBatchCore(const TBatchCore&) = delete;
    TBatchCore& operator=(const TBatchCore&) = delete;

    // ---- the list (read by the grid and the viewing commands)
    const std::vector<TFileEntry>& FileList() const { return List; }
    const TGridSelection& Selection() const { return Sel; }
    TAddSource AddSource = asFileDialog;

    // ---- collecting commands. Each ends with a repaint and the status line.
    void mnu_FileOpenClick();
    void mnu_FolderOpenClick();
    void WMDropFiles(const std::vector<std::string>& Paths);
    // The one-shot start-up timer: adds the command-line arguments (1 to n)
    // and starts a run when there are any.
    void TimerTimer(const std::vector<std::string>& Arguments);
    void mnu_ListClearClick();

    // The building blocks of the commands above. An input/output failure while
    // reading a file's signature throws ECollectError (a Japanese text); the
    // commands catch it and report it.
    void AddFile(const std::string& Path);
    bool AddFolder(const std::string& Folder);

    // ---- grid events
    // The user selected rows (whole rows, any range).
    void GridSelectCell(const TGridSelection& Selection);
    // Ctrl+A while the list is not empty.
    void SelectAll();
    TPopupState PopupState() const;

    // ---- the run
    void mnu_DoOperationClick();
    // Stop command and close request: only clear Running.
    void mnu_StopOperationClick() { RunningFlag = false; }
    void FormCloseQuery() { RunningFlag = false; }
    // Set when a run starts, cleared by a stop or close; stays true after a
    // run that ended normally.
    bool Running() const { return RunningFlag; }
    // True from the start to the end of a run.
    bool RunInProgress() const { return InRun; }

    // The engine's callbacks, installed on Peel by the constructor.
    void ReportEngineError(const std::string& Text, int Kind);
    void ShowProgressMax(int Max);
    bool ShowProgress(int Position);

    // The re-process dialog's state (its Answer survives between runs).
    TWarning Warning;
    TJpegPeel Peel;
    TMemoryStream InStream, OutStream;

private:
    class TRun;
    friend class TRun;

    bool AddFolderVisit(const std::string& Folder, std::set<std::string>& Visited);
    void RemoveRows(int Top, int Bottom);
    void ShowListStatus();
    void ReportCollectError(const std::string& Text);
    void ShowError(const std::string& Text);

    TSettings& Settings;
    IBatchView& View;
    IDialogs& Dialogs;
    IFileSystem& Fs;
    IClock& Clock;

    std::vector<TFileEntry> List;
    TGridSelection Sel;
    bool RunningFlag = false;
    bool InRun = false;
};

} // namespace lumaro
