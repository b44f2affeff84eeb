// The run over the file list: destinations, backups, the never-larger rule,
// error policy, file times, progress, stop and the closing summary.
#include <algorithm>
#include <set>

#include "BatchCore.h"
#include "Paths.h"

namespace lumaro {

namespace {
const char* const kResultFolderName = "result_lumaro";
const char* const kStopped = "処理を中止しました。";
const char* const kSaveFailed = "ファイルの保存に失敗しました。処理を中止しました。";
const char* const kReadFailed = "ファイルを読み込めませんでした。処理を中止しました。";
const char* const kWriteFailed = "ファイルの書き込みに失敗しました。処理を中止しました。";
const char* const kChangedMeanwhile =
    "ファイルが処理中に他のプログラムによって変更されたため、上書きしませんでした。処理を中止しました。";
const char* const kInternalError = "内部エラーが発生しました: ";
const char* const kOneFileTime = "処理時間  ";
const char* const kOneFileTail = "ミリ秒。ダブルクリックすると処理後の画像を表示します。";
const char* const kErrorTitle = "エラー";
} // namespace

class TBatchCore::TRun {
public:
    explicit TRun(TBatchCore& core) : C(core) {}
    void Execute();

private:
    void Body();
    enum class TStep { Next, End };

    TStep ProcessEntry(std::size_t Index);
    bool MakeBackup(const std::string& Source);
    bool RunEngine();
    TStep TargetNotWritten(std::size_t Index);
    bool SourceChangedSince(const std::string& Source, const TFileTimes& Before, std::size_t SizeRead);
    void Begin();
    void End(bool WriteStatus);
    void SetRunCommands(bool Running);
    void Error(const std::string& Text) {
        C.Dialogs.ShowMessage({Text, kErrorTitle, TMsgIcon::Error, TMsgButtons::Ok});
    }
    static std::string ResultFolderIn(const std::string& Folder) {
        return IncludeTrailingSeparator(IncludeTrailingSeparator(Folder) + kResultFolderName);
    }
    void EnsureFolder(const std::string& Folder) {
        if (!C.Fs.FolderExists(Folder)) C.Fs.CreateFolder(Folder);  // a failure shows when writing
    }
    int Mode() const {
        // A mode number this program does not know is taken as the default,
        // beside each source, rather than writing into the working folder.
        return C.Settings.gSaveFolderMode <= sfmOverwriteWithBak ? int(C.Settings.gSaveFolderMode) : int(sfmSourceFolder);
    }

    TBatchCore& C;
    std::uint16_t Answer = waAll;
    std::int32_t Processed = 0;
    std::int64_t TotalBefore = 0, TotalAfter = 0;
    std::uint32_t StartTick = 0;
    bool SaveAsCase = false;
    std::string ResultFolder;
    std::set<std::string> BackupsMade;  // backups written by this run
};

void TBatchCore::mnu_DoOperationClick() {
    if (InRun) return;  // never a second run
    View.SetDropAccepted(false);
    if (List.empty()) {
        View.SetDropAccepted(true);
        return;
    }
    TRun run(*this);
    run.Execute();
}

void TBatchCore::TRun::Execute() {
    Begin();
    try {
        Body();
    } catch (const std::exception& e) {
        // Whatever went wrong (memory for a huge file, say), the window gets
        // its commands back and nothing half-written is left behind.
        Error(std::string(kInternalError) + e.what() + "\n" + kStopped);
        End(true);
    }
}

void TBatchCore::TRun::SetRunCommands(bool running) {
    for (TCommand c : {TCommand::FileOpen, TCommand::FolderOpen, TCommand::DoOperation, TCommand::ListClear,
                       TCommand::Option})
        C.View.SetCommandEnabled(c, !running);
    C.View.SetCommandEnabled(TCommand::StopOperation, running);
}

void TBatchCore::TRun::Begin() {
    SetRunCommands(true);
    C.InRun = true;
    C.RunningFlag = true;
    Answer = waAll;
    C.View.SetProgressPosition(0);
    C.View.SetProgressBarVisible(true);
    StartTick = C.Clock.TickMs();
}

void TBatchCore::TRun::End(bool WriteStatus) {
    SetRunCommands(false);
    if (WriteStatus) {
        const std::uint32_t elapsed = C.Clock.TickMs() - StartTick;  // wraps like the counter
        std::string text;
        if (Answer == waCancel) {
            text = std::to_string(C.List.size()) + kListStatusSuffix;
        } else if (Processed == 1 && C.RunningFlag) {
            text = kOneFileTime + std::to_string(elapsed) + kOneFileTail;
        } else {
            text = std::to_string(Processed) + "個のファイルを処理しました。(処理時間  " + std::to_string(elapsed) +
                   "ミリ秒)。合計" + std::to_string(TotalBefore) + "byte→" + std::to_string(TotalAfter) +
                   "byte。ダブルクリックすると処理後の画像を表示します。";
        }
        C.View.SetStatusText(text);
    }
    C.View.SetProgressBarVisible(false);
    C.View.SetDropAccepted(true);
    C.InRun = false;
}

void TBatchCore::TRun::Body() {
    const TSettings& s = C.Settings;
    SaveAsCase = s.gUseSaveAs && C.List.size() == 1;

    if (Mode() == sfmAskEachTime && !SaveAsCase) {
        auto folder = C.Dialogs.PickFolder();
        if (!folder) {
            End(false);  // the status line keeps its text
            return;
        }
        ResultFolder = ResultFolderIn(*folder);
        EnsureFolder(ResultFolder);
    } else if (Mode() == sfmFixedFolder) {
        ResultFolder = ResultFolderIn(s.gSaveFolder.empty() ? C.Fs.DesktopFolder() : s.gSaveFolder);
        EnsureFolder(ResultFolder);
    }

    if (TWarning::NeedsConfirmation(C.List)) Answer = C.Warning.Ask(C.Dialogs);

    if (Answer != waCancel) {
        const std::size_t count = C.List.size();
        for (std::size_t i = 0; i < count; ++i)
            if (ProcessEntry(i) == TStep::End) break;
    }
    End(true);
}

TBatchCore::TRun::TStep TBatchCore::TRun::ProcessEntry(std::size_t i) {
    const TSettings& s = C.Settings;
    IBatchView& view = C.View;
    const int row = static_cast<int>(i) + 1;
    C.Sel = {0, row, 4, row};
    view.SetGridSelection(C.Sel);
    // The current row becomes the last visible one.
    view.SetGridTopRow(std::max(1, static_cast<int>(i) - view.VisibleDataRows() + 2));
    view.RepaintGrid();

    const std::string source = C.List[i].SourcePath;
    std::string target;
    bool backupFailed = false;
    if (SaveAsCase) {
        C.Dialogs.BringToFront();
        auto chosen = C.Dialogs.SaveAs(source);
        if (!chosen) return TStep::Next;
        target = Mode() == sfmFixedFolder ? ResultFolder + ExtractFileName(*chosen) : *chosen;
    } else {
        if (Answer == waOnlyNew && C.List[i].SizeAfter != -1) return TStep::Next;
        switch (Mode()) {
        case sfmSourceFolder:
            ResultFolder = ResultFolderIn(ExtractFilePath(source));
            EnsureFolder(ResultFolder);
            break;
        case sfmOverwrite:
            ResultFolder = ExtractFilePath(source);
            break;
        case sfmOverwriteWithBak:
            ResultFolder = ExtractFilePath(source);
            backupFailed = !MakeBackup(source);
            break;
        default:
            break;  // picked or fixed folder: set at the start
        }
        target = ResultFolder + ExtractFileName(source);
    }
    // Without its backup the source is not overwritten.
    if (backupFailed) return TargetNotWritten(i);

    const TFileTimes times = C.Fs.GetFileTimes(source);

    TIoError error;
    if (!C.Fs.ReadWholeFile(source, C.InStream.Data(), error)) {
        C.InStream.Clear();
        Error(std::string(kReadFailed) + "\n" + source + "\n" + error.Text);
        return TStep::End;
    }
    C.InStream.SetPosition(0);
    C.OutStream.Clear();

    C.Peel.OptimizeCode = s.gOptimize_Code;
    C.Peel.RemoveExif = s.gOptimize_Exif;
    if (!RunEngine()) {
        if (!s.gCopyOriginal) {
            Error(kStopped);
            return TStep::End;
        }
        C.OutStream.CopyFrom(C.InStream);  // the source bytes become the result
    }
    if (!C.RunningFlag) return TStep::End;  // stopped: the file in hand is not written

    // A result is never larger than its source; on a tie the source is kept.
    if (C.OutStream.Size() >= C.InStream.Size()) C.OutStream.CopyFrom(C.InStream);

    TFileEntry& entry = C.List[i];
    // Over the source: a file that another program changed while it was being
    // processed keeps that change; the result of its old content is not written.
    if (target == source && SourceChangedSince(source, times, C.InStream.Size())) {
        entry.SizeAfter = -1;
        Error(std::string(kChangedMeanwhile) + "\n" + source);
        return TStep::End;
    }
    switch (C.Fs.WriteWholeFile(target, C.OutStream.Memory(), C.OutStream.Size(), error)) {
    case TWriteStatus::Ok:
        break;
    case TWriteStatus::CannotCreate:
        return TargetNotWritten(i);
    case TWriteStatus::WriteFailed:
        // Nothing was replaced; the entry shows no result.
        entry.SizeAfter = -1;
        Error(std::string(kWriteFailed) + "\n" + target + "\n" + error.Text);
        return TStep::End;
    }
    entry.SizeAfter = static_cast<std::int64_t>(C.OutStream.Size());
    entry.ResultPath = target;
    ++Processed;
    if (s.gKeepTimeStamp_Create && times.Creation) C.Fs.SetCreationTime(target, *times.Creation);
    if (s.gKeepTimeStamp_Write && times.LastWrite) C.Fs.SetLastWriteTime(target, *times.LastWrite);

    TotalBefore += entry.SizeBefore;
    TotalAfter += entry.SizeAfter;
    view.RepaintGrid();
    view.ProcessEvents();  // a stop pressed here is seen at the next file
    return TStep::Next;
}

bool TBatchCore::TRun::SourceChangedSince(const std::string& Source, const TFileTimes& Before,
                                          std::size_t SizeRead) {
    const std::optional<std::int64_t> size = C.Fs.FileSize(Source);
    if (!size || *size != static_cast<std::int64_t>(SizeRead)) return true;
    return C.Fs.GetFileTimes(Source).LastWrite != Before.LastWrite;
}

// The target could not be created (or, in mode 4, the backup could not be
// made): the entry loses its result size; with gCopyOriginal the run goes on
// silently, and the file is neither counted nor summed.
TBatchCore::TRun::TStep TBatchCore::TRun::TargetNotWritten(std::size_t i) {
    C.List[i].SizeAfter = -1;
    if (!C.Settings.gCopyOriginal) {
        Error(kSaveFailed);
        return TStep::End;
    }
    C.View.RepaintGrid();
    C.View.ProcessEvents();
    return TStep::Next;
}

// Keeps a copy of the source with the extension ".bak", with the source's
// times. A backup made earlier in this run, or a file that is itself in the
// list, is never replaced: the copy then takes the full name plus ".bak".
bool TBatchCore::TRun::MakeBackup(const std::string& Source) {
    auto taken = [&](const std::string& name) {
        if (name == Source || BackupsMade.count(name)) return true;
        for (const TFileEntry& e : C.List)
            if (e.SourcePath == name) return true;
        return false;
    };
    std::string backup = ChangeFileExt(Source, ".bak");
    if (taken(backup)) backup = Source + ".bak";
    while (taken(backup)) backup += ".bak";

    const TFileTimes times = C.Fs.GetFileTimes(Source);
    TIoError error;
    if (!C.Fs.CopyFile(Source, backup, error)) return false;
    BackupsMade.insert(backup);
    if (times.Creation) C.Fs.SetCreationTime(backup, *times.Creation);
    if (times.LastWrite) C.Fs.SetLastWriteTime(backup, *times.LastWrite);
    return true;
}

// The engine promises not to throw; should anything escape it all the same,
// the file counts as not processable instead of ending the program.
bool TBatchCore::TRun::RunEngine() {
    try {
        return C.Peel.Process(C.InStream, C.OutStream);
    } catch (const std::exception& e) {
        C.ReportEngineError(std::string(kInternalError) + e.what(), 2);
    } catch (...) {
        C.ReportEngineError(std::string(kInternalError) + "?", 2);
    }
    return false;
}

} // namespace lumaro
