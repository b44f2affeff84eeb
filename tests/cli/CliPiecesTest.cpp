// The pieces of lumaro-cli that decide something on their own: the command
// line, the split into units for parallel workers, collection, JSON text and
// the summary.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "CliOptions.h"
#include "Collect.h"
#include "MappedFile.h"
#include "PosixPlatform.h"
#include "Report.h"
#include "WorkPlan.h"

using namespace lumaro;

namespace {

std::optional<std::string> Parse(std::vector<std::string> args, TCliOptions& o) { return ParseArguments(args, o); }

using Units = std::vector<std::vector<std::size_t>>;

} // namespace

TEST(CliArguments, AcceptsTheUsualSpellings) {
    TCliOptions o;
    ASSERT_FALSE(Parse({"-rpq", "-j4", "--json", "a.jpg", "--", "-odd.jpg", "--json"}, o));
    EXPECT_TRUE(o.Recurse && o.KeepCreated && o.KeepModified && o.Quiet && o.Json);
    EXPECT_EQ(o.Jobs, 4u);
    EXPECT_EQ(o.Paths, (std::vector<std::string>{"a.jpg", "-odd.jpg", "--json"}));

    TCliOptions f;
    ASSERT_FALSE(Parse({"--jobs=3", "-o", "out", "--keep-going", "x"}, f));
    EXPECT_EQ(f.Jobs, 3u);
    EXPECT_EQ(f.Mode, sfmFixedFolder);
    EXPECT_EQ(f.OutputFolder, "out");
    const TSettings s = SettingsFor(f, "/abs/out");
    EXPECT_EQ(s.gSaveFolder, "/abs/out");
    EXPECT_TRUE(s.gCopyOriginal);
    EXPECT_FALSE(s.gUseSaveAs);  // never a Save As question on the command line
    EXPECT_FALSE(s.gKeepTimeStamp_Write);

    TCliOptions b;
    ASSERT_FALSE(Parse({"--backup", "--strip-exif", "--no-optimize", "x"}, b));
    EXPECT_EQ(SettingsFor(b, "").gSaveFolderMode, sfmOverwriteWithBak);
    EXPECT_TRUE(SettingsFor(b, "").gOptimize_Exif);
    EXPECT_FALSE(SettingsFor(b, "").gOptimize_Code);
}

TEST(CliArguments, RefusesBadUsage) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--frobnicate", "a.jpg"},
        {"-j", "0", "a.jpg"},
        {"-j", "two", "a.jpg"},
        {"-j"},
        {"-x", "a.jpg"},
        {"-o"},
        {"-o", "d", "--overwrite", "a.jpg"},
        {"--overwrite", "--backup", "a.jpg"},
        {"-o", "d", "-o", "e", "a.jpg"},
        {"--stdout"},
        {"--stdout", "a.jpg", "b.jpg"},
        {"--stdout", "-r", "a.jpg"},
        {"--stdout", "--json", "a.jpg"},
    };
    for (const auto& args : bad) {
        TCliOptions o;
        auto error = ParseArguments(args, o);
        EXPECT_TRUE(error.has_value()) << ::testing::PrintToString(args);
        if (error) {
            EXPECT_FALSE(error->empty());
        }
    }
}

TEST(CliArguments, KeepsTheOneFileForm) {
    TCliOptions o;
    ASSERT_FALSE(Parse({"--no-optimize", "--stdout", "--strip-exif", "f.jpg"}, o));
    EXPECT_TRUE(o.ToStdout && o.StripExif && !o.Optimize);
    TCliOptions h;
    EXPECT_FALSE(Parse({"--help"}, h));  // no path needed
    EXPECT_TRUE(h.Help);
}

TEST(CliWorkPlan, IndependentFilesAreUnitsOfTheirOwn) {
    const std::vector<std::string> paths = {"/p/a.jpg", "/p/b.jpg", "/q/a.jpg"};
    EXPECT_EQ(PlanUnits(paths, sfmSourceFolder, ""), (Units{{0}, {1}, {2}}));
    EXPECT_EQ(PlanUnits(paths, sfmOverwrite, ""), (Units{{0}, {1}, {2}}));
}

TEST(CliWorkPlan, FilesThatShareATargetRunTogetherInListOrder) {
    // One -o folder: "a.jpg" from two folders (letter case disregarded).
    const std::vector<std::string> paths = {"/p/a.jpg", "/p/b.jpg", "/q/A.JPG", "/r/c.jpg"};
    EXPECT_EQ(PlanUnits(paths, sfmFixedFolder, "/out/result_lumaro/"), (Units{{0, 2}, {1}, {3}}));
    EXPECT_EQ(TargetPathFor("/q/A.JPG", sfmFixedFolder, "/out/result_lumaro/"), "/out/result_lumaro/A.JPG");

    // A source inside the result folder that another source writes into.
    const std::vector<std::string> nested = {"/p/a.jpg", "/p/x.jpg", "/p/result_lumaro/a.jpg"};
    EXPECT_EQ(PlanUnits(nested, sfmSourceFolder, ""), (Units{{0, 2}, {1}}));
    EXPECT_EQ(TargetPathFor("/p/a.jpg", sfmSourceFolder, ""), "/p/result_lumaro/a.jpg");
}

TEST(CliWorkPlan, BackupsThatCouldMeetRunTogether) {
    // a.jpg and a.jpeg both want a.bak; "a.jpg.bak" may be the name the later
    // one falls back to; "ab.jpg" and the same name in another folder cannot meet.
    const std::vector<std::string> paths = {"/p/a.jpg", "/p/ab.jpg", "/p/a.jpeg", "/q/a.jpg", "/p/A.jpg.bak"};
    EXPECT_EQ(PlanUnits(paths, sfmOverwriteWithBak, ""), (Units{{0, 2, 4}, {1}, {3}}));
    // Without backups the same files are independent.
    EXPECT_EQ(PlanUnits(paths, sfmOverwrite, ""), (Units{{0}, {1}, {2}, {3}, {4}}));
}

TEST(CliWorkPlan, WithKeepGoingTheLargestUnitsAreTakenFirst) {
    // Units {0,2} (10+50), {1} (70), {3} (60), {4} (60): the three of 60 keep list order.
    const Units units = {{0, 2}, {1}, {3}, {4}};
    const std::vector<std::int64_t> bytes = {10, 70, 50, 60, 60};
    EXPECT_EQ(DispatchOrder(units, bytes, true), (std::vector<std::size_t>{1, 0, 2, 3}));
    // Without it a failure stops the run: the files after it are the ones left.
    EXPECT_EQ(DispatchOrder(units, bytes, false), (std::vector<std::size_t>{0, 1, 2, 3}));
}

TEST(CliJson, EscapesAndKeepsUtf8) {
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("x\ny\r\tz\x01"), "\"x\\ny\\r\\tz\\u0001\"");
    EXPECT_EQ(JsonString("写真.jpg"), "\"写真.jpg\"");
    EXPECT_EQ(JsonString("\xF0\x9F\x93\xB7"), "\"\xF0\x9F\x93\xB7\"");  // outside the BMP
}

TEST(CliJson, ReplacesBytesThatAreNotUtf8) {
    EXPECT_EQ(JsonString("\xFF" "a"), "\"\\ufffda\"");
    EXPECT_EQ(JsonString("\xC0\x80"), "\"\\ufffd\\ufffd\"");          // overlong NUL
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // a surrogate
    EXPECT_EQ(JsonString("ok\xE5\x86"), "\"ok\\ufffd\\ufffd\"");       // cut short at the end
    EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");  // above U+10FFFF
}

TEST(CliJson, OneObjectPerFile) {
    TOutcome failed;
    failed.Status = TFileStatus::Failed;
    failed.Source = "d/x.jpg";
    failed.Before = 10;
    failed.Message = "読めません\r続き";
    EXPECT_EQ(JsonLine(failed), "{\"source\":\"d/x.jpg\",\"result\":null,\"before\":10,\"after\":null,"
                                "\"status\":\"failed\",\"message\":\"読めません\\r続き\"}");
    TOutcome done;
    done.Status = TFileStatus::Done;
    done.Source = "x.jpg";
    done.Result = "result_lumaro/x.jpg";
    done.Before = 100;
    done.After = 90;
    EXPECT_EQ(JsonLine(done), "{\"source\":\"x.jpg\",\"result\":\"result_lumaro/x.jpg\",\"before\":100,"
                              "\"after\":90,\"status\":\"done\",\"message\":null}");
    EXPECT_EQ(FileLine(done), "x.jpg: 100 → 90 byte (10 byte, 10.0% 削減)");
}

TEST(CliSummary, TheWindowsClosingText) {
    EXPECT_EQ(SummaryText(1, 42, 100, 90, false), "処理時間  42ミリ秒。ダブルクリックすると処理後の画像を表示します。");
    // A stop after one file, and any other count, give the long form.
    EXPECT_EQ(SummaryText(1, 42, 100, 90, true),
              "1個のファイルを処理しました。(処理時間  42ミリ秒)。合計100byte→90byte。"
              "ダブルクリックすると処理後の画像を表示します。");
    EXPECT_EQ(SummaryText(0, 5, 0, 0, false),
              "0個のファイルを処理しました。(処理時間  5ミリ秒)。合計0byte→0byte。"
              "ダブルクリックすると処理後の画像を表示します。");
    EXPECT_EQ(OneLine("a\r\nb\rc\n"), "a b c ");
}

TEST(CliPaths, AbsoluteAndShown) {
    EXPECT_EQ(AbsolutePath("a.jpg", "/w"), "/w/a.jpg");
    EXPECT_EQ(AbsolutePath("./d//a.jpg", "/w"), "/w/d/a.jpg");
    EXPECT_EQ(AbsolutePath("/x/./y/", "/w"), "/x/y");
    EXPECT_EQ(AbsolutePath("../y", "/w/v"), "/w/v/../y");  // ".." is left to the file system
    EXPECT_EQ(AbsolutePath(".", "/"), "/");
    EXPECT_EQ(DisplayPath("/w/d/result_lumaro/a.jpg", "d/a.jpg", "/w"), "d/result_lumaro/a.jpg");
    EXPECT_EQ(DisplayPath("/o/result_lumaro/a.jpg", "d/a.jpg", "/w"), "../o/result_lumaro/a.jpg");
    EXPECT_EQ(DisplayPath("/w/d/result_lumaro/a.jpg", "/w/d/a.jpg", "/w"), "/w/d/result_lumaro/a.jpg");
}

class CliCollect : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/lumaro-cli-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }
    void Write(const std::string& Name, const std::string& Bytes) {
        std::filesystem::create_directories(std::filesystem::path(Dir + "/" + Name).parent_path());
        std::ofstream(Dir + "/" + Name, std::ios::binary) << Bytes;
    }
    std::string Dir;
    TPosixFileSystem Fs;
};

TEST_F(CliCollect, FolderOrderDuplicatesAndNonJpegFiles) {
    const std::string jpeg = "\xFF\xD8\xFF\xE0 rest";
    Write("b.jpg", jpeg);
    Write("A.JPG", jpeg);
    Write("c.jpeg", jpeg);      // not "*.jpg": left out of a folder search
    Write("text.jpg", "hello");  // named like a JPEG: a notice, not a failure
    Write("sub/d.jpg", jpeg);
    TCollector c(Fs, true, Dir);
    c.Add("sub");                 // relative to the working folder
    c.Add(".");
    c.Add(Dir + "/./b.jpg");      // already listed through the folder
    c.Add("c.jpeg");              // named: taken
    std::vector<std::string> shown;
    for (const auto& f : c.Files) shown.push_back(f.Display);
    EXPECT_EQ(shown, (std::vector<std::string>{"sub/d.jpg", "./A.JPG", "./b.jpg", "c.jpeg"}));
    EXPECT_EQ(c.Files[1].Path, Dir + "/A.JPG");
    EXPECT_TRUE(c.Problems.empty());
    ASSERT_EQ(c.Notices.size(), 1u);
    EXPECT_EQ(c.Notices[0], "./text.jpgはJPEGファイルではないようです。");
}

TEST_F(CliCollect, WhatCannotBeListed) {
    Write("two.jpg", "\xFF\xD8");  // too short for the signature
    Write("note.txt", "hello");
    Write("empty/readme", "x");
    TCollector c(Fs, false, Dir);
    c.Add("missing.jpg");
    c.Add("note.txt");
    c.Add("empty");
    c.Add(".");
    EXPECT_TRUE(c.Files.empty());
    ASSERT_EQ(c.Problems.size(), 3u);
    EXPECT_TRUE(c.Problems[0].Unreadable);
    EXPECT_FALSE(c.Problems[1].Unreadable);  // not a JPEG: skipped, the run still starts
    EXPECT_EQ(c.Problems[1].Message, "note.txtはJPEGファイルではないようです。");
    EXPECT_TRUE(c.Problems[2].Unreadable);   // ./two.jpg
    EXPECT_EQ(c.Problems[2].Display, "./two.jpg");
    ASSERT_EQ(c.Notices.size(), 1u);
    EXPECT_EQ(c.Notices[0], "empty: このフォルダにはJPEGファイルがありません。");
}

namespace {
// Resident kilobytes of the mapping that holds `at`, as the system counts them.
long ResidentKbOfMapping(const void* at) {
    std::ifstream maps("/proc/self/smaps");
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    bool inside = false;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> from >> dash >> to && dash == '-') {
            inside = address >= from && address < to;
            continue;
        }
        if (inside && line.rfind("Rss:", 0) == 0) return std::stol(line.substr(4));
    }
    return -1;
}
} // namespace

// Released pages of the mapped source leave the process's memory (the one-
// file form drops the scan once decoded) and read back as the file: the
// source is still written out whole when the result is no smaller.
TEST(CliMappedFile, ReleasedPagesLeaveMemoryAndReadBackAsTheFile) {
    const auto dir = std::filesystem::temp_directory_path() / ("lumaro-release-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "a.jpg").string();
    std::string bytes(1 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + i / 4096);
    std::ofstream(path, std::ios::binary) << bytes;

    TMappedFile m;
    ASSERT_TRUE(m.Open(path));
    const long page = ::sysconf(_SC_PAGESIZE);
    // Mapped, not yet read: its pages come in as they are read.
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(m.Data()), m.Size()), bytes);
    const long before = ResidentKbOfMapping(m.Data());
    ASSERT_GE(before, static_cast<long>(bytes.size() / 1024));
    // Only the pages wholly inside the range go: those holding its first and
    // last bytes stay.
    const std::size_t offset = 100, length = 600000;
    m.Release(offset, length);
    const long whole = static_cast<long>((offset + length) / page - (offset + page - 1) / page);
    EXPECT_EQ(before - ResidentKbOfMapping(m.Data()), whole * page / 1024);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Data()), m.Size()), bytes);
    EXPECT_EQ(ResidentKbOfMapping(m.Data()), before);
    // Ranges past the end are cut to the file; nothing is released twice over.
    m.Release(bytes.size() - 3 * page, 10 * page);
    m.Release(bytes.size() + 5, 100);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Data()), m.Size()), bytes);
    std::filesystem::remove_all(dir);
}

// The one-file form maps its source: the bytes are the file's, what cannot be
// mapped is left to a plain read, and a file cut short while mapped ends the
// process with status 1 and a message instead of a bus error.
TEST(CliMappedFile, GivesTheFileOrLeavesItToARead) {
    const auto dir = std::filesystem::temp_directory_path() / ("lumaro-map-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "a.jpg").string();
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
    std::ofstream(path, std::ios::binary) << bytes;

    TMappedFile m;
    ASSERT_TRUE(m.Open(path));
    ASSERT_EQ(m.Size(), bytes.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Data()), m.Size()), bytes);
    EXPECT_TRUE(m.Unchanged());
    {
        // Written to in place, same size: the mapping may be torn.
        TMappedFile w;
        ASSERT_TRUE(w.Open(path));
        // File times may move in steps of a clock tick: the write must fall
        // in a later one than the file's creation.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1000);
        f.put('x');
        f.close();
        EXPECT_FALSE(w.Unchanged());
    }

    std::ofstream((dir / "empty.jpg").string(), std::ios::binary);
    EXPECT_FALSE(TMappedFile().Open((dir / "empty.jpg").string()));
    EXPECT_FALSE(TMappedFile().Open((dir / "missing.jpg").string()));
    EXPECT_FALSE(TMappedFile().Open(dir.string()));
    EXPECT_FALSE(TMappedFile().Open("/dev/null"));

    EXPECT_EXIT(
        {
            TMappedFile::ReportLostPagesAs("cut short\n");
            std::filesystem::resize_file(path, 0);
            volatile std::uint8_t b = m.Data()[bytes.size() - 1];
            (void)b;
            std::exit(0);
        },
        testing::ExitedWithCode(1), "cut short");
    std::filesystem::remove_all(dir);
}
