#include "CliOptions.h"

#include <charconv>

namespace lumaro {

namespace {

std::optional<unsigned> ParseJobs(const std::string& Text) {
    unsigned value = 0;
    const char* end = Text.data() + Text.size();
    auto [ptr, ec] = std::from_chars(Text.data(), end, value);
    if (ec != std::errc() || ptr != end || value == 0 || value > 1024) return std::nullopt;
    return value;
}

// Remembers the destination and refuses two different ones.
std::optional<std::string> SetMode(TCliOptions& o, std::uint8_t Mode, bool& ModeGiven) {
    if (ModeGiven && o.Mode != Mode)
        return std::string("保存先の指定 (-o, --overwrite, --backup) は一つだけにしてください。");
    o.Mode = Mode;
    ModeGiven = true;
    return std::nullopt;
}

} // namespace

std::optional<std::string> ParseArguments(const std::vector<std::string>& Args, TCliOptions& o) {
    bool modeGiven = false, batchOnly = false, jobsGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            o.Paths.push_back(a);
            continue;
        }
        // An option that takes a value: "-j 4", "-j4", "--jobs 4", "--jobs=4".
        auto value = [&](const std::string& Short, const std::string& Long) -> std::optional<std::string> {
            if (a == Short || a == Long) {
                if (i + 1 >= Args.size()) return std::nullopt;
                return Args[++i];
            }
            if (a.rfind(Long + "=", 0) == 0) return a.substr(Long.size() + 1);
            return a.substr(Short.size());  // "-j4"
        };
        if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            o.Help = true;
        } else if (a == "--version") {
            o.Version = true;
        } else if (a == "--stdout") {
            o.ToStdout = true;
        } else if (a == "--no-optimize") {
            o.Optimize = false;
        } else if (a == "--strip-exif") {
            o.StripExif = true;
        } else if (a == "--keep-created") {
            o.KeepCreated = batchOnly = true;
        } else if (a == "--keep-modified") {
            o.KeepModified = batchOnly = true;
        } else if (a == "--keep-going") {
            o.KeepGoing = batchOnly = true;
        } else if (a == "--json") {
            o.Json = batchOnly = true;
        } else if (a == "--recursive") {
            o.Recurse = batchOnly = true;
        } else if (a == "--quiet") {
            o.Quiet = batchOnly = true;
        } else if (a == "--overwrite") {
            if (auto e = SetMode(o, sfmOverwrite, modeGiven)) return e;
            batchOnly = true;
        } else if (a == "--backup") {
            if (auto e = SetMode(o, sfmOverwriteWithBak, modeGiven)) return e;
            batchOnly = true;
        } else if (a.rfind("-o", 0) == 0 || a == "--output" || a.rfind("--output=", 0) == 0) {
            auto dir = value("-o", "--output");
            if (!dir || dir->empty()) return std::string("-o には出力先のフォルダを指定してください。");
            if (auto e = SetMode(o, sfmFixedFolder, modeGiven)) return e;
            if (!o.OutputFolder.empty() && o.OutputFolder != *dir)
                return std::string("-o は一度だけ指定してください。");
            o.OutputFolder = *dir;
            batchOnly = true;
        } else if (a.rfind("-j", 0) == 0 || a == "--jobs" || a.rfind("--jobs=", 0) == 0) {
            auto text = value("-j", "--jobs");
            auto jobs = text ? ParseJobs(*text) : std::nullopt;
            if (!jobs) return std::string("-j には 1 以上の数を指定してください。");
            o.Jobs = *jobs;
            jobsGiven = batchOnly = true;
        } else if (a.size() > 1 && a[1] != '-' && a.find_first_not_of("rpq", 1) == std::string::npos) {
            // Short switches, also run together ("-rpq").
            for (char c : a.substr(1)) {
                if (c == 'r') o.Recurse = true;
                if (c == 'p') o.KeepCreated = o.KeepModified = true;
                if (c == 'q') o.Quiet = true;
            }
            batchOnly = true;
        } else {
            return "不明なオプションです: " + a;
        }
    }
    (void)jobsGiven;
    if (o.Help || o.Version) return std::nullopt;
    if (o.ToStdout) {
        if (batchOnly) return std::string("--stdout と一緒に使えるのは --no-optimize と --strip-exif だけです。");
        if (o.Paths.size() != 1) return std::string("--stdout にはファイルを一つだけ指定してください。");
        return std::nullopt;
    }
    if (o.Paths.empty()) return std::string("ファイルまたはフォルダを指定してください。");
    return std::nullopt;
}

TSettings SettingsFor(const TCliOptions& o, const std::string& AbsoluteOutputFolder) {
    TSettings s;
    s.gOptimize_Code = o.Optimize;
    s.gOptimize_Exif = o.StripExif;
    s.gSaveFolderMode = o.Mode;
    s.gSaveFolder = o.Mode == sfmFixedFolder ? AbsoluteOutputFolder : std::string();
    s.gUseSaveAs = false;
    s.gKeepTimeStamp_Create = o.KeepCreated;
    s.gKeepTimeStamp_Write = o.KeepModified;
    s.gGoOperationByDrop = false;
    s.gCopyOriginal = o.KeepGoing;
    s.gSeekSubFolder = o.Recurse;
    return s;
}

const char* UsageText() {
    return R"(使い方 / usage:
  lumaro-cli [オプション] パス...
  lumaro-cli --stdout [--no-optimize] [--strip-exif] ファイル

JPEG ファイルの画像を一切変えずに、ハフマン符号表をそのファイル専用に最適化して
ファイルを小さくします。パスにはファイルかフォルダを指定します (フォルダはその中の
*.jpg。-r でサブフォルダも)。結果が元より小さくならないときは元のバイト列をその
まま書き出します。同じファイルを二度指定しても処理は一度です。
Makes baseline JPEG files smaller without changing a pixel. A PATH is a file or
a folder (its *.jpg files; -r adds sub-folders).

保存先 / destination (どれか一つ):
  (指定なし)       元のファイルと同じ場所の "result_lumaro" フォルダに保存
                   into a "result_lumaro" folder beside each source
  -o DIR           DIR の中の "result_lumaro" フォルダに保存 (DIR は既存のフォルダ)
                   into DIR/result_lumaro (DIR must exist)
  --overwrite      元ファイルを上書きする / overwrite the sources
  --backup         元ファイルを拡張子 .bak で残してから上書きする
                   keep a copy with the extension .bak, then overwrite

オプション / options:
  --strip-exif     撮影情報 (Exif, APP1) を取り除く / drop APP1 segments
  --no-optimize    ハフマン符号表を最適化しない / keep the Huffman tables
  --keep-created   作成日時を結果にコピーする / copy the creation time
                   (Linux では作成日時を設定できないため効果はありません)
  --keep-modified  更新日時を結果にコピーする / copy the modification time
  -p               --keep-created と --keep-modified の両方 / both
  -r, --recursive  フォルダのサブフォルダも探す / search sub-folders
  --keep-going     処理できないファイルがあっても続ける。そのファイルの結果には
                   元のバイト列を書き出す / go on after a failure; a file that
                   cannot be processed is written as it is
                   (指定しないと最初の失敗で処理を中止し、残りは処理しません
                   / without it the first failure stops the run)
  -j N, --jobs N   N 個のファイルを並行して処理する (既定: CPU の数)。結果は N に
                   よらず同じです / files in parallel (default: all cores)
  --json           1 ファイルにつき 1 行の JSON と最後に集計の JSON を出力する
                   / one JSON object per file and a summary object
  -q, --quiet      進行状況・各ファイルの行・メッセージを出さない (--json の出力は
                   出します) / no progress, lines or messages (JSON still printed)
  --stdout         ファイル一つの結果を標準出力に書き出す / one file's result to
                   standard output
  -h, --help       この説明 / this text
  --version        バージョン / version

既に処理済みかどうかは問いません: 指定したファイルはすべて処理し直します。
Files are always processed again; there is no re-process question.

終了コード / exit status: 0 すべて処理できた / every file was done,
  1 処理できなかったファイルがある / some file failed, 2 使い方の誤り / bad
  usage, 130 中断 (Ctrl+C) / interrupted.
)";
}

} // namespace lumaro
