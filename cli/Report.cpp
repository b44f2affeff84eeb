#include "Report.h"

#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace lumaro {

namespace {

const char* StatusName(TFileStatus s) {
    switch (s) {
    case TFileStatus::Done: return "done";
    case TFileStatus::Unchanged: return "unchanged";
    case TFileStatus::Failed: return "failed";
    default: return "skipped";
    }
}

std::string NumberOrNull(std::int64_t n) { return n < 0 ? "null" : std::to_string(n); }

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not valid
// (overlong forms, surrogates and values above U+10FFFF included).
std::size_t Utf8Length(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string Percent(std::int64_t Before, std::int64_t After) {
    if (Before <= 0) return "0.0";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", double(Before - After) * 100.0 / double(Before));
    return buf;
}

// A message that already names the file is shown as it is, else after the name.
std::string Named(const std::string& Source, const std::string& Text, const char* Between) {
    const std::string line = OneLine(Text);
    if (!Source.empty() && line.rfind(Source, 0) == 0) return line;
    return Source + Between + line;
}

int TerminalWidth(std::FILE* f) {
    struct winsize ws;
    if (ioctl(fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
    return 80;
}

} // namespace

std::string JsonString(const std::string& Text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < Text.size();) {
        const unsigned char c = static_cast<unsigned char>(Text[i]);
        const std::size_t n = Utf8Length(Text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(Text, i, n);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
        i += n;
    }
    return out + "\"";
}

std::string JsonLine(const TOutcome& o) {
    return "{\"source\":" + JsonString(o.Source) + ",\"result\":" + (o.Result.empty() ? "null" : JsonString(o.Result)) +
           ",\"before\":" + NumberOrNull(o.Before) + ",\"after\":" + NumberOrNull(o.After) + ",\"status\":\"" +
           StatusName(o.Status) + "\",\"message\":" + (o.Message.empty() ? "null" : JsonString(o.Message)) + "}";
}

std::string JsonSummary(const TTotals& t, const std::string& Text, std::uint32_t ElapsedMs) {
    return "{\"summary\":" + JsonString(Text) + ",\"files\":" + std::to_string(t.Files) +
           ",\"processed\":" + std::to_string(t.Processed) + ",\"failed\":" + std::to_string(t.Failed) +
           ",\"skipped\":" + std::to_string(t.Skipped) + ",\"before\":" + std::to_string(t.Before) +
           ",\"after\":" + std::to_string(t.After) + ",\"elapsed_ms\":" + std::to_string(ElapsedMs) + "}";
}

std::string FileLine(const TOutcome& o) {
    const std::string sizes = std::to_string(o.Before) + " → " + std::to_string(o.After) + " byte";
    switch (o.Status) {
    case TFileStatus::Done:
        return o.Source + ": " + sizes + " (" + std::to_string(o.Before - o.After) + " byte, " +
               Percent(o.Before, o.After) + "% 削減)";
    case TFileStatus::Unchanged:
        return o.Source + ": " + sizes + " (小さくならないため元のまま)";
    case TFileStatus::Failed:
        if (!o.Result.empty()) return o.Source + ": " + sizes + " (処理できないため元のまま: " + OneLine(o.Message) + ")";
        return Named(o.Source, o.Message, ": 失敗: ");
    default:
        return o.Source + ": 処理しませんでした";
    }
}

std::string SummaryText(std::int64_t Processed, std::uint32_t ElapsedMs, std::int64_t Before, std::int64_t After,
                        bool Stopped) {
    if (Processed == 1 && !Stopped)
        return "処理時間  " + std::to_string(ElapsedMs) + "ミリ秒。ダブルクリックすると処理後の画像を表示します。";
    return std::to_string(Processed) + "個のファイルを処理しました。(処理時間  " + std::to_string(ElapsedMs) +
           "ミリ秒)。合計" + std::to_string(Before) + "byte→" + std::to_string(After) +
           "byte。ダブルクリックすると処理後の画像を表示します。";
}

std::string OneLine(const std::string& Text) {
    std::string out;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\r' || Text[i] == '\n') {
            if (Text[i] == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += Text[i];
        }
    }
    return out;
}

// ------------------------------------------------------------ TReporter

TReporter::TReporter(TConfig Config) : Cfg(Config) {}

void TReporter::Problem(const TOutcome& o) {
    std::lock_guard<std::mutex> guard(Lock);
    ++Sum.Files;
    ++Sum.Failed;
    Emit(o);
}

void TReporter::Notice(const std::string& Text) {
    std::lock_guard<std::mutex> guard(Lock);
    if (Cfg.Quiet) return;
    ClearBar();
    std::fprintf(Cfg.Err, "lumaro-cli: %s\n", OneLine(Text).c_str());
    std::fflush(Cfg.Err);
    DrawBar(true);
}

void TReporter::BeginRun(std::size_t Files, std::int64_t Bytes) {
    std::lock_guard<std::mutex> guard(Lock);
    RunFiles = Files;
    RunBytes = Bytes;
    DrawBar(true);
}

void TReporter::Deliver(std::size_t Index, TOutcome o) {
    std::lock_guard<std::mutex> guard(Lock);
    ++Sum.Files;
    switch (o.Status) {
    case TFileStatus::Failed: ++Sum.Failed; break;
    case TFileStatus::Skipped: ++Sum.Skipped; break;
    default: break;
    }
    if (!o.Result.empty()) {
        ++Sum.Processed;
        Sum.Before += o.Before;
        Sum.After += o.After;
    }
    ++FilesDone;
    if (o.Before > 0) BytesDone += o.Before;
    Held.emplace(Index, std::move(o));
    for (auto it = Held.find(NextIndex); it != Held.end(); it = Held.find(NextIndex)) {
        Emit(it->second);
        Held.erase(it);
        ++NextIndex;
    }
    DrawBar(true);
}

void TReporter::WorkerProgress(unsigned Worker, std::int64_t FileBytes, int Position, int Max) {
    std::lock_guard<std::mutex> guard(Lock);
    InHand[Worker] = {FileBytes, Position, Max};
    DrawBar(false);
}

void TReporter::Finish(const TTotals& t, const std::string& Text, std::uint32_t ElapsedMs) {
    std::lock_guard<std::mutex> guard(Lock);
    for (auto& [index, o] : Held) Emit(o);
    Held.clear();
    ClearBar();
    if (Cfg.Json) {
        std::fprintf(Cfg.Out, "%s\n", JsonSummary(t, Text, ElapsedMs).c_str());
    } else if (!Cfg.Quiet) {
        std::fprintf(Cfg.Out, "%s\n", Text.c_str());
    }
    std::fflush(Cfg.Out);
    if (!Cfg.Quiet) {
        if (t.Failed > 0) std::fprintf(Cfg.Err, "lumaro-cli: %lld個のファイルを処理できませんでした。\n", (long long)t.Failed);
        if (t.Skipped > 0) std::fprintf(Cfg.Err, "lumaro-cli: %lld個のファイルは処理していません。\n", (long long)t.Skipped);
        std::fflush(Cfg.Err);
    }
}

TTotals TReporter::Totals() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Sum;
}

// Called with Lock held.
void TReporter::Emit(const TOutcome& o) {
    if (o.Status == TFileStatus::Skipped) return;  // counted in the summary only
    ClearBar();
    if (!Cfg.Quiet) {
        for (const std::string& box : o.Boxes)
            std::fprintf(Cfg.Err, "lumaro-cli: %s\n", Named(o.Source, box, ": ").c_str());
        std::fflush(Cfg.Err);
    }
    if (Cfg.Json) std::fprintf(Cfg.Out, "%s\n", JsonLine(o).c_str());
    else if (!Cfg.Quiet) std::fprintf(Cfg.Out, "%s\n", FileLine(o).c_str());
    std::fflush(Cfg.Out);
}

void TReporter::ClearBar() {
    if (!BarShown) return;
    std::fputs("\r\033[K", Cfg.Err);
    std::fflush(Cfg.Err);
    BarShown = false;
}

void TReporter::DrawBar(bool Force) {
    if (!Cfg.ProgressBar || RunFiles == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!Force && now - LastDraw < std::chrono::milliseconds(100)) return;
    LastDraw = now;
    double bytes = double(BytesDone);
    for (const auto& [worker, h] : InHand)
        if (h.Max > 0) bytes += double(h.Bytes) * std::min(h.Position, h.Max) / h.Max;
    double fraction = RunBytes > 0 ? bytes / double(RunBytes) : double(FilesDone) / double(RunFiles);
    // The engine counts each pass of a file from 0: the bar only moves forward.
    fraction = std::min(1.0, std::max(LastFraction, fraction));
    LastFraction = fraction;
    const int width = std::min(40, std::max(10, TerminalWidth(Cfg.Err) - 30));
    const int filled = int(fraction * width + 0.5);
    std::string bar = "\r[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " +
                      std::to_string(FilesDone) + "/" + std::to_string(RunFiles) + " " +
                      std::to_string(int(fraction * 100)) + "%\033[K";
    std::fputs(bar.c_str(), Cfg.Err);
    std::fflush(Cfg.Err);
    BarShown = true;
}

} // namespace lumaro
