#pragma once
// Decoding the second half of a scan without restart markers on another
// thread, while the first thread decodes the first half.
//
// Where the second half begins is not known until the first half has been
// decoded, so this decoder starts at a byte near the middle and takes it for
// the start of an MCU. Huffman codes fall into step with the true reading
// after a few symbols, and from then on every unit it decodes is one the
// first thread would decode. It notes where each of its units (an MCU, or a
// block when every block is coded alike and so the place within the MCU
// does not matter) starts. When the first thread, at the start of an MCU
// row, finds its own position among those notes, the rest of the scan has
// been decoded already from there: it claims that unit and stops.
//
// Nothing here can change a result: a unit is used only if the first thread
// reached the very bit where it starts, and only if every unit after it up to
// the end of the scan was decoded without a fault.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "CoefficientStore.h"
#include "ScanCodec.h"
#include "SymbolUse.h"

namespace lumaro {

// Over-aligned: it is written all the time by the thread that decodes, and
// must share no cache line with what the other thread writes.
class alignas(64) TMiddleDecoder {
public:
    // The tables of each block of a unit.
    struct TBlockCoding {
        int DcTable = 0, AcTable = 0;
    };
    // data/size: the file; start: the byte to begin at; units: the blocks of
    // a unit in scan order; maxUnits: units of the whole scan (no attempt
    // decodes more).
    TMiddleDecoder(const std::uint8_t* data, std::size_t size, std::size_t start, const scan::TDecodeTable (&tables)[2][2],
                   std::vector<TBlockCoding> units, std::int64_t maxUnits, TCoefficientStore& store);

    // On the helper thread: decodes until the data ends, a fault after the
    // first thread claimed a unit, `stop`, or too many fresh starts.
    void Run(const std::atomic<bool>& stop);

    // From the first thread, at the start of an MCU row at bit `key` (raw
    // byte * 8 + bit). Found: `unit` starts there and is claimed (the decoder
    // starts afresh no more). Never: no unit can start there any more.
    enum class TClaim { NotYet, Found, Never };
    TClaim Claim(std::uint64_t key, std::int64_t& unit);
    // True while this decoder may still note a unit at or past `key`
    // without having noted one there yet.
    bool Behind(std::uint64_t key);

    // After Run has returned, for the claimed unit: whether the units
    // [unit, unit + count) were all decoded without a fault and the data had
    // every bit they took. If so, `use` gets exactly their symbol counts, and
    // begin/end their records.
    bool TakeUnits(std::int64_t unit, std::int64_t count, TSymbolUse& use, const std::uint8_t*& begin,
                   const std::uint8_t*& end);

    // The bit key of a reader's next bit.
    static std::uint64_t KeyOf(const TScanReader& in);

private:
    struct TEntry {
        std::uint32_t Pos;     // the reader's fetch position past the start...
        std::int32_t Real;     // ...and the data bits it held unread
        std::uint64_t Record;  // offset of the unit's first record in the store
    };
    // One try from `start`; true when another should follow at `start`.
    bool Attempt(std::size_t& start, const std::atomic<bool>& stop);
    void Note(const TScanReader& in, const std::uint8_t* record);
    std::uint64_t KeyOf(const TEntry& e) const;
    // Takes back the counts of a unit that was not completed, by decoding it
    // again from its start into scratch space.
    void UndoUnit(const TEntry& from);
    // Each block of a unit with its tables, counting into `use`.
    std::vector<scan::TBlockDecoding> Decodings(TSymbolUse& use) const;
    // Takes back the counts of the complete units [first, end) of this attempt.
    void Uncount(std::int64_t first, std::int64_t end, TSymbolUse& use) const;

    const std::uint8_t* Data;
    std::size_t Size;
    std::size_t Start;
    const scan::TDecodeTable (&Tables)[2][2];
    std::vector<TBlockCoding> Unit;
    std::int64_t MaxUnits;
    TCoefficientStore& Store;
    TSymbolUse Use{};

    // Notes of every attempt, in data order (an attempt starts after the
    // fault that ended the one before); read by the first thread up to Published.
    std::vector<TEntry, TLargePageAllocator<TEntry>> Entries;
    std::atomic<std::size_t> Published{0};
    std::mutex Lock;            // claims against fresh starts
    std::size_t AttemptFirst = 0;  // the first note of the last attempt
    bool Claimed = false;
    bool Finished = false;
    bool Broken = false;       // Run ended by an exception
};

} // namespace lumaro
