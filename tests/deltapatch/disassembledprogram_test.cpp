#include "disassembledprogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "encodedprogram.h"
#include "log.h"
#include "support/capturesink.h"
#include "support/enginebytes.h"

namespace deltapatch {
namespace {

typedef std::vector<uint32_t> Words;

using testsupport::CaptureSink;
using testsupport::ToVector;

const uint8_t kCode[8] = {0x00, 0xF0, 0x00, 0xF8, 0xFE, 0xE7, 0x90, 0x90};

// An ARM program with one label referenced `uses` times by Thumb-2 calls.
void AddArmCalls(DisassembledProgram* program, uint32_t target, int uses)
{
    for (int i = 0; i < uses; ++i) {
        ASSERT_TRUE(program->EmitRel32Arm(0x44F7, program->FindOrMakeRel32Label(target), kCode, 4));
    }
}

TEST(DisassembledProgramTest, TrimmingDropsArmLabelsUsedFiveTimesOrLess)
{
    struct Row
    {
        int uses;
        bool kept;
    } rows[] = {{1, false}, {5, false}, {6, true}, {40, true}};
    for (const Row& row : rows) {
        CaptureSink log;
        DisassembledProgram program(ELF_32_ARM);
        AddArmCalls(&program, 0x2000, row.uses);
        program.AssignIndexesInOrder();
        ASSERT_EQ(StatusOk, TrimLabels(&program));
        EXPECT_EQ(row.kept ? 1u : 0u, program.rel32Labels().size()) << row.uses;
        for (uint64_t i = 0; i < program.instructionCount(); ++i) {
            const Instruction* instruction = program.instruction(i);
            if (row.kept) {
                EXPECT_EQ(uint32_t(REL32ARM), instruction->kind());
            } else {
                ASSERT_EQ(uint32_t(DEFBYTES), instruction->kind());
                const BytesInstruction* run = static_cast<const BytesInstruction*>(instruction);
                EXPECT_EQ(kCode, run->bytes());
                EXPECT_EQ(4u, run->length());
            }
        }
        ASSERT_EQ(1u, log.m_Messages.size());
        EXPECT_EQ(LogLevel_DEBUG, log.m_Levels[0]);
        EXPECT_EQ("TrimLabels: threshold 5", log.m_Messages[0]);
    }
}

TEST(DisassembledProgramTest, TrimmedProgramEncodesItsCallsAsPlainBytes)
{
    DisassembledProgram program(ELF_32_ARM);
    AddArmCalls(&program, 0x2000, 2);
    AddArmCalls(&program, 0x3000, 6);
    program.AssignIndexesInOrder();
    ASSERT_TRUE(program.TrimLabels());
    EncodedProgram* encoded = nullptr;
    ASSERT_EQ(StatusOk, EncodeProgram(&program, &encoded));
    std::unique_ptr<EncodedProgram> owned(encoded);
    // The surviving label keeps index 1 from before trimming.
    EXPECT_EQ(Words({OP_COPY, 0x44F7, 0x44F7, 0x44F7, 0x44F7, 0x44F7, 0x44F7}), ToVector(encoded->ops()));
    EXPECT_EQ(Words({8}), ToVector(encoded->copyCounts()));
    EXPECT_EQ(Words({1, 1, 1, 1, 1, 1}), ToVector(encoded->rel32Ix()));
    // The trimmed label's slot is unassigned and the first slot fills with 0.
    EXPECT_EQ(Words({0, 0x3000}), ToVector(encoded->rel32Rvas()));
}

TEST(DisassembledProgramTest, TrimmingLeavesOtherKindsAlone)
{
    for (ExecutableType kind : {EXE_ELF_32_X86, ELF_64_X64, WIN_32_X86, UNKNOWN}) {
        CaptureSink log;
        DisassembledProgram program(kind);
        AddArmCalls(&program, 0x2000, 1);
        ASSERT_EQ(StatusOk, TrimLabels(&program));
        EXPECT_EQ(1u, program.rel32Labels().size());
        EXPECT_EQ(uint32_t(REL32ARM), program.instruction(0)->kind());
        EXPECT_TRUE(log.m_Messages.empty());
    }
}

TEST(DisassembledProgramTest, TrimmingFailsAtAnEmptyArmInstruction)
{
    DisassembledProgram program(ELF_32_ARM);
    Label* label = program.FindOrMakeRel32Label(0x10);
    ASSERT_TRUE(program.EmitRel32Arm(0x2000, label, kCode, 2));
    ASSERT_TRUE(program.EmitRel32Arm(0x2000, program.FindOrMakeRel32Label(0x10), kCode, 0));
    ASSERT_TRUE(program.EmitRel32Arm(0x2000, program.FindOrMakeRel32Label(0x10), kCode, 2));
    EXPECT_EQ(StatusTrimFailed, TrimLabels(&program));
    EXPECT_EQ(uint32_t(DEFBYTES), program.instruction(0)->kind());
    EXPECT_EQ(uint32_t(REL32ARM), program.instruction(2)->kind());
}

TEST(DisassembledProgramTest, LabelsAreSharedPerRvaAndNumberedInRvaOrder)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* first = program.FindOrMakeRel32Label(0x2000);
    EXPECT_EQ(first, program.FindOrMakeRel32Label(0x2000));
    EXPECT_EQ(2, first->count);
    Label* low = program.FindOrMakeRel32Label(0x1000);
    Label* high = program.FindOrMakeRel32Label(0x3000);
    Label* abs = program.FindOrMakeAbs32Label(0x9000);
    EXPECT_EQ(-1, low->index);
    program.AssignIndexesInOrder();
    EXPECT_EQ(0, low->index);
    EXPECT_EQ(1, first->index);
    EXPECT_EQ(2, high->index);
    EXPECT_EQ(0, abs->index);

    CaptureSink log;
    program.AssignIndexesInOrder(); // every label is numbered already
    EXPECT_EQ(4u, log.m_Messages.size());
    for (const std::string& message : log.m_Messages)
        EXPECT_EQ("REACHED UNREACHABLE", message);
    EXPECT_EQ(2, high->index);
}

TEST(DisassembledProgramTest, OneByteInstructionsShareTheirRecordsAndTheListDoubles)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.EmitByte(0x41));
    ASSERT_TRUE(program.EmitByte(0x42));
    ASSERT_TRUE(program.EmitByte(0x41));
    EXPECT_EQ(program.instruction(0), program.instruction(2));
    EXPECT_NE(program.instruction(0), program.instruction(1));
    EXPECT_EQ(0x41u * 16 + 3, program.instruction(0)->op());
    EXPECT_EQ(32u, program.instructionCapacity());
    for (int i = 3; i < 32; ++i)
        ASSERT_TRUE(program.EmitOrigin(i));
    EXPECT_EQ(32u, program.instructionCapacity());
    ASSERT_TRUE(program.EmitByte(0x41));
    EXPECT_EQ(64u, program.instructionCapacity());
    EXPECT_EQ(program.instruction(0), program.instruction(32));
}

TEST(DisassembledProgramTest, ReferencesWithoutALabelAreRefused)
{
    CaptureSink log;
    DisassembledProgram program(EXE_ELF_32_X86);
    EXPECT_FALSE(program.EmitRel32(nullptr));
    EXPECT_FALSE(program.EmitAbs32(nullptr));
    EXPECT_FALSE(program.EmitRel32Arm(0x2000, nullptr, kCode, 2));
    EXPECT_FALSE(program.EmitInstruction(nullptr));
    EXPECT_EQ(0u, program.instructionCount());
    ASSERT_EQ(3u, log.m_Messages.size());
    EXPECT_EQ(LogLevel_ERROR, log.m_Levels[0]);
    EXPECT_EQ("REACHED UNREACHABLE", log.m_Messages[0]);
}

TEST(DisassembledProgramTest, EncodesEveryInstructionKind)
{
    const uint8_t bytes[3] = {1, 2, 3};
    DisassembledProgram program(WIN_32_X86);
    program.set_image_base(0x400000);
    ASSERT_TRUE(program.EmitPeRelocs());
    ASSERT_TRUE(program.EmitOrigin(0x1000));
    ASSERT_TRUE(program.EmitByte(0xC3));
    ASSERT_TRUE(program.EmitBytes(bytes, 3));
    ASSERT_TRUE(program.EmitAbs32(program.FindOrMakeAbs32Label(0x1500)));
    ASSERT_TRUE(program.EmitRel32(program.FindOrMakeRel32Label(0x1800)));
    ASSERT_TRUE(program.EmitByte(0x90));
    ASSERT_TRUE(program.EmitRel32(program.FindOrMakeRel32Label(0x1700)));
    ASSERT_TRUE(program.EmitElfRelocs());
    ASSERT_TRUE(program.EmitElfArmRelocs());
    ASSERT_TRUE(program.EmitInstruction(new Instruction(12))); // no such kind
    program.AssignIndexesInOrder();
    CaptureSink log;
    EncodedProgram* encoded = program.EncodeProgram();
    ASSERT_NE(nullptr, encoded);
    std::unique_ptr<EncodedProgram> owned(encoded);
    EXPECT_EQ(0x400000u, encoded->imageBase());
    EXPECT_EQ(Words({OP_MAKE_PE_RELOCATION_TABLE, OP_ORIGIN, OP_COPY, OP_ABS32, OP_REL32, OP_COPY1, OP_REL32,
                     OP_MAKE_ELF_RELOCATION_TABLE, OP_MAKE_ELF_ARM_RELOCATION_TABLE}),
              ToVector(encoded->ops()));
    EXPECT_EQ(Words({4}), ToVector(encoded->copyCounts()));
    EXPECT_EQ(Words({1, 0}), ToVector(encoded->rel32Ix()));
    EXPECT_EQ(Words({0x1700, 0x1800}), ToVector(encoded->rel32Rvas()));
    EXPECT_EQ(Words({0x1500}), ToVector(encoded->abs32Rvas()));
    EXPECT_FALSE(log.m_Messages.empty());

    DisassembledProgram wide(WIN_32_X64);
    ASSERT_TRUE(wide.EmitPeRelocs());
    std::unique_ptr<EncodedProgram> wideEncoded(wide.EncodeProgram());
    EXPECT_EQ(Words({OP_MAKE_PE64_RELOCATION_TABLE}), ToVector(wideEncoded->ops()));
}

TEST(DisassembledProgramTest, FillingIndexesKeepsNeighboursTogether)
{
    const int32_t kTop = INT32_MAX;
    // Labels at rvas 0x100, 0x200, ... with the indexes given before the
    // fill (-1: none), and what the fill leaves them.
    struct Row
    {
        const char* name;
        std::vector<int32_t> given;
        std::vector<int32_t> filled;
    } rows[] = {
        // Forward from 3 gives 4; backward from 3 gives 2; the rest takes 1.
        {"below the count", {-1, 3, -1, -1, 0}, {2, 3, 4, 1, 0}},
        {"none", {-1, -1, -1}, {0, 1, 2}},
        {"empty", {}, {}},
        {"all given", {5, 6}, {5, 6}},
        {"at the count", {-1, 4, -1, -1}, {3, 4, 0, 1}},
        // An aligned label of a program with more labels.
        {"far above the count", {-1, 1000, -1, 1002}, {999, 1000, 1001, 1002}},
        {"above the count, nothing after it", {-1, 1000, -1}, {999, 1000, 0}},
        {"gap", {0, -1, -1, 7}, {0, 1, 2, 7}},
        {"the highest index", {-1, kTop, -1}, {kTop - 1, kTop, 0}},
        // Of two labels with one index the first keeps it.
        {"duplicate", {2, -1, 2, -1}, {2, 3, 0, 1}},
        {"all one index", {1, 1, 1}, {1, 2, 0}},
        {"negative", {-7, 0}, {1, 0}},
    };
    for (const Row& row : rows) {
        DisassembledProgram program(EXE_ELF_32_X86);
        std::vector<Label*> labels;
        for (size_t i = 0; i < row.given.size(); ++i) {
            labels.push_back(program.FindOrMakeRel32Label(0x100 * static_cast<uint32_t>(i + 1)));
            labels.back()->index = row.given[i];
            // The abs32 map holds the same layout.
            program.FindOrMakeAbs32Label(0x100 * static_cast<uint32_t>(i + 1))->index = row.given[i];
        }
        CaptureSink log;
        ASSERT_TRUE(program.AssignRemainingIndexes()) << row.name;
        std::vector<int32_t> filled;
        for (Label* label : labels)
            filled.push_back(label->index);
        EXPECT_EQ(row.filled, filled) << row.name;
        std::vector<int32_t> abs32;
        for (const auto& entry : program.abs32Labels())
            abs32.push_back(entry.second->index);
        EXPECT_EQ(row.filled, abs32) << row.name;
        // The encoded tables hold each label once, at its index.
        if (row.filled.empty() || *std::max_element(row.filled.begin(), row.filled.end()) < 0x10000) {
            std::unique_ptr<EncodedProgram> encoded(program.EncodeProgram());
            ASSERT_TRUE(encoded) << row.name;
            for (size_t i = 0; i < labels.size(); ++i)
                EXPECT_EQ(labels[i]->rva, encoded->rel32Rvas()[static_cast<uint64_t>(labels[i]->index)]) << row.name;
        }
    }

    DisassembledProgram program(EXE_ELF_32_X86);
    Label* labels[5];
    for (int i = 0; i < 5; ++i)
        labels[i] = program.FindOrMakeRel32Label(0x100 * (i + 1));
    labels[1]->index = 3;
    labels[4]->index = 0;
    CaptureSink log;
    ASSERT_TRUE(program.AssignRemainingIndexes());
    ASSERT_GE(log.m_Messages.size(), 3u);
    EXPECT_EQ("2 of 5 labels pre-assigned", log.m_Messages[2]);
    program.UnassignIndexes();
    EXPECT_EQ(-1, labels[1]->index);
}

} // namespace
} // namespace deltapatch
