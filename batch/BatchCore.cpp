// The file list and the commands that fill and empty it; the engine's
// callbacks. The run itself is in BatchRun.cpp.
#include "BatchCore.h"

#include <algorithm>

#include "Paths.h"

namespace lumaro {

const char* const kListStatusSuffix =
    "個のファイルが処理の対象となっています。ダブルクリックすると画像を表示します。";

namespace {
const char* const kNotJpegSuffix = "はJPEGファイルではないようです。";
const char* const kNoJpegInFolder = "このフォルダにはJPEGファイルがありません。";
const char* const kNoFilesTitle = "ファイルがありません";
const char* const kErrorTitle = "エラー";
const char* const kWarningTitle = "警告";
const char* const kMessageTitle = "lumaro";
const char* const kCannotProcess = "処理を行うことが出来ません。";
} // namespace

TBatchCore::TBatchCore(TSettings& settings, IBatchView& view, IDialogs& dialogs, IFileSystem& fs, IClock& clock)
    : Settings(settings), View(view), Dialogs(dialogs), Fs(fs), Clock(clock) {
    Peel.OnError = [this](const std::string& text, int kind) { ReportEngineError(text, kind); };
    Peel.OnProgressMax = [this](int max) { ShowProgressMax(max); };
    Peel.OnProgress = [this](int position) { return ShowProgress(position); };
}

TBatchCore::~TBatchCore() = default;

// ------------------------------------------------------------ adding files

void TBatchCore::AddFile(const std::string& Path) {
    for (const TFileEntry& e : List)
        if (e.SourcePath == Path) return;  // exact bytes: another letter case is another file

    std::vector<std::uint8_t> head;
    TIoError error;
    if (!Fs.ReadFirstBytes(Path, 3, head, error))
        throw ECollectError(Path + " を読み込めませんでした。\n" + error.Text);

    if (head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF) {
        if (AddSource == asFileDialog || AddSource == asDrop) {
            Dialogs.BringToFront();
            Dialogs.ShowMessage({Path + kNotJpegSuffix, kErrorTitle, TMsgIcon::Error, TMsgButtons::Ok});
            if (AddSource == asDrop) AddSource = asSilent;  // a drop reports only its first
        }
        return;
    }

    View.FitColumnsForName(ExtractFileName(Path));
    TFileEntry entry;
    entry.SourcePath = Path;
    entry.SizeBefore = Fs.FileSize(Path).value_or(0);
    List.push_back(std::move(entry));
    View.SetGridRowCount(static_cast<int>(List.size()) + 1);
    View.SetCommandEnabled(TCommand::DoOperation, true);
    View.SetCommandEnabled(TCommand::ListClear, Sel.Top > 0 || List.size() == 1);
    View.SetGridVisible(true);
}

bool TBatchCore::AddFolder(const std::string& Folder) {
    std::set<std::string> visited;
    return AddFolderVisit(Folder, visited);
}

bool TBatchCore::AddFolderVisit(const std::string& Folder, std::set<std::string>& Visited) {
    std::string bare = Folder;
    while (bare.size() > 1 && bare.back() == kPathSeparator) bare.pop_back();
    const std::string last = ExtractFileName(bare);
    if (last == "." || last == "..") return false;
    // A folder reached a second time (a link back up the tree) is not searched
    // again: the search would never end.
    if (auto id = Fs.FolderIdentity(Folder); id && !Visited.insert(*id).second) return false;

    bool found = false;
    std::vector<TDirEntry> files = Fs.ListFolder(Folder, "*.jpg", TListFilter::Files);
    if (!files.empty()) {
        found = true;
        for (const TDirEntry& f : files) AddFile(JoinPath(Folder, f.Name));
    }
    if (Settings.gSeekSubFolder) {
        for (const TDirEntry& e : Fs.ListFolder(Folder, "*", TListFilter::FilesAndFolders)) {
            const std::string sub = JoinPath(Folder, e.Name);
            if (Fs.FileExists(sub)) continue;
            // Every sub-folder is searched, also once something was found.
            bool subFound = AddFolderVisit(sub, Visited);
            found = found || subFound;
        }
    }
    return found;
}

void TBatchCore::ShowListStatus() {
    View.RepaintGrid();
    View.SetStatusText(std::to_string(List.size()) + kListStatusSuffix);
}

void TBatchCore::ReportCollectError(const std::string& Text) {
    Dialogs.ShowMessage({Text, kErrorTitle, TMsgIcon::Error, TMsgButtons::Ok});
}

void TBatchCore::ShowError(const std::string& Text) {
    Dialogs.ShowMessage({Text, kErrorTitle, TMsgIcon::Error, TMsgButtons::Ok});
}

// ------------------------------------------------------------ collecting commands
// The list never changes during a run: the window disables these commands
// then, and the core refuses them as well.

void TBatchCore::mnu_FileOpenClick() {
    if (InRun) return;
    AddSource = asFileDialog;
    if (auto files = Dialogs.OpenFiles()) {
        try {
            for (const std::string& f : *files) AddFile(f);
        } catch (const ECollectError& e) {
            ReportCollectError(e.what());  // the files added before it stay
        }
    }
    ShowListStatus();
}

void TBatchCore::mnu_FolderOpenClick() {
    if (InRun) return;
    AddSource = asSilent;
    if (auto folder = Dialogs.PickFolder()) {
        try {
            if (!AddFolder(*folder))
                Dialogs.ShowMessage({kNoJpegInFolder, kNoFilesTitle, TMsgIcon::Error, TMsgButtons::Ok});
        } catch (const ECollectError& e) {
            ReportCollectError(e.what());
        }
    }
    ShowListStatus();
}

void TBatchCore::WMDropFiles(const std::vector<std::string>& Paths) {
    if (InRun) return;  // drops are refused during a run
    if (Settings.gGoOperationByDrop && !List.empty()) {
        // With this setting a drop replaces the list.
        Sel = {0, 1, 4, static_cast<int>(List.size())};
        View.SetGridSelection(Sel);
        mnu_ListClearClick();
    }
    AddSource = asDrop;
    bool failed = false;
    try {
        for (const std::string& p : Paths) {
            if (Fs.FileExists(p)) {
                AddFile(p);
            } else if (!AddFolder(p)) {
                Dialogs.ShowMessage({kNoJpegInFolder, kNoFilesTitle, TMsgIcon::Error, TMsgButtons::Ok});
            }
        }
    } catch (const ECollectError& e) {
        ReportCollectError(e.what());
        failed = true;
    }
    ShowListStatus();
    if (Settings.gGoOperationByDrop && !failed) mnu_DoOperationClick();
}

void TBatchCore::TimerTimer(const std::vector<std::string>& Arguments) {
    if (Arguments.empty() || InRun) return;
    AddSource = asSilent;
    bool failed = false;
    try {
        for (const std::string& a : Arguments) AddFile(a);  // a folder is not searched here
    } catch (const ECollectError& e) {
        ReportCollectError(e.what());
        failed = true;
    }
    ShowListStatus();
    if (!failed) mnu_DoOperationClick();
}

// ------------------------------------------------------------ removal and selection

void TBatchCore::mnu_ListClearClick() {
    if (InRun || List.empty()) return;
    int top = std::min(Sel.Top, Sel.Bottom);
    int bottom = std::max(Sel.Top, Sel.Bottom);
    RemoveRows(top, bottom);

    if (List.empty()) {
        View.SetGridVisible(false);
        View.SetCommandEnabled(TCommand::DoOperation, false);
        View.SetCommandEnabled(TCommand::ListClear, false);
        Sel = {};
        View.SetGridSelection(Sel);
    } else {
        const int count = static_cast<int>(List.size());
        View.SetGridRowCount(count + 1);
        // The row that followed the removed block, or the new last row.
        const int row = count < bottom ? count : top;
        Sel = {0, row, 4, row};
        View.SetGridSelection(Sel);
    }
    ShowListStatus();
}

void TBatchCore::RemoveRows(int Top, int Bottom) {
    if (Top == 0 && List.size() == 1) {
        List.clear();
        return;
    }
    for (int r = Bottom; r >= Top; --r) {
        if (r < 1 || r > static_cast<int>(List.size())) continue;  // the header, or past the end
        List.erase(List.begin() + (r - 1));
    }
}

void TBatchCore::GridSelectCell(const TGridSelection& Selection) {
    Sel = Selection;
    if (!InRun) View.SetCommandEnabled(TCommand::ListClear, Sel.Top > 0);
}

void TBatchCore::SelectAll() {
    if (List.empty()) return;
    Sel = {0, 1, 4, static_cast<int>(List.size())};
    View.SetGridSelection(Sel);
    View.RepaintGrid();
    if (!InRun) View.SetCommandEnabled(TCommand::ListClear, true);
}

TPopupState TBatchCore::PopupState() const {
    TPopupState state;
    if (Sel.Top <= 0) return state;
    state.ShowSource = true;
    state.Remove = !InRun;
    const int top = std::min(Sel.Top, Sel.Bottom), bottom = std::max(Sel.Top, Sel.Bottom);
    for (int r = std::max(top, 1); r <= bottom && r <= static_cast<int>(List.size()); ++r)
        if (List[r - 1].SizeAfter != -1) state.ShowResult = true;
    return state;
}

// ------------------------------------------------------------ engine callbacks

void TBatchCore::ReportEngineError(const std::string& Text, int Kind) {
    if (Settings.gCopyOriginal) return;  // no engine or run box with this setting
    switch (Kind) {
    case 0:
        Dialogs.ShowMessage({Text, kMessageTitle, TMsgIcon::None, TMsgButtons::Ok});
        break;
    case 1:
        Dialogs.ShowMessage({Text, kWarningTitle, TMsgIcon::Warning, TMsgButtons::Yes});
        break;
    default:
        Dialogs.ShowMessage({Text + "\r" + kCannotProcess, kErrorTitle, TMsgIcon::Error, TMsgButtons::Yes});
        break;
    }
}

void TBatchCore::ShowProgressMax(int Max) { View.SetProgressMax(Max); }

bool TBatchCore::ShowProgress(int Position) {
    View.SetProgressPosition(Position);
    View.ProcessEvents();
    return RunningFlag;
}

} // namespace lumaro
