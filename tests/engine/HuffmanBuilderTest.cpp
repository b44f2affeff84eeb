// Optimal code construction: lengths, fitting into 16 bits, symbol order,
// canonical codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "HuffmanBuilder.h"

using namespace lumaro;

namespace {

std::vector<int> Bits(const TOptimalTable& t) { return std::vector<int>(t.HuffBits, t.HuffBits + 16); }

std::vector<int> Padded(std::vector<int> head) {
    head.resize(16, 0);
    return head;
}

std::vector<TSymbolCount> Counts(const std::vector<int>& counts) {
    std::vector<TSymbolCount> v;
    for (std::size_t i = 0; i < counts.size(); ++i) v.push_back({static_cast<int>(i), counts[i]});
    return v;
}

// Every table must be a prefix code that keeps the all-ones words free.
void ExpectSoundCode(const TOptimalTable& t, std::size_t used) {
    ASSERT_EQ(t.Symbol.size(), used);
    int sum = 0;
    for (int b : t.HuffBits) sum += b;
    EXPECT_EQ(sum, static_cast<int>(used));
    for (std::size_t k = 0; k < t.Code.size(); ++k) {
        EXPECT_GE(t.CodeLength[k], 1);
        EXPECT_LE(t.CodeLength[k], 16);
        const int len = t.CodeLength[k];
        const std::uint32_t filled = (std::uint32_t(t.Code[k]) << (16 - len)) | ((1u << (16 - len)) - 1);
        EXPECT_LE(filled, 0xFFFDu) << "code " << k;
        for (std::size_t j = k + 1; j < t.Code.size(); ++j) {  // no code is a prefix of a longer one
            const int lj = t.CodeLength[j];
            EXPECT_NE(std::uint32_t(t.Code[j]) >> (lj - len), std::uint32_t(t.Code[k])) << k << " " << j;
        }
    }
}

} // namespace

TEST(OptimalTable, OneUsedSymbolGetsTheOneBitCodeZero) {
    auto t = BuildOptimalTable({{0x42, 0}, {0x17, 9}, {0x01, 0}});
    EXPECT_EQ(Bits(t), Padded({1}));
    EXPECT_EQ(t.Symbol, (std::vector<int>{0x17}));
    EXPECT_EQ(t.Code, (std::vector<int>{0}));
    EXPECT_EQ(t.CodeLength, (std::vector<int>{1}));
}

TEST(OptimalTable, TwoSymbolsMostUsedFirst) {
    auto t = BuildOptimalTable({{5, 3}, {9, 10}});
    EXPECT_EQ(Bits(t), Padded({1, 1}));
    EXPECT_EQ(t.Symbol, (std::vector<int>{9, 5}));
    EXPECT_EQ(t.Code, (std::vector<int>{0b0, 0b10}));
}

TEST(OptimalTable, FittingKeepsTheAllOnesCodeFree) {
    auto t = BuildOptimalTable({{1, 5}, {2, 5}, {3, 5}, {4, 5}});
    EXPECT_EQ(Bits(t), Padded({0, 3, 1}));
    EXPECT_EQ(t.Symbol, (std::vector<int>{4, 3, 2, 1}));
    EXPECT_EQ(t.Code, (std::vector<int>{0b00, 0b01, 0b10, 0b110}));
}

TEST(OptimalTable, EqualCountsPutTheLargerSymbolFirst) {
    auto t = BuildOptimalTable({{0x00, 7}, {0x01, 7}, {0x11, 7}});
    EXPECT_EQ(t.Symbol, (std::vector<int>{0x11, 0x01, 0x00}));
    EXPECT_EQ(t.CodeLength, (std::vector<int>{1, 2, 3}));
}

TEST(OptimalTable, UnusedEntriesAreDropped) {
    auto t = BuildOptimalTable(Counts({0, 5, 0, 1, 1}));
    EXPECT_EQ(t.Symbol, (std::vector<int>{1, 4, 3}));
    EXPECT_EQ(t.CodeLength, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(t.Code, (std::vector<int>{0b0, 0b10, 0b110}));
}

TEST(OptimalTable, DeepTreesAreFittedIntoSixteenBits) {
    std::vector<int> doubling{1, 1};
    for (int i = 1; i <= 16; ++i) doubling.push_back(1 << i);
    auto t = BuildOptimalTable(Counts(doubling));
    EXPECT_EQ(Bits(t), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 4}));
    ExpectSoundCode(t, 18);
    // The last code reaches exactly 0xFFFD once filled with ones.
    EXPECT_EQ((std::uint32_t(t.Code.back()) << (16 - t.CodeLength.back())), 0xFFFDu);

    std::vector<int> fibonacci{1, 1};
    while (fibonacci.size() < 30) fibonacci.push_back(fibonacci[fibonacci.size() - 1] + fibonacci[fibonacci.size() - 2]);
    auto f = BuildOptimalTable(Counts(fibonacci));
    EXPECT_EQ(Bits(f), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 16}));
    ExpectSoundCode(f, 30);
}

TEST(OptimalTable, TiesGoToTheEarlierLeafInTableOrder) {
    // Counts 1,1,1 in table order a,b,c: a and b merge first, so c is shallow.
    auto t = BuildOptimalTable({{10, 1}, {20, 1}, {30, 1}});
    // Lengths come from the tree (1,2,2 before fitting; fitting moves one down),
    // the symbols from the counts: equal counts, larger value first.
    EXPECT_EQ(t.Symbol, (std::vector<int>{30, 20, 10}));
    EXPECT_EQ(Bits(t), Padded({1, 1, 1}));
}

TEST(OptimalTable, RandomCountsAlwaysGiveASoundCodeNoLongerThanHuffman) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const int n = 1 + rng() % 256;
        std::vector<TSymbolCount> counts;
        std::vector<int> symbols(256);
        for (int i = 0; i < 256; ++i) symbols[i] = i;
        std::shuffle(symbols.begin(), symbols.end(), rng);
        int used = 0;
        for (int i = 0; i < n; ++i) {
            const int skew = 1 + rng() % 30;
            const int c = (rng() % 4 == 0) ? 0 : 1 + static_cast<int>(rng() % (1u << std::min(skew, 24)));
            counts.push_back({symbols[i], c});
            used += c > 0;
        }
        auto t = BuildOptimalTable(counts);
        ExpectSoundCode(t, used);
        // Symbols come out from the most used to the least used.
        std::vector<int> bySymbol(256, 0);
        for (auto c : counts) bySymbol[c.Symbol] = c.Count;
        for (std::size_t k = 1; k < t.Symbol.size(); ++k)
            EXPECT_GE(bySymbol[t.Symbol[k - 1]], bySymbol[t.Symbol[k]]);
        if (HasFailure()) return;
    }
}

TEST(OptimalTable, FindMinNodeAndCompareNodes) {
    std::vector<THuffNode> list(4);
    list[0].Weight = 5;
    list[1].Weight = 3;
    list[2].Weight = 3;
    list[3].Weight = 1;
    list[3].Active = false;
    EXPECT_EQ(FindMinNode(list), 1);  // the earliest of the equal lightest
    for (auto& n : list) n.Active = false;
    EXPECT_EQ(FindMinNode(list), -1);

    THuffNode a, b;
    a.Weight = 4;
    b.Weight = 3;
    EXPECT_EQ(CompareNodes(a, b), -1);
    EXPECT_EQ(CompareNodes(b, a), 1);
    b.Weight = 4;
    a.SymbolValue = 2;
    b.SymbolValue = 1;
    EXPECT_EQ(CompareNodes(a, b), -1);
    b.SymbolValue = 2;
    EXPECT_EQ(CompareNodes(a, b), 0);
}

// The merging takes the lightest node from two queues instead of scanning
// the list; it must build the very tree the scan with FindMinNode builds,
// ties included (few distinct counts make many of them).
TEST(OptimalTable, MergingBuildsTheTreeFindMinNodeBuilds) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        const int n = 1 + static_cast<int>(rng() % 162);
        const int spread = round % 4 == 0 ? 3 : round % 4 == 1 ? 40 : 100000;
        std::vector<THuffNode> leaves(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            leaves[static_cast<std::size_t>(i)].SymbolValue = i;
            leaves[static_cast<std::size_t>(i)].Weight = 1 + static_cast<int>(rng() % spread);
        }
        std::vector<THuffNode> fast = leaves, scanned = leaves;
        MergeNodes(fast);
        for (;;) {
            const std::int32_t a = FindMinNode(scanned);
            if (a < 0) break;
            scanned[a].Active = false;
            const std::int32_t b = FindMinNode(scanned);
            if (b < 0) break;
            scanned[b].Active = false;
            THuffNode merged;
            merged.Left = a;
            merged.Right = b;
            merged.Weight = scanned[a].Weight + scanned[b].Weight;
            scanned.push_back(merged);
        }
        ASSERT_EQ(fast.size(), scanned.size()) << "round " << round;
        for (std::size_t i = 0; i < fast.size(); ++i) {
            ASSERT_EQ(fast[i].Left, scanned[i].Left) << "round " << round << " node " << i;
            ASSERT_EQ(fast[i].Right, scanned[i].Right) << "round " << round << " node " << i;
            ASSERT_EQ(fast[i].Weight, scanned[i].Weight) << "round " << round << " node " << i;
            ASSERT_EQ(fast[i].Active, scanned[i].Active) << "round " << round << " node " << i;
        }
    }
}
