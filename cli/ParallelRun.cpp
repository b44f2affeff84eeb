#include "ParallelRun.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "BatchCore.h"
#include "LargeMemory.h"
#include "PosixPlatform.h"
#include "ScanThreading.h"
#include "ThreadPlacement.h"

namespace lumaro {

namespace {

// What the workers share.
struct TShared {
    TShared(const TRunRequest& R, TReporter& Rep, std::atomic<bool>& St, const std::atomic<bool>& In)
        : Request(R), Reporter(Rep), Stop(St), Interrupted(In), Delivered(R.Files.size(), 0) {}
    const TRunRequest& Request;
    TReporter& Reporter;
    std::atomic<bool>& Stop;
    const std::atomic<bool>& Interrupted;
    std::atomic<std::size_t> NextUnit{0};
    std::mutex DeliveredLock;
    std::vector<char> Delivered;

    void Deliver(std::size_t Index, TOutcome Outcome) {
        {
            std::lock_guard<std::mutex> guard(DeliveredLock);
            if (Delivered[Index]) return;
            Delivered[Index] = 1;
        }
        // Without gCopyOriginal the first failure ends the run, as in the window.
        if (Outcome.Status == TFileStatus::Failed && !Request.Settings.gCopyOriginal) Stop = true;
        Reporter.Deliver(Index, std::move(Outcome));
    }
};

// One worker: a batch core of its own, a view that turns the core's grid
// updates into per-file outcomes, and dialogs that never ask anything.
class TWorker final : public IBatchView, public IDialogs {
public:
    TWorker(unsigned Id, TShared& Shared)
        : Id(Id), S(Shared), Settings(Shared.Request.Settings), Core(Settings, *this, *this, Fs, Clock) {
        Fs.DeferNewFiles = true;
        // The core shows nothing for the engine with gCopyOriginal set; the
        // engine's text is still wanted for the file's line.
        Core.Peel.OnError = [this](const std::string& Text, int Kind) {
            if (EngineMessage.empty()) EngineMessage = Text;
            Core.ReportEngineError(Text, Kind);
        };
    }

    void Run() {
        const auto& units = S.Request.Units;
        while (!S.Stop && !S.Interrupted) {
            const std::size_t u = S.NextUnit.fetch_add(1);
            if (u >= units.size()) break;
            const auto& order = S.Request.Order;
            RunUnit(units[order.empty() ? u : order[u]]);
        }
    }

    // Gives this worker's buffers back once it has no file left, on its own
    // thread, side by side with the other workers: unmapped one worker after
    // another by the first thread at the end of the run, they kept the last
    // 2 to 5 ms of the batch over the camera folder on one CPU.
    void ReleaseMemory() {
        Core.Peel.ReleaseWorkingMemory();
        Core.InStream.Release();
        Core.OutStream.Release();
    }

    // Makes this worker's new files durable, on its own thread: the first
    // worker done waits for its disk writes while the other still works.
    void FlushWrites() { Durable = Fs.FlushWrites(FlushError); }
    bool Durable = true;
    TIoError FlushError;

    // ---- IBatchView: the run announces each file by selecting its row.
    void SetGridSelection(const TGridSelection& Selection) override {
        if (!InRun || Selection.Top < 1) return;
        FinishCurrent();
        Current = Selection.Top - 1;
        Attempted[Current] = 1;
        EngineMessage.clear();
        Boxes.clear();
        ProgressMax = 0;
    }
    void SetProgressMax(int Max) override { ProgressMax = Max; }
    void SetProgressPosition(int Position) override {
        if (InRun && Current >= 0)
            S.Reporter.WorkerProgress(Id, Core.FileList()[Current].SizeBefore, Position, ProgressMax);
    }
    void ProcessEvents() override {
        if (S.Interrupted) Core.mnu_StopOperationClick();
    }
    void SetStatusText(const std::string&) override {}  // the summary is made for the whole run
    void SetCommandEnabled(TCommand, bool) override {}
    void SetProgressBarVisible(bool) override {}
    void SetGridVisible(bool) override {}
    void SetGridRowCount(int) override {}
    void SetGridTopRow(int) override {}
    int VisibleDataRows() override { return 1; }
    void RepaintGrid() override {}
    void FitColumnsForName(const std::string&) override {}
    void SetDropAccepted(bool) override {}

    // ---- IDialogs: the command line asks nothing.
    std::optional<std::vector<std::string>> OpenFiles() override { return std::nullopt; }
    std::optional<std::string> PickFolder() override { return std::nullopt; }
    std::optional<std::string> SaveAs(const std::string&) override { return std::nullopt; }
    // Never reached with fresh entries; should it be, every file is processed
    // again ("すべてのファイルを処理" is the dialog's No button).
    TWarningButton ShowWarning() override { return TWarningButton::No; }
    void ShowMessage(const TMessageBox& Box) override {
        if (InRun && Current >= 0) Boxes.push_back(Box.Text);
        else S.Reporter.Notice(Box.Text);
    }
    void BringToFront() override {}

private:
    void RunUnit(const std::vector<std::size_t>& Unit) {
        const bool keepGoing = Settings.gCopyOriginal;
        if (!Core.FileList().empty()) {  // a fresh list: no re-process question, no old results
            Core.SelectAll();
            Core.mnu_ListClearClick();
        }
        ListToFile.clear();
        bool addFailed = false;
        for (std::size_t index : Unit) {
            const TListedFile& file = S.Request.Files[index];
            if (addFailed && !keepGoing) break;
            const std::size_t count = Core.FileList().size();
            std::string problem;
            try {
                Core.AddSource = asSilent;
                Core.AddFile(file.Path);
                if (Core.FileList().size() == count) problem = file.Display + "はJPEGファイルではないようです。";
            } catch (const ECollectError& e) {
                problem = e.what();  // vanished or unreadable since it was listed
            }
            if (!problem.empty()) {
                TOutcome o;
                o.Status = TFileStatus::Failed;
                o.Source = file.Display;
                o.Message = problem;
                S.Deliver(index, std::move(o));
                addFailed = true;
                continue;
            }
            ListToFile.push_back(index);
        }
        if (addFailed && !keepGoing) {
            for (std::size_t index : Unit) Skip(index);
            return;
        }

        Attempted.assign(ListToFile.size(), 0);
        Current = -1;
        InRun = true;
        Core.mnu_DoOperationClick();
        FinishCurrent();
        InRun = false;
        // Files after a failure that ended the unit's run.
        for (std::size_t j = 0; j < ListToFile.size(); ++j)
            if (!Attempted[j]) Skip(ListToFile[j]);
    }

    void Skip(std::size_t Index) {
        TOutcome o;
        o.Source = S.Request.Files[Index].Display;
        o.Status = TFileStatus::Skipped;
        S.Deliver(Index, std::move(o));
    }

    // The outcome of the file in hand, from its entry and the core's buffers,
    // which still hold this file until the next one is read.
    void FinishCurrent() {
        if (Current < 0) return;
        const TListedFile& file = S.Request.Files[ListToFile[Current]];
        const TFileEntry& entry = Core.FileList()[Current];
        TOutcome o;
        o.Source = file.Display;
        o.Before = entry.SizeBefore;
        if (entry.SizeAfter >= 0 && !entry.ResultPath.empty()) {
            o.After = entry.SizeAfter;
            o.Result = DisplayPath(entry.ResultPath, file.Display, S.Request.WorkingFolder);
            if (!EngineMessage.empty()) {
                o.Status = TFileStatus::Failed;  // written as it was, with gCopyOriginal
                o.Message = EngineMessage;
            } else {
                // Only the never-larger rule makes the two sizes equal.
                o.Status = Core.OutStream.Size() == Core.InStream.Size() ? TFileStatus::Unchanged : TFileStatus::Done;
            }
        } else if (S.Interrupted) {
            o.Status = TFileStatus::Skipped;
        } else {
            o.Status = TFileStatus::Failed;
            if (!EngineMessage.empty()) o.Message = EngineMessage;
            else if (!Boxes.empty()) o.Message = Boxes.front();
            else o.Message = Settings.gCopyOriginal ? "ファイルの保存に失敗しました。" : "処理を中止しました。";
        }
        if (!S.Interrupted) o.Boxes = std::move(Boxes);
        Boxes.clear();
        S.Reporter.WorkerProgress(Id, 0, 0, 0);
        S.Deliver(ListToFile[Current], std::move(o));
        Current = -1;
    }

    unsigned Id;
    TShared& S;
    TSettings Settings;
    TPosixFileSystem Fs;  // thread-safe: unique temporary names, folders made once
    TSteadyClock Clock;
    TBatchCore Core;

    bool InRun = false;
    int Current = -1;                    // the list index in hand
    std::vector<std::size_t> ListToFile;  // list index -> file index of the run
    std::vector<char> Attempted;
    std::string EngineMessage;
    std::vector<std::string> Boxes;
    int ProgressMax = 0;
};

} // namespace

bool RunUnits(const TRunRequest& Request, TReporter& Reporter, std::atomic<bool>& Stop,
              const std::atomic<bool>& Interrupted) {
    TShared shared(Request, Reporter, Stop, Interrupted);
    const unsigned jobs = static_cast<unsigned>(
        std::max<std::size_t>(1, std::min<std::size_t>(Request.Jobs, Request.Units.size())));

    std::vector<std::unique_ptr<TWorker>> workers;
    for (unsigned i = 0; i < jobs; ++i) workers.push_back(std::make_unique<TWorker>(i, shared));
    auto body = [&](TWorker& w) {
        try {
            w.Run();
        } catch (const std::exception& e) {
            Reporter.Notice(std::string("内部エラーが発生しました: ") + e.what());
            Stop = true;
        }
        w.ReleaseMemory();
        w.FlushWrites();
    };
    // With a worker per CPU every CPU has work: a file's second thread would
    // only take turns with another worker (measured: the batch over 21 camera
    // files 79 to 77 ms, 37 to 33 MB).
    const bool refused = ScanThreading().RefuseThreads;
    if (jobs >= std::max(1u, std::thread::hardware_concurrency())) ScanThreading().RefuseThreads = true;
    // Several files: their buffers go on small pages (see AllowLargePages;
    // measured on a virtual machine that hands free memory back to its host:
    // the batch over the 21 camera files 65.1 to 57.2 ms, median of 16).
    const bool largePages = LargePagesAllowed();
    if (Request.Files.size() > 1) AllowLargePages(false);
    // This thread is the first worker. Each other one is moved off this CPU
    // as it starts, instead of sharing it until the scheduler balances the
    // load; without a thread to be had, fewer workers share the units.
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < workers.size(); ++i) {
        try {
            threads.push_back(StartOffCallersCpu([&body, &workers, i] { body(*workers[i]); }));
        } catch (const std::system_error&) {
            break;
        }
    }
    body(*workers[0]);
    for (auto& t : threads) t.join();
    ScanThreading().RefuseThreads = refused;
    AllowLargePages(largePages);
    bool durable = true;
    for (auto& w : workers) {
        if (!w->Durable && durable) {
            Reporter.Notice("処理結果をディスクに書き込めませんでした: " + w->FlushError.Text);
            durable = false;
        }
    }
    // Files of units that were never started, or lost to an internal error.
    for (std::size_t i = 0; i < Request.Files.size(); ++i) {
        if (shared.Delivered[i]) continue;
        TOutcome o;
        o.Source = Request.Files[i].Display;
        o.Status = TFileStatus::Skipped;
        shared.Deliver(i, std::move(o));
    }
    return durable;
}

} // namespace lumaro
