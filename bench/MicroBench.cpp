// Micro-benchmarks of the scan coder (Google Benchmark), in CPU time per
// symbol, on synthetic blocks shaped like those of a photo:
//   decode      pass 1: symbols into block records, with counting
//   verify      the check of a new scan against the records, bit for bit
//   statistics  counting alone, from the records (what a recount would cost)
//   encode      block records into an entropy-coded scan
//   encode+check  the same, each byte checked as it is written (the engine's way)
// and the whole engine on one file, one thread and two (LUMARO_BENCH_FILE,
// default the largest bundled sample).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "BlockCoderSupport.h"
#include "CheckedScanWriter.h"
#include "HuffmanBuilder.h"
#include "JpegPeel.h"
#include "ScanCodec.h"
#include "ScanThreading.h"

using namespace lumaro;

namespace {

constexpr int kBlocks = 60000;

// Symbols of a photo-like block: a DC difference, a handful of coefficients
// with short runs and small sizes, then an end of block.
std::vector<std::uint8_t> MakeRecords(std::size_t& symbols) {
    std::mt19937 random(42);
    std::vector<std::uint8_t> records;
    symbols = 0;
    for (int b = 0; b < kBlocks; ++b) {
        const std::size_t start = records.size();
        records.resize(start + 4 + 3 * 64 + 1);
        std::uint8_t* p = records.data() + start;
        const unsigned dcSize = random() % 8;
        scan::PutEntry(p + 1, dcSize, dcSize ? random() & ((1u << dcSize) - 1) : 0);
        std::uint8_t* e = p + 4;
        int k = 1, entries = 1;
        const int wanted = static_cast<int>(random() % 14);
        for (int i = 0; i < wanted && k < 60; ++i, ++entries) {
            const int run = std::min(static_cast<int>(random() % 4 == 0 ? random() % 6 : 0), 62 - k);
            const int size = 1 + static_cast<int>(std::min<unsigned>(random() % 7, random() % 7));
            e = scan::PutAc(e, static_cast<unsigned>(run * 16 + size), random() & ((1u << size) - 1));
            k += run + 1;
        }
        e = scan::PutAc(e, 0, 0);  // end of block
        p[0] = static_cast<std::uint8_t>(e - p - 4);
        symbols += 1 + static_cast<std::size_t>(entries);
        records.resize(start + static_cast<std::size_t>(e - p));
    }
    records.resize(records.size() + scan::kMaxRecord);  // room for word-wide reads at the end
    return records;
}

struct TFixture {
    std::size_t Symbols = 0;
    std::vector<std::uint8_t> Records = MakeRecords(Symbols);
    testcoder::TCoder Tables = testcoder::CoderFor(Records.data(), kBlocks);
    TMemoryStream Scan;
    TFixture() {
        Scan.Reserve(Records.size() * 2);
        scan::TScanWriter out(Scan, Scan.Capacity());
        const std::uint8_t* r = Records.data();
        for (int b = 0; b < kBlocks; ++b) r = out.PutBlock(r, Tables.Encode[0], Tables.Encode[1]);
        out.PutMarker(0xFFD9);
        out.Flush();
    }
};

const TFixture& Fixture() {
    static const TFixture fixture;
    return fixture;
}

void PerSymbol(benchmark::State& state, std::size_t symbols) {
    state.counters["ns/symbol"] = benchmark::Counter(static_cast<double>(symbols) * state.iterations(),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Decode(benchmark::State& state) {
    const TFixture& f = Fixture();
    std::vector<std::uint8_t> store(f.Records.size());
    std::uint32_t freq[2][256];
    for (auto _ : state) {
        TScanReader in(f.Scan.Memory(), f.Scan.Size());
        scan::TBitWindow bits(in);
        std::uint8_t* r = store.data();
        for (int b = 0; b < kBlocks; ++b)
            if (!scan::DecodeBlock(bits, r, f.Tables.Decode[0], f.Tables.Decode[1], freq[0], freq[1]))
                state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(r);
    }
    PerSymbol(state, f.Symbols);
}

void BM_Verify(benchmark::State& state) {
    const TFixture& f = Fixture();
    for (auto _ : state) {
        TScanReader in(f.Scan.Memory(), f.Scan.Size());
        scan::TBitWindow bits(in);
        const std::uint8_t* expected = f.Records.data();
        for (int b = 0; b < kBlocks; ++b) {
            if (!scan::CheckBlock(bits, expected, f.Tables.Check[0], f.Tables.Check[1]))
                state.SkipWithError("verification failed");
            expected += scan::RecordSize(expected);
        }
    }
    PerSymbol(state, f.Symbols);
}

void BM_Statistics(benchmark::State& state) {
    const TFixture& f = Fixture();
    for (auto _ : state) {
        std::uint32_t freq[2][256] = {};
        const std::uint8_t* r = f.Records.data();
        for (int b = 0; b < kBlocks; ++b) {
            ++freq[0][r[1]];
            for (const std::uint8_t* e = r + 4; e < r + scan::RecordSize(r); e += scan::AcEntryBytes(e)) ++freq[1][scan::AcEntrySymbol(e)];
            r += scan::RecordSize(r);
        }
        benchmark::DoNotOptimize(freq);
    }
    PerSymbol(state, f.Symbols);
}

void BM_Encode(benchmark::State& state) {
    const TFixture& f = Fixture();
    TMemoryStream scanOut;
    scanOut.Reserve(f.Records.size() * 2);
    for (auto _ : state) {
        scanOut.Clear();
        scan::TScanWriter out(scanOut, scanOut.Capacity());
        const std::uint8_t* r = f.Records.data();
        for (int b = 0; b < kBlocks; ++b) r = out.PutBlock(r, f.Tables.Encode[0], f.Tables.Encode[1]);
        out.Flush();
    }
    PerSymbol(state, f.Symbols);
}

void BM_EncodeChecked(benchmark::State& state) {
    const TFixture& f = Fixture();
    std::vector<std::uint8_t> out(f.Records.size() * 2);
    const scan::TBlockCoding coding{&f.Tables.Encode[0], &f.Tables.Encode[1]};
    for (auto _ : state) {
        scan::TCheckedScanWriter w(out.data(), out.data() + out.size());
        const std::uint8_t* r = f.Records.data();
        for (int b = 0; b < kBlocks && r; ++b) r = w.PutBlocks(r, &coding, 1);
        if (!r || !w.Good()) state.SkipWithError("the check failed");
        benchmark::DoNotOptimize(out.data());
    }
    PerSymbol(state, f.Symbols);
}

// The whole engine on one file, without process start or file reading.
void BM_Process(benchmark::State& state) {
    const char* path = std::getenv("LUMARO_BENCH_FILE");
    std::ifstream file(path ? path : "samples/plasma-restart.jpg", std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    TMemoryStream in(bytes), out;
    TJpegPeel peel;
    peel.OptimizeCode = true;
    TScanThreading& limits = ScanThreading();
    const TScanThreading saved = limits;
    if (state.range(0) == 1) limits.SplitDecodeMin = limits.ThreadedVerifyMin = static_cast<std::size_t>(-1);
    for (auto _ : state)
        if (!peel.Process(in, out)) state.SkipWithError("the file was not processed");
    limits = saved;
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes.size()) * state.iterations());
    state.SetLabel(state.range(0) == 1 ? "one thread" : "two threads where large");
}

} // namespace

BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Verify)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Statistics)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeChecked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Process)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
