// Bit-level reading and writing: stuffing, markers inside the data, raw
// access on byte boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BitStreamFile.h"
#include "MemoryStream.h"

using namespace lumaro;

namespace {

struct Reader {
    explicit Reader(std::vector<std::uint8_t> bytes)
        : Stream(std::move(bytes)),
          In(Stream, [this](const std::string& text, int kind) { Messages.push_back({text, kind}); }) {}
    TMemoryStream Stream;
    std::vector<std::pair<std::string, int>> Messages;
    TInBitStreamFile In;

    std::string Bits(int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += char('0' + In.ReadBit());
        return s;
    }
};

std::vector<std::uint8_t> Written(const std::function<void(TOutBitStreamFile&)>& fn) {
    TMemoryStream out;
    {
        TOutBitStreamFile w(out, nullptr);
        fn(w);
        w.Commit();
    }
    return {out.Data().begin(), out.Data().end()};
}

using Bytes = std::vector<std::uint8_t>;

} // namespace

TEST(BitReader, StuffedZeroAfterFFIsNeverSeen) {
    Reader r({0xFF, 0x00, 0x12});
    EXPECT_EQ(r.Bits(16), "1111111100010010");
    EXPECT_TRUE(r.Messages.empty());
}

TEST(BitReader, MarkerInsideDataIsReportedOnceAndTheByteAfterItIsLost) {
    Reader r({0xFF, 0xD9, 0x5A});
    EXPECT_EQ(r.Bits(8), "11111111");
    ASSERT_EQ(r.Messages.size(), 1u);
    EXPECT_EQ(r.Messages[0].first, "ビットストリームが正しく読みとれませんでした。");
    EXPECT_EQ(r.Messages[0].second, 2);
    EXPECT_EQ(r.Bits(8), "01011010");  // the byte after 0xD9
    EXPECT_EQ(r.Messages.size(), 1u);
}

TEST(BitReader, MarkerIsOnlyReportedWhenItsBitsAreNeeded) {
    Reader r({0xA5, 0xFF, 0xD9});
    EXPECT_EQ(r.Bits(8), "10100101");
    EXPECT_TRUE(r.Messages.empty());
    EXPECT_EQ(r.In.ReadWord(), 0xFFD9);  // a raw read takes the marker itself
}

TEST(BitReader, ZeroCountReadsNothing) {
    Reader r({0x80, 0x40});
    EXPECT_EQ(r.In.ReadBits(0), 0);
    EXPECT_EQ(r.In.ReadByte(), 0x80);  // nothing had been fetched
    EXPECT_EQ(r.In.ReadBit(), 0);
    EXPECT_EQ(r.In.ReadBits(0), 0);
    EXPECT_EQ(r.Bits(7), "1000000");
}

TEST(BitReader, ReadBitsAcrossThreeBytes) {
    // 5 bits consumed, 3 left; 12 bits take 3 + 8 + 1, leaving 7 in the third byte.
    Reader r({0b10101110, 0b01100110, 0b11000000, 0x00});
    EXPECT_EQ(r.In.ReadBits(5), 0b10101);
    EXPECT_EQ(r.In.ReadBits(12), 0b110'01100110'1);
    EXPECT_EQ(r.Bits(7), "1000000");
    EXPECT_THROW(r.In.ReadBits(16), EReadError);  // only 8 bits are left
}

TEST(BitReader, RawReadsDropThePartlyReadByte) {
    Reader r({0xF0, 0x12, 0x34, 0xFF, 0x00, 0x56, 0x78});
    r.In.ReadBits(3);
    EXPECT_EQ(r.In.ReadByte(), 0x12);
    EXPECT_EQ(r.In.ReadWord(), 0x34FF);  // raw: no unstuffing
    EXPECT_EQ(r.In.ReadBits(8), 0x00);   // bit access starts right after the raw reads
    EXPECT_EQ(r.In.ReadByte(), 0x56);
    EXPECT_EQ(r.In.ReadByte(), 0x78);
    EXPECT_THROW(r.In.ReadByte(), EReadError);
}

TEST(BitReader, RawPositionAccountsForStuffedBytesStillBuffered) {
    Reader r({0x01, 0xFF, 0x00, 0x02, 0xFF, 0x00, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09});
    EXPECT_EQ(r.In.ReadBits(4), 0);  // fetching reads ahead several bytes
    EXPECT_EQ(r.In.ReadByte(), 0xFF);  // raw: the first byte of the stuffed pair
    EXPECT_EQ(r.In.ReadByte(), 0x00);
    r.In.MarkPosition();
    EXPECT_EQ(r.In.ReadBits(8), 0x02);
    EXPECT_EQ(r.In.ReadBits(8), 0xFF);
    EXPECT_EQ(r.In.BytesSinceMark(), 3);
    r.In.ReturnToMark();
    EXPECT_EQ(r.In.ReadWord(), 0x02FF);
}

TEST(BitReader, ReadingPastTheEndThrows) {
    Reader r({0xAB});
    EXPECT_EQ(r.In.ReadBits(8), 0xAB);
    EXPECT_THROW(r.In.ReadBit(), EReadError);
    Reader w({0x12});
    EXPECT_THROW(w.In.ReadWord(), EReadError);
}

TEST(BitReader, WordIsBigEndian) {
    Reader r({0x12, 0x34});
    EXPECT_EQ(r.In.ReadWord(), 0x1234);
}

TEST(BitWriter, RawWordCompletesThePartialByteWithZeroBits) {
    auto out = Written([](TOutBitStreamFile& w) {
        w.WriteBit(1);
        w.WriteBit(0);
        w.WriteBit(1);
        w.WriteWord(0xFFD9);
    });
    EXPECT_EQ(out, (Bytes{0xA0, 0xFF, 0xD9}));
}

TEST(BitWriter, FullOnesByteIsStuffed) {
    EXPECT_EQ(Written([](TOutBitStreamFile& w) { for (int i = 0; i < 8; ++i) w.WriteBit(1); }),
              (Bytes{0xFF, 0x00}));
    EXPECT_EQ(Written([](TOutBitStreamFile& w) {
                  for (int i = 0; i < 7; ++i) w.WriteBit(1);
                  w.WriteByte(0x42);
              }),
              (Bytes{0xFE, 0x42}));
}

TEST(BitWriter, OnlyTheValueOneSetsABit) {
    EXPECT_EQ(Written([](TOutBitStreamFile& w) {
                  for (int b : {2, 1, -1, 1, 0, 1, 1, 1}) w.WriteBit(b);
              }),
              (Bytes{0b01010111}));
}

TEST(BitWriter, WriteBitsTakesTheLowBitsMostSignificantFirst) {
    EXPECT_EQ(Written([](TOutBitStreamFile& w) {
                  w.WriteBits(static_cast<std::uint32_t>(-3), 5);  // 11101
                  w.WriteBits(0xFFFF, 0);
                  w.WriteBits(0b101, 3);
              }),
              (Bytes{0b11101101}));
    EXPECT_EQ(Written([](TOutBitStreamFile& w) { w.WriteWord(0x1234); }), (Bytes{0x12, 0x34}));
}

TEST(BitWriter, LongRunsOfBitsStuffEveryFFByte) {
    auto out = Written([](TOutBitStreamFile& w) {
        for (int i = 0; i < 10; ++i) w.WriteBits(0xFFFFFFFF, 32);
        w.WriteBits(0x1, 4);
        w.FlushBits();
    });
    ASSERT_EQ(out.size(), 81u);  // 40 bytes 0xFF, each followed by 0x00, then 0x10
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(out[2 * i], 0xFF);
        EXPECT_EQ(out[2 * i + 1], 0x00);
    }
    EXPECT_EQ(out[80], 0x10);
}

TEST(BitWriter, APartlyFilledByteWaitsForTheNextRawWrite) {
    EXPECT_EQ(Written([](TOutBitStreamFile& w) { w.WriteBits(0b101, 3); }), (Bytes{}));
    EXPECT_EQ(Written([](TOutBitStreamFile& w) {
                  w.WriteBits(0b101, 3);
                  w.FlushBits();
              }),
              (Bytes{0xA0}));
}

TEST(BitStreams, WhatTheWriterWritesTheReaderReadsBack) {
    std::vector<std::pair<std::uint32_t, int>> items;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 5000; ++i) {
        seed = seed * 1103515245 + 12345;
        const int n = 1 + (seed >> 8) % 16;
        items.push_back({(seed >> 3) & ((1u << n) - 1), n});
    }
    TMemoryStream out;
    {
        TOutBitStreamFile w(out, nullptr);
        for (auto [v, n] : items) w.WriteBits(v, n);
        w.WriteWord(0xFFD9);
        w.Commit();
    }
    int messages = 0;
    TInBitStreamFile r(out, [&](const std::string&, int) { ++messages; });
    for (auto [v, n] : items) ASSERT_EQ(r.ReadBits(n), v);
    EXPECT_EQ(r.ReadWord(), 0xFFD9);
    EXPECT_EQ(messages, 0);
}

// The stream's buffer grows without zeroing what is about to be written, but
// a write past the end still leaves zeros before it, and a read after a
// write sees exactly the bytes written.
TEST(MemoryStream, WritesPastTheEndLeaveZerosBeforeThem) {
    lumaro::TMemoryStream s;
    const std::vector<std::uint8_t> junk(64, 0xAA);
    s.Write(junk.data(), junk.size());
    s.Clear();  // the room keeps its old bytes
    s.SetPosition(5);
    s.WriteByte(7);
    s.SetPosition(9);
    const std::uint8_t two[] = {8, 9};
    s.Write(two, 2);
    const std::vector<std::uint8_t> want = {0, 0, 0, 0, 0, 7, 0, 0, 0, 8, 9};
    EXPECT_EQ(std::vector<std::uint8_t>(s.Data().begin(), s.Data().end()), want);
    s.Reserve(1 << 20);  // large pages
    s.Write(junk.data(), junk.size());
    s.Clear();
    std::vector<std::uint8_t> big(300000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + 1);
    s.Write(big.data(), big.size());
    s.SetPosition(big.size() + 3);
    s.WriteByte(1);
    ASSERT_EQ(s.Size(), big.size() + 4);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), s.Memory()));
    EXPECT_EQ(s.Memory()[big.size()], 0);
    EXPECT_EQ(s.Memory()[big.size() + 2], 0);
}
