#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disassembledprogram.h"
#include "disassembler_win32_x64.h"
#include "disassembler_win32_x86.h"
#include "support/fixturebytes.h"
#include "support/headerfields.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;

using testsupport::Get16;
using testsupport::Get32;
using testsupport::Put16;
using testsupport::Put32;
using testsupport::Put64;

Bytes ReadFixture(const std::string& name)
{
    return testsupport::ReadFixture("pe/" + name);
}

std::unique_ptr<DisassemblerWin32> MakeParser(bool is64, const Bytes& file)
{
    if (is64)
        return std::unique_ptr<DisassemblerWin32>(new DisassemblerWin32X64(file.data(), file.size()));
    return std::unique_ptr<DisassemblerWin32>(new DisassemblerWin32X86(file.data(), file.size()));
}

// Field offsets of a PE image, read from the image itself.
struct Offsets
{
    size_t pe, opt, sizeOfOptionalHeader, sections, dataDirectories, numberOfRvaAndSizes;
    explicit Offsets(const Bytes& b)
    {
        pe = Get32(b, 60);
        opt = pe + 24;
        sizeOfOptionalHeader = pe + 20;
        sections = opt + Get16(b, sizeOfOptionalHeader);
        const bool is64 = Get16(b, opt) == 0x20B;
        dataDirectories = opt + (is64 ? 112 : 96);
        numberOfRvaAndSizes = opt + (is64 ? 108 : 92);
    }
};

const uint32_t kTextRva = 0x1000;
const uint32_t kRelocRva = 0x2000;
const uint32_t kImageSize = 0x3000;

// A two-section image: .text (rva 0x1000, file 0x200, 0x200 bytes, of which
// the first textSize are mapped) and .reloc (rva 0x2000, file 0x400) with a
// base-relocation directory made of the given (rva, type) entries, one
// block per page in the given order.
Bytes BuildPe(bool is64, const Bytes& text, const std::vector<std::pair<uint32_t, uint16_t>>& relocs,
              uint32_t textSize = 0x200)
{
    Bytes file(0x600, 0);
    file[0] = 'M';
    file[1] = 'Z';
    const size_t pe = 0x40;
    Put32(&file, 60, pe);
    file[pe] = 'P';
    file[pe + 1] = 'E';
    Put16(&file, pe + 4, is64 ? 0x8664 : 0x14C);
    Put16(&file, pe + 6, 2);
    const uint16_t optSize = is64 ? 240 : 224;
    Put16(&file, pe + 20, optSize);
    const size_t opt = pe + 24;
    Put16(&file, opt, is64 ? 0x20B : 0x10B);
    Put32(&file, opt + 20, kTextRva);
    if (is64)
        Put64(&file, opt + 24, 0x140000000ull);
    else
        Put32(&file, opt + 28, 0x400000);
    Put32(&file, opt + 32, 0x1000);
    Put32(&file, opt + 36, 0x200);
    Put32(&file, opt + 56, kImageSize);
    Put32(&file, opt + 60, 0x200);
    Put32(&file, opt + (is64 ? 108 : 92), 16);

    Bytes table;
    std::map<uint32_t, std::vector<uint16_t>> pages;
    std::vector<uint32_t> order;
    for (const auto& r : relocs) {
        const uint32_t page = r.first & ~0xFFFu;
        if (!pages.count(page))
            order.push_back(page);
        pages[page].push_back(uint16_t((r.first & 0xFFF) | (r.second << 12)));
    }
    for (uint32_t page : order) {
        std::vector<uint16_t>& entries = pages[page];
        if (entries.size() % 2)
            entries.push_back(0);
        const size_t at = table.size();
        table.resize(at + 8 + 2 * entries.size());
        Put32(&table, at, page);
        Put32(&table, at + 4, uint32_t(8 + 2 * entries.size()));
        for (size_t i = 0; i < entries.size(); ++i)
            Put16(&table, at + 8 + 2 * i, entries[i]);
    }
    const size_t dir = opt + (is64 ? 112 : 96) + 8 * 5;
    Put32(&file, dir, table.empty() ? 0 : kRelocRva);
    Put32(&file, dir + 4, uint32_t(table.size()));

    const size_t sections = opt + optSize;
    const char* names[] = {".text", ".reloc"};
    const uint32_t virtualSizes[] = {textSize, uint32_t(table.size())};
    const uint32_t rvas[] = {kTextRva, kRelocRva};
    for (int i = 0; i < 2; ++i) {
        const size_t s = sections + 40 * i;
        std::copy(names[i], names[i] + strlen(names[i]), file.begin() + s);
        Put32(&file, s + 8, virtualSizes[i]);
        Put32(&file, s + 12, rvas[i]);
        Put32(&file, s + 16, 0x200);
        Put32(&file, s + 20, 0x200 + 0x200 * i);
    }
    std::copy(text.begin(), text.end(), file.begin() + 0x200);
    std::copy(table.begin(), table.end(), file.begin() + 0x400);
    return file;
}

struct HeaderRow
{
    const char* text;
    std::function<void(Bytes*, const Offsets&)> mutate;
};

TEST(DisassemblerWin32Test, EachHeaderCheckRejectsItsOwnMutationWithItsText)
{
    const HeaderRow rows[] = {
        {"Too small", [](Bytes* b, const Offsets&) { b->resize(63); }},
        {"Not MZ", [](Bytes* b, const Offsets&) { (*b)[1] = 'z'; }},
        {"Bad offset to PE header", [](Bytes* b, const Offsets&) { Put32(b, 60, 0); }},
        {"Bad offset to PE header", [](Bytes* b, const Offsets&) { Put32(b, 60, uint32_t(b->size())); }},
        {"Bad offset to PE header", [](Bytes* b, const Offsets&) { Put32(b, 60, uint32_t(b->size() - 24)); }},
        {"Bad offset to PE header", [](Bytes* b, const Offsets&) { Put32(b, 60, 0xFFFFFFF8u); }},
        {"Misaligned PE header", [](Bytes* b, const Offsets&) { Put32(b, 60, 0x44); }},
        {"no PE signature", [](Bytes* b, const Offsets& o) { (*b)[o.pe + 2] = 1; }},
        {"optional header past end of file",
         [](Bytes* b, const Offsets& o) { Put16(b, o.sizeOfOptionalHeader, uint16_t(b->size() - o.opt)); }},
        {"optional header no magic", [](Bytes* b, const Offsets& o) { Put16(b, o.sizeOfOptionalHeader, 1); }},
        {"unrecognized magic", [](Bytes* b, const Offsets& o) { Put16(b, o.opt, 0x107); }},
        {"optional header too short",
         [](Bytes* b, const Offsets& o) { Put16(b, o.sizeOfOptionalHeader, uint16_t(o.dataDirectories - o.opt - 1)); }},
        // Directory 5 at or past the optional header's size.
        {"malformed data directory",
         [](Bytes* b, const Offsets& o) {
             Put16(b, o.sizeOfOptionalHeader, uint16_t(o.dataDirectories - o.opt + 40));
         }},
        {"malformed data directory",
         [](Bytes* b, const Offsets& o) { Put32(b, o.dataDirectories + 8 * 2 + 4, 0x7FFFFFFF); }},
        {"section table outside image", [](Bytes* b, const Offsets& o) { Put16(b, o.pe + 6, 0xFFFF); }},
        {"section outside image", [](Bytes* b, const Offsets& o) { Put32(b, o.sections + 40 + 16, 0x10000); }},
        {"section outside image", [](Bytes* b, const Offsets& o) { Put32(b, o.sections + 20, 0xFFFFFF00u); }},
        {"Resource-only executables are not yet supported",
         [](Bytes* b, const Offsets& o) { (*b)[o.sections + 5] = 'x'; }},
    };
    for (bool is64 : {false, true}) {
        const Bytes valid = ReadFixture(is64 ? "x64.exe" : "x86.exe");
        ASSERT_FALSE(valid.empty());
        const Offsets offsets(valid);
        // The fixture's first section is .text; the mutations rely on it.
        ASSERT_EQ(0, memcmp(&valid[offsets.sections], ".text", 6));
        for (const HeaderRow& row : rows) {
            Bytes file = valid;
            row.mutate(&file, offsets);
            std::unique_ptr<DisassemblerWin32> parser = MakeParser(is64, file);
            EXPECT_FALSE(parser->ParseHeader()) << row.text;
            ASSERT_NE(nullptr, parser->failure_reason()) << row.text;
            EXPECT_EQ(std::string(row.text), parser->failure_reason()) << (is64 ? "PE32+" : "PE32");
            DisassembledProgram program(parser->kind());
            EXPECT_FALSE(parser->Disassemble(&program));
        }
    }
}

TEST(DisassemblerWin32Test, EachParserRefusesTheOtherBitnessAfterTheSectionWalk)
{
    const struct
    {
        const char* fixture;
        bool parserIs64;
        const char* text;
    } rows[] = {
        {"x86.exe", true, "32 bit executables are not supported by this disassembler"},
        {"x86.dll", true, "32 bit executables are not supported by this disassembler"},
        {"x64.exe", false, "64 bit executables are not supported by this disassembler"},
        {"x64.dll", false, "64 bit executables are not supported by this disassembler"},
    };
    for (const auto& row : rows) {
        Bytes file = ReadFixture(row.fixture);
        std::unique_ptr<DisassemblerWin32> parser = MakeParser(row.parserIs64, file);
        EXPECT_FALSE(parser->ParseHeader());
        EXPECT_STREQ(row.text, parser->failure_reason());
        std::unique_ptr<DisassemblerWin32> own = MakeParser(!row.parserIs64, file);
        EXPECT_TRUE(own->ParseHeader()) << own->failure_reason();
        EXPECT_EQ(row.parserIs64 ? WIN_32_X86 : WIN_32_X64, own->kind());
    }
}

TEST(DisassemblerWin32Test, MissingDirectoriesReadAsEmptyAndLengthEndsAtTheLastSection)
{
    for (bool is64 : {false, true}) {
        Bytes file = BuildPe(is64, Bytes(0x10, 0x90), {{kTextRva + 0x20, is64 ? 10 : 3}});
        file.resize(0x700, 0xCC);
        // Five directories only: the base relocations (5) read as none.
        Put32(&file, Offsets(file).numberOfRvaAndSizes, 5);
        std::unique_ptr<DisassemblerWin32> parser = MakeParser(is64, file);
        ASSERT_TRUE(parser->ParseHeader()) << parser->failure_reason();
        EXPECT_EQ(0x600u, parser->length());
        EXPECT_EQ(0u, parser->baseRelocationTable().size);
        EXPECT_EQ(is64 ? 0x140000000ull : 0x400000ull, parser->imageBase());
    }
}

struct RelocRow
{
    const char* name;
    bool is64;
    std::function<void(Bytes*)> mutate;
    const char* text; // null: accepted
};

TEST(DisassemblerWin32Test, BaseRelocationFailuresAreReportedWithTheirTexts)
{
    const uint32_t dir32 = 0x40 + 24 + 96 + 40;
    const uint32_t dir64 = 0x40 + 24 + 112 + 40;
    const RelocRow rows[] = {
        {"block of size 6", false, [](Bytes* b) { Put32(b, 0x404, 6); }, "unreasonable relocs block"},
        {"block size not a multiple of 4", true, [](Bytes* b) { Put32(b, 0x404, 14); }, "unreasonable relocs block"},
        {"block past the buffer", false, [](Bytes* b) { Put32(b, 0x404, 0x400); }, ".relocs block outside image"},
        {"HIGHLOW entry in PE32+", true, [](Bytes* b) { Put16(b, 0x408, 0x3010); }, "unknown type of reloc"},
        {"DIR64 entry in PE32", false, [](Bytes* b) { Put16(b, 0x408, 0xA010); }, "unknown type of reloc"},
        {"directory rva in no section", false, [dir32](Bytes* b) { Put32(b, dir32, 0x5000); }, ".relocs outside image"},
        {"directory in the unmapped tail of .text", true, [dir64](Bytes* b) { Put32(b, dir64, kTextRva + 0x100); },
         ".relocs outside image"},
        {"directory past the buffer", false, [dir32](Bytes* b) { Put32(b, dir32 + 4, 0x2FF0); },
         ".relocs outside image"},
        {"padding entries are skipped", false, [](Bytes* b) { Put16(b, 0x408, 0x0FFF); }, nullptr},
        {"directory of 8 bytes has no blocks", true, [dir64](Bytes* b) { Put32(b, dir64 + 4, 8); }, nullptr},
    };
    for (const RelocRow& row : rows) {
        // .text mapped over 0x100 bytes only; two entries in one block.
        const uint16_t type = row.is64 ? 10 : 3;
        Bytes file = BuildPe(row.is64, Bytes(0x10, 0x90), {{kTextRva + 0x10, type}, {kTextRva + 0x20, type}}, 0x100);
        row.mutate(&file);
        std::unique_ptr<DisassemblerWin32> parser = MakeParser(row.is64, file);
        ASSERT_TRUE(parser->ParseHeader()) << row.name << ": " << parser->failure_reason();
        DisassembledProgram program(parser->kind());
        EXPECT_EQ(row.text == nullptr, parser->Disassemble(&program)) << row.name;
        if (row.text) {
            EXPECT_STREQ(row.text, parser->failure_reason()) << row.name;
        }
    }
}

std::vector<uint32_t> Rel32Of(const DisassemblerWin32& parser)
{
    std::vector<uint32_t> out;
    for (uint64_t i = 0; i < parser.Rel32Count(); ++i)
        out.push_back(parser.Rel32At(i));
    return out;
}

struct ScanRow
{
    const char* name;
    bool is64;
    Bytes code;                  // at the start of .text (rva 0x1000, 0x100 bytes mapped)
    std::vector<uint32_t> abs32; // rvas of base relocations
    std::vector<uint32_t> expected;
};

TEST(DisassemblerWin32Test, ScanFindsRelativeOperandsThatStayInTheirSectionOrImage)
{
    const ScanRow rows[] = {
        {"call inside .text", false, {0xE8, 0x10, 0, 0, 0}, {}, {0x1001}},
        {"jcc inside .text", true, {0x0F, 0x85, 0x10, 0, 0, 0}, {}, {0x1002}},
        {"parity jcc", false, {0x0F, 0x8B, 0x10, 0, 0, 0}, {}, {}},
        // 0x1005 + 0x100 is past the mapped 0x100 bytes of .text.
        {"call past the section's virtual size", false, {0xE8, 0x00, 1, 0, 0}, {}, {}},
        {"call before the section", true, {0xE8, 0xF0, 0xFF, 0xFF, 0xFF}, {}, {}},
        {"FF 15 in PE32 is never relative", false, {0xFF, 0x15, 0x00, 0x10, 0, 0}, {}, {}},
        {"FF 15 in PE32+ reaches outside the section", true, {0xFF, 0x15, 0x00, 0x10, 0, 0}, {}, {0x1002}},
        {"FF 25 in PE32+ past the image", true, {0xFF, 0x25, 0x00, 0x20, 0, 0}, {}, {}},
        {"lea rip in PE32+", true, {0x48, 0x8D, 0x05, 0x00, 0x0F, 0, 0}, {}, {0x1003}},
        {"mov rip in PE32+", true, {0x49, 0x8B, 0x0D, 0x00, 0x0F, 0, 0}, {}, {0x1003}},
        {"lea rip in PE32", false, {0x48, 0x8D, 0x05, 0x00, 0x0F, 0, 0}, {}, {}},
        // The call's operand overlaps the absolute address at 0x1003; the
        // scan goes on at 0x1007, where the next call is found.
        {"operand overlapping an absolute address",
         false,
         {0xE8, 0x10, 0, 0x00, 0x10, 0x40, 0x00, 0xE8, 0x10, 0, 0, 0},
         {0x1003},
         {0x1008}},
        {"absolute address three bytes before the operand",
         false,
         {0x00, 0x10, 0x40, 0x00, 0xE8, 0x10, 0, 0, 0},
         {0x1000},
         {0x1005}},
    };
    for (const ScanRow& row : rows) {
        std::vector<std::pair<uint32_t, uint16_t>> relocs;
        for (uint32_t rva : row.abs32)
            relocs.push_back({rva, uint16_t(row.is64 ? 10 : 3)});
        Bytes file = BuildPe(row.is64, row.code, relocs, 0x100);
        std::unique_ptr<DisassemblerWin32> parser = MakeParser(row.is64, file);
        ASSERT_TRUE(parser->ParseHeader()) << row.name;
        DisassembledProgram program(parser->kind());
        ASSERT_TRUE(parser->Disassemble(&program)) << row.name << ": " << parser->failure_reason();
        EXPECT_EQ(row.expected, Rel32Of(*parser)) << row.name;
    }
}

TEST(DisassemblerWin32Test, WalkEmitsAbsoluteAndRelativeReferencesAndTheRelocationTable)
{
    for (bool is64 : {false, true}) {
        // An absolute pointer to rva 0x1040 (image base added), then a call to
        // 0x1010 from operand 0x1009.
        Bytes code(0x10, 0x90);
        const uint64_t base = is64 ? 0x140000000ull : 0x400000;
        Put32(&code, 0, uint32_t(base + 0x1040));
        if (is64)
            Put32(&code, 4, uint32_t((base + 0x1040) >> 32));
        code[8] = 0xE8;
        Put32(&code, 9, 0x1010 - 0x100D);
        Bytes file = BuildPe(is64, code, {{kTextRva, uint16_t(is64 ? 10 : 3)}});
        std::unique_ptr<DisassemblerWin32> parser = MakeParser(is64, file);
        ASSERT_TRUE(parser->ParseHeader());
        DisassembledProgram program(parser->kind());
        ASSERT_TRUE(parser->Disassemble(&program)) << parser->failure_reason();
        EXPECT_EQ(base, program.imageBase());
        std::vector<uint32_t> kinds;
        for (uint64_t i = 0x200; i < program.instructionCount(); ++i)
            kinds.push_back(program.instruction(i)->kind());
        std::vector<uint32_t> expected = {ORIGIN, ABS32};
        // The high half of a 64-bit address stays plain bytes.
        for (int i = 4; i < 8; ++i)
            expected.push_back(DEFBYTE);
        expected.insert(expected.end(), {DEFBYTE, REL32});
        expected.insert(expected.end(), 0x200 - 13, DEFBYTE);
        // .reloc: its origin, the table marker, then the rest of its raw data.
        expected.insert(expected.end(), {ORIGIN, MAKEPERELOCS});
        expected.insert(expected.end(), 0x200 - 12, DEFBYTE);
        EXPECT_EQ(expected, kinds) << (is64 ? "PE32+" : "PE32");
        ASSERT_EQ(1u, program.abs32Labels().size());
        EXPECT_EQ(0x1040u, program.abs32Labels().begin()->first);
        ASSERT_EQ(1u, program.rel32Labels().size());
        EXPECT_EQ(0x1010u, program.rel32Labels().begin()->first);
    }
}

TEST(DisassemblerWin32Test, AbsoluteAddressInTheLastBytesOfASectionFailsTheWalk)
{
    // The relocation points two bytes before the end of .text's raw data.
    for (bool is64 : {false, true}) {
        Bytes file = BuildPe(is64, Bytes(), {{kTextRva + 0x1FE, uint16_t(is64 ? 10 : 3)}});
        std::unique_ptr<DisassemblerWin32> parser = MakeParser(is64, file);
        ASSERT_TRUE(parser->ParseHeader());
        DisassembledProgram program(parser->kind());
        EXPECT_FALSE(parser->Disassemble(&program));
    }
}

TEST(DisassemblerWin32Test, SectionsAreWalkedInFileOrderSkippingOverlapsAndEmptyOnes)
{
    Bytes file = BuildPe(false, Bytes{0xC3}, {});
    const Offsets o(file);
    // Swap the table order: .reloc first; add an empty third section.
    Bytes text(file.begin() + o.sections, file.begin() + o.sections + 40);
    std::copy(file.begin() + o.sections + 40, file.begin() + o.sections + 80, file.begin() + o.sections);
    std::copy(text.begin(), text.end(), file.begin() + o.sections + 40);
    Put16(&file, o.pe + 6, 3);
    const size_t third = o.sections + 80;
    std::copy(".bss", ".bss" + 4, file.begin() + third);
    Put32(&file, third + 12, 0x2800);
    Put32(&file, third + 20, 0x300); // no raw data: never walked
    DisassemblerWin32X86 parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader()) << parser.failure_reason();
    DisassembledProgram program(parser.kind());
    ASSERT_TRUE(parser.Disassemble(&program));
    std::vector<uint32_t> origins;
    for (uint64_t i = 0; i < program.instructionCount(); ++i) {
        if (program.instruction(i)->kind() == ORIGIN)
            origins.push_back(static_cast<const OriginInstruction*>(program.instruction(i))->rva());
    }
    EXPECT_EQ((std::vector<uint32_t>{0x1000, 0x2000}), origins);
    EXPECT_EQ(0x200u + 1 + 0x200 + 1 + 0x200, program.instructionCount());
}

TEST(DisassemblerWin32Test, RvaAndFileOffsetConversionsFollowTheSectionTable)
{
    Bytes file = BuildPe(false, Bytes(), {}, 0x300);
    DisassemblerWin32X86 parser(file.data(), file.size());
    ASSERT_TRUE(parser.ParseHeader());
    uint64_t offset = 0;
    ASSERT_TRUE(parser.RVAToFileOffset(0x1010, &offset));
    EXPECT_EQ(0x210u, offset);
    // Mapped but past the raw data: no file offset.
    EXPECT_FALSE(parser.RVAToFileOffset(0x1250, &offset));
    ASSERT_TRUE(parser.RVAToFileOffset(2, &offset));
    EXPECT_EQ(2u, offset);
    EXPECT_FALSE(parser.RVAToFileOffset(0x9000, &offset));
    EXPECT_EQ(0x1010u, parser.FileOffsetToRVA(0x210));
    EXPECT_EQ(0u, parser.FileOffsetToRVA(0x100));
    EXPECT_EQ(".text", DisassemblerWin32::SectionName(parser.RVAToSection(0x1010)));
    EXPECT_EQ("<none>", DisassemblerWin32::SectionName(parser.RVAToSection(0x9000)));
    EXPECT_EQ("4112 (.text+10)", parser.DescribeRVA(0x1010));
    ASSERT_NE(nullptr, parser.RVAToPointer(0x1010));
    EXPECT_EQ(file.data() + 0x210, parser.RVAToPointer(0x1010));
}

} // namespace
} // namespace deltapatch
