#include "streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include <string>
#include <vector>

#include "support/enginebytes.h"

namespace {

using deltapatch::ParseVarint32;
using deltapatch::ReadStream;
using deltapatch::ReadStreamSet;
using deltapatch::WriteStream;
using deltapatch::WriteStreamSet;
using testsupport::FromText;
using testsupport::ToBytes;

typedef std::vector<uint8_t> Bytes;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

const Bytes kMagic = {0xEA, 0x9A, 0xCA, 0x09};

struct VarintRow
{
    uint32_t value;
    Bytes encoded;
};

const VarintRow kVarintRows[] = {
    {0, {0x00}},
    {127, {0x7F}},
    {128, {0x80, 0x01}},
    {300, {0xAC, 0x02}},
    {16383, {0xFF, 0x7F}},
    {16384, {0x80, 0x80, 0x01}},
    {(1u << 21) - 1, {0xFF, 0xFF, 0x7F}},
    {1u << 21, {0x80, 0x80, 0x80, 0x01}},
    {(1u << 28) - 1, {0xFF, 0xFF, 0xFF, 0x7F}},
    {1u << 28, {0x80, 0x80, 0x80, 0x80, 0x01}},
    {20090218, {0xEA, 0x9A, 0xCA, 0x09}},
    {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
};

class VarintTableTest : public ::testing::TestWithParam<VarintRow>
{};

TEST_P(VarintTableTest, WritesAndReadsTheTableBytes)
{
    const VarintRow& row = GetParam();
    WriteStream out;
    ASSERT_TRUE(out.WriteVarint32(row.value));
    EXPECT_EQ(ToBytes(out), row.encoded);

    WriteStream sized;
    ASSERT_TRUE(sized.WriteSizeVarint32(row.value));
    EXPECT_EQ(ToBytes(sized), row.encoded);

    Bytes withTail = cat({row.encoded, {0x55}});
    ReadStream in(withTail.data(), withTail.size());
    uint32_t value = 0;
    ASSERT_TRUE(in.ReadVarint32(&value));
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(in.Remaining(), 1u);

    EXPECT_EQ(ParseVarint32(withTail.data(), withTail.data() + withTail.size(), &value),
              withTail.data() + row.encoded.size());
    // Every proper prefix is truncated.
    for (size_t cut = 0; cut < row.encoded.size(); ++cut) {
        ReadStream shortStream(row.encoded.data(), cut);
        EXPECT_FALSE(shortStream.ReadVarint32(&value)) << cut;
        EXPECT_EQ(shortStream.Remaining(), cut);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, VarintTableTest, ::testing::ValuesIn(kVarintRows));

TEST(VarintTest, FifthByteRules)
{
    struct Row
    {
        Bytes input;
        bool ok;
        uint32_t value;
    } rows[] = {
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, true, 0xFFFFFFFFu}, // high bits of byte 5 dropped
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, 0xFFFFFFFFu},
        {{0x80, 0x80, 0x80, 0x80, 0x00}, true, 0},
        {{0x80, 0x00}, true, 0}, // non-minimal is accepted
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x80}, false, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x01}, false, 0},
        {{0x80}, false, 0},
        {{}, false, 0},
    };
    for (const Row& row : rows) {
        ReadStream in(row.input.data(), row.input.size());
        uint32_t value = 12345;
        EXPECT_EQ(in.ReadVarint32(&value), row.ok);
        if (row.ok) {
            EXPECT_EQ(value, row.value);
        } else {
            EXPECT_EQ(value, 12345u);
            EXPECT_EQ(in.Remaining(), row.input.size());
            EXPECT_EQ(ParseVarint32(row.input.data(), row.input.data() + row.input.size(), &value), nullptr);
        }
    }
}

TEST(VarintTest, SignedZigzagTable)
{
    struct Row
    {
        int32_t value;
        Bytes encoded;
    } rows[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {-2, {0x03}},
        {-64, {0x7F}},
        {64, {0x80, 0x01}},
        {2147483647, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}},
        {-2147483647 - 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const Row& row : rows) {
        WriteStream out;
        ASSERT_TRUE(out.WriteVarint32Signed(row.value));
        EXPECT_EQ(ToBytes(out), row.encoded) << row.value;
        ReadStream in(row.encoded.data(), row.encoded.size());
        int32_t value = 0;
        ASSERT_TRUE(in.ReadVarint32Signed(&value));
        EXPECT_EQ(value, row.value);
        EXPECT_TRUE(in.Consumed());
    }
}

TEST(VarintDeathTest, SizeAbove32BitsEndsTheProcess)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            WriteStream out;
            out.WriteSizeVarint32(uint64_t(1) << 32);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(ReadStreamTest, ReadsSkipsAndSubstreamsStayInBounds)
{
    const Bytes data = {1, 2, 3, 4, 5, 6};
    ReadStream in(data.data(), data.size());
    uint8_t buffer[8] = {};
    EXPECT_FALSE(in.Read(buffer, 7));
    EXPECT_FALSE(in.Skip(SIZE_MAX));
    EXPECT_FALSE(in.Read(buffer, SIZE_MAX));
    ASSERT_TRUE(in.Read(buffer, 2));
    EXPECT_EQ(buffer[1], 2);
    EXPECT_TRUE(in.Read(buffer, 0));

    ReadStream shared;
    EXPECT_FALSE(in.ShareSubstream(5, 0, &shared));
    EXPECT_FALSE(in.ShareSubstream(1, SIZE_MAX, &shared));
    EXPECT_FALSE(in.ShareSubstream(SIZE_MAX, 1, &shared));
    ASSERT_TRUE(in.ShareSubstream(1, 3, &shared));
    EXPECT_EQ(shared.Remaining(), 3u);
    EXPECT_EQ(*shared.Current(), 4);
    EXPECT_EQ(in.Remaining(), 4u); // sharing does not move the stream

    ReadStream sub;
    EXPECT_FALSE(in.ReadSubstream(5, &sub));
    ASSERT_TRUE(in.ReadSubstream(3, &sub));
    EXPECT_EQ(*sub.Current(), 3);
    EXPECT_EQ(sub.Remaining(), 3u);
    EXPECT_EQ(in.Remaining(), 1u);
    EXPECT_TRUE(in.Skip(1));
    EXPECT_TRUE(in.Consumed());
    EXPECT_FALSE(in.Skip(1));

    ReadStream empty;
    EXPECT_TRUE(empty.Consumed());
    EXPECT_EQ(empty.Remaining(), 0u);
    EXPECT_FALSE(empty.Read(buffer, 1));
}

TEST(WriteStreamTest, GrowsByDoublingFromTheMinimum)
{
    WriteStream out;
    EXPECT_EQ(out.Capacity(), 0u);
    ASSERT_TRUE(out.Write("x", 1));
    EXPECT_EQ(out.Capacity(), 256u);
    Bytes chunk(300, 7);
    ASSERT_TRUE(out.Write(chunk.data(), chunk.size()));
    EXPECT_EQ(out.Capacity(), 512u);
    Bytes big(2000, 9);
    ASSERT_TRUE(out.Write(big.data(), big.size()));
    EXPECT_EQ(out.Capacity(), 4096u);
    EXPECT_EQ(out.Size(), 2301u);
    EXPECT_EQ(out.Data()[0], 'x');
    EXPECT_EQ(out.Data()[300], 7);
    EXPECT_EQ(out.Data()[301], 9);
    EXPECT_TRUE(out.Write(nullptr, 0));
    EXPECT_EQ(out.Size(), 2301u);
}

TEST(WriteStreamTest, WritingItsOwnBytesSurvivesGrowth)
{
    WriteStream out;
    ASSERT_TRUE(out.Write("abc", 3));
    // Each write doubles the content from the stream's own buffer, which the
    // growth replaces under it.
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(out.Write(out.Data(), static_cast<size_t>(out.Size())));
    ASSERT_EQ(out.Size(), 3u << 10);
    for (uint64_t i = 0; i < out.Size(); ++i)
        ASSERT_EQ(out.Data()[i], "abc"[i % 3]) << i;
    ASSERT_TRUE(out.Write(out.Data() + 1, 2));
    EXPECT_EQ(out.Data()[out.Size() - 2], 'b');
}

TEST(WriteStreamTest, ReserveExtendAndTruncate)
{
    WriteStream out;
    ASSERT_TRUE(out.Reserve(10));
    EXPECT_EQ(out.Capacity(), 256u);
    ASSERT_TRUE(out.Write("abc", 3));
    ASSERT_TRUE(out.Reserve(1000));
    EXPECT_EQ(out.Capacity(), 1003u); // exactly size + n
    ASSERT_TRUE(out.Reserve(5));
    EXPECT_EQ(out.Capacity(), 1003u);
    out.MutableData()[3] = 'd';
    ASSERT_TRUE(out.Extend(1));
    EXPECT_FALSE(out.Extend(1000));
    EXPECT_EQ(ToBytes(out), FromText("abcd"));
    out.Truncate(2);
    EXPECT_EQ(ToBytes(out), FromText("ab"));
    out.Truncate(100);
    EXPECT_EQ(out.Size(), 2u);
    EXPECT_FALSE(out.Reserve(~uint64_t(0)));
    EXPECT_FALSE(out.Failed()); // refused before any allocation
    EXPECT_EQ(ToBytes(out), FromText("ab"));
}

// Growth stops at the limit, and a write or reservation past it fails the
// stream as a failed allocation would, however it is reached.
TEST(WriteStreamTest, LimitBoundsGrowthAndFailsWhatPassesIt)
{
    const struct
    {
        const char* name;
        std::function<bool(WriteStream*)> pass;
    } rows[] = {
        {"Write", [](WriteStream* s) { return s->Write("xy", 2); }},
        {"Reserve", [](WriteStream* s) { return s->Reserve(2); }},
        {"Varint", [](WriteStream* s) { return s->WriteVarint32(0xFFFFFFFFu); }},
    };
    for (const auto& row : rows) {
        WriteStream out;
        out.SetLimit(300);
        std::vector<uint8_t> bytes(299, 7);
        ASSERT_TRUE(out.Write(bytes.data(), bytes.size())) << row.name;
        EXPECT_EQ(out.Capacity(), 300u) << row.name; // not doubled to 512
        EXPECT_EQ(out.Headroom(), 1u);
        EXPECT_FALSE(row.pass(&out)) << row.name;
        EXPECT_TRUE(out.Failed()) << row.name;
        EXPECT_FALSE(out.Write("z", 1)) << row.name;
    }
    WriteStream small;
    small.SetLimit(10);
    ASSERT_TRUE(small.Reserve(10));
    EXPECT_EQ(small.Capacity(), 10u);
}

TEST(WriteStreamTest, ForgottenBytesLeaveTheRestAsTheyWere)
{
    // Large enough to be mapped on its own, small or not: the bytes after the
    // forgotten ones and the size stay, and the stream goes on growing.
    for (size_t size : {size_t(1000), size_t(9) << 20}) {
        WriteStream out;
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(i * 7);
        ASSERT_TRUE(out.Write(bytes.data(), size));
        out.Forget(size / 2);
        EXPECT_EQ(size, out.Size());
        EXPECT_TRUE(std::equal(bytes.begin() + size / 2, bytes.end(), out.Data() + size / 2));
        ASSERT_TRUE(out.Write("xyz", 3));
        EXPECT_EQ(0, std::memcmp(out.Data() + size, "xyz", 3));
        out.Forget(size * 10); // past the end: nothing
        EXPECT_EQ(size + 3, out.Size());
    }
}

TEST(WriteStreamTest, AllocationFailureIsStickyUntilRetired)
{
    WriteStream out;
    ASSERT_TRUE(out.Write("abc", 3));
    EXPECT_FALSE(out.Reserve(uint64_t(1) << 60));
    EXPECT_TRUE(out.Failed());
    EXPECT_EQ(out.Size(), 0u);
    EXPECT_EQ(out.Data(), nullptr);
    EXPECT_FALSE(out.Write("a", 1));
    EXPECT_FALSE(out.WriteVarint32(1));
    EXPECT_FALSE(out.Reserve(1));
    EXPECT_FALSE(out.Extend(0));

    // A failed source cannot be appended: its bytes are gone.
    WriteStream sink;
    EXPECT_FALSE(sink.Append(&out));
    EXPECT_FALSE(out.Append(&sink));
    EXPECT_TRUE(out.Failed());

    out.Retire();
    EXPECT_FALSE(out.Failed());
    EXPECT_TRUE(out.Write("a", 1));
}

TEST(WriteStreamTest, AppendReleasesTheSourceOnlyOnSuccess)
{
    WriteStream a;
    WriteStream b;
    ASSERT_TRUE(a.Write("12", 2));
    ASSERT_TRUE(b.Write("345", 3));
    ASSERT_TRUE(a.Append(&b));
    EXPECT_EQ(ToBytes(a), FromText("12345"));
    EXPECT_EQ(b.Size(), 0u);
    EXPECT_EQ(b.Capacity(), 0u);
    EXPECT_EQ(b.Data(), nullptr);
    EXPECT_FALSE(a.Append(&a));
    EXPECT_EQ(ToBytes(a), FromText("12345"));

    WriteStream failed;
    failed.Reserve(uint64_t(1) << 60);
    ASSERT_TRUE(b.Write("6", 1));
    EXPECT_FALSE(failed.Append(&b));
    EXPECT_EQ(ToBytes(b), FromText("6")); // left as it was
}

TEST(WriteStreamTest, FullLookingCapacityIsNotFailure)
{
    // A buffer whose capacity happens to be the 32-bit all-ones value is an
    // ordinary buffer.
    WriteStream out;
    if (!out.Reserve(0xFFFFFFFFu))
        GTEST_SKIP() << "no 4 GiB of address space";
    EXPECT_FALSE(out.Failed());
    EXPECT_EQ(out.Capacity(), 0xFFFFFFFFu);
    EXPECT_TRUE(out.Write("ok", 2));
    EXPECT_EQ(ToBytes(out), FromText("ok"));
}

TEST(ReadStreamSetTest, ParsesHandBuiltFlatSets)
{
    struct Row
    {
        const char* name;
        Bytes bytes;
        bool ok;
        uint64_t count;
        std::vector<std::string> streams;
    } rows[] = {
        {"three streams",
         cat({kMagic, {0x03, 0x02, 0x00, 0x01}, FromText("ab"), FromText("c")}),
         true,
         3,
         {"ab", "", "c"}},
        {"count zero", cat({kMagic, {0x00}}), true, 0, {}},
        {"count zero, trailing byte", cat({kMagic, {0x00, 0x00}}), false, 0, {}},
        {"ten empty", cat({kMagic, {0x0A}, Bytes(10, 0)}), true, 10, {}},
        {"count eleven", cat({kMagic, {0x0B}, Bytes(11, 0)}), false, 0, {}},
        {"one byte short", cat({kMagic, {0x02, 0x02, 0x02}, FromText("abc")}), false, 0, {}},
        {"one byte over", cat({kMagic, {0x02, 0x02, 0x02}, FromText("abcde")}), false, 0, {}},
        {"lengths truncated", cat({kMagic, {0x03, 0x00}}), false, 0, {}},
        {"count missing", kMagic, false, 0, {}},
        {"wrong magic", cat({{0xEA, 0x9A, 0xCA, 0x08}, {0x00}}), false, 0, {}},
        {"empty input", {}, false, 0, {}},
        // Lengths whose sum passes 2^32 must not wrap onto the real size.
        {"lengths wrap 32 bits",
         cat({kMagic, {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x02}, FromText("a")}),
         false,
         0,
         {}},
    };
    for (const Row& row : rows) {
        ReadStreamSet set;
        ASSERT_EQ(set.Init(row.bytes.data(), row.bytes.size()), row.ok) << row.name;
        if (!row.ok) {
            EXPECT_EQ(set.Count(), 10u) << row.name;
            EXPECT_TRUE(set.Empty()) << row.name;
            continue;
        }
        EXPECT_EQ(set.Count(), row.count) << row.name;
        for (size_t i = 0; i < row.streams.size(); ++i) {
            ReadStream* s = set.Stream(i);
            EXPECT_EQ(std::string(s->Current(), s->Current() + s->Remaining()), row.streams[i]);
        }
        EXPECT_EQ(set.Empty(), row.bytes.size() == kMagic.size() + 1 + row.count);
    }
}

TEST(ReadStreamSetTest, InitFromStreamStartsAtItsPositionAndLeavesItThere)
{
    Bytes bytes = cat({{0x77}, kMagic, {0x01, 0x01}, FromText("z")});
    ReadStream source(bytes.data(), bytes.size());
    ASSERT_TRUE(source.Skip(1));
    ReadStreamSet set;
    ASSERT_TRUE(set.Init(source));
    EXPECT_EQ(source.Remaining(), bytes.size() - 1);
    EXPECT_EQ(*set.Stream(0)->Current(), 'z');
    EXPECT_EQ(set.Stream(10), nullptr);
}

TEST(WriteStreamSetTest, DefaultSetFlattensToFifteenBytes)
{
    WriteStreamSet set;
    WriteStream sink;
    ASSERT_TRUE(set.CopyTo(&sink));
    EXPECT_EQ(ToBytes(sink), cat({kMagic, {0x0A}, Bytes(10, 0)}));
}

TEST(WriteStreamSetTest, CopyToWritesHeaderAndStreamsThenEmptiesThem)
{
    WriteStreamSet set;
    ASSERT_TRUE(set.Init(3));
    ASSERT_TRUE(set.Stream(0)->Write("ab", 2));
    ASSERT_TRUE(set.Stream(2)->Write("c", 1));
    WriteStream header;
    ASSERT_TRUE(set.WriteHeader(&header));
    EXPECT_EQ(ToBytes(header), cat({kMagic, {0x03, 0x02, 0x00, 0x01}}));

    WriteStream sink;
    ASSERT_TRUE(sink.Write("!", 1));
    ASSERT_TRUE(set.CopyTo(&sink));
    Bytes expected = cat({FromText("!"), kMagic, {0x03, 0x02, 0x00, 0x01}, FromText("abc")});
    EXPECT_EQ(ToBytes(sink), expected);
    EXPECT_EQ(sink.Capacity(), 256u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(set.Stream(i)->Size(), 0u);
        EXPECT_EQ(set.Stream(i)->Data(), nullptr);
    }

    ReadStreamSet back;
    ASSERT_TRUE(back.Init(sink.Data() + 1, sink.Size() - 1));
    EXPECT_EQ(back.Count(), 3u);

    EXPECT_FALSE(set.Init(11));
    EXPECT_EQ(set.Count(), 3u);
}

TEST(WriteStreamSetTest, CopyToSizesTheSinkOnceForLargeSets)
{
    WriteStreamSet set;
    Bytes big(5000, 1);
    ASSERT_TRUE(set.Stream(4)->Write(big.data(), big.size()));
    WriteStream sink;
    ASSERT_TRUE(set.CopyTo(&sink));
    // Header: magic, count, ten lengths (one of them two bytes).
    EXPECT_EQ(sink.Size(), 4u + 1 + 11 + 5000);
    EXPECT_EQ(sink.Capacity(), sink.Size());
}

TEST(WriteStreamSetTest, FailedStreamsOrSinksFailTheCopy)
{
    WriteStreamSet set;
    ASSERT_TRUE(set.Stream(0)->Write("a", 1));
    set.Stream(1)->Reserve(uint64_t(1) << 60);
    WriteStream sink;
    EXPECT_FALSE(set.CopyTo(&sink));
    EXPECT_EQ(sink.Size(), 0u);

    WriteStreamSet outer;
    EXPECT_FALSE(outer.WriteSet(&set));
    EXPECT_EQ(outer.Stream(0)->Size(), 0u);

    WriteStreamSet good;
    ASSERT_TRUE(good.Stream(0)->Write("a", 1));
    WriteStream failedSink;
    failedSink.Reserve(uint64_t(1) << 60);
    EXPECT_FALSE(good.CopyTo(&failedSink));
}

TEST(NestedStreamSetTest, OnlyStreamThreeWrittenNestsWithFourLengths)
{
    WriteStreamSet inner;
    ASSERT_TRUE(inner.Stream(3)->Write("xyz", 3));
    WriteStreamSet outer;
    ASSERT_TRUE(outer.WriteSet(&inner));
    EXPECT_EQ(ToBytes(*outer.Stream(0)), Bytes({0x04, 0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(ToBytes(*outer.Stream(3)), FromText("xyz"));
    EXPECT_EQ(inner.Stream(3)->Size(), 0u);

    // An all-empty set nests as the single count byte 0.
    WriteStreamSet emptyInner;
    ASSERT_TRUE(outer.WriteSet(&emptyInner));
    EXPECT_EQ(ToBytes(*outer.Stream(0)), Bytes({0x04, 0x00, 0x00, 0x00, 0x03, 0x00}));
}

TEST(NestedStreamSetTest, SetsNestFlattenAndReadBackInOrder)
{
    WriteStreamSet first;
    ASSERT_TRUE(first.Stream(0)->Write("A0", 2));
    ASSERT_TRUE(first.Stream(1)->Write("A1", 2));
    WriteStreamSet second;
    ASSERT_TRUE(second.Stream(0)->Write("B", 1));
    ASSERT_TRUE(second.Stream(2)->Write("B2", 2));
    WriteStreamSet outer;
    ASSERT_TRUE(outer.WriteSet(&first));
    ASSERT_TRUE(outer.WriteSet(&second));
    // Stream 0 carries each nested header followed by its stream 0 bytes.
    EXPECT_EQ(ToBytes(*outer.Stream(0)),
              cat({{0x02, 0x02, 0x02}, FromText("A0"), {0x03, 0x01, 0x00, 0x02}, FromText("B")}));
    EXPECT_EQ(ToBytes(*outer.Stream(1)), FromText("A1"));
    EXPECT_EQ(ToBytes(*outer.Stream(2)), FromText("B2"));

    WriteStream flat;
    ASSERT_TRUE(outer.CopyTo(&flat));
    ReadStreamSet readOuter;
    ASSERT_TRUE(readOuter.Init(flat.Data(), flat.Size()));
    ReadStreamSet a;
    ReadStreamSet b;
    ASSERT_TRUE(readOuter.ReadSet(&a));
    ASSERT_TRUE(readOuter.ReadSet(&b));
    EXPECT_TRUE(readOuter.Empty());
    auto str = [](ReadStream* s) { return std::string(s->Current(), s->Current() + s->Remaining()); };
    EXPECT_EQ(str(a.Stream(0)), "A0");
    EXPECT_EQ(str(a.Stream(1)), "A1");
    EXPECT_EQ(str(a.Stream(2)), "");
    EXPECT_EQ(str(b.Stream(0)), "B");
    EXPECT_EQ(str(b.Stream(1)), "");
    EXPECT_EQ(str(b.Stream(2)), "B2");
    EXPECT_EQ(a.Count(), 10u);

    ReadStreamSet none;
    EXPECT_FALSE(readOuter.ReadSet(&none));
}

TEST(NestedStreamSetTest, MalformedNestedHeadersFailWithoutMovingTheOuterSet)
{
    struct Row
    {
        const char* name;
        Bytes stream0;
        Bytes stream1;
    } rows[] = {
        {"count above ten", {0x0B}, {}},
        {"count missing", {}, {}},
        {"lengths truncated", {0x02, 0x00}, {}},
        {"stream 0 too short", {0x01, 0x05, 'a'}, {}},
        {"stream 1 too short", {0x02, 0x00, 0x03}, {'a', 'b'}},
    };
    for (const Row& row : rows) {
        WriteStreamSet source;
        ASSERT_TRUE(source.Init(2));
        ASSERT_TRUE(source.Stream(0)->Write(row.stream0.data(), row.stream0.size()));
        ASSERT_TRUE(source.Stream(1)->Write(row.stream1.data(), row.stream1.size()));
        WriteStream flat;
        ASSERT_TRUE(source.CopyTo(&flat));
        ReadStreamSet outer;
        ASSERT_TRUE(outer.Init(flat.Data(), flat.Size()));
        ReadStreamSet inner;
        EXPECT_FALSE(outer.ReadSet(&inner)) << row.name;
        EXPECT_EQ(outer.Stream(0)->Remaining(), row.stream0.size()) << row.name;
        EXPECT_EQ(outer.Stream(1)->Remaining(), row.stream1.size()) << row.name;
        EXPECT_TRUE(inner.Empty()) << row.name;
    }

    // A nested count beyond the outer set's own count is refused too.
    Bytes bytes = cat({kMagic, {0x01, 0x03}, {0x02, 0x00, 0x00}});
    ReadStreamSet outer;
    ASSERT_TRUE(outer.Init(bytes.data(), bytes.size()));
    ReadStreamSet inner;
    EXPECT_FALSE(outer.ReadSet(&inner));

    Bytes none = cat({kMagic, {0x00}});
    ReadStreamSet zero;
    ASSERT_TRUE(zero.Init(none.data(), none.size()));
    EXPECT_FALSE(zero.ReadSet(&inner));
}

} // namespace
