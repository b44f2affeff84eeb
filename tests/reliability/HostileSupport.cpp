#include "HostileSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>

#include "JpegPeel.h"

// ---------------------------------------------------------------- allocations
// Every operator new of the test program goes through here, so the largest
// single request during one Process can be measured.

namespace {
std::atomic<bool> gTracking{false};
std::atomic<std::size_t> gLargest{0};

void* Allocate(std::size_t n) {
    if (gTracking.load(std::memory_order_relaxed)) {
        std::size_t prev = gLargest.load(std::memory_order_relaxed);
        while (n > prev && !gLargest.compare_exchange_weak(prev, n)) {
        }
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

// Every plain and nothrow form, so that each delete meets the new it belongs to
// (the aligned forms are left to the library, new and delete alike).
void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace lumaro::test {

namespace fs = std::filesystem;

void StartAllocationTracking() {
    gLargest = 0;
    gTracking = true;
}

std::size_t StopAllocationTracking() {
    gTracking = false;
    return gLargest;
}

TPeelOutcome RunPeel(const TBytes& In, bool Optimize, bool RemoveExif) {
    static TJpegPeel peel;  // one engine for many files, as in the program
    TPeelOutcome o;
    peel.OptimizeCode = Optimize;
    peel.RemoveExif = RemoveExif;
    peel.OnError = [&](const std::string& text, int) { o.Errors.push_back(text); };
    peel.OnProgressMax = [](int) {};
    peel.OnProgress = [](int) { return true; };
    TMemoryStream in(In), out;
    const auto start = std::chrono::steady_clock::now();
    StartAllocationTracking();
    o.Ok = peel.Process(in, out);
    o.LargestAllocation = StopAllocationTracking();
    o.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.Out.assign(out.Data().begin(), out.Data().end());
    return o;
}

std::vector<TSegmentRef> WalkSegments(const TBytes& j) {
    std::vector<TSegmentRef> segs;
    std::size_t pos = 2;
    while (pos + 4 <= j.size() && j[pos] == 0xFF) {
        const std::uint16_t marker = static_cast<std::uint16_t>(0xFF00 | j[pos + 1]);
        const std::size_t length = (std::size_t(j[pos + 2]) << 8) | j[pos + 3];
        segs.push_back({marker, pos, length});
        if (marker == 0xFFDA) break;
        pos += 2 + length;
    }
    return segs;
}

TBytes ForgeJpeg(const TForgeOptions& o) {
    TBytes j{0xFF, 0xD8};
    auto word = [&](std::uint32_t w) {
        j.push_back(static_cast<std::uint8_t>(w >> 8));
        j.push_back(static_cast<std::uint8_t>(w));
    };
    for (int i = 0; i < o.AppSegments; ++i) {
        j.push_back(0xFF);
        j.push_back(o.AppMarker);
        word(2 + o.AppBytes);
        for (int k = 0; k < o.AppBytes; ++k) j.push_back(static_cast<std::uint8_t>('a' + (i + k) % 26));
    }
    // DQT: table 0, every step 1
    word(0xFFDB);
    word(67);
    j.push_back(0);
    j.insert(j.end(), 64, 1);
    // SOF0
    word(0xFFC0);
    word(8 + 3 * o.Components);
    j.push_back(8);
    word(o.Height);
    word(o.Width);
    j.push_back(static_cast<std::uint8_t>(o.Components));
    for (int c = 0; c < o.Components; ++c) {
        j.push_back(static_cast<std::uint8_t>(c + 1));
        j.push_back(static_cast<std::uint8_t>(c == 0 ? o.Sampling : 0x11));
        j.push_back(0);
    }
    // DHT: DC 0 and AC 0, each a single one-bit code for symbol 0
    for (int cls : {0x00, 0x10}) {
        word(0xFFC4);
        word(2 + 17 + 1);
        j.push_back(static_cast<std::uint8_t>(cls));
        j.push_back(1);
        j.insert(j.end(), 15, 0);
        j.push_back(0);
    }
    // SOS
    word(0xFFDA);
    word(6 + 2 * o.Components);
    j.push_back(static_cast<std::uint8_t>(o.Components));
    for (int c = 0; c < o.Components; ++c) {
        j.push_back(static_cast<std::uint8_t>(c + 1));
        j.push_back(0x00);
    }
    j.push_back(0);
    j.push_back(63);
    j.push_back(0);
    std::size_t scan = o.ScanBytes;
    if (!scan) {
        const int h = o.Components == 1 ? 1 : o.Sampling >> 4, v = o.Components == 1 ? 1 : o.Sampling & 15;
        const std::uint64_t mcuCols = (std::uint64_t(o.Width) + 8 * h - 1) / (8 * h);
        const std::uint64_t mcuRows = (std::uint64_t(o.Height) + 8 * v - 1) / (8 * v);
        const std::uint64_t perMcu = o.Components == 1 ? 1 : std::uint64_t(h) * v + (o.Components - 1);
        scan = static_cast<std::size_t>((mcuCols * mcuRows * perMcu * 2 + 7) / 8);
    }
    j.insert(j.end(), scan, 0x00);
    word(0xFFD9);
    return j;
}

TBytes ReadFileBytes(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<std::string> JpegFilesUnder(const std::string& Folder) {
    std::vector<std::string> files;
    std::error_code ec;
    if (!fs::is_directory(Folder, ec)) return files;
    for (const auto& e : fs::recursive_directory_iterator(Folder, ec)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (e.is_regular_file() && (ext == ".jpg" || ext == ".jpeg")) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string JudgeOutcome(const TBytes& Input, const TCoefImage* Reference, TTally& Tally) {
    ++Tally.Tried;
    const TPeelOutcome copy = RunPeel(Input, false, false);
    const TPeelOutcome opt = RunPeel(Input, true, false);
    Tally.SlowestSeconds = std::max({Tally.SlowestSeconds, copy.Seconds, opt.Seconds});
    if (!copy.Ok && copy.Errors.empty()) return "copy-through refused without a message";
    if (copy.Ok && copy.Out != Input) return "copy-through changed the file";
    if (!opt.Ok) {
        ++Tally.Refused;
        if (opt.Errors.empty()) return "refused without a message";
        if (!opt.Out.empty()) return "a refusal left bytes in the output stream";
        return {};
    }
    ++Tally.Accepted;
    const TBytes& out = opt.Out;
    if (out.size() < 4 || out[0] != 0xFF || out[1] != 0xD8 || out[out.size() - 2] != 0xFF ||
        out[out.size() - 1] != 0xD9)
        return "result is not framed by SOI and EOI";
    if (!RunPeel(out, true, false).Ok) return "the engine cannot read its own result";

    TCoefImage own;
    if (!Reference) {
        if (ReadCoefficients(Input.data(), Input.size(), own) != TOracleRead::Clean) return {};
        Reference = &own;
    }
    TCoefImage written;
    if (ReadCoefficients(out.data(), out.size(), written) != TOracleRead::Clean)
        return "libjpeg does not read the result cleanly";
    ++Tally.Judged;
    const std::string diff = CompareCoefficients(*Reference, written);
    return diff.empty() ? diff : "coefficients changed: " + diff;
}

} // namespace lumaro::test
