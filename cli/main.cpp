// lumaro-cli: the command-line form of lumaro.
//   lumaro-cli [OPTIONS] PATH...   runs files and folders through the batch core
//   lumaro-cli --stdout [--no-optimize] [--strip-exif] FILE
// The second form writes the result to standard output (the source bytes when
// the result would not be smaller); on failure the engine's message goes to
// standard error and nothing to standard output.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "CliOptions.h"
#include "Collect.h"
#include "JpegPeel.h"
#include "MappedFile.h"
#include "ParallelRun.h"
#include "Paths.h"
#include "PosixPlatform.h"
#include "Report.h"
#include "WorkPlan.h"

using namespace lumaro;

#ifndef LUMARO_VERSION
#define LUMARO_VERSION "1.06"
#endif

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) { gInterrupted = true; }

// Messages go through stdio: the C++ streams would be set up at every start
// (a fifth of a millisecond here), whatever the run needs.
int Usage(const std::string& Message) {
    std::fprintf(stderr, "lumaro-cli: %s\n使い方: lumaro-cli [オプション] パス...  (詳しくは lumaro-cli --help)\n",
                 Message.c_str());
    return 2;
}

// Reads the whole file straight into the stream's buffer (on large pages).
bool ReadInto(const std::string& path, TMemoryStream& into) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    TByteBuffer& bytes = into.Data();
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        into.Reserve(static_cast<std::size_t>(size));
        into.Prepare(static_cast<std::size_t>(size));
        bytes.resize(static_cast<std::size_t>(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fgetc(f) == EOF;
    }
    std::fclose(f);
    into.SetPosition(0);
    return ok;
}

// One file to standard output. After a write the process ends here.
int RunToStdout(const TCliOptions& o) {
    const std::string& path = o.Paths.front();
    TMemoryStream read, out;
    TJpegPeel peel;
    peel.OptimizeCode = o.Optimize;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) peel.Expect(static_cast<std::size_t>(info.st_size));
    // A regular file is mapped; anything else (a pipe, a device) is read.
    TMappedFile mapped;
    const std::string lost = path + ": cannot be read (the file was cut short while it was being read)\n";
    if (mapped.Open(path)) {
        TMappedFile::ReportLostPagesAs(lost.c_str());
    } else if (!ReadInto(path, read)) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
        return 1;
    }
    const std::uint8_t* source = mapped.Data() ? mapped.Data() : read.Memory();
    const std::size_t sourceSize = mapped.Data() ? mapped.Size() : read.Size();

    peel.RemoveExif = o.StripExif;
    std::string message;
    peel.OnError = [&](const std::string& text, int) { if (message.empty()) message = text; };
    // The source's scan is not needed once decoded: its pages go before the
    // result's are made (peak memory about the source's size lower).
    if (mapped.Data()) peel.OnSourceRead = [&](std::size_t offset, std::size_t length) { mapped.Release(offset, length); };
    if (!peel.Process(source, sourceSize, out)) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), message.empty() ? "処理を中止しました。" : message.c_str());
        return 1;
    }
    // A mapped source sees what other programs write to the file meanwhile.
    if (mapped.Data() && !mapped.Unchanged()) {
        std::fprintf(stderr, "%s: cannot be read (the file was written to while it was being read)\n", path.c_str());
        return 1;
    }
    // The records go back to the system on the engine's thread while this
    // one writes: less is left to take down at the end.
    peel.ReleaseWorkingMemory();
    const bool smaller = out.Size() < sourceSize;
    const std::uint8_t* result = smaller ? out.Memory() : source;
    const std::size_t resultSize = smaller ? out.Size() : sourceSize;
    // A write that fails part of the way (a full disk) is a failure.
    int err = 0;
    const int status = std::fflush(stdout) == 0 && WriteAll(STDOUT_FILENO, result, resultSize, err) ? 0 : 1;
    if (status) std::fputs("lumaro-cli: 標準出力に書き出せませんでした。\n", stderr);
    // Nothing is left to do: the system takes the buffers and the second
    // thread down at once, faster than unwinding them would (the thread may
    // be asleep and have to be woken first).
    std::_Exit(status);
}

std::string WorkingFolder() {
    std::vector<char> buf(4096);
    while (!::getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return "/";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

int RunBatch(const TCliOptions& o) {
    const std::string cwd = WorkingFolder();
    TPosixFileSystem fs;

    std::string outputFolder;
    if (o.Mode == sfmFixedFolder) {
        outputFolder = AbsolutePath(o.OutputFolder, cwd);
        if (!fs.FolderExists(outputFolder)) return Usage("出力先のフォルダがありません: " + o.OutputFolder);
    }
    const TSettings settings = SettingsFor(o, outputFolder);

    TReporter::TConfig config;
    config.Json = o.Json;
    config.Quiet = o.Quiet;
    config.ProgressBar = !o.Quiet && ::isatty(STDERR_FILENO);
    TReporter reporter(config);

    TCollector collector(fs, o.Recurse, cwd);
    for (const std::string& p : o.Paths) collector.Add(p);
    for (const std::string& n : collector.Notices) reporter.Notice(n);
    bool unreadable = false;
    for (const TCollectProblem& p : collector.Problems) {
        TOutcome out;
        out.Status = TFileStatus::Failed;
        out.Source = p.Display;
        out.Before = p.Size;
        out.Message = p.Message;
        out.Boxes = {p.Message};
        reporter.Problem(out);
        unreadable = unreadable || p.Unreadable;
    }

    TRunRequest request;
    request.Settings = settings;
    request.Files = collector.Files;
    request.WorkingFolder = cwd;
    request.Jobs = o.Jobs ? o.Jobs : std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::string> paths;
    std::vector<std::int64_t> fileBytes;
    std::int64_t bytes = 0;
    for (const TListedFile& f : request.Files) {
        paths.push_back(f.Path);
        fileBytes.push_back(fs.FileSize(f.Path).value_or(0));
        bytes += fileBytes.back();
    }
    const std::string fixedFolder =
        IncludeTrailingSeparator(IncludeTrailingSeparator(outputFolder) + "result_lumaro");
    request.Units = PlanUnits(paths, settings.gSaveFolderMode, fixedFolder);
    request.Order = DispatchOrder(request.Units, fileBytes, settings.gCopyOriginal);

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    const auto start = std::chrono::steady_clock::now();
    // A path that cannot be read stops everything before a file is touched,
    // as the window does when collecting fails, unless --keep-going is given.
    std::atomic<bool> stop{unreadable && !settings.gCopyOriginal};
    if (stop && !request.Files.empty())
        reporter.Notice("読み込めないパスがあるため、どのファイルも処理しませんでした (--keep-going で残りを処理します)。");
    reporter.BeginRun(request.Files.size(), bytes);
    const bool durable = RunUnits(request, reporter, stop, gInterrupted);
    const auto elapsed = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());

    const TTotals totals = reporter.Totals();
    if (totals.Files > 0 || o.Json)
        reporter.Finish(totals, SummaryText(totals.Processed, elapsed, totals.Before, totals.After, gInterrupted),
                        elapsed);
    if (gInterrupted) return 130;
    return totals.Failed > 0 || totals.Skipped > 0 || !durable ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    TCliOptions options;
    if (auto error = ParseArguments(std::vector<std::string>(argv + 1, argv + argc), options)) return Usage(*error);
    if (options.Help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("lumaro-cli %s\n", LUMARO_VERSION);
        return 0;
    }
    if (options.ToStdout) return RunToStdout(options);
    return RunBatch(options);
}
