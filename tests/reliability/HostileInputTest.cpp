// Hostile input, tried systematically: every corpus file cut short at many
// places, every byte of a small file flipped, segment lengths that lie, huge
// frames over tiny scans, thousands of APPn segments, and every input that
// once crashed the engine. Each must end in a refusal with a message or in a
// result with exactly the input's coefficients; never a crash, a hang or an
// allocation out of proportion to the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HostileSupport.h"

namespace lumaro::test {
namespace {

const std::string kShared = LUMARO_SHARED_DIR;
const std::string kSource = LUMARO_SOURCE_DIR;

bool Sanitized() { return std::getenv("LUMARO_SANITIZED") != nullptr; }
// No single input may take longer than this (a hang, or a quadratic walk).
double SlowLimit() { return Sanitized() ? 20.0 : 5.0; }

std::vector<std::string> CorpusFiles() {
    auto files = JpegFilesUnder(kShared + "/corpus");
    for (auto& f : JpegFilesUnder(kSource + "/samples")) files.push_back(f);
    return files;
}

// Runs a series of inputs in a child process, so that an input that crashes
// the engine fails this test with its name instead of ending the whole
// program. The child reports through a pipe: "L" the input in hand, "F" a
// fault, "T" the tallies at the end.
class Series {
public:
    explicit Series(std::string name) : Name(std::move(name)) {}
    void Try(const TBytes& input, const TCoefImage* reference, const std::string& label) {
        Send('L', label);
        const std::string fault = JudgeOutcome(input, reference, T);
        if (!fault.empty()) Fail(label + ": " + fault);
    }
    void Check(bool ok, const std::string& text) {
        if (!ok) Fail(text);
    }
    void Fail(const std::string& text) {
        if (++Failures <= 5) Send('F', text);
    }
    TTally T;

    template <class Body>
    static TTally Run(const std::string& name, Body&& body, double slowLimit = SlowLimit()) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            Series s(name);
            s.Fd = fds[1];
            body(s);
            struct rusage usage {};
            getrusage(RUSAGE_SELF, &usage);
            char tally[160];
            std::snprintf(tally, sizeof tally, "%d %d %d %d %.6f %ld", s.T.Tried, s.T.Refused, s.T.Accepted,
                          s.T.Judged, s.T.SlowestSeconds, usage.ru_maxrss);
            s.Send('T', tally);
            std::fflush(nullptr);
            _exit(0);
        }
        close(fds[1]);
        std::string text;
        char buf[65536];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);

        TTally t;
        std::string last;
        bool finished = false;
        for (std::size_t pos = 0; pos < text.size();) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(pos, end - pos);
            pos = end + 1;
            if (line.empty()) continue;
            const std::string rest = line.substr(1);
            if (line[0] == 'L') last = rest;
            if (line[0] == 'F') ADD_FAILURE() << name << ", " << rest;
            if (line[0] == 'T') {
                finished = std::sscanf(rest.c_str(), "%d %d %d %d %lf %ld", &t.Tried, &t.Refused, &t.Accepted,
                                       &t.Judged, &t.SlowestSeconds, &t.PeakRssKb) == 6;
            }
        }
        if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ADD_FAILURE() << name << ": the engine crashed (" << (WIFSIGNALED(status) ? "signal " : "exit ")
                          << (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status)) << ") on " << last;
            return t;
        }
        std::printf("[ series ] %s: %d inputs, %d refused, %d accepted (%d checked by libjpeg), slowest %.3f s, "
                    "peak RSS %ld KiB\n",
                    name.c_str(), t.Tried, t.Refused, t.Accepted, t.Judged, t.SlowestSeconds, t.PeakRssKb);
        EXPECT_LT(t.SlowestSeconds, slowLimit) << name;
        return t;
    }

    void Send(char kind, const std::string& text) {
        std::string line = kind + text;
        for (char& c : line)
            if (c == '\n' || c == '\r') c = ' ';
        line += '\n';
        for (std::size_t off = 0; off < line.size();) {
            const ssize_t n = write(Fd, line.data() + off, line.size() - off);
            if (n <= 0) break;
            off += static_cast<std::size_t>(n);
        }
    }
private:
    std::string Name;
    int Failures = 0;
    int Fd = -1;
};

std::unique_ptr<TCoefImage> CleanReference(const TBytes& file) {
    auto img = std::make_unique<TCoefImage>();
    if (ReadCoefficients(file.data(), file.size(), *img) != TOracleRead::Clean) return nullptr;
    return img;
}

std::string Base(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

TEST(HostileInput, EveryInputThatOnceCrashedTheEngine) {
    const auto files = JpegFilesUnder(kSource + "/tests/reliability/crashes");
    ASSERT_FALSE(files.empty());
    const TTally t = Series::Run("crash regressions", [&](Series& s) {
        for (const auto& f : files) s.Try(ReadFileBytes(f), nullptr, Base(f));
    });
    EXPECT_EQ(t.Tried, static_cast<int>(files.size()));
}

// Cuts at every byte of the first headers, then at evenly spaced places up to
// the end. A cut file is refused, unless only what follows the scan's last
// block is gone; its result must then hold the whole file's coefficients.
TEST(HostileInput, CorpusFilesCutShortAtManyOffsets) {
    const auto files = CorpusFiles();
    ASSERT_GE(files.size(), 5u);
    const TTally t = Series::Run("truncated corpus files", [&](Series& s) {
        for (const auto& f : files) {
            const TBytes whole = ReadFileBytes(f);
            const auto reference = CleanReference(whole);
            const bool big = whole.size() > (std::size_t{1} << 20);
            std::vector<std::size_t> cuts;
            for (std::size_t n = 0; n < std::min<std::size_t>(whole.size(), 600); ++n) cuts.push_back(n);
            const std::size_t spaced = Sanitized() ? (big ? 4 : 24) : (big ? 12 : 160);
            for (std::size_t i = 1; i <= spaced; ++i) cuts.push_back(whole.size() * i / (spaced + 1));
            for (std::size_t tail = 1; tail <= 4 && tail < whole.size(); ++tail) cuts.push_back(whole.size() - tail);
            for (std::size_t n : cuts) {
                const TBytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
                s.Try(cut, reference.get(), Base(f) + " cut at " + std::to_string(n));
            }
        }
    });
    EXPECT_GT(t.Refused, t.Tried / 2);  // most cuts lose part of the scan
    EXPECT_GT(t.Judged, 0);             // cutting only the EOI keeps every block
}

// Each byte of a small 4:2:0 file XOR 0xFF and XOR 0x01 in turn; and every
// fourth byte of a file with restart markers, where a flip may hit a marker.
TEST(HostileInput, EveryByteOfASmallFileFlipped) {
    struct Target {
        const char* Name;
        std::size_t Step;
    };
    for (Target target : {Target{"rose-420.jpg", 1}, Target{"plasma-restart.jpg", 4}}) {
        const TBytes file = ReadFileBytes(kSource + "/samples/" + target.Name);
        ASSERT_GT(file.size(), 1000u) << target.Name;
        const std::size_t step = target.Step * (Sanitized() ? 3 : 1);
        const TTally t = Series::Run(std::string("flipped bytes of ") + target.Name, [&](Series& s) {
            for (std::uint8_t pattern : {std::uint8_t{0xFF}, std::uint8_t{0x01}})
                for (std::size_t i = 0; i < file.size(); i += step) {
                    TBytes m = file;
                    m[i] ^= pattern;
                    s.Try(m, nullptr, "byte " + std::to_string(i) + " ^ " + std::to_string(pattern));
                }
        });
        EXPECT_GT(t.Refused, 0) << target.Name;
        EXPECT_GT(t.Judged, 0) << target.Name;
    }
}

// Every header segment of every sample with a length field that lies.
TEST(HostileInput, SegmentLengthsThatLie) {
    const auto files = JpegFilesUnder(kSource + "/samples");
    ASSERT_FALSE(files.empty());
    const TTally t = Series::Run("lying segment lengths", [&](Series& s) {
        for (const auto& f : files) {
            const TBytes file = ReadFileBytes(f);
            const auto segs = WalkSegments(file);
            s.Check(segs.size() >= 4, Base(f) + ": too few segments");
            for (const auto& seg : segs) {
                const std::size_t l = seg.Length;
                for (std::size_t lie : {std::size_t{0}, std::size_t{1}, std::size_t{2}, l - 1, l + 1, l + 17,
                                        std::size_t{0xFFFF}}) {
                    if (lie == l || lie > 0xFFFF) continue;
                    TBytes m = file;
                    m[seg.Offset + 2] = static_cast<std::uint8_t>(lie >> 8);
                    m[seg.Offset + 3] = static_cast<std::uint8_t>(lie);
                    char label[64];
                    std::snprintf(label, sizeof label, " %04X at %zu length %zu", seg.Marker, seg.Offset, lie);
                    s.Try(m, nullptr, Base(f) + label);
                }
            }
        }
    });
    EXPECT_GT(t.Tried, 100);
    EXPECT_GT(t.Refused, t.Tried / 2);
}

// A frame may declare far more blocks than its scan could carry: the engine
// must refuse it before it allocates the coefficient store.
TEST(HostileInput, HugeDeclaredFramesOverTinyScans) {
    struct Case {
        int W, H, Components, Sampling;
    };
    for (Case c : {Case{65535, 65535, 1, 0x11}, Case{65535, 65535, 3, 0x22}, Case{65535, 65535, 3, 0x44},
                   Case{65535, 8, 1, 0x11}, Case{8, 65535, 3, 0x11}, Case{30000, 30000, 3, 0x21}}) {
        TForgeOptions o;
        o.Width = c.W;
        o.Height = c.H;
        o.Components = c.Components;
        o.Sampling = c.Sampling;
        o.ScanBytes = 64;
        const TBytes j = ForgeJpeg(o);
        const std::string label = std::to_string(c.W) + "x" + std::to_string(c.H) + "/" + std::to_string(c.Components);
        const TPeelOutcome r = RunPeel(j);
        EXPECT_FALSE(r.Ok) << label;
        EXPECT_FALSE(r.Errors.empty()) << label;
        EXPECT_LT(r.LargestAllocation, std::size_t{1} << 20) << label;
        EXPECT_LT(r.Seconds, SlowLimit()) << label;
        const TPeelOutcome copy = RunPeel(j, false);
        EXPECT_LT(copy.LargestAllocation, std::size_t{1} << 20) << label;
    }
}

// 65535 x 65535 grey with a scan long enough for every block: 67 million
// blocks. Whether the engine takes it or says it is too large, it must end
// cleanly, keep the frame as it was, and stay within memory in proportion to
// the file (the coefficients of a block this empty take a few bytes).
TEST(HostileInput, LargestFrameWithAFullScan) {
    TForgeOptions o;
    o.Width = 65535;
    o.Height = Sanitized() ? 8192 : 65535;
    const TBytes j = ForgeJpeg(o);
    const TTally t = Series::Run(
        "largest frame with a full scan",
        [&](Series& s) {
            s.Send('L', "65535 wide");
            const TPeelOutcome r = RunPeel(j);
            s.T.Tried = 1;
            s.T.SlowestSeconds = r.Seconds;
            if (!r.Ok) {
                s.Check(!r.Errors.empty(), "refused without a message");
                ++s.T.Refused;
                return;
            }
            ++s.T.Accepted;
            const auto in = WalkSegments(j), out = WalkSegments(r.Out);
            s.Check(in.size() == out.size() && r.Out.size() < j.size() + 4096, "the frame's segments changed");
            const TPeelOutcome copy = RunPeel(j, false);
            s.Check(copy.Ok && copy.Out == j, "copy-through changed the file");
        },
        120.0);
    EXPECT_EQ(t.Tried, 1);
    EXPECT_LT(t.PeakRssKb, 1L << 20) << "more than 1 GiB for a " << j.size() << "-byte file";
}

// A large but honest frame is processed, and its blocks survive exactly.
TEST(HostileInput, LargeHonestFrameIsProcessedFaithfully) {
    TForgeOptions o;
    o.Width = 4093;  // not a multiple of the MCU, so the edge blocks count
    o.Height = 2047;
    o.Components = 3;
    o.Sampling = 0x22;
    const TBytes j = ForgeJpeg(o);
    const TTally t = Series::Run("large honest frame", [&](Series& s) { s.Try(j, nullptr, "4093x2047 4:2:0"); });
    EXPECT_EQ(t.Judged, 1);
}

TEST(HostileInput, ThousandsOfAppSegments) {
    TForgeOptions o;
    o.AppSegments = 5000;
    const TBytes app2 = ForgeJpeg(o);
    o.AppMarker = 0xE1;
    o.AppSegments = 3000;
    const TBytes app1 = ForgeJpeg(o);
    const TTally t = Series::Run("thousands of APPn segments", [&](Series& s) {
        s.Try(app2, nullptr, "5000 APP2");
        s.Try(app1, nullptr, "3000 APP1");
        auto count = [](const TBytes& j, std::uint8_t marker) {
            int n = 0;
            for (const auto& seg : WalkSegments(j)) n += seg.Marker == (0xFF00 | marker);
            return n;
        };
        const TPeelOutcome kept = RunPeel(app2, true, true);
        s.Check(kept.Ok && count(kept.Out, 0xE2) == 5000, "APP2 segments lost with Exif removal");
        const TPeelOutcome stripped = RunPeel(app1, true, true);
        s.Check(stripped.Ok && count(stripped.Out, 0xE1) == 0 && stripped.Out.size() < 1000,
                "APP1 segments kept with Exif removal");
    });
    EXPECT_EQ(t.Judged, 2);
}

} // namespace
} // namespace lumaro::test
