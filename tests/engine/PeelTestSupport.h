#pragma once
// Shared by the engine's end-to-end tests: running a file through TJpegPeel
// with everything it reports recorded, plausible test images, and checks.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "JpegBuilder.h"
#include "JpegPeel.h"

namespace peeltest {

using namespace lumaro;
using namespace testjpeg;

inline const std::string kHuffmanError = "ハフマンブロックが正しく読み出せませんでした。\r処理を終了します";
inline const std::string kBitStreamError = "ビットストリームが正しく読みとれませんでした。";

struct Result {
    bool Ok = false;
    Bytes Out;
    std::vector<std::pair<std::string, int>> Messages;
    int Max = -1;
    std::vector<int> Positions;
    std::string FirstMessage() const { return Messages.empty() ? "" : Messages[0].first; }
};

inline Result PeelFile(TJpegPeel& peel, const Bytes& in, bool optimize = true, bool removeExif = false, int stopAt = -1) {
    Result r;
    peel.OptimizeCode = optimize;
    peel.RemoveExif = removeExif;
    peel.OnError = [&](const std::string& t, int k) { r.Messages.push_back({t, k}); };
    peel.OnProgressMax = [&](int m) { r.Max = m; };
    peel.OnProgress = [&](int p) {
        r.Positions.push_back(p);
        return static_cast<int>(r.Positions.size()) - 1 != stopAt;
    };
    TMemoryStream is(in), os;
    r.Ok = peel.Process(is, os);
    if (r.Ok) {
        EXPECT_EQ(os.Position(), 0u);
        r.Out.assign(os.Data().begin(), os.Data().end());
    }
    return r;
}

inline Result PeelFile(const Bytes& in, bool optimize = true, bool removeExif = false, int stopAt = -1) {
    TJpegPeel peel;
    return PeelFile(peel, in, optimize, removeExif, stopAt);
}

// Plausible coefficients: a wandering DC and a few low-frequency AC values.
inline Block Natural(int c, int bx, int by) {
    Block b{};
    std::uint32_t h = static_cast<std::uint32_t>(c * 7919 + bx * 104729 + by * 1299709 + 17);
    auto next = [&h] {
        h ^= h << 13;
        h ^= h >> 17;
        h ^= h << 5;
        return h;
    };
    b[0] = static_cast<std::int16_t>((bx * 13 + by * 7 + c * 50) % 400 - 200);
    const int n = next() % 12;
    for (int i = 0; i < n; ++i) {
        const int k = 1 + next() % (i < 6 ? 10 : 63);
        b[k] = static_cast<std::int16_t>(static_cast<int>(next() % 61) - 30);
    }
    if (next() % 9 == 0) b[63] = 1;  // a block without end of block
    if (next() % 11 == 0) b[40] = -700;  // a long zero run before it
    return b;
}

inline Recipe BaseRecipe(int w, int h, std::vector<Component> comps) {
    Recipe s;
    s.Width = w;
    s.Height = h;
    s.Comps = std::move(comps);
    s.Coef = Natural;
    return s;
}

inline Recipe Ycc420(int w = 40, int h = 24) {
    return BaseRecipe(w, h, {{1, 2, 2, 0, 0, 0}, {2, 1, 1, 1, 1, 1}, {3, 1, 1, 1, 1, 1}});
}

// The output decodes, bit by bit, to exactly the coefficients of the input.
inline void ExpectSameCoefficients(const Bytes& in, const Bytes& out) {
    Decoded a = DecodeReference(in), b = DecodeReference(out);
    ASSERT_TRUE(a.Ok);
    ASSERT_TRUE(b.Ok);
    ASSERT_EQ(a.Comps.size(), b.Comps.size());
    for (std::size_t c = 0; c < a.Comps.size(); ++c) {
        ASSERT_EQ(a.Comps[c].size(), b.Comps[c].size());
        for (std::size_t i = 0; i < a.Comps[c].size(); ++i) ASSERT_EQ(a.Comps[c][i], b.Comps[c][i]) << c << "/" << i;
    }
}

inline int CountMarkers(const Bytes& d, int marker) {
    int n = 0;
    for (std::size_t i = 0; i + 1 < d.size(); ++i)
        if (d[i] == 0xFF && d[i + 1] == (marker & 0xFF)) ++n;
    return n;
}

inline Bytes WithMarkerReplaced(Bytes d, int from, int to) {
    for (std::size_t i = 0; i + 1 < d.size(); ++i)
        if (d[i] == 0xFF && d[i + 1] == (from & 0xFF)) {
            d[i + 1] = static_cast<std::uint8_t>(to & 0xFF);
            break;
        }
    return d;
}

inline std::size_t FindMarker(const Bytes& d, int marker) {
    for (std::size_t i = 2; i + 1 < d.size(); ++i)
        if (d[i] == 0xFF && d[i + 1] == (marker & 0xFF)) return i;
    return d.size();
}

inline void ExpectRefused(const Bytes& in, const std::string& message) {
    for (bool optimize : {true, false}) {
        Result r = PeelFile(in, optimize);
        EXPECT_FALSE(r.Ok) << message;
        ASSERT_FALSE(r.Messages.empty()) << message;
        EXPECT_EQ(r.Messages[0].first, message);
        EXPECT_EQ(r.Messages[0].second, 2);
    }
}

} // namespace peeltest
