#pragma once
// What lumaro-cli prints: one line (or JSON object) per file, the closing
// summary, messages and the progress bar. One TReporter is shared by all
// workers; it prints the files in list order whatever order they finish in.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lumaro {

enum class TFileStatus { Done, Unchanged, Failed, Skipped };

struct TOutcome {
    TFileStatus Status = TFileStatus::Skipped;
    std::string Source;        // as shown
    std::string Result;        // as shown; empty when nothing was written
    std::int64_t Before = -1;  // -1: unknown
    std::int64_t After = -1;   // -1: nothing written
    std::string Message;       // why it failed (Japanese), or empty
    std::vector<std::string> Boxes;  // message boxes shown while the file was in hand
};

struct TTotals {
    std::int64_t Files = 0, Processed = 0, Failed = 0, Skipped = 0;
    std::int64_t Before = 0, After = 0;  // of the files written
};

// A JSON string literal: quotes, backslashes and control characters escaped;
// bytes that are not valid UTF-8 (a file name in another encoding) become
// U+FFFD so that the line stays valid JSON.
std::string JsonString(const std::string& Text);

std::string JsonLine(const TOutcome& Outcome);
std::string JsonSummary(const TTotals& Totals, const std::string& SummaryText, std::uint32_t ElapsedMs);
std::string FileLine(const TOutcome& Outcome);

// The window's closing status text for a run.
std::string SummaryText(std::int64_t Processed, std::uint32_t ElapsedMs, std::int64_t Before, std::int64_t After,
                        bool Stopped);

// Message box text on one line: line breaks become spaces.
std::string OneLine(const std::string& Text);

class TReporter {
public:
    struct TConfig {
        bool Json = false;
        bool Quiet = false;
        bool ProgressBar = false;  // standard error is a terminal and not -q
        std::FILE* Out = stdout;
        std::FILE* Err = stderr;
    };
    explicit TReporter(TConfig Config);

    // A file that never entered the run (collection); printed at once.
    void Problem(const TOutcome& Outcome);
    // A message that belongs to no file (standard error, unless -q).
    void Notice(const std::string& Text);

    // The run's files are known: their count and total size, for the bar.
    void BeginRun(std::size_t Files, std::int64_t Bytes);
    // File Index of the run has an outcome; printed once all before it are.
    void Deliver(std::size_t Index, TOutcome Outcome);
    // Progress within the file a worker has in hand.
    void WorkerProgress(unsigned Worker, std::int64_t FileBytes, int Position, int Max);
    // Prints what is still held (files after a skipped one) and the summary.
    void Finish(const TTotals& Totals, const std::string& SummaryText, std::uint32_t ElapsedMs);

    TTotals Totals() const;

private:
    void Emit(const TOutcome& Outcome);
    void DrawBar(bool Force);
    void ClearBar();

    TConfig Cfg;
    mutable std::mutex Lock;
    std::map<std::size_t, TOutcome> Held;
    std::size_t NextIndex = 0;
    std::size_t RunFiles = 0, FilesDone = 0;
    std::int64_t RunBytes = 0, BytesDone = 0;
    struct TInHand { std::int64_t Bytes = 0; int Position = 0, Max = 0; };
    std::map<unsigned, TInHand> InHand;
    TTotals Sum;
    bool BarShown = false;
    double LastFraction = 0;
    std::chrono::steady_clock::time_point LastDraw{};
};

} // namespace lumaro
