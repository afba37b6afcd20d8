#include "labelaligner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "bytediff.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "streams.h"
#include "support/enginebytes.h"
#include "support/fixturebytes.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<uint32_t> Words;

using testsupport::ToVector;

Bytes Random(size_t n, uint32_t seed)
{
    Bytes bytes(n);
    for (uint8_t& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

Bytes Stage(const Bytes& from, const Bytes& to, int method)
{
    ReadStream oldStream(from.data(), from.size());
    ReadStream newStream(to.data(), to.size());
    WriteStream sink;
    EXPECT_TRUE(CreateDiff(&oldStream, &newStream, &sink, false, method));
    return Bytes(sink.Data(), sink.Data() + sink.Size());
}

// Where the runs put a new position in the old file, or -1.
int64_t OldPlaceOf(const AlignedRunList& runs, uint64_t place)
{
    for (uint64_t i = 0; i < runs.size(); ++i) {
        if (place >= runs[i].newStart && place - runs[i].newStart < runs[i].length)
            return static_cast<int64_t>(runs[i].oldStart + (place - runs[i].newStart));
    }
    return -1;
}

TEST(ReadAlignedRunsTest, RunsOfAPlainStageLineUpTheMovedBytes)
{
    const Bytes old = Random(4000, 7);
    Bytes inserted(old.begin(), old.begin() + 2000);
    const Bytes fresh = Random(100, 99);
    inserted.insert(inserted.end(), fresh.begin(), fresh.end());
    inserted.insert(inserted.end(), old.begin() + 2000, old.end());
    const Bytes removed(old.begin() + 1000, old.end());
    struct Row
    {
        const char* name;
        Bytes to;
        std::vector<std::pair<uint64_t, int64_t>> places; // new place, old place
    } rows[] = {
        {"same", old, {{0, 0}, {3999, 3999}}},
        {"inserted", inserted, {{10, 10}, {1999, 1999}, {2100, 2000}, {4099, 3999}}},
        {"removed", removed, {{0, 1000}, {2999, 3999}}},
    };
    for (const Row& row : rows) {
        const Bytes stage = Stage(old, row.to, kDiffPlain);
        AlignedRunList runs;
        ASSERT_TRUE(ReadAlignedRuns(stage.data(), stage.size(), &runs)) << row.name;
        for (const auto& place : row.places)
            EXPECT_EQ(place.second, OldPlaceOf(runs, place.first)) << row.name << " " << place.first;
        for (uint64_t i = 1; i < runs.size(); ++i)
            EXPECT_GE(runs[i].newStart, runs[i - 1].newStart + runs[i - 1].length) << row.name;
    }
    // The inserted bytes line up with nothing.
    const Bytes stage = Stage(old, inserted, kDiffPlain);
    AlignedRunList runs;
    ASSERT_TRUE(ReadAlignedRuns(stage.data(), stage.size(), &runs));
    EXPECT_EQ(-1, OldPlaceOf(runs, 2050));
}

TEST(ReadAlignedRunsTest, OnlyACompletePlainStageIsRead)
{
    const Bytes old = Random(500, 3);
    const Bytes plain = Stage(old, Random(500, 4), kDiffPlain);
    AlignedRunList runs;
    EXPECT_FALSE(ReadAlignedRuns(nullptr, 0, &runs));
    EXPECT_FALSE(ReadAlignedRuns(plain.data(), 3, &runs));
    const Bytes packed = Stage(old, old, kDiffOneBlock);
    EXPECT_FALSE(ReadAlignedRuns(packed.data(), packed.size(), &runs));
    Bytes negative = Stage(Bytes(), Bytes(), kDiffPlain);
    ASSERT_EQ(5u, negative.size());                      // method, size, three empty lengths
    negative[2] = 3;                                     // a control section of one triple...
    negative.insert(negative.end(), {0x01, 0x00, 0x00}); // ...with a = -1
    EXPECT_FALSE(ReadAlignedRuns(negative.data(), negative.size(), &runs));
}

const uint8_t kElement[64] = {};

// A program over kElement: a byte run of four bytes before each reference.
struct Ref
{
    bool abs32;
    uint32_t target;
};

std::unique_ptr<DisassembledProgram> Program(const std::vector<Ref>& refs)
{
    std::unique_ptr<DisassembledProgram> program(new DisassembledProgram(EXE_ELF_32_X86));
    uint64_t offset = 0;
    for (const Ref& ref : refs) {
        EXPECT_TRUE(program->EmitBytes(kElement + offset, 4));
        EXPECT_TRUE(ref.abs32 ? program->EmitAbs32(program->FindOrMakeAbs32Label(ref.target))
                              : program->EmitRel32(program->FindOrMakeRel32Label(ref.target)));
        offset += 8;
    }
    program->AssignIndexesInOrder();
    return program;
}

TEST(AlignLabelsTest, LabelsThatStandForOldOnesTakeTheirIndexes)
{
    // New code moved every target by 0x100 and gained one reference (to a new
    // label) and a second reference to what was the old label of 0x2000.
    std::unique_ptr<DisassembledProgram> older =
        Program({{false, 0x1000}, {false, 0x2000}, {false, 0x3000}, {true, 0x500}, {true, 0x600}});
    std::unique_ptr<DisassembledProgram> newer = Program({{false, 0x1100},
                                                          {false, 0x1800},
                                                          {false, 0x2100},
                                                          {false, 0x3100},
                                                          {true, 0x500},
                                                          {true, 0x600},
                                                          {false, 0x2100}});
    // new[0, 8) is old[0, 8); new[8, 16) was inserted; new[16, 48) is old[8, 40).
    const AlignedRun runs[] = {{0, 0, 8}, {16, 8, 32}};
    ASSERT_TRUE(AlignLabels(*older, {kElement, 0}, newer.get(), {kElement, 0}, runs, 2));

    std::unique_ptr<EncodedProgram> oldEncoded(older->EncodeProgram());
    std::unique_ptr<EncodedProgram> newEncoded(newer->EncodeProgram());
    EXPECT_EQ(Words({0, 1, 2}), ToVector(oldEncoded->rel32Ix()));
    // The new label takes the index no old label holds.
    EXPECT_EQ(Words({0, 3, 1, 2, 1}), ToVector(newEncoded->rel32Ix()));
    EXPECT_EQ(Words({0x1100, 0x2100, 0x3100, 0x1800}), ToVector(newEncoded->rel32Rvas()));
    EXPECT_EQ(ToVector(oldEncoded->abs32Ix()), ToVector(newEncoded->abs32Ix()));
}

TEST(AlignLabelsTest, TheOldLabelGoesToTheNewLabelWithMostVotes)
{
    std::unique_ptr<DisassembledProgram> older =
        Program({{false, 0x1000}, {false, 0x1000}, {false, 0x1000}, {false, 0x2000}});
    // Two places now call 0x1400, one 0x1300; 0x2000 is untouched.
    std::unique_ptr<DisassembledProgram> newer =
        Program({{false, 0x1300}, {false, 0x1400}, {false, 0x1400}, {false, 0x2000}});
    const AlignedRun runs[] = {{0, 0, 32}};
    ASSERT_TRUE(AlignLabels(*older, {kElement, 0}, newer.get(), {kElement, 0}, runs, 1));
    std::unique_ptr<EncodedProgram> newEncoded(newer->EncodeProgram());
    // 0x1400 takes index 0; 0x1300 takes the first index left over.
    EXPECT_EQ(Words({2, 0, 0, 1}), ToVector(newEncoded->rel32Ix()));
}

TEST(AlignLabelsTest, NewLabelsTakeOldIndexesAboveTheirOwnCount)
{
    // The old program has six labels, the new one three; its first and last
    // stand for the old labels of indexes 4 and 5, as when trimming or
    // removed code leaves the newer program fewer labels.
    std::unique_ptr<DisassembledProgram> older =
        Program({{false, 0x1000}, {false, 0x2000}, {false, 0x3000}, {false, 0x4000}, {false, 0x5000}, {false, 0x6000}});
    std::unique_ptr<DisassembledProgram> newer = Program({{false, 0x5100}, {false, 0x5800}, {false, 0x6100}});
    const AlignedRun runs[] = {{0, 32, 8}, {16, 40, 8}};
    ASSERT_TRUE(AlignLabels(*older, {kElement, 0}, newer.get(), {kElement, 0}, runs, 2));
    std::unique_ptr<EncodedProgram> newEncoded(newer->EncodeProgram());
    ASSERT_TRUE(newEncoded);
    EXPECT_EQ(Words({4, 0, 5}), ToVector(newEncoded->rel32Ix()));
    EXPECT_EQ(Words({0x5800, 0x5800, 0x5800, 0x5800, 0x5100, 0x6100}), ToVector(newEncoded->rel32Rvas()));
}

TEST(AlignLabelsTest, UnchangedCodeOfARealExecutableKeepsEveryIndex)
{
    for (const char* name : {"elf/x86-static", "elf/x64-pie", "pe/x86.exe", "elf/arm-thumb.so"}) {
        const Bytes exe = testsupport::ReadFixture(name);
        Bytes edited = exe;
        const Bytes trailer = Random(300, 5);
        edited.insert(edited.end(), trailer.begin(), trailer.end());
        DisassembledProgram* oldRaw = nullptr;
        DisassembledProgram* newRaw = nullptr;
        ASSERT_EQ(StatusOk, DisassembleExecutable(exe.data(), exe.size(), &oldRaw)) << name;
        std::unique_ptr<DisassembledProgram> older(oldRaw);
        ASSERT_EQ(StatusOk, DisassembleExecutable(edited.data(), edited.size(), &newRaw)) << name;
        std::unique_ptr<DisassembledProgram> newer(newRaw);
        ASSERT_EQ(StatusOk, TrimLabels(older.get()));
        ASSERT_EQ(StatusOk, TrimLabels(newer.get()));
        // Shuffle the new indexes so that only the alignment can restore them.
        std::vector<Label*> labels;
        for (const auto& entry : newer->rel32Labels())
            labels.push_back(entry.second);
        for (size_t i = 0; i < labels.size(); ++i)
            labels[i]->index = static_cast<int32_t>(labels.size() - 1 - i);

        const Bytes stage = Stage(exe, edited, kDiffPlain);
        AlignedRunList runs;
        ASSERT_TRUE(ReadAlignedRuns(stage.data(), stage.size(), &runs));
        ASSERT_TRUE(AlignLabels(*older, {exe.data(), 0}, newer.get(), {edited.data(), 0}, runs.data(), runs.size()));
        std::unique_ptr<EncodedProgram> oldEncoded(older->EncodeProgram());
        std::unique_ptr<EncodedProgram> newEncoded(newer->EncodeProgram());
        EXPECT_EQ(ToVector(oldEncoded->rel32Ix()), ToVector(newEncoded->rel32Ix())) << name;
        EXPECT_EQ(ToVector(oldEncoded->abs32Ix()), ToVector(newEncoded->abs32Ix())) << name;
        std::set<int32_t> seen;
        for (const auto& entry : newer->rel32Labels()) {
            EXPECT_GE(entry.second->index, 0) << name;
            EXPECT_TRUE(seen.insert(entry.second->index).second) << name;
        }
    }
}

} // namespace
} // namespace deltapatch
