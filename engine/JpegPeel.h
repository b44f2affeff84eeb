#pragma once
// TJpegPeel: makes a baseline JPEG smaller without touching its image. It can
// replace the Huffman tables by ones built for this very file (re-encoding the
// scan from the exact same quantised coefficients) and drop APP1 segments.
// All input and output are in memory; failures are reported through OnError
// (kind 2) and Process returns false. No exception ever leaves Process.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "MemoryStream.h"

namespace lumaro {

// (text, kind): kind 2 = this file cannot be processed; 0 plain, 1 warning.
using TPeelErrorProc = std::function<void(const std::string& text, int kind)>;
using TPeelProgressMaxProc = std::function<void(int maximum)>;
// Returns false to ask the engine to stop.
using TPeelProgressFunc = std::function<bool(int position)>;
// (offset, length): bytes of the source that will not be read again.
using TPeelSourceReadProc = std::function<void(std::size_t offset, std::size_t length)>;

class TJpegPeelImpl;

class TJpegPeel {
public:
    TJpegPeel();
    ~TJpegPeel();
    TJpegPeel(const TJpegPeel&) = delete;
    TJpegPeel& operator=(const TJpegPeel&) = delete;

    bool OptimizeCode = false;
    bool RemoveExif = false;
    TPeelErrorProc OnError;
    TPeelProgressMaxProc OnProgressMax;
    TPeelProgressFunc OnProgress;
    // Optional: called once the source's scan data has been read for the
    // last time, before the result is written. A caller that holds the
    // source in a read-only file mapping may let the system drop those
    // pages (they are read from the file again should it need them), so that
    // the source and the result are not both in memory at once. It may be
    // called on the engine's second thread while Process goes on; Process
    // returns only after it has returned.
    TPeelSourceReadProc OnSourceRead;

    // True: OutStream holds the complete new file at position 0.
    // False: the file could not be processed or a stop was requested.
    bool Process(TMemoryStream& InStream, TMemoryStream& OutStream);
    // The same for a source the caller holds elsewhere (a file mapped into
    // memory): `data` must stay readable and unchanged until this returns.
    bool Process(const std::uint8_t* data, std::size_t size, TMemoryStream& OutStream);
    // Optional: a file of about fileSize bytes comes next. What a file that
    // large uses (a second thread) is started now, while the caller reads it.
    void Expect(std::size_t fileSize);
    // Optional: gives back the memory the last file's work took (its block
    // records and the like; the result stays where it is). It is done on the
    // engine's second thread when there is one, while the caller goes on:
    // a caller about to write the result and end has its memory taken down
    // meanwhile instead of at its end. The next Process waits for it.
    void ReleaseWorkingMemory();

private:
    bool Run(const std::uint8_t* data, std::size_t size, TMemoryStream& OutStream, bool sourcePresent);
    std::unique_ptr<TJpegPeelImpl> Impl;
};

} // namespace lumaro
