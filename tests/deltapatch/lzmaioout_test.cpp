#include "lzmaioout.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "log.h"
#include "support/capturesink.h"
#include "support/enginebytes.h"

namespace {

using deltapatch::CompressBufferLzma2;
using deltapatch::CompressStreamLzma2;
using deltapatch::DecodeLzma2Block;
using deltapatch::ReadStream;
using deltapatch::WriteStream;
using testsupport::CaptureSink;
using testsupport::Varints;

typedef std::vector<uint8_t> Bytes;

// A raw LZMA2 stream of uncompressed chunks (control 0x01 resets the
// dictionary, then the big-endian size - 1, then the bytes) and the end byte.
Bytes storedStream(const std::string& data)
{
    Bytes out;
    size_t at = 0;
    bool first = true;
    while (at < data.size()) {
        size_t n = std::min<size_t>(data.size() - at, 65536);
        out.push_back(first ? 0x01 : 0x02);
        out.push_back(static_cast<uint8_t>((n - 1) >> 8));
        out.push_back(static_cast<uint8_t>(n - 1));
        out.insert(out.end(), data.begin() + at, data.begin() + at + n);
        at += n;
        first = false;
    }
    out.push_back(0x00);
    return out;
}

Bytes block(uint8_t property, uint32_t storedSize, const Bytes& stream)
{
    Bytes out{property};
    Bytes size = Varints({storedSize});
    out.insert(out.end(), size.begin(), size.end());
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

std::string str(const WriteStream& s)
{
    return std::string(reinterpret_cast<const char*>(s.Data()), s.Size());
}

struct DecodeRow
{
    const char* name;
    Bytes input;
    bool ok;
    std::string output;
    const char* message;
};

Bytes truncated(Bytes bytes, size_t drop)
{
    bytes.resize(bytes.size() - drop);
    return bytes;
}

TEST(DecodeLzma2BlockTest, HandBuiltBlocks)
{
    const Bytes hello = storedStream("hello");
    DecodeRow rows[] = {
        {"exact size", block(0x00, 5, hello), true, "hello", nullptr},
        {"stored size larger", block(0x00, 6, hello), false, "", "Error uncompressing data 0"},
        {"stored size smaller", block(0x00, 4, hello), false, "", "Error uncompressing data 1"},
        {"end marker missing", truncated(block(0x00, 5, hello), 1), false, "", "Error uncompressing data 6"},
        {"chunk cut short", truncated(block(0x00, 5, hello), 3), false, "", "Error uncompressing data 6"},
        {"property 40", block(40, 5, hello), true, "hello", nullptr},
        {"property 41", block(41, 5, hello), false, "", "Error uncompressing data 4"},
        {"property 255", block(255, 5, hello), false, "", "Error uncompressing data 4"},
        {"empty stream", block(0x18, 0, {0x00}), true, "", nullptr},
        {"empty stream, size claimed", block(0x18, 3, {0x00}), false, "", "Error uncompressing data 0"},
        {"bad control byte", block(0x00, 5, {0x03, 0x00, 0x04, 'h', 'e', 'l', 'l', 'o', 0x00}), false, "",
         "Error uncompressing data 1"},
        {"nothing at all", {}, false, "", "Error read LZMA2 properties"},
        {"property only", {0x00}, false, "", "Error read LZMA2 unpack size"},
        {"size cut short", {0x00, 0x80}, false, "", "Error read LZMA2 unpack size"},
    };
    for (const DecodeRow& row : rows) {
        CaptureSink sink;
        ReadStream in(row.input.data(), row.input.size());
        WriteStream out;
        ASSERT_TRUE(out.Write("<", 1));
        EXPECT_EQ(DecodeLzma2Block(&in, &out), row.ok) << row.name;
        EXPECT_EQ(str(out), "<" + row.output) << row.name;
        if (row.ok) {
            EXPECT_TRUE(in.Consumed()) << row.name;
            EXPECT_TRUE(sink.m_Messages.empty()) << row.name;
        } else {
            ASSERT_EQ(sink.m_Messages.size(), 1u) << row.name;
            EXPECT_EQ(sink.m_Messages[0], row.message) << row.name;
            EXPECT_EQ(sink.m_Levels[0], LogLevel_ERROR);
        }
    }
}

TEST(DecodeLzma2BlockTest, BlocksBackToBackLeaveTheInputAfterEachEndMarker)
{
    Bytes first = block(0x00, 3, storedStream("one"));
    Bytes second = block(0x10, 0, {0x00});
    Bytes third = block(0x01, 5, storedStream("three"));
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());
    all.push_back(0x5A); // belongs to whatever follows the blocks

    ReadStream in(all.data(), all.size());
    WriteStream out;
    ASSERT_TRUE(DecodeLzma2Block(&in, &out));
    EXPECT_EQ(in.Current(), all.data() + first.size());
    ASSERT_TRUE(DecodeLzma2Block(&in, &out));
    EXPECT_EQ(in.Current(), all.data() + first.size() + second.size());
    ASSERT_TRUE(DecodeLzma2Block(&in, &out));
    EXPECT_EQ(in.Remaining(), 1u);
    EXPECT_EQ(*in.Current(), 0x5A);
    EXPECT_EQ(str(out), "onethree");

    CaptureSink sink;
    EXPECT_FALSE(DecodeLzma2Block(&in, &out));
    EXPECT_EQ(str(out), "onethree");
}

TEST(DecodeLzma2BlockTest, HugeClaimedSizeDoesNotReserveItUpFront)
{
    CaptureSink sink;
    for (uint8_t property : {uint8_t(40), uint8_t(39), uint8_t(0)}) {
        Bytes input = block(property, 0xFFFFFFFFu, storedStream("tiny"));
        ReadStream in(input.data(), input.size());
        WriteStream out;
        EXPECT_FALSE(DecodeLzma2Block(&in, &out));
        EXPECT_EQ(out.Size(), 0u);
        EXPECT_LE(out.Capacity(), uint64_t(4) << 20);
        EXPECT_EQ(sink.m_Messages.back(), "Error uncompressing data 0");
    }
}

TEST(DecodeLzma2BlockTest, FailedOutputIsRefused)
{
    CaptureSink sink;
    Bytes input = block(0x00, 5, storedStream("hello"));
    ReadStream in(input.data(), input.size());
    WriteStream out;
    out.Reserve(uint64_t(1) << 60);
    ASSERT_TRUE(out.Failed());
    EXPECT_FALSE(DecodeLzma2Block(&in, &out));
    ASSERT_EQ(sink.m_Messages.size(), 1u);
    EXPECT_EQ(sink.m_Messages[0], "unable to allocate sink space");
}

Bytes pattern(const std::string& kind, size_t size, uint32_t seed)
{
    Bytes data(size);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < size; ++i) {
        if (kind == "random")
            data[i] = static_cast<uint8_t>(rng());
        else if (kind == "zeros")
            data[i] = 0;
        else if (kind == "text")
            data[i] = static_cast<uint8_t>("the quick brown fox jumps "[(i * 7 + i / 13) % 26]);
        else
            data[i] = static_cast<uint8_t>(i % 251);
    }
    return data;
}

struct RoundTripCase
{
    std::string kind;
    size_t size;
};

class Lzma2RoundTripTest : public ::testing::TestWithParam<RoundTripCase>
{};

TEST_P(Lzma2RoundTripTest, CompressThenDecodeRestoresTheBytes)
{
    const RoundTripCase& c = GetParam();
    Bytes data = pattern(c.kind, c.size, static_cast<uint32_t>(c.size));
    WriteStream packed;
    ASSERT_TRUE(packed.Write("#", 1));
    ASSERT_TRUE(CompressBufferLzma2(data.data(), data.size(), &packed));
    EXPECT_LE(packed.Data()[1], 40);
    ReadStream in(packed.Data() + 1, packed.Size() - 1);
    WriteStream out;
    ASSERT_TRUE(out.Write("prefix", 6));
    ASSERT_TRUE(DecodeLzma2Block(&in, &out));
    EXPECT_TRUE(in.Consumed());
    ASSERT_EQ(out.Size(), data.size() + 6);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Data()), 6), "prefix");
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.Data() + 6));
}

INSTANTIATE_TEST_SUITE_P(Data, Lzma2RoundTripTest,
                         ::testing::Values(RoundTripCase{"zeros", 0}, RoundTripCase{"random", 1},
                                           RoundTripCase{"random", 70000}, RoundTripCase{"text", 100000},
                                           RoundTripCase{"ramp", 300000},
                                           // Far more output than the input could claim up front.
                                           RoundTripCase{"zeros", 6u << 20}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                             return info.param.kind + std::to_string(info.param.size);
                         });

TEST(Lzma2RoundTripTest, MatchFartherBackThanTheFirstDictionaryStillDecodes)
{
    // A random block repeated after a long run of zeros: the repeat refers
    // further back than a small input can justify up front.
    Bytes head = pattern("random", 64 << 10, 3);
    Bytes data = head;
    data.resize(data.size() + (8u << 20), 0);
    data.insert(data.end(), head.begin(), head.end());
    WriteStream packed;
    ASSERT_TRUE(CompressBufferLzma2(data.data(), data.size(), &packed));
    EXPECT_LT(packed.Size(), 2 * head.size());
    ReadStream in(packed.Data(), packed.Size());
    WriteStream out;
    ASSERT_TRUE(DecodeLzma2Block(&in, &out));
    ASSERT_EQ(out.Size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.Data()));
}

TEST(Lzma2RoundTripTest, StreamFormConsumesItsInputAndChainsBlocks)
{
    Bytes a = pattern("text", 5000, 1);
    Bytes b = pattern("random", 300, 2);
    ReadStream source(a.data(), a.size());
    ASSERT_TRUE(source.Skip(1000));
    WriteStream packed;
    ASSERT_TRUE(CompressStreamLzma2(&source, &packed));
    EXPECT_TRUE(source.Consumed());
    ASSERT_TRUE(CompressBufferLzma2(b.data(), b.size(), &packed));
    ASSERT_TRUE(CompressBufferLzma2(nullptr, 0, &packed));

    ReadStream in(packed.Data(), packed.Size());
    WriteStream first, second, third;
    ASSERT_TRUE(DecodeLzma2Block(&in, &first));
    ASSERT_TRUE(DecodeLzma2Block(&in, &second));
    ASSERT_TRUE(DecodeLzma2Block(&in, &third));
    EXPECT_TRUE(in.Consumed());
    EXPECT_EQ(Bytes(first.Data(), first.Data() + first.Size()), Bytes(a.begin() + 1000, a.end()));
    EXPECT_EQ(Bytes(second.Data(), second.Data() + second.Size()), b);
    EXPECT_EQ(third.Size(), 0u);
}

TEST(Lzma2RoundTripTest, CompressIntoFailedOutputFails)
{
    WriteStream out;
    out.Reserve(uint64_t(1) << 60);
    Bytes data = pattern("text", 100, 1);
    EXPECT_FALSE(CompressBufferLzma2(data.data(), data.size(), &out));
    ReadStream source(data.data(), data.size());
    EXPECT_FALSE(CompressStreamLzma2(&source, &out));
    EXPECT_EQ(source.Remaining(), data.size());
}

} // namespace
