#include "bytediff.h"

#include "computecrc32.h"
#include "log.h"
#include "streams.h"
#include "support/capturesink.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace deltapatch {
namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::CaptureSink;

void PutVarint(Bytes* out, uint32_t value)
{
    while (value >= 0x80) {
        out->push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out->push_back(static_cast<uint8_t>(value));
}

void PutSigned(Bytes* out, int32_t value)
{
    PutVarint(out, (static_cast<uint32_t>(value) << 1) ^ static_cast<uint32_t>(value >> 31));
}

void PutBytes(Bytes* out, const Bytes& bytes)
{
    out->insert(out->end(), bytes.begin(), bytes.end());
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

struct Triple
{
    int32_t a, b, c;
};

Bytes Control(const std::vector<Triple>& triples)
{
    Bytes control;
    for (const Triple& t : triples) {
        PutSigned(&control, t.a);
        PutSigned(&control, t.b);
        PutSigned(&control, t.c);
    }
    return control;
}

// Method-0 body: three lengths and the three sections.
Bytes PlainBody(const Bytes& control, const Bytes& difference, const Bytes& extra)
{
    Bytes body;
    PutVarint(&body, static_cast<uint32_t>(control.size()));
    PutVarint(&body, static_cast<uint32_t>(difference.size()));
    PutVarint(&body, static_cast<uint32_t>(extra.size()));
    PutBytes(&body, control);
    PutBytes(&body, difference);
    PutBytes(&body, extra);
    return body;
}

Bytes PlainStage(uint32_t outputSize, const Bytes& control, const Bytes& difference, const Bytes& extra)
{
    Bytes stage{0};
    PutVarint(&stage, outputSize);
    PutBytes(&stage, PlainBody(control, difference, extra));
    return stage;
}

Bytes WithHeader(uint32_t crc, const Bytes& stage)
{
    Bytes out = Text("QNDIFF10");
    PutVarint(&out, crc);
    PutBytes(&out, stage);
    return out;
}

// An LZMA2 block made of uncompressed chunks (control byte 0x01, big-endian
// size - 1, the bytes) and the end marker.
Bytes StoredBlock(const Bytes& content)
{
    Bytes block{0x10};
    PutVarint(&block, static_cast<uint32_t>(content.size()));
    for (size_t at = 0; at < content.size(); at += 0x10000) {
        size_t n = std::min<size_t>(0x10000, content.size() - at);
        block.push_back(0x01);
        block.push_back(static_cast<uint8_t>((n - 1) >> 8));
        block.push_back(static_cast<uint8_t>(n - 1));
        block.insert(block.end(), content.begin() + at, content.begin() + at + n);
    }
    block.push_back(0x00);
    return block;
}

struct Applied
{
    bool ok;
    Bytes output;
    std::vector<std::string> messages;
    size_t diffLeft;
};

Applied Apply(const Bytes& old, const Bytes& stage, bool header = false)
{
    CaptureSink sink;
    ReadStream oldStream(old.data(), old.size());
    ReadStream diff(stage.data(), stage.size());
    WriteStream output;
    Applied r;
    r.ok = ApplyDiff(&oldStream, &diff, &output, header);
    r.output.assign(output.Data(), output.Data() + output.Size());
    r.messages = sink.m_Messages;
    r.diffLeft = diff.Remaining();
    EXPECT_EQ(oldStream.Remaining(), old.size()) << "the old stream must not move";
    return r;
}

Bytes Create(const Bytes& old, const Bytes& fresh, bool header, int method)
{
    ReadStream oldStream(old.data(), old.size());
    ReadStream newStream(fresh.data(), fresh.size());
    WriteStream sink;
    EXPECT_TRUE(CreateDiff(&oldStream, &newStream, &sink, header, method));
    EXPECT_TRUE(oldStream.Consumed());
    EXPECT_TRUE(newStream.Consumed());
    return Bytes(sink.Data(), sink.Data() + sink.Size());
}

const Bytes kOld = Text("abcdefghij");

TEST(ApplyDiff, PlainStageFollowsItsTriples)
{
    // "abc"+1 -> "abd", extra "XY", skip one old byte; "ef", then back by
    // four to 'c', which the difference 0xE0 turns into 'C' (modulo 256).
    Bytes control = Control({{3, 2, 1}, {2, 0, -4}, {1, 1, 0}});
    Bytes difference = {0, 0, 1, 0, 0, 0xE0};
    Bytes extra = Text("XY!");
    Bytes stage = PlainStage(9, control, difference, extra);
    stage.push_back(0x77); // the next stage's first byte stays unread

    Applied r = Apply(kOld, stage);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.output, Text("abdXYefC!"));
    EXPECT_EQ(r.diffLeft, 1u);
    EXPECT_TRUE(r.messages.empty());
}

TEST(ApplyDiff, CompressedMethodsCarryTheSameSections)
{
    Bytes control = Control({{3, 2, 1}, {2, 0, 0}});
    Bytes difference = {0, 0, 1, 0, 0};
    Bytes extra = Text("XY");

    Bytes three{1};
    PutVarint(&three, 7);
    PutBytes(&three, StoredBlock(control));
    PutBytes(&three, StoredBlock(difference));
    PutBytes(&three, StoredBlock(extra));
    three.push_back(0x55);

    Bytes one{2};
    PutVarint(&one, 7);
    PutBytes(&one, StoredBlock(PlainBody(control, difference, extra)));
    one.push_back(0x55);

    for (const Bytes& stage : {three, one}) {
        Applied r = Apply(kOld, stage);
        ASSERT_TRUE(r.ok) << int(stage[0]);
        EXPECT_EQ(r.output, Text("abdXYef"));
        EXPECT_EQ(r.diffLeft, 1u) << "the blocks end at their end markers";
    }
}

TEST(ApplyDiff, HeaderCarriesMagicAndCrcOfTheNewBytes)
{
    Bytes stage = PlainStage(3, Control({{0, 3, 0}}), {}, Text("new"));
    const Bytes expected = Text("new");
    uint32_t crc = ComputeCrc32(expected.data(), expected.size());

    Applied good = Apply(kOld, WithHeader(crc, stage), true);
    EXPECT_TRUE(good.ok);
    EXPECT_EQ(good.output, expected);

    Applied bad = Apply(kOld, WithHeader(crc ^ 1, stage), true);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.messages, std::vector<std::string>{"crc mismatch"});

    Applied unflagged = Apply(kOld, WithHeader(crc, stage), false);
    EXPECT_FALSE(unflagged.ok) << "'Q' is not a method byte";
}

TEST(ApplyDiff, ZeroOutputSizeSucceedsWithoutReadingControl)
{
    // The control section is garbage, but nothing has to be produced.
    Bytes stage = PlainStage(0, {0xFF}, {}, {});
    Applied r = Apply(Bytes(), stage);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.output.empty());

    // With the header the empty output's CRC is checked as well.
    EXPECT_TRUE(Apply(Bytes(), WithHeader(0xFFFFFFFF, stage), true).ok);
    EXPECT_FALSE(Apply(Bytes(), WithHeader(0, stage), true).ok);
}

TEST(ApplyDiff, NewBytesAreAppendedBehindExistingOutput)
{
    Bytes stage = PlainStage(3, Control({{0, 3, 0}}), {}, Text("new"));
    const Bytes expected = Text("new");
    Bytes headed = WithHeader(ComputeCrc32(expected.data(), expected.size()), stage);
    ReadStream oldStream(kOld.data(), kOld.size());
    ReadStream diff(headed.data(), headed.size());
    WriteStream output;
    ASSERT_TRUE(output.Write("pre", 3));
    ASSERT_TRUE(ApplyDiff(&oldStream, &diff, &output, true));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(output.Data()), output.Size()), "prenew");
}

struct BadStage
{
    const char* what;
    Bytes stage;
    bool header;
    const char* message; // nullptr: fails without a message of its own
};

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        PutBytes(&out, p);
    return out;
}

Bytes Varint(uint32_t v)
{
    Bytes out;
    PutVarint(&out, v);
    return out;
}

std::vector<BadStage> BadStages()
{
    const Bytes x10(10, 0);
    return {
        {"lengths summing past 2^32",
         Concat({{0}, Varint(4), Varint(0xFFFFFFFF), Varint(0xFFFFFFFF), Varint(3), Control({{0, 2, 0}}), Text("ab")}),
         false, "Corrupt patch sections"},
        {"section longer than the data",
         Concat({{0}, Varint(2), Varint(3), Varint(0), Varint(9), Control({{0, 2, 0}}), Text("ab")}), false,
         "Corrupt patch sections"},
        {"output larger than difference and extra together",
         PlainStage(0x7FFFFFFF, Control({{0, 2, 0}}), {}, Text("ab")), false, "Corrupt patch output size"},
        {"method 3", Concat({{3}, Varint(1)}), false, "Invalid compression method"},
        {"method 255", Concat({{255}, Varint(1)}), false, "Invalid compression method"},
        {"no method byte", Bytes(), false, nullptr},
        {"no output size", Bytes{0}, false, nullptr},
        {"unterminated output size", Bytes{0, 0x80}, false, nullptr},
        {"missing lengths", Concat({{0}, Varint(2), Varint(3)}), false, nullptr},
        {"control ending early", PlainStage(4, Control({{0, 2, 0}}), {}, Text("abcd")), false,
         "Corrupt patch reading control"},
        {"control ending inside a triple", PlainStage(4, Concat({Control({{0, 2, 0}}), {4, 4}}), {}, Text("abcd")),
         false, "Corrupt patch reading control"},
        {"a beyond the difference section", PlainStage(3, Control({{3, 0, 0}}), {0, 0}, Text("x")), false,
         "Corrupt patch difference run"},
        {"negative a", PlainStage(2, Control({{-1, 2, 0}}), {}, Text("ab")), false, "Corrupt patch difference run"},
        {"difference run past the output size", PlainStage(2, Control({{3, 0, 0}}), {0, 0, 0}, {}), false,
         "Corrupt patch difference run"},
        {"difference run past the old data", PlainStage(4, Control({{0, 0, 8}, {4, 0, 0}}), {0, 0, 0, 0}, {}), false,
         "Corrupt patch difference run"},
        {"extra run past the output size", PlainStage(3, Control({{0, 4, 0}}), {}, Text("abcd")), false,
         "Corrupt patch"},
        {"negative b", PlainStage(3, Control({{0, -1, 0}}), {}, Text("abc")), false, "Corrupt patch extra run"},
        {"b beyond the extra section", PlainStage(4, Control({{1, 3, 0}}), {0, 0, 0}, Text("ab")), false,
         "Corrupt patch extra run"},
        {"negative old position", PlainStage(3, Control({{0, 1, -1}, {0, 1, 0}}), {}, Text("abc")), false,
         "Corrupt patch difference run"},
        {"old position past 2^31 - 1", PlainStage(3, Control({{0, 1, 5}, {0, 1, 0x7FFFFFFF}}), {}, Text("abc")), false,
         "Corrupt patch old position"},
        {"old position at -2^31", PlainStage(3, Control({{0, 1, INT32_MIN}, {0, 1, -1}}), {}, Text("abc")), false,
         "Corrupt patch difference run"},
        {"old position near 2^31 reading old data", PlainStage(2, Control({{0, 0, 0x7FFFFFFE}, {1, 0, 0}}), {0, 0}, {}),
         false, "Corrupt patch difference run"},
        {"wrong magic", Concat({Text("QNDIFF11"), Varint(0), PlainStage(0, {}, {}, {})}), true, "Corrupt patch header"},
        {"short magic", Text("QNDIF"), true, nullptr},
        {"no crc", Text("QNDIFF10"), true, "Could not read crc"},
        {"method 1 with a bad block", Concat({{1}, Varint(2), {0x10, 5, 0x01, 0, 0, 'a', 0}}), false, nullptr},
        {"method 2 with a bad body", Concat({{2}, Varint(2), StoredBlock(Concat({Varint(9), Varint(0), Varint(0)}))}),
         false, "Corrupt patch sections"},
    };
}

TEST(ApplyDiff, MalformedStagesFailWithTheirMessage)
{
    for (const BadStage& row : BadStages()) {
        Applied r = Apply(kOld, row.stage, row.header);
        EXPECT_FALSE(r.ok) << row.what;
        if (row.message) {
            ASSERT_FALSE(r.messages.empty()) << row.what;
            EXPECT_EQ(r.messages.back(), row.message) << row.what;
        }
    }
}

TEST(ApplyDiff, EveryTruncationOfAValidStageFails)
{
    std::mt19937 rng(3);
    Bytes old(3000), fresh(3000);
    for (auto& c : old)
        c = static_cast<uint8_t>(rng() % 8);
    fresh = old;
    for (int i = 0; i < 40; ++i)
        fresh[rng() % fresh.size()] = static_cast<uint8_t>(rng());
    for (int method : {0, 1, 2}) {
        for (bool header : {false, true}) {
            Bytes stage = Create(old, fresh, header, method);
            ASSERT_TRUE(Apply(old, stage, header).ok);
            for (size_t cut = 0; cut < stage.size(); ++cut) {
                Bytes part(stage.begin(), stage.begin() + cut);
                EXPECT_FALSE(Apply(old, part, header).ok) << "method " << method << " cut " << cut;
            }
        }
    }
}

struct Pair
{
    const char* what;
    Bytes old;
    Bytes fresh;
};

Bytes Random(size_t n, uint32_t seed, unsigned alphabet = 256)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& c : out)
        c = static_cast<uint8_t>(rng() % alphabet);
    return out;
}

std::vector<Pair> Pairs()
{
    std::vector<Pair> pairs;
    pairs.push_back({"both empty", {}, {}});
    pairs.push_back({"empty old", {}, Random(5000, 1)});
    pairs.push_back({"empty new", Random(5000, 2), {}});
    pairs.push_back({"identical", Random(20000, 3), Random(20000, 3)});
    pairs.push_back({"unrelated", Random(8000, 4), Random(9000, 5)});
    {
        Bytes old = Random(60000, 6);
        Bytes fresh;
        // Blocks moved around, one dropped, one duplicated, a new one added.
        for (int block : {3, 0, 5, 1, 1, 4})
            fresh.insert(fresh.end(), old.begin() + block * 10000, old.begin() + block * 10000 + 10000);
        Bytes added = Random(3000, 7);
        fresh.insert(fresh.begin() + 25000, added.begin(), added.end());
        pairs.push_back({"moved blocks", old, fresh});
    }
    {
        Bytes old = Random(50000, 8, 4);
        Bytes fresh = old;
        std::mt19937 rng(9);
        for (int i = 0; i < 300; ++i)
            fresh[rng() % fresh.size()] += static_cast<uint8_t>(1 + rng() % 3);
        fresh.erase(fresh.begin() + 100, fresh.begin() + 900);
        pairs.push_back({"small edits", old, fresh});
    }
    {
        Bytes old, fresh;
        for (int i = 0; i < 40000; ++i) {
            old.push_back(static_cast<uint8_t>("abcabcabd"[i % 9]));
            fresh.push_back(static_cast<uint8_t>("abcabd"[i % 6]));
        }
        pairs.push_back({"repetitive", old, fresh});
    }
    pairs.push_back({"zeros", Bytes(30000, 0), Bytes(45000, 0)});
    pairs.push_back({"single bytes", {7}, {8}});
    {
        // Executable-like: the same records with every address shifted.
        Bytes old, fresh;
        for (uint32_t i = 0; i < 4000; ++i) {
            uint32_t address = 0x401000 + i * 16;
            for (int k = 0; k < 4; ++k) {
                old.push_back(static_cast<uint8_t>(address >> (8 * k)));
                fresh.push_back(static_cast<uint8_t>((address + 0x230) >> (8 * k)));
            }
            old.push_back(0xE8);
            fresh.push_back(0xE8);
        }
        pairs.push_back({"shifted addresses", old, fresh});
    }
    return pairs;
}

class DiffRoundTrip : public ::testing::TestWithParam<std::tuple<int, bool>>
{};

TEST_P(DiffRoundTrip, ApplyGivesTheNewBytesBack)
{
    int method = std::get<0>(GetParam());
    bool header = std::get<1>(GetParam());
    for (const Pair& pair : Pairs()) {
        Bytes stage = Create(pair.old, pair.fresh, header, method);
        if (header) {
            ASSERT_GE(stage.size(), 8u);
            EXPECT_EQ(Bytes(stage.begin(), stage.begin() + 8), Text("QNDIFF10"));
        }
        Applied r = Apply(pair.old, stage, header);
        ASSERT_TRUE(r.ok) << pair.what;
        EXPECT_EQ(r.output, pair.fresh) << pair.what;
        EXPECT_EQ(r.diffLeft, 0u) << pair.what;
        EXPECT_TRUE(r.messages.empty()) << pair.what;
        // A stage is read with the header flag it was written with.
        EXPECT_FALSE(Apply(pair.old, stage, !header).ok) << pair.what;
        // The same old bytes in pieces, cut anywhere, give the same;
        // one byte short of them, runs that reach the end fail.
        for (size_t cut : {size_t(0), pair.old.size() / 3, pair.old.size()}) {
            CaptureSink quiet;
            for (size_t shortBy : {0, 1}) {
                if (shortBy > pair.old.size() - cut)
                    continue;
                ReadStream diff(stage.data(), stage.size());
                WriteStream output;
                const DiffPiece pieces[3] = {
                    {pair.old.data(), cut}, {nullptr, 0}, {pair.old.data() + cut, pair.old.size() - cut - shortBy}};
                const bool ok = ApplyDiffToPieces(pieces, 3, &diff, &output, header);
                if (shortBy == 0) {
                    EXPECT_TRUE(ok) << pair.what << " cut " << cut;
                    EXPECT_EQ(Bytes(output.Data(), output.Data() + output.Size()), pair.fresh)
                        << pair.what << " cut " << cut;
                } else if (std::string(pair.what) == "identical") {
                    EXPECT_FALSE(ok) << pair.what << " cut " << cut;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(MethodsAndHeader, DiffRoundTrip,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Bool()));

TEST(CreateDiff, SimilarInputsGiveSmallStages)
{
    Bytes old = Random(100000, 11);
    Bytes fresh = old;
    fresh[50000] ^= 0x5A;
    EXPECT_LT(Create(old, old, false, 2).size(), 200u);
    EXPECT_LT(Create(old, fresh, false, 2).size(), 400u);
}

TEST(CreateDiff, EmptyOldSendsEveryByteAsExtra)
{
    Bytes fresh = Random(1000, 12);
    Bytes stage = Create({}, fresh, false, 0);
    ReadStream in(stage.data(), stage.size());
    uint8_t method = 9;
    uint32_t size = 0, control = 0, difference = 0, extra = 0;
    ASSERT_TRUE(in.Read(&method, 1));
    ASSERT_TRUE(in.ReadVarint32(&size) && in.ReadVarint32(&control) && in.ReadVarint32(&difference)
                && in.ReadVarint32(&extra));
    EXPECT_EQ(method, 0);
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(difference, 0u);
    EXPECT_EQ(extra, 1000u);
    EXPECT_EQ(Bytes(stage.end() - 1000, stage.end()), fresh);
}

TEST(CreateDiff, RefusesInputsItCannotDescribe)
{
    // Inaccessible address space: reading any of it before the length check
    // would crash the test.
    const size_t huge = size_t{0x7FFFFFFF} + 1;
    void* map = mmap(nullptr, huge, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    const uint8_t* big = static_cast<const uint8_t*>(map);
    Bytes small = Text("abc");
    struct Row
    {
        const uint8_t* old;
        size_t oldSize;
        const uint8_t* fresh;
        size_t newSize;
        int method;
        const char* message;
    } rows[] = {
        {big, huge, small.data(), small.size(), 0, " old stream too large"},
        {small.data(), small.size(), big, huge, 0, " new stream too large"},
        {small.data(), small.size(), small.data(), small.size(), 3, "Invalid compression method"},
    };
    for (const Row& row : rows) {
        CaptureSink log;
        ReadStream oldStream(row.old, row.oldSize);
        ReadStream newStream(row.fresh, row.newSize);
        WriteStream sink;
        EXPECT_FALSE(CreateDiff(&oldStream, &newStream, &sink, false, row.method)) << row.message;
        EXPECT_EQ(log.m_Messages, std::vector<std::string>{row.message});
        EXPECT_EQ(sink.Size(), 0u);
    }
    munmap(map, huge);
}

// Bytes of address space in use now, from /proc/self/statm.
size_t AddressSpaceInUse()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (f) {
        if (std::fscanf(f, "%lu", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

TEST(CreateDiffDeathTest, RunningOutOfMemoryFailsCleanly)
{
#ifdef QND_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address-space limit";
#else
    // The suffix index of 48 MiB of old data needs 192 MiB; the child gets
    // 64 MiB beyond what it holds, so CreateDiff must report the failure.
    EXPECT_EXIT(
        {
            Bytes old = Random(48 << 20, 13);
            Bytes fresh = Random(1000, 14);
            CaptureSink log;
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = AddressSpaceInUse() + (64u << 20);
            if (setrlimit(RLIMIT_AS, &limit) != 0)
                std::_Exit(2);
            ReadStream oldStream(old.data(), old.size());
            ReadStream newStream(fresh.data(), fresh.size());
            WriteStream sink;
            bool ok = CreateDiff(&oldStream, &newStream, &sink, false, 0);
            std::_Exit(!ok && log.m_Messages.size() == 1 && sink.Size() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

} // namespace
} // namespace deltapatch
