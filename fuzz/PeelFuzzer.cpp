// libFuzzer entry for the engine. Every input is processed twice: re-encoded
// with optimal tables, and copied through with the tables kept. Beyond the
// sanitizers' own checks it stops on:
//  - a refusal without a message (a failure must always be explained);
//  - a copy-through that is not byte for byte the input;
//  - a re-encoded result that the engine itself cannot read back;
//  - a run with the scan passes forced onto two threads that does not give
//    exactly what the run on one thread gave;
//  - with libjpeg present, a re-encoded result whose quantised coefficients
//    differ from those of an input that libjpeg reads cleanly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "JpegPeel.h"
#include "ScanThreading.h"

#if LUMARO_FUZZ_ORACLE
#include "CoefOracle.h"
#endif

using namespace lumaro;

namespace {

struct TOutcome {
    bool Ok = false;
    int Errors = 0;
    std::string First;
};

TOutcome Run(TJpegPeel& peel, TMemoryStream& in, TMemoryStream& out, bool optimize, bool removeExif) {
    TOutcome o;
    peel.OptimizeCode = optimize;
    peel.RemoveExif = removeExif;
    peel.OnError = [&](const std::string& text, int) {
        if (!o.Errors++) o.First = text;
    };
    in.SetPosition(0);
    o.Ok = peel.Process(in, out);
    return o;
}

[[noreturn]] void Defect(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "engine defect: %s %s\n", what, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TJpegPeel peel;  // one engine for the whole session, as in the program
    peel.OnProgressMax = [](int) {};
    peel.OnProgress = [](int) { return true; };

    TMemoryStream in, out;
    in.Assign(data, size);

    const TOutcome copy = Run(peel, in, out, false, false);
    if (!copy.Ok && copy.Errors == 0) Defect("copy-through refused without a message");
    if (copy.Ok && out.Data() != in.Data()) Defect("copy-through changed the file");

    const TOutcome opt = Run(peel, in, out, true, (size & 1) != 0);
    if (!opt.Ok && opt.Errors == 0) Defect("re-encoding refused without a message");

    TScanThreading& limits = ScanThreading();
    const TScanThreading saved = limits;
    limits.SplitDecodeMin = limits.ThreadedVerifyMin = 0;
    limits.AwaitGuessedHalf = true;  // the second half of scans without restarts is taken over
    limits.WriteInTwoParts = (size & 2) == 0;  // or written by one thread, checked by the other
    // With restart markers: pieces taken as the threads go, or a fixed share for the helper.
    limits.HelperPieces = (size & 4) ? -1 : static_cast<int>((size >> 3) % 17);
    TMemoryStream twinOut;
    const TOutcome twin = Run(peel, in, twinOut, true, (size & 1) != 0);
    limits = saved;
    if (twin.Ok != opt.Ok || twin.Errors != opt.Errors || twin.First != opt.First ||
        (opt.Ok && twinOut.Data() != out.Data()))
        Defect("two threads differ from one:", opt.First + " / " + twin.First);
    if (!opt.Ok) return 0;
    if (out.Size() < 4 || out.Memory()[0] != 0xFF || out.Memory()[1] != 0xD8 ||
        out.Memory()[out.Size() - 2] != 0xFF || out.Memory()[out.Size() - 1] != 0xD9)
        Defect("result is not framed by SOI and EOI");

    TMemoryStream result, again;
    result.CopyFrom(out);
    const TOutcome second = Run(peel, result, again, true, false);
    if (!second.Ok) Defect("result cannot be read back:", second.First);

#if LUMARO_FUZZ_ORACLE
    lumaro::test::TCoefImage source, written;
    if (lumaro::test::ReadCoefficients(data, size, source) == lumaro::test::TOracleRead::Clean) {
        if (lumaro::test::ReadCoefficients(result.Memory(), result.Size(), written) !=
            lumaro::test::TOracleRead::Clean)
            Defect("libjpeg does not read the result cleanly");
        const std::string diff = lumaro::test::CompareCoefficients(source, written);
        if (!diff.empty()) Defect("coefficients changed:", diff);
    }
#endif
    return 0;
}
