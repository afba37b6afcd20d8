#include "encodedprogram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "streams.h"
#include "support/encodedpipeline.h"
#include "support/enginebytes.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<uint32_t> Words;

using testsupport::ToVector;

Bytes Assemble(EncodedProgram* program, PatchStatus* status)
{
    WriteStream out;
    *status = AssembleEncodedProgram(program, &out);
    return Bytes(out.Data(), out.Data() + out.Size());
}

// Empty only when writing or flattening failed.
Bytes Flatten(EncodedProgram* program)
{
    const Bytes flat = testsupport::FlatStreams(program);
    EXPECT_FALSE(flat.empty());
    return flat;
}

TEST(EncodedProgramTest, ConsecutiveBytesAndRunsMergeIntoOneCopy)
{
    EncodedProgram program;
    const uint8_t a = 0x41, b = 0x42, run[3] = {1, 2, 3};
    ASSERT_TRUE(program.AddCopy(1, &a));
    ASSERT_TRUE(program.AddCopy(3, run));
    ASSERT_TRUE(program.AddCopy(1, &b));
    EXPECT_EQ(Words({OP_COPY}), ToVector(program.ops()));
    EXPECT_EQ(Words({5}), ToVector(program.copyCounts()));
    EXPECT_EQ(Bytes({0x41, 1, 2, 3, 0x42}), ToVector(program.copyBytes()));
}

TEST(EncodedProgramTest, LoneByteBetweenReferencesIsCopyOne)
{
    EncodedProgram program;
    const uint8_t x = 0x90;
    ASSERT_TRUE(program.AddRel32(0));
    ASSERT_TRUE(program.AddCopy(1, &x));
    ASSERT_TRUE(program.AddRel32(0));
    EXPECT_EQ(Words({OP_REL32, OP_COPY1, OP_REL32}), ToVector(program.ops()));
    EXPECT_TRUE(program.copyCounts().empty());
}

TEST(EncodedProgramTest, FinishLabelsFillsGapsFromTheSlotBefore)
{
    EncodedProgram program;
    ASSERT_TRUE(program.DefineRel32Label(0, 0x1000));
    ASSERT_TRUE(program.DefineRel32Label(3, 0x4000));
    ASSERT_TRUE(program.DefineAbs32Label(2, 0x500));
    program.FinishLabels();
    EXPECT_EQ(Words({0x1000, 0x1000, 0x1000, 0x4000}), ToVector(program.rel32Rvas()));
    EXPECT_EQ(Words({0, 0, 0x500}), ToVector(program.abs32Rvas()));
    EXPECT_FALSE(program.DefineRel32Label(-1, 0));
}

// The applier numbers its base's targets as it reads them; the streams must
// be those of the same program encoded from numbered labels, also for a
// target at the unassigned marker's address (a hostile file can make one).
TEST(EncodedProgramTest, TargetsNumberedDirectlyEncodeLikeLabelsDefinedByIndex)
{
    EncodedProgram direct;
    ASSERT_TRUE(direct.AddAbs32Target(0xFFFFFFFF));
    ASSERT_TRUE(direct.AddAbs32Target(0x1000));
    ASSERT_TRUE(direct.AddRel32Target(0x2000));
    ASSERT_TRUE(direct.AddAbs32Target(0xFFFFFFF8));
    ASSERT_TRUE(direct.NumberLabelTargets());

    EncodedProgram labelled;
    ASSERT_TRUE(labelled.DefineAbs32Label(0, 0x1000));
    ASSERT_TRUE(labelled.DefineAbs32Label(1, 0xFFFFFFF8));
    ASSERT_TRUE(labelled.DefineAbs32Label(2, 0xFFFFFFFF));
    ASSERT_TRUE(labelled.DefineRel32Label(0, 0x2000));
    labelled.FinishLabels();
    ASSERT_TRUE(labelled.AddAbs32(2));
    ASSERT_TRUE(labelled.AddAbs32(0));
    ASSERT_TRUE(labelled.AddRel32(0));
    ASSERT_TRUE(labelled.AddAbs32(1));

    EXPECT_EQ(Words({0x1000, 0xFFFFFFF8, 0xFFFFFFF8}), ToVector(direct.abs32Rvas()));
    EXPECT_EQ(Flatten(&labelled), Flatten(&direct));
}

TEST(EncodedProgramTest, ReferencesAssembleRelativeAndAbsolute)
{
    EncodedProgram program;
    program.set_image_base(0x10000000);
    ASSERT_TRUE(program.DefineRel32Label(0, 0x1010));
    ASSERT_TRUE(program.DefineAbs32Label(0, 0x2000));
    ASSERT_TRUE(program.AddOrigin(0x1000));
    ASSERT_TRUE(program.AddRel32(0));
    ASSERT_TRUE(program.AddAbs32(0));
    PatchStatus status;
    Bytes out = Assemble(&program, &status);
    ASSERT_EQ(StatusOk, status);
    EXPECT_EQ(Bytes({0x0C, 0, 0, 0, 0x00, 0x20, 0x00, 0x10}), out);
    EXPECT_EQ(Words({0x1004}), ToVector(program.abs32RelocRvas()));
}

// Abs32 references at 0x1000, 0x1004 and 0x2000 behind a PE table marker.
EncodedProgram* MakePeProgram(uint32_t op)
{
    EncodedProgram* program = new EncodedProgram();
    EXPECT_TRUE(program->DefineAbs32Label(0, 0x3000));
    program->AddPeMakeRelocs(op == OP_MAKE_PE_RELOCATION_TABLE ? WIN_32_X86 : WIN_32_X64);
    program->AddOrigin(0x1000);
    program->AddAbs32(0);
    program->AddAbs32(0);
    program->AddOrigin(0x2000);
    program->AddAbs32(0);
    return program;
}

TEST(EncodedProgramTest, PeRelocationsFormOneBlockPerPagePaddedToFourBytes)
{
    struct Row
    {
        uint32_t op;
        uint8_t high;
    } rows[] = {{OP_MAKE_PE_RELOCATION_TABLE, 0x30}, {OP_MAKE_PE64_RELOCATION_TABLE, 0xA0}};
    for (const Row& row : rows) {
        std::unique_ptr<EncodedProgram> program(MakePeProgram(row.op));
        EXPECT_EQ(row.op, program->ops()[0]);
        PatchStatus status;
        Bytes out = Assemble(program.get(), &status);
        ASSERT_EQ(StatusOk, status);
        const Bytes word = {0x00, 0x30, 0, 0};
        Bytes expected = {0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x00, row.high, 0x04, row.high,
                          0x00, 0x20, 0, 0, 12, 0, 0, 0, 0x00, row.high, 0x00, 0x00};
        for (int i = 0; i < 3; ++i)
            expected.insert(expected.end(), word.begin(), word.end());
        EXPECT_EQ(expected, out);
    }
}

TEST(EncodedProgramTest, ElfRelocationsSortAllButTheLastEntry)
{
    struct Row
    {
        void (*mark)(EncodedProgram*);
        uint8_t type;
    } rows[] = {{[](EncodedProgram* p) { p->AddElfMakeRelocs(); }, 8},
                {[](EncodedProgram* p) { p->AddElfARMMakeRelocs(); }, 23}};
    for (const Row& row : rows) {
        EncodedProgram program;
        ASSERT_TRUE(program.DefineAbs32Label(0, 0));
        row.mark(&program);
        const uint8_t tail = 0xCC;
        for (uint32_t origin : {0x3000u, 0x1000u, 0x2000u, 0x1800u}) {
            program.AddOrigin(origin);
            program.AddAbs32(0);
        }
        program.AddCopy(1, &tail);
        PatchStatus status;
        Bytes out = Assemble(&program, &status);
        ASSERT_EQ(StatusOk, status);
        Bytes expected;
        for (uint32_t rva : {0x1000u, 0x2000u, 0x3000u, 0x1800u}) {
            const uint8_t entry[8] = {uint8_t(rva), uint8_t(rva >> 8), 0, 0, row.type, 0, 0, 0};
            expected.insert(expected.end(), entry, entry + 8);
        }
        expected.resize(expected.size() + 16, 0);
        expected.push_back(0xCC);
        EXPECT_EQ(expected, out);
    }
}

TEST(EncodedProgramTest, RelocationTableWithoutAbs32EntriesIsEmpty)
{
    EncodedProgram program;
    const uint8_t b = 7;
    ASSERT_TRUE(program.AddElfMakeRelocs());
    ASSERT_TRUE(program.AddCopy(1, &b));
    PatchStatus status;
    EXPECT_EQ(Bytes({7}), Assemble(&program, &status));
    EXPECT_EQ(StatusOk, status);
}

TEST(EncodedProgramTest, ArmBranchesAssembleInTheirFileLayout)
{
    struct Row
    {
        uint16_t op;
        uint32_t origin, target;
        Bytes expected;
    } rows[] = {
        {0x201C, 0x1000, 0x1000, {0xFE, 0xE7}},             // Thumb B to itself
        {0x10D0, 0x1000, 0x1004, {0x00, 0xD0}},             // Thumb BEQ +4
        {0x30EA, 0x1000, 0x1000, {0xFE, 0xFF, 0xFF, 0xEA}}, // ARM B to itself
        {0x44F7, 0x1000, 0x1004, {0x00, 0xF0, 0x00, 0xF8}}, // Thumb-2 BL +4
    };
    for (const Row& row : rows) {
        EncodedProgram program;
        ASSERT_TRUE(program.DefineRel32Label(0, row.target));
        ASSERT_TRUE(program.AddOrigin(row.origin));
        ASSERT_TRUE(program.AddRel32ARM(row.op, 0));
        PatchStatus status;
        EXPECT_EQ(row.expected, Assemble(&program, &status)) << std::hex << row.op;
        EXPECT_EQ(StatusOk, status);
    }
}

TEST(EncodedProgramTest, MalformedProgramsFailToAssemble)
{
    const uint8_t byte = 1;
    std::function<void(EncodedProgram*)> rows[] = {
        [](EncodedProgram* p) { p->AddRel32(0); }, // no rel32 labels
        [](EncodedProgram* p) {
            p->DefineAbs32Label(0, 0);
            p->AddAbs32(1);
        }, // index past table
        [](EncodedProgram* p) {
            p->AddElfMakeRelocs();
            p->AddElfARMMakeRelocs();
        },
        [](EncodedProgram* p) {
            p->AddPeMakeRelocs(WIN_32_X86);
            p->AddPeMakeRelocs(WIN_32_X64);
        },
        [](EncodedProgram* p) {
            p->DefineRel32Label(0, 0);
            p->AddRel32ARM(0x6000, 0);
        },
        [](EncodedProgram* p) {
            p->DefineRel32Label(0, 0);
            p->AddRel32ARM(0x0FFF, 0);
        },
        [](EncodedProgram* p) {
            p->AddOrigin(0);
            p->AddOrigin(0);
            p->AddAbs32(0);
        },
        [&](EncodedProgram* p) {
            p->AddOrigin(0);
            p->AddCopy(1, &byte);
            p->AddRel32ARM(0x2000, 0);
        },
    };
    int index = 0;
    for (auto& build : rows) {
        EncodedProgram program;
        build(&program);
        PatchStatus status;
        Assemble(&program, &status);
        EXPECT_EQ(StatusAssemblyFailed, status) << "row " << index;
        ++index;
    }
}

TEST(EncodedProgramTest, EmptyProgramAssemblesToNothing)
{
    EncodedProgram program;
    PatchStatus status;
    EXPECT_TRUE(Assemble(&program, &status).empty());
    EXPECT_EQ(StatusOk, status);
    Bytes flat = Flatten(&program);
    ReadStreamSet set;
    ASSERT_TRUE(set.Init(flat.data(), flat.size()));
    EncodedProgram* read = nullptr;
    ASSERT_EQ(StatusOk, ReadEncodedProgram(&set, &read));
    EXPECT_TRUE(read->ops().empty());
    DeleteEncodedProgram(read);
    DeleteEncodedProgram(nullptr);
}

// The streams of a program that copies two bytes.
Bytes TwoByteCopyStreams()
{
    EncodedProgram program;
    const uint8_t run[2] = {9, 8};
    program.AddCopy(2, run);
    return Flatten(&program);
}

// A stream set with one stream replaced by the given bytes.
Bytes SetWithStream(const Bytes& flat, int index, const Bytes& content, uint64_t count = 10)
{
    ReadStreamSet in;
    EXPECT_TRUE(in.Init(flat.data(), flat.size()));
    WriteStreamSet out;
    EXPECT_TRUE(out.Init(count));
    for (uint64_t i = 0; i < count; ++i) {
        ReadStream* s = in.Stream(i);
        if (int(i) == index)
            out.Stream(i)->Write(content.data(), content.size());
        else
            out.Stream(i)->Write(s->Current(), s->Remaining());
    }
    WriteStream sink;
    EXPECT_TRUE(out.CopyTo(&sink));
    return Bytes(sink.Data(), sink.Data() + sink.Size());
}

TEST(EncodedProgramTest, ReadRefusesSetsThatDoNotHoldExactlyAProgram)
{
    const Bytes flat = TwoByteCopyStreams();
    struct Row
    {
        const char* what;
        Bytes set;
    } rows[] = {
        {"stream 8 holds a byte", SetWithStream(flat, 8, {0x00})},
        {"copy bytes with a byte left over", SetWithStream(flat, 2, {0x02, 9, 8, 7})},
        {"copy count claims more bytes than the stream holds", SetWithStream(flat, 2, {0x7F, 9})},
        {"op count far beyond the stream", SetWithStream(flat, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F})},
        {"origin count beyond the stream", SetWithStream(flat, 0, {0x00, 0x80, 0x80, 0x01})},
        {"truncated varint", SetWithStream(flat, 7, {0x01, 0x80})},
        {"eight streams", SetWithStream(flat, -1, {}, 8)},
    };
    for (const Row& row : rows) {
        ReadStreamSet set;
        ASSERT_TRUE(set.Init(row.set.data(), row.set.size())) << row.what;
        EncodedProgram* read = reinterpret_cast<EncodedProgram*>(1);
        EXPECT_EQ(StatusReadProgramFailed, ReadEncodedProgram(&set, &read)) << row.what;
        EXPECT_EQ(nullptr, read);
    }
}

TEST(EncodedProgramTest, OperandsLeftOverFailTheAssembly)
{
    const Bytes flat = TwoByteCopyStreams();
    struct Row
    {
        int stream;
        Bytes content;
    } rows[] = {{7, {2, 2, 0}}, {2, {3, 9, 8, 7}}, {3, {1, 0}}, {4, {1, 0}}};
    for (const Row& row : rows) {
        Bytes patched = SetWithStream(flat, row.stream, row.content);
        ReadStreamSet set;
        ASSERT_TRUE(set.Init(patched.data(), patched.size()));
        EncodedProgram* read = nullptr;
        ASSERT_EQ(StatusOk, ReadEncodedProgram(&set, &read)) << row.stream;
        std::unique_ptr<EncodedProgram> owned(read);
        PatchStatus status;
        Assemble(read, &status);
        EXPECT_EQ(StatusAssemblyFailed, status) << row.stream;
    }
}

TEST(EncodedProgramTest, WritesEachArrayToItsStream)
{
    EncodedProgram program;
    program.set_image_base(0x123456789ull);
    program.DefineAbs32Label(0, 0x10);
    program.DefineAbs32Label(1, 0x08);
    program.DefineRel32Label(0, 0x300);
    program.AddOrigin(0x40);
    program.AddAbs32(1);
    program.AddRel32(0);
    const uint8_t b = 0xAB;
    program.AddCopy(1, &b);
    Bytes flat = Flatten(&program);
    ReadStreamSet set;
    ASSERT_TRUE(set.Init(flat.data(), flat.size()));
    auto stream = [&](int i) {
        ReadStream* s = set.Stream(i);
        return Bytes(s->Current(), s->Current() + s->Remaining());
    };
    EXPECT_EQ(Bytes({0x89, 0xCF, 0x95, 0x9A, 0x02, 0x01, 0x40}), stream(0)); // base, origins
    EXPECT_EQ(Bytes({4, 0, 4, 3, 2}), stream(1));
    EXPECT_EQ(Bytes({1, 0xAB}), stream(2));
    EXPECT_EQ(Bytes({1, 1}), stream(3));
    EXPECT_EQ(Bytes({1, 0}), stream(4));
    EXPECT_EQ(Bytes({2, 0x10, 0xF8, 0xFF, 0xFF, 0xFF, 0x0F}), stream(5)); // deltas wrap
    EXPECT_EQ(Bytes({1, 0x80, 0x06}), stream(6));
    EXPECT_EQ(Bytes({0}), stream(7));
    EXPECT_TRUE(stream(8).empty());
    EXPECT_TRUE(stream(9).empty());
}

TEST(EncodedProgramTest, RandomProgramsSurviveWriteAndRead)
{
    std::mt19937 random(20110216);
    for (int round = 0; round < 200; ++round) {
        EncodedProgram program;
        program.set_image_base(random());
        const int labels = random() % 20;
        for (int i = 0; i < labels; ++i) {
            program.DefineAbs32Label(random() % 30, random());
            program.DefineRel32Label(random() % 30, random() >> (random() % 32));
        }
        program.FinishLabels();
        const int ops = random() % 300;
        for (int i = 0; i < ops; ++i) {
            uint8_t run[40];
            for (uint8_t& c : run)
                c = static_cast<uint8_t>(random());
            switch (random() % 8) {
            case 0: program.AddOrigin(random()); break;
            case 1: program.AddCopy(1 + random() % 40, run); break;
            case 2: program.AddCopy(1, run); break;
            case 3: program.AddRel32(random() % 50); break;
            case 4: program.AddAbs32(random() % 50); break;
            case 5: program.AddRel32ARM(static_cast<uint16_t>(0x1000 + random() % 0x5000), random() % 9); break;
            case 6: program.AddElfMakeRelocs(); break;
            default: program.AddPeMakeRelocs(random() % 2 ? WIN_32_X86 : WIN_32_X64); break;
            }
        }
        Bytes flat = Flatten(&program);
        ReadStreamSet set;
        ASSERT_TRUE(set.Init(flat.data(), flat.size()));
        EncodedProgram* read = nullptr;
        ASSERT_EQ(StatusOk, ReadEncodedProgram(&set, &read)) << "round " << round;
        std::unique_ptr<EncodedProgram> owned(read);
        EXPECT_EQ(uint32_t(program.imageBase()), read->imageBase());
        EXPECT_EQ(ToVector(program.abs32Rvas()), ToVector(read->abs32Rvas()));
        EXPECT_EQ(ToVector(program.rel32Rvas()), ToVector(read->rel32Rvas()));
        EXPECT_EQ(ToVector(program.ops()), ToVector(read->ops()));
        EXPECT_EQ(ToVector(program.origins()), ToVector(read->origins()));
        EXPECT_EQ(ToVector(program.copyCounts()), ToVector(read->copyCounts()));
        EXPECT_EQ(ToVector(program.copyBytes()), ToVector(read->copyBytes()));
        EXPECT_EQ(ToVector(program.abs32Ix()), ToVector(read->abs32Ix()));
        EXPECT_EQ(ToVector(program.rel32Ix()), ToVector(read->rel32Ix()));
        EXPECT_EQ(flat, Flatten(read));
    }
}

TEST(GrowableBufferTest, GrowsByDoublingAndStaysFailedAfterARefusedGrowth)
{
    GrowableBuffer<uint64_t, 32, (uint64_t(1) << 40)> list;
    for (uint64_t i = 0; i < 32; ++i)
        ASSERT_TRUE(list.push_back(i));
    EXPECT_EQ(32u, list.capacity());
    ASSERT_TRUE(list.push_back(32));
    EXPECT_EQ(64u, list.capacity());
    EXPECT_FALSE(list.reserve(uint64_t(1) << 41));
    EXPECT_TRUE(list.failed());
    EXPECT_EQ(0u, list.size());
    EXPECT_FALSE(list.push_back(1));
}

} // namespace
} // namespace deltapatch
