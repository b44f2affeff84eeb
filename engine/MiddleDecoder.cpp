#include "MiddleDecoder.h"

#include <algorithm>
#include <cstring>

namespace lumaro {

namespace {
// Fresh starts after a fault before the first thread claimed a unit: the
// first symbols read out of step can take a block past its end.
constexpr int kMaxAttempts = 32;

// A stuffed 0xFF ends at raw position p (the 0x00 after it is at p - 1).
bool StuffedBefore(const std::uint8_t* d, std::size_t p) { return p >= 2 && d[p - 1] == 0x00 && d[p - 2] == 0xFF; }
} // namespace

TMiddleDecoder::TMiddleDecoder(const std::uint8_t* data, std::size_t size, std::size_t start,
                               const scan::TDecodeTable (&tables)[2][2], std::vector<TBlockCoding> units,
                               std::int64_t maxUnits, TCoefficientStore& store)
    : Data(data), Size(size), Start(start), Tables(tables), Unit(std::move(units)), MaxUnits(maxUnits), Store(store) {
    // Every note of a whole scan, and some for the units read out of step;
    // the vector must never move while the first thread reads it.
    Entries.reserve(static_cast<std::size_t>(MaxUnits) + 1024);
    PrepareLarge(Entries.data(), (Entries.capacity() / 2 + 1024) * sizeof(TEntry));
}

std::uint64_t TMiddleDecoder::KeyOf(const TScanReader& in) {
    std::size_t byte;
    int bit;
    in.BitPosition(byte, bit);
    return std::uint64_t{byte} * 8 + static_cast<unsigned>(bit);
}

// As TScanReader::BitPosition, from the data instead of the buffered bits: a
// buffered 0xFF came from a stuffed pair, every other byte from one raw byte.
std::uint64_t TMiddleDecoder::KeyOf(const TEntry& e) const {
    std::size_t raw = Start + e.Pos;
    for (int i = 0; i < e.Real / 8; ++i) raw -= StuffedBefore(Data, raw) ? 2 : 1;
    const int partial = e.Real % 8;
    if (partial == 0) return std::uint64_t{raw} * 8;
    raw -= StuffedBefore(Data, raw) ? 2 : 1;
    return std::uint64_t{raw} * 8 + static_cast<unsigned>(8 - partial);
}

void TMiddleDecoder::Note(const TScanReader& in, const std::uint8_t* record) {
    Entries.push_back({static_cast<std::uint32_t>(in.FetchPosition() - Start), in.RealBits(),
                       static_cast<std::uint64_t>(record - Store.Begin())});
    Published.store(Entries.size(), std::memory_order_release);
}

void TMiddleDecoder::Run(const std::atomic<bool>& stop) {
    std::size_t start = Start;
    try {
        for (int attempt = 0; attempt < kMaxAttempts && start + 1 < Size; ++attempt)
            if (!Attempt(start, stop)) break;
    } catch (...) {
        // Out of memory or past the store's limit, within a unit whose
        // counts cannot be taken back: nothing of this decoder is used.
        Broken = true;
    }
    std::lock_guard<std::mutex> lock(Lock);
    Finished = true;
}

bool TMiddleDecoder::Attempt(std::size_t& start, const std::atomic<bool>& stop) {
    // A byte after 0xFF is the second half of a stuffed pair or a marker.
    while (start > 0 && start < Size && Data[start - 1] == 0xFF) ++start;
    {
        std::lock_guard<std::mutex> lock(Lock);
        if (Claimed || Entries.size() + 1 >= Entries.capacity()) return false;
        AttemptFirst = Entries.size();
    }
    std::memset(&Use, 0, sizeof Use);
    Store.Start(0);
    TScanReader in(Data, Size);
    in.SetRawPosition(start);
    std::uint8_t* record = Store.Room();
    const std::uint8_t* roomEnd = Store.RoomEnd();
    Note(in, record);
    const std::vector<scan::TBlockDecoding> blocks = Decodings(Use);
    const int count = static_cast<int>(blocks.size());
    const std::size_t unitRoom = TCoefficientStore::kMaxRecord * blocks.size();
    scan::TBitWindow bits(in);
    bool fault = false;
    std::int64_t units = 0;
    for (; units < MaxUnits; ++units) {
        if (stop.load(std::memory_order_relaxed) || Entries.size() + 1 >= Entries.capacity()) break;
        if (static_cast<std::size_t>(roomEnd - record) < unitRoom) {
            Store.Commit(record);
            record = Store.Room(unitRoom);
            roomEnd = Store.RoomEnd();
        }
        fault = !scan::DecodeBlocks(bits, record, blocks.data(), count);
        bits.Put();
        // The data ended, or a marker came: the units end here.
        if (fault || in.Overrun()) break;
        Note(in, record);
    }
    Store.Commit(record);
    if (!fault && !in.Overrun()) return false;
    UndoUnit(Entries.back());
    if (!fault) return false;
    std::lock_guard<std::mutex> lock(Lock);
    if (Claimed) return false;  // the first thread reached these units: their end is the scan's
    // Out of step: start again after the fault (and after the last note).
    start = in.RawPosition() + 1;
    return true;
}

void TMiddleDecoder::UndoUnit(const TEntry& from) {
    const std::uint64_t key = KeyOf(from);
    TScanReader in(Data, Size);
    in.SeekBit(static_cast<std::size_t>(key / 8), static_cast<int>(key % 8));
    scan::TBitWindow bits(in);
    TSymbolUse again{};
    const std::vector<scan::TBlockDecoding> blocks = Decodings(again);
    std::vector<std::uint8_t> scratch(TCoefficientStore::kMaxRecord * blocks.size());
    std::uint8_t* r = scratch.data();
    scan::DecodeBlocks(bits, r, blocks.data(), static_cast<int>(blocks.size()));
    for (int c = 0; c < 2; ++c)
        for (int t = 0; t < 2; ++t)
            for (int s = 0; s < 256; ++s) Use.Freq[c][t][s] -= again.Freq[c][t][s];
}

std::vector<scan::TBlockDecoding> TMiddleDecoder::Decodings(TSymbolUse& use) const {
    std::vector<scan::TBlockDecoding> blocks;
    for (const TBlockCoding& b : Unit)
        blocks.push_back({&Tables[0][b.DcTable], &Tables[1][b.AcTable], use.Freq[0][b.DcTable], use.Freq[1][b.AcTable]});
    return blocks;
}

TMiddleDecoder::TClaim TMiddleDecoder::Claim(std::uint64_t key, std::int64_t& unit) {
    std::lock_guard<std::mutex> lock(Lock);
    const std::size_t n = Published.load(std::memory_order_acquire);
    const auto at = std::lower_bound(Entries.begin(), Entries.begin() + static_cast<std::ptrdiff_t>(n), key,
                                     [&](const TEntry& e, std::uint64_t k) { return KeyOf(e) < k; });
    if (at == Entries.begin() + static_cast<std::ptrdiff_t>(n)) return Finished ? TClaim::Never : TClaim::NotYet;
    if (KeyOf(*at) != key) return TClaim::NotYet;
    const auto index = static_cast<std::size_t>(at - Entries.begin());
    // A note of an attempt that ended in a fault: reading on from there
    // meets that fault.
    if (index < AttemptFirst) return TClaim::Never;
    Claimed = true;
    unit = static_cast<std::int64_t>(index - AttemptFirst);
    return TClaim::Found;
}

bool TMiddleDecoder::Behind(std::uint64_t key) {
    std::lock_guard<std::mutex> lock(Lock);
    const std::size_t n = Published.load(std::memory_order_acquire);
    return !Finished && (n == 0 || KeyOf(Entries[n - 1]) < key);
}

void TMiddleDecoder::Uncount(std::int64_t first, std::int64_t end, TSymbolUse& use) const {
    for (std::int64_t u = first; u < end; ++u) {
        const std::uint8_t* r = Store.Begin() + Entries[AttemptFirst + static_cast<std::size_t>(u)].Record;
        for (const TBlockCoding& b : Unit) {
            --use.Freq[0][b.DcTable][r[1]];
            const std::uint8_t* p = r + 4;
            for (const std::uint8_t* e = p + r[0]; p < e; p += scan::AcEntryBytes(p))
                --use.Freq[1][b.AcTable][scan::AcEntrySymbol(p)];
            r += scan::RecordSize(r);
        }
    }
}

bool TMiddleDecoder::TakeUnits(std::int64_t unit, std::int64_t count, TSymbolUse& use, const std::uint8_t*& begin,
                               const std::uint8_t*& end) {
    // Note k of the attempt is where unit k starts; the note after the last
    // unit taken says it ended within the data.
    const auto noted = static_cast<std::int64_t>(Entries.size() - AttemptFirst);
    if (Broken || unit < 0 || count < 0 || unit + count >= noted) return false;
    use = Use;
    Uncount(0, unit, use);
    Uncount(unit + count, noted - 1, use);
    begin = Store.Begin() + Entries[AttemptFirst + static_cast<std::size_t>(unit)].Record;
    end = Store.Begin() + Entries[AttemptFirst + static_cast<std::size_t>(unit + count)].Record;
    return true;
}

} // namespace lumaro
