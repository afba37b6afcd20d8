#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disassembledprogram.h"
#include "disassembler_macho.h"
#include "support/headerfields.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;

using testsupport::Put32;
using testsupport::Put64;

struct Section
{
    uint64_t addr;
    uint64_t size;
    uint32_t offset;
    uint32_t flags;
};

struct Segment
{
    uint64_t vmaddr, vmsize, fileoff, filesize;
    std::vector<Section> sections;
};

const uint32_t kCode = 0x80000400;

// Field offsets of a file built by BuildMacho, for the mutations.
struct Layout
{
    bool is64;
    size_t firstCommand;
    std::vector<size_t> commands; // offset of each segment command
    size_t SectionAt(size_t command, size_t i) const { return commands[command] + (is64 ? 72 + 80 * i : 56 + 68 * i); }
};

// Header, one segment command per segment, then NOPs up to size.
Bytes BuildMacho(bool is64, const std::vector<Segment>& segments, size_t size, Layout* layout)
{
    Bytes file(size, 0x90);
    const size_t header = is64 ? 32 : 28;
    std::fill(file.begin(), file.begin() + std::min<size_t>(size, 0x200), 0);
    Put32(&file, 0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
    Put32(&file, 4, is64 ? 0x01000007 : 7);
    Put32(&file, 12, 2);
    Put32(&file, 16, uint32_t(segments.size()));
    layout->is64 = is64;
    layout->firstCommand = header;
    layout->commands.clear();
    size_t at = header;
    for (const Segment& s : segments) {
        const size_t commandSize = is64 ? 72 + 80 * s.sections.size() : 56 + 68 * s.sections.size();
        layout->commands.push_back(at);
        Put32(&file, at, is64 ? 25 : 1);
        Put32(&file, at + 4, uint32_t(commandSize));
        if (is64) {
            Put64(&file, at + 24, s.vmaddr);
            Put64(&file, at + 32, s.vmsize);
            Put64(&file, at + 40, s.fileoff);
            Put64(&file, at + 48, s.filesize);
            Put32(&file, at + 64, uint32_t(s.sections.size()));
        } else {
            Put32(&file, at + 24, uint32_t(s.vmaddr));
            Put32(&file, at + 28, uint32_t(s.vmsize));
            Put32(&file, at + 32, uint32_t(s.fileoff));
            Put32(&file, at + 36, uint32_t(s.filesize));
            Put32(&file, at + 48, uint32_t(s.sections.size()));
        }
        for (size_t i = 0; i < s.sections.size(); ++i) {
            const Section& c = s.sections[i];
            const size_t sect = layout->SectionAt(layout->commands.size() - 1, i);
            if (is64) {
                Put64(&file, sect + 32, c.addr);
                Put64(&file, sect + 40, c.size);
                Put32(&file, sect + 48, c.offset);
                Put32(&file, sect + 64, c.flags);
            } else {
                Put32(&file, sect + 32, uint32_t(c.addr));
                Put32(&file, sect + 36, uint32_t(c.size));
                Put32(&file, sect + 40, c.offset);
                Put32(&file, sect + 56, c.flags);
            }
        }
        at += commandSize;
    }
    Put32(&file, 20, uint32_t(at - header));
    return file;
}

// A zero page without sections and one text segment with one code section
// of 0x100 bytes at file offset 0x400; the 64-bit file maps its text at
// 0x100000000 as linkers do.
Bytes ValidMacho(bool is64, Layout* layout)
{
    const uint64_t text = is64 ? 0x100000000ull : 0x1000;
    std::vector<Segment> segments = {{0, text, 0, 0, {}},
                                     {text, 0x1000, 0, 0x1000, {{text + 0x400, 0x100, 0x400, kCode}}}};
    return BuildMacho(is64, segments, 0x1000, layout);
}

std::vector<uint32_t> ScannedRel32(const Bytes& file)
{
    DisassemblerMacho parser(file.data(), file.size());
    DisassembledProgram program(parser.kind());
    std::vector<uint32_t> out;
    if (!parser.ParseHeader() || !parser.Disassemble(&program))
        return {0xDEAD};
    for (uint64_t i = 0; i < parser.Rel32Count(); ++i)
        out.push_back(parser.Rel32At(i));
    return out;
}

struct HeaderRow
{
    const char* text;
    bool is64;
    std::function<void(Bytes*, const Layout&)> mutate;
};

TEST(DisassemblerMachoTest, EachHeaderCheckRejectsItsOwnMutationWithItsText)
{
    const HeaderRow rows[] = {
        {"Too small", true, [](Bytes* b, const Layout&) { b->resize(31); }},
        {"Unknown magic type", true, [](Bytes* b, const Layout&) { Put32(b, 0, 0xCEFAEDFE); }},
        {"unsupported cpu type", true, [](Bytes* b, const Layout&) { Put32(b, 4, 7); }},
        {"unsupported cpu type", false, [](Bytes* b, const Layout&) { Put32(b, 4, 0x01000007); }},
        {"Unsupported filetype in header", true, [](Bytes* b, const Layout&) { Put32(b, 12, 1); }},
        {"Unsupported filetype in header", false, [](Bytes* b, const Layout&) { Put32(b, 12, 40); }},
        {"file to small in load commands", true,
         [](Bytes* b, const Layout& l) { Put32(b, l.commands[1] + 4, 0x1000); }},
        {"file to small in load commands", false,
         [](Bytes* b, const Layout& l) { Put32(b, l.commands[1] + 4, 0x10000); }},
        {"bad load command size", true, [](Bytes* b, const Layout& l) { Put32(b, l.commands[1] + 4, 0); }},
        {"LC_SEGMENT not supported", true, [](Bytes* b, const Layout& l) { Put32(b, l.commands[0], 1); }},
        {"LC_SEGMENT_64 not supported", false, [](Bytes* b, const Layout& l) { Put32(b, l.commands[0], 25); }},
        {"bad LC_SEGMENT", false, [](Bytes* b, const Layout& l) { Put32(b, l.commands[0] + 4, 52); }},
        {"bad LC_SEGMENT_64", true, [](Bytes* b, const Layout& l) { Put32(b, l.commands[0] + 4, 64); }},
        {"overflow", true, [](Bytes* b, const Layout& l) { Put64(b, l.commands[1] + 32, 0x100000000ull); }},
        {"overflow", true, [](Bytes* b, const Layout& l) { Put64(b, l.commands[1] + 48, 0x100000000ull); }},
        {"overflow", true, [](Bytes* b, const Layout& l) { Put64(b, l.SectionAt(1, 0) + 40, 0x100000000ull); }},
        {"segment too large", true, [](Bytes* b, const Layout& l) { Put64(b, l.commands[1] + 48, 0x1001); }},
        {"segment too large", false, [](Bytes* b, const Layout& l) { Put32(b, l.commands[1] + 32, 1); }},
        {"sections too small", true, [](Bytes* b, const Layout& l) { Put32(b, l.commands[1] + 64, 2); }},
        {"sections too small", false, [](Bytes* b, const Layout& l) { Put32(b, l.commands[1] + 48, 2); }},
        {"section larger than segment", true,
         [](Bytes* b, const Layout& l) { Put64(b, l.SectionAt(1, 0) + 40, 0xC01); }},
        {"section larger than segment", true,
         [](Bytes* b, const Layout& l) { Put64(b, l.SectionAt(1, 0) + 32, 0xFFFFFFF); }},
        {"section larger than segment", false,
         [](Bytes* b, const Layout& l) { Put32(b, l.SectionAt(1, 0) + 32, 0x800); }},
        {"overflow", false, [](Bytes* b, const Layout& l) { Put32(b, l.commands[1] + 28, 0xFFFFF000); }},
        {"Resource-only executables are not yet supported", true,
         [](Bytes* b, const Layout& l) { Put32(b, l.SectionAt(1, 0) + 64, 0x80000008); }},
        {"Resource-only executables are not yet supported", false,
         [](Bytes* b, const Layout& l) { Put32(b, l.SectionAt(1, 0) + 56, 0x00000400); }},
        {"code section outside file", true, [](Bytes* b, const Layout& l) { Put32(b, l.SectionAt(1, 0) + 48, 0xF01); }},
    };
    for (const HeaderRow& row : rows) {
        Layout layout;
        Bytes file = ValidMacho(row.is64, &layout);
        {
            DisassemblerMacho parser(file.data(), file.size());
            ASSERT_TRUE(parser.ParseHeader()) << parser.failure_reason();
        }
        row.mutate(&file, layout);
        DisassemblerMacho parser(file.data(), file.size());
        EXPECT_FALSE(parser.ParseHeader()) << row.text;
        ASSERT_NE(nullptr, parser.failure_reason()) << row.text;
        EXPECT_EQ(std::string(row.text), parser.failure_reason()) << (row.is64 ? "64" : "32");
        DisassembledProgram program(parser.kind());
        EXPECT_FALSE(parser.Disassemble(&program)) << row.text;
    }
}

TEST(DisassemblerMachoTest, AcceptedFileTypesAreExecutableLibraryStubAndBundle)
{
    for (uint32_t type = 0; type < 12; ++type) {
        Layout layout;
        Bytes file = ValidMacho(true, &layout);
        Put32(&file, 12, type);
        DisassemblerMacho parser(file.data(), file.size());
        const bool accepted = type == 2 || type == 5 || type == 6 || type == 8;
        EXPECT_EQ(accepted, parser.ParseHeader()) << type;
    }
}

TEST(DisassemblerMachoTest, SixtyFourBitCodeIsRebasedPastTheSectionlessZeroPage)
{
    Layout layout;
    Bytes file = ValidMacho(true, &layout);
    DisassemblerMacho parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader());
    EXPECT_EQ(MACHO_X64, parser.kind());
    // The zero page has no sections, so it is not recorded at all.
    ASSERT_EQ(1u, parser.SegmentCount());
    EXPECT_EQ(0u, parser.SegmentAt(0).address);
    ASSERT_EQ(1u, parser.CodeSectionCount());
    EXPECT_EQ(0x400u, parser.CodeSectionAt(0).address);
    DisassembledProgram program(parser.kind());
    ASSERT_TRUE(parser.Disassemble(&program));
    // 0x400 header bytes, then the origin of the code section.
    ASSERT_GT(program.instructionCount(), 0x401u);
    const Instruction* origin = program.instruction(0x400);
    ASSERT_EQ(uint32_t(ORIGIN), origin->kind());
    EXPECT_EQ(0x400u, static_cast<const OriginInstruction*>(origin)->rva());
}

TEST(DisassemblerMachoTest, ThirtyTwoBitZeroPageTakesPartInTheRebase)
{
    Layout layout;
    Bytes file = ValidMacho(false, &layout);
    DisassemblerMacho parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader());
    EXPECT_EQ(MACHO_X86, parser.kind());
    ASSERT_EQ(2u, parser.SegmentCount());
    EXPECT_EQ(0x1000u, parser.SegmentAt(1).address);
    EXPECT_EQ(0x1400u, parser.CodeSectionAt(0).address);
}

struct ScanRow
{
    const char* name;
    bool is64;
    Bytes code;                    // placed at the start of the code section
    std::vector<uint32_t> offsets; // operand offsets in the section expected to be found
};

TEST(DisassemblerMachoTest, ScanFindsOnlyTheFormsOfTheFileKindWithTargetsInSegments)
{
    // The section's rva is 0x400 in the 64-bit file and 0x1400 in the 32-bit one;
    // targets are operand rva + 4 + operand.
    const ScanRow rows[] = {
        {"call", true, {0xE8, 0x10, 0, 0, 0}, {1}},
        {"jmp", false, {0xE9, 0x10, 0, 0, 0}, {1}},
        {"jcc", true, {0x0F, 0x84, 0x10, 0, 0, 0}, {2}},
        {"parity jcc", true, {0x0F, 0x8A, 0x10, 0, 0, 0, 0x0F, 0x8B, 0x10, 0, 0, 0}, {}},
        {"rip call 64", true, {0xFF, 0x15, 0x10, 0, 0, 0}, {2}},
        {"rip call 32", false, {0xFF, 0x15, 0x10, 0, 0, 0}, {}},
        {"rip jmp 64", true, {0xFF, 0x25, 0x10, 0, 0, 0}, {2}},
        {"rip lea 64", true, {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, {3}},
        {"rip mov 64", true, {0x49, 0x8B, 0x3D, 0x10, 0, 0, 0}, {3}},
        {"rip lea 32", false, {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, {}},
        {"not rip relative", true, {0x48, 0x8D, 0x04, 0x10, 0, 0, 0}, {}},
        {"target past segments", true, {0xE8, 0x00, 0x10, 0, 0}, {}},
        {"target before image wraps", false, {0xE8, 0x00, 0x00, 0xFF, 0xFF}, {}},
        {"target wraps to the image start", true, {0xE8, 0xFB, 0xFB, 0xFF, 0xFF}, {1}},
        {"two back to back", true, {0xE8, 0, 0, 0, 0, 0xE9, 0, 0, 0, 0}, {1, 6}},
        {"operand swallows a call", true, {0xE8, 0xE8, 0, 0, 0, 0, 0, 0}, {1}},
    };
    for (const ScanRow& row : rows) {
        Layout layout;
        Bytes file = ValidMacho(row.is64, &layout);
        std::copy(row.code.begin(), row.code.end(), file.begin() + 0x400);
        const uint32_t base = row.is64 ? 0x400 : 0x1400;
        std::vector<uint32_t> expected;
        for (uint32_t offset : row.offsets)
            expected.push_back(base + offset);
        EXPECT_EQ(expected, ScannedRel32(file)) << row.name;
    }
}

TEST(DisassemblerMachoTest, OperandNeedsItsFourBytesInsideTheSection)
{
    Layout layout;
    Bytes file = ValidMacho(true, &layout);
    // A call whose operand would end one byte past the section is no call.
    file[0x4FC] = 0xE8;
    Put32(&file, 0x4FD, 0);
    EXPECT_EQ(std::vector<uint32_t>{}, ScannedRel32(file));
    file[0x4FB] = 0xE8;
    EXPECT_EQ(std::vector<uint32_t>{0x4FC}, ScannedRel32(file));
}

TEST(DisassemblerMachoTest, FileIsWalkedAsBytesAndReferencesUpToItsLastSegment)
{
    Layout layout;
    Bytes file = ValidMacho(true, &layout);
    const uint8_t call[] = {0xE8, 0x0B, 0, 0, 0}; // to 0x410 from operand 0x401
    std::copy(call, call + 5, file.begin() + 0x400);
    file.resize(0x1100, 0xCC); // trailing bytes beyond the segment
    DisassemblerMacho parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader());
    EXPECT_EQ(0x1000u, parser.length());
    DisassembledProgram program(parser.kind());
    ASSERT_TRUE(parser.Disassemble(&program));
    // 0x400 bytes, origin, call byte, rel32, 0xFB section bytes, 0xB00 bytes.
    ASSERT_EQ(0x400u + 1 + 1 + 1 + 0xFB + 0xB00, program.instructionCount());
    EXPECT_EQ(uint32_t(DEFBYTE), program.instruction(0x401)->kind());
    const Instruction* rel = program.instruction(0x402);
    ASSERT_EQ(uint32_t(REL32), rel->kind());
    EXPECT_EQ(0x410u, static_cast<const LabelInstruction*>(rel)->label()->rva);
    EXPECT_EQ(0, static_cast<const LabelInstruction*>(rel)->label()->index);
    EXPECT_TRUE(program.abs32Labels().empty());
    for (uint64_t i = 0x403; i < program.instructionCount(); ++i)
        ASSERT_EQ(uint32_t(DEFBYTE), program.instruction(i)->kind()) << i;
}

TEST(DisassemblerMachoTest, EmptyCodeSectionFailsTheWalkInsteadOfRepeatingForEver)
{
    Layout layout;
    std::vector<Segment> segments = {
        {0x1000, 0x1000, 0, 0x1000, {{0x1400, 0x100, 0x400, kCode}, {0x1600, 0, 0x600, kCode}}}};
    Bytes file = BuildMacho(false, segments, 0x1000, &layout);
    DisassemblerMacho parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader());
    DisassembledProgram program(parser.kind());
    EXPECT_FALSE(parser.Disassemble(&program));
}

TEST(DisassemblerMachoTest, CodeSectionsStackedOnTheSameBytesAreRefusedBeforeTheScan)
{
    // Scanning each of them would cost the file's size times their number.
    for (size_t count : {size_t(7), size_t(8)}) {
        Layout layout;
        std::vector<Segment> segments = {{0x1000, 0x1000, 0, 0x1000, {}}};
        for (size_t i = 0; i < count; ++i)
            segments[0].sections.push_back({0x1800, 0x200, 0x800, kCode});
        Bytes file = BuildMacho(false, segments, 0x1000, &layout);
        DisassemblerMacho parser(file.data(), file.size());
        ASSERT_TRUE(parser.ParseHeader());
        DisassembledProgram program(parser.kind());
        // Eight times 0x200 bytes is the whole file: still scanned.
        EXPECT_EQ(count * 0x200 <= 0x1000, parser.Disassemble(&program)) << count;
    }
}

TEST(DisassemblerMachoTest, OperandFoundInOneSectionCannotBeReadPastTheEndOfAnother)
{
    // Two segments map different file ranges to the same rvas: the operand
    // rva of the call in the later section falls on the last byte of the
    // earlier one, which the walk reaches first.
    Layout layout;
    std::vector<Segment> segments = {{0x1000, 0x800, 0, 0x800, {{0x13FF, 3, 0x3FF, kCode}}},
                                     {0x1000, 0x800, 0x800, 0x800, {{0x1400, 0x10, 0xC00, kCode}}}};
    Bytes file = BuildMacho(false, segments, 0x1000, &layout);
    file[0xC00] = 0xE8;
    Put32(&file, 0xC01, 0);
    DisassemblerMacho parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader()) << parser.failure_reason();
    DisassembledProgram program(parser.kind());
    EXPECT_FALSE(parser.Disassemble(&program));
    ASSERT_EQ(1u, parser.Rel32Count());
    EXPECT_EQ(0x401u, parser.Rel32At(0));
}

TEST(DisassemblerMachoTest, DisassembleIsRefusedUnlessTheHeaderWasAccepted)
{
    Layout layout;
    Bytes file = ValidMacho(true, &layout);
    DisassemblerMacho parser(file.data(), file.size());
    DisassembledProgram program(MACHO_X64);
    EXPECT_FALSE(parser.Disassemble(&program));
    EXPECT_STREQ("uninitialized", parser.failure_reason());
    EXPECT_EQ(0u, program.instructionCount());
}

TEST(DisassemblerMachoTest, ConversionsBetweenRvaAndFileOffsetFollowTheSegments)
{
    Layout layout;
    Bytes file = ValidMacho(false, &layout);
    DisassemblerMacho parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader());
    EXPECT_EQ(0x1404u, parser.FileOffsetToRVA(0x404));
    EXPECT_EQ(0u, parser.FileOffsetToRVA(0x2000));
    EXPECT_EQ(0x404, parser.RVAToFileOffset(0x1404));
    EXPECT_EQ(-1, parser.RVAToFileOffset(0x800)); // zero page: no file part
    EXPECT_EQ(-1, parser.RVAToFileOffset(0x3000));
    EXPECT_TRUE(parser.RVAInSegment(0x800));
    EXPECT_FALSE(parser.RVAInSegment(0x2000));
    ASSERT_NE(nullptr, parser.CodeSectionAtOrAfter(0x300));
    EXPECT_EQ(nullptr, parser.CodeSectionAtOrAfter(0x401));
}

} // namespace
} // namespace deltapatch
