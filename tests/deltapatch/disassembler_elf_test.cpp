#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "disassembledprogram.h"
#include "disassembler_elf_32_arm.h"
#include "disassembler_elf_32_x86.h"
#include "disassembler_elf_64_x64.h"
#include "encodedprogram.h"
#include "streams.h"
#include "support/encodedpipeline.h"
#include "support/fixturebytes.h"
#include "support/headerfields.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;

Bytes ReadFixture(const std::string& name)
{
    return testsupport::ReadFixture("elf/" + name);
}

using testsupport::Pipeline;
using testsupport::RunPipeline;

using testsupport::Put16;
using testsupport::Put32;
using testsupport::Put64;

// Header field offsets of the two ELF classes.
struct ElfLayout
{
    bool is64;
    size_t header, phEntry, shEntry;
    size_t type, machine, version, phoff, shoff, phnum, shentsize, shnum;
    void PutWord(Bytes* b, size_t at, uint64_t v) const
    {
        if (is64)
            Put64(b, at, v);
        else
            Put32(b, at, uint32_t(v));
    }
};
const ElfLayout kElf32 = {false, 52, 32, 40, 16, 18, 20, 28, 32, 44, 46, 48};
const ElfLayout kElf64 = {true, 64, 56, 64, 16, 18, 20, 32, 40, 56, 58, 60};

struct Section
{
    uint32_t type;
    Bytes data;
    uint64_t entsize;
    uint64_t offsetOverride; // 0: placed in order
    uint64_t sizeOverride;   // 0: the data's size
};

const uint32_t kBase = 0x10000;

// A file laid out as header, one program header, section headers, then the
// section contents back to back (so the last section ends the file). One
// loadable segment maps the whole file at kBase; section i's address is
// kBase plus its offset.
Bytes BuildElf(const ElfLayout& layout, uint16_t machine, const std::vector<Section>& sections,
               std::vector<uint32_t>* rvas = nullptr)
{
    const size_t shoff = layout.header + layout.phEntry;
    size_t offset = shoff + layout.shEntry * (sections.size() + 1);
    Bytes file(offset, 0);
    file[0] = 0x7F;
    file[1] = 'E';
    file[2] = 'L';
    file[3] = 'F';
    file[4] = layout.is64 ? 2 : 1;
    file[5] = 1;
    Put16(&file, layout.type, 3);
    Put16(&file, layout.machine, machine);
    Put32(&file, layout.version, 1);
    layout.PutWord(&file, layout.phoff, layout.header);
    layout.PutWord(&file, layout.shoff, shoff);
    Put16(&file, layout.phnum, 1);
    Put16(&file, layout.shentsize, uint16_t(layout.shEntry));
    Put16(&file, layout.shnum, uint16_t(sections.size() + 1));
    for (size_t i = 0; i < sections.size(); ++i) {
        const Section& section = sections[i];
        const size_t sh = shoff + layout.shEntry * (i + 1);
        const uint64_t at = section.offsetOverride ? section.offsetOverride : offset;
        const uint64_t size = section.sizeOverride ? section.sizeOverride : section.data.size();
        Put32(&file, sh + 4, section.type);
        if (layout.is64) {
            Put64(&file, sh + 16, kBase + at);
            Put64(&file, sh + 24, at);
            Put64(&file, sh + 32, size);
            Put64(&file, sh + 56, section.entsize);
        } else {
            Put32(&file, sh + 12, uint32_t(kBase + at));
            Put32(&file, sh + 16, uint32_t(at));
            Put32(&file, sh + 20, uint32_t(size));
            Put32(&file, sh + 36, uint32_t(section.entsize));
        }
        if (rvas)
            rvas->push_back(uint32_t(kBase + at));
        if (!section.offsetOverride) {
            file.insert(file.end(), section.data.begin(), section.data.end());
            offset = file.size();
        }
    }
    const size_t ph = layout.header;
    Put32(&file, ph, 1);
    if (layout.is64) {
        Put64(&file, ph + 8, 0);
        Put64(&file, ph + 16, kBase);
        Put64(&file, ph + 32, file.size());
        Put64(&file, ph + 40, file.size());
    } else {
        Put32(&file, ph + 4, 0);
        Put32(&file, ph + 8, kBase);
        Put32(&file, ph + 16, uint32_t(file.size()));
        Put32(&file, ph + 20, uint32_t(file.size()));
    }
    return file;
}

Bytes Le32Bytes(std::initializer_list<uint32_t> words)
{
    Bytes out;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(w >> (8 * i)));
    }
    return out;
}

template <class Parser> bool DisassembleWith(const Bytes& file, DisassembledProgram* program)
{
    Parser parser(file.data(), file.size());
    return parser.ParseHeader() && parser.Disassemble(program);
}

std::vector<uint32_t> Rel32Targets(const DisassembledProgram& program)
{
    std::vector<uint32_t> out;
    for (const auto& entry : program.rel32Labels())
        out.push_back(entry.first);
    return out;
}

std::vector<uint32_t> Kinds(const DisassembledProgram& program)
{
    std::vector<uint32_t> out;
    for (uint64_t i = 0; i < program.instructionCount(); ++i)
        out.push_back(program.instruction(i)->kind());
    return out;
}

Bytes Nops(Bytes code, size_t count = 0x40)
{
    code.insert(code.end(), count, 0x90);
    return code;
}

struct HeaderRow
{
    const char* text;
    std::function<void(Bytes*, const ElfLayout&)> mutate;
};

// Applies the mutations from the last check to the first, one on top of
// the other: each must be reported by its own text, which shows that every
// check runs before the ones after it.
template <class Parser> void ExpectHeaderChecksInOrder(const Bytes& valid, const ElfLayout& layout)
{
    const HeaderRow rows[] = {
        {"Too small", [](Bytes* b, const ElfLayout& l) { b->resize(l.header - 1); }},
        {"No Magic Number", [](Bytes* b, const ElfLayout&) { (*b)[1] = 'e'; }},
        {"Not an executable file or shared library", [](Bytes* b, const ElfLayout& l) { Put16(b, l.type, 1); }},
        {"Not a supported architecture", [](Bytes* b, const ElfLayout& l) { Put16(b, l.machine, 7); }},
        {"Unknown file version", [](Bytes* b, const ElfLayout& l) { Put32(b, l.version, 2); }},
        {"Unexpected section header size",
         [](Bytes* b, const ElfLayout& l) { Put16(b, l.shentsize, uint16_t(l.shEntry + 1)); }},
        {"Out of bounds section header table offset",
         [](Bytes* b, const ElfLayout& l) { l.PutWord(b, l.shoff, b->size()); }},
        {"Out of bounds section header table", [](Bytes* b, const ElfLayout& l) { Put16(b, l.shnum, 0xFFFF); }},
        {"Out of bounds program header table offset",
         [](Bytes* b, const ElfLayout& l) { l.PutWord(b, l.phoff, b->size() + 5); }},
        {"Out of bounds program header table", [](Bytes* b, const ElfLayout& l) { Put16(b, l.phnum, 0xFFFF); }},
    };
    {
        Parser parser(valid.data(), valid.size());
        ASSERT_TRUE(parser.ParseHeader());
        EXPECT_EQ(nullptr, parser.failure_reason());
    }
    Bytes file = valid;
    for (int i = int(sizeof(rows) / sizeof(rows[0])) - 1; i >= 0; --i) {
        rows[i].mutate(&file, layout);
        Parser parser(file.data(), file.size());
        EXPECT_FALSE(parser.ParseHeader()) << rows[i].text;
        ASSERT_NE(nullptr, parser.failure_reason());
        EXPECT_STREQ(rows[i].text, parser.failure_reason());
        DisassembledProgram program(parser.kind());
        EXPECT_FALSE(parser.Disassemble(&program));
    }
}

TEST(ElfHeaderTest, EachCheckRejectsItsOwnMutationInOrder)
{
    ExpectHeaderChecksInOrder<DisassemblerElf32X86>(ReadFixture("x86-shared.so"), kElf32);
    ExpectHeaderChecksInOrder<DisassemblerElf32ARM>(ReadFixture("arm-thumb"), kElf32);
    ExpectHeaderChecksInOrder<DisassemblerElf64X64>(ReadFixture("x64-pie"), kElf64);
}

TEST(ElfHeaderTest, ExecutablesAndSharedObjectsOnly)
{
    Bytes file = ReadFixture("x86-shared.so");
    for (uint16_t type : {0, 1, 2, 3, 4, 0x102}) {
        Put16(&file, kElf32.type, type);
        DisassemblerElf32X86 parser(file.data(), file.size());
        EXPECT_EQ(type == 2 || type == 3, parser.ParseHeader()) << type;
    }
}

TEST(ElfHeaderTest, DisassemblyNeedsAcceptedHeaders)
{
    Bytes file = ReadFixture("x86-static");
    DisassemblerElf32X86 parser(file.data(), file.size());
    EXPECT_STREQ("uninitialized", parser.failure_reason());
    DisassembledProgram program(EXE_ELF_32_X86);
    EXPECT_FALSE(parser.Disassemble(&program));
    EXPECT_EQ(0u, program.instructionCount());
}

class LengthProbe : public Disassembler
{
public:
    using Disassembler::Disassembler;
    using Disassembler::ReduceLength;
    bool ParseHeader() override { return Good(); }
    bool FindReferences(DisassembledProgram*) override { return false; }
    bool ParseFile(DisassembledProgram*) override { return false; }
};

TEST(DisassemblerBaseTest, LengthOnlyEverShrinksAndTheEndStays)
{
    const uint8_t buffer[100] = {};
    LengthProbe probe(buffer, sizeof(buffer));
    EXPECT_EQ(UNKNOWN, probe.kind());
    probe.ReduceLength(60);
    EXPECT_EQ(60u, probe.length());
    probe.ReduceLength(80);
    EXPECT_EQ(60u, probe.length());
    EXPECT_EQ(buffer + 100, probe.end());
    EXPECT_EQ(buffer + 7, probe.OffsetToPointer(7));
}

struct ScanRow
{
    const char* what;
    Bytes code;
    std::vector<uint32_t> targets; // relative to the code's rva
};

template <class Parser> void ExpectScan(const ElfLayout& layout, uint16_t machine, const ScanRow& row)
{
    std::vector<uint32_t> rvas;
    Bytes file = BuildElf(layout, machine, {{1, row.code, 0, 0, 0}}, &rvas);
    DisassembledProgram program(Parser(nullptr, 0).kind());
    ASSERT_TRUE(DisassembleWith<Parser>(file, &program)) << row.what;
    std::vector<uint32_t> expected;
    for (uint32_t t : row.targets)
        expected.push_back(rvas[0] + t);
    EXPECT_EQ(expected, Rel32Targets(program)) << row.what;
}

TEST(ElfScanTest, X86BranchOperands)
{
    const ScanRow rows[] = {
        {"call", Nops({0xE8, 0, 0, 0, 0}), {5}},
        {"jmp backwards", Nops({0x90, 0x90, 0x90, 0xE9, 0xF8, 0xFF, 0xFF, 0xFF}), {0}},
        {"call out of every segment", Nops({0xE8, 0, 0, 0, 0x70}), {}},
        {"bad call, then a jmp one byte on", Nops({0xE8, 0xE9, 0x20, 0, 0, 0}), {0x26}},
        {"je", Nops({0x0F, 0x84, 0, 0, 0, 0}), {6}},
        {"jp is not taken", Nops({0x0F, 0x8A, 0, 0, 0, 0}), {}},
        {"jnp is not taken", Nops({0x0F, 0x8B, 0, 0, 0, 0}), {}},
        {"indirect call is not x86", Nops({0xFF, 0x15, 0, 0, 0, 0}), {}},
        {"too short at the end", {0x90, 0xE8, 0xF0, 0xFF, 0xFF}, {}},
    };
    for (const ScanRow& row : rows)
        ExpectScan<DisassemblerElf32X86>(kElf32, 3, row);
}

TEST(ElfScanTest, X64BranchAndRipRelativeOperands)
{
    const ScanRow rows[] = {
        {"call", Nops({0xE8, 0, 0, 0, 0}), {5}},
        {"call through a slot", Nops({0xFF, 0x15, 0, 0, 0, 0}), {6}},
        {"jmp through a slot", Nops({0xFF, 0x25, 0, 0, 0, 0}), {6}},
        {"jne", Nops({0x0F, 0x85, 0, 0, 0, 0}), {6}},
        {"jnp is not taken", Nops({0x0F, 0x8B, 0, 0, 0, 0}), {}},
        {"lea rip-relative", Nops({0x48, 0x8D, 0x05, 0, 0, 0, 0}), {7}},
        {"mov r9 rip-relative", Nops({0x49, 0x8B, 0x0D, 0, 0, 0, 0}), {7}},
        {"mov register", Nops({0x48, 0x8B, 0xC0, 0, 0, 0, 0}), {}},
        {"call through a register", Nops({0xFF, 0xD0, 0, 0, 0, 0}), {}},
    };
    for (const ScanRow& row : rows)
        ExpectScan<DisassemblerElf64X64>(kElf64, 62, row);
}

TEST(ElfScanTest, ArmBranchForms)
{
    const ScanRow rows[] = {
        {"thumb beq", Nops({0x00, 0xD0}), {4}},
        {"thumb b", Nops({0x00, 0xE0}), {4}},
        {"arm bl", Nops({0x00, 0x00, 0x00, 0xEB}), {8}},
        {"arm b only on a word boundary", Nops({0x00, 0xBF, 0x00, 0x00, 0x00, 0xEA, 0, 0}), {}},
        {"thumb-2 bl", Nops({0x00, 0xF0, 0x00, 0xF8}), {4}},
        {"thumb-2 beq.w", Nops({0x00, 0xF0, 0x00, 0x80}), {4}},
        {"beq past the segment", {0x7F, 0xD0, 0x00}, {}},
        {"beq in the last two bytes", {0x00, 0xBF, 0x00, 0xD0}, {}},
    };
    for (const ScanRow& row : rows)
        ExpectScan<DisassemblerElf32ARM>(kElf32, 40, row);
}

// A REL section of relative relocations for two words that open a data
// section, plus one relocation of another kind.
std::vector<Section> RelocatedData(uint32_t relType, uint64_t entsize, size_t dataSize = 12,
                                   bool relocationsFirst = true)
{
    // Offsets are known before building: header, program header, 3 section
    // headers, then the two sections' contents (the REL section is 24 bytes).
    const uint32_t dataRva = kBase + 52 + 32 + 40 * 3 + (relocationsFirst ? 24 : 0);
    Bytes rel = Le32Bytes({dataRva, relType, dataRva + 4, relType, dataRva + 8, 0x0101});
    Bytes data = Le32Bytes({0x1234, 0x5678, 0x9ABC});
    data.resize(dataSize);
    if (!relocationsFirst)
        return {{1, data, 0, 0, 0}, {9, rel, entsize, 0, 0}};
    return {{9, rel, entsize, 0, 0}, {1, data, 0, 0, 0}};
}

TEST(ElfRelocationTest, RelativeRelocationsBecomeTheTableInstruction)
{
    struct Row
    {
        const char* what;
        uint16_t machine;
        uint32_t relType;
        uint32_t tableKind;
    } rows[] = {{"x86", 3, 8, MAKEELFRELOCS}, {"arm", 40, 23, MAKEELFARMRELOCS}};
    for (const Row& row : rows) {
        Bytes file = BuildElf(kElf32, row.machine, RelocatedData(row.relType, 8));
        DisassembledProgram program(row.machine == 3 ? EXE_ELF_32_X86 : ELF_32_ARM);
        bool ok = row.machine == 3 ? DisassembleWith<DisassemblerElf32X86>(file, &program)
                                   : DisassembleWith<DisassemblerElf32ARM>(file, &program);
        ASSERT_TRUE(ok) << row.what;
        // Headers, table, the third entry, then the data section, and the empty
        // run from the end of the data to the end of the file.
        EXPECT_EQ(std::vector<uint32_t>({DEFBYTES, row.tableKind, DEFBYTES, ORIGIN, ABS32, ABS32, DEFBYTES, DEFBYTES}),
                  Kinds(program))
            << row.what;
        ASSERT_EQ(2u, program.abs32Labels().size());
        EXPECT_EQ(0x1234u, program.abs32Labels().begin()->first);
        Pipeline result = RunPipeline(file);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(file, result.assembled) << row.what;
    }
}

// Known exception to the round trip, shared with the patch generator: when
// an ARM relocation breaks the run of relative ones, the run up to it is
// neither a table nor bytes, so the element reassembles shorter.
TEST(ElfRelocationTest, BrokenArmRelocationRunIsDroppedFromTheElement)
{
    const uint32_t dataRva = kBase + 52 + 32 + 40 * 3 + 24;
    Bytes rel = Le32Bytes({dataRva, 23, dataRva + 8, 2, dataRva + 4, 23});
    Bytes data = Le32Bytes({0x1234, 0x5678, 0x9ABC});
    Bytes file = BuildElf(kElf32, 40, {{9, rel, 8, 0, 0}, {1, data, 0, 0, 0}});
    DisassembledProgram program(ELF_32_ARM);
    ASSERT_TRUE(DisassembleWith<DisassemblerElf32ARM>(file, &program));
    EXPECT_EQ(2u, program.abs32Labels().size());
    for (uint32_t kind : Kinds(program))
        EXPECT_NE(uint32_t(MAKEELFARMRELOCS), kind);
    Pipeline result = RunPipeline(file);
    ASSERT_TRUE(result.ok);
    Bytes expected = file;
    expected.erase(expected.begin() + (dataRva - kBase - 24), expected.begin() + (dataRva - kBase - 8));
    EXPECT_EQ(expected, result.assembled);
}

TEST(ElfRelocationTest, X64NeverYieldsAbs32References)
{
    std::vector<Section> sections = RelocatedData(8, 16);
    Bytes file = BuildElf(kElf64, 62, sections);
    DisassembledProgram program(ELF_64_X64);
    ASSERT_TRUE(DisassembleWith<DisassemblerElf64X64>(file, &program));
    EXPECT_TRUE(program.abs32Labels().empty());
    for (uint32_t kind : Kinds(program))
        EXPECT_NE(uint32_t(MAKEELFRELOCS), kind);
}

TEST(ElfRelocationTest, EntryCountIsBoundedByTheSectionSize)
{
    // The relocation section ends the file, so reading entries by a lying
    // entry size would run past the buffer.
    for (uint64_t entsize : {1, 2, 4, 8}) {
        std::vector<Section> sections = RelocatedData(8, entsize, 12, false);
        Bytes file = BuildElf(kElf32, 3, sections);
        DisassembledProgram program(EXE_ELF_32_X86);
        ASSERT_TRUE(DisassembleWith<DisassemblerElf32X86>(file, &program)) << entsize;
        EXPECT_EQ(2u, program.abs32Labels().size()) << entsize;
    }
    std::vector<Section> sections = RelocatedData(8, 0);
    Bytes file = BuildElf(kElf32, 3, sections);
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(DisassembleWith<DisassemblerElf32X86>(file, &program));
    EXPECT_TRUE(program.abs32Labels().empty());
}

TEST(ElfBoundsTest, ReferencesAndSectionsPastTheEndAreRefused)
{
    struct Row
    {
        const char* what;
        Bytes file;
    };
    const Bytes code = Nops({0xE8, 0, 0, 0, 0});
    std::vector<Row> rows;
    // The second abs32 word starts 2 bytes before its section ends.
    rows.push_back({"abs32 word across the section end", BuildElf(kElf32, 3, RelocatedData(8, 8, 6))});
    rows.push_back({"bss beyond the file", BuildElf(kElf32, 3, {{1, code, 0, 0, 0}, {8, {}, 0, 0x7FFFFFF0, 0x10}})});
    rows.push_back({"code section running past the file", BuildElf(kElf32, 3, {{1, code, 0, 0, 0x100000}})});
    rows.push_back({"code section whose end wraps at 32 bits", BuildElf(kElf32, 3, {{1, code, 0, 0, 0xFFFFFF00}})});
    rows.push_back({"relocations past the file", BuildElf(kElf32, 3, {{1, code, 0, 0, 0}, {9, {}, 8, 0x1000, 0x800}})});
    rows.push_back({"x64 code section running past the file", BuildElf(kElf64, 62, {{1, code, 0, 0, 0x100000}})});
    for (const Row& row : rows) {
        const ElfLayout& layout = row.file[4] == 2 ? kElf64 : kElf32;
        DisassembledProgram program(UNKNOWN);
        bool ok = layout.is64 ? DisassembleWith<DisassemblerElf64X64>(row.file, &program)
                              : DisassembleWith<DisassemblerElf32X86>(row.file, &program);
        EXPECT_FALSE(ok) << row.what;
    }
}

TEST(ElfBoundsTest, ArmScanStopsAtAnOddSectionEnd)
{
    // The code ends the buffer with a lone byte after a halfword.
    for (Bytes tail : {Bytes{0x00, 0xD0, 0x00}, Bytes{0x00}, Bytes{0x00, 0xF0, 0x00}}) {
        Bytes file = BuildElf(kElf32, 40, {{1, tail, 0, 0, 0}});
        Pipeline result = RunPipeline(file);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(file, result.assembled);
    }
}

TEST(ElfBoundsTest, SectionsReadTwiceAreRefused)
{
    // Overlapping code or relocation sections would let a small file make the
    // parser walk its bytes once per section header; two that hold more bytes
    // than the file are refused.
    const Bytes code = Nops({0xE8, 0, 0, 0, 0}, 1000);
    const uint64_t at = 52 + 32 + 40 * 3;
    for (uint32_t second : {1u, 9u}) {
        Bytes file = BuildElf(kElf32, 3, {{1, code, 0, 0, 0}, {second, {}, 8, at, code.size()}});
        DisassembledProgram program(EXE_ELF_32_X86);
        EXPECT_FALSE(DisassembleWith<DisassemblerElf32X86>(file, &program)) << second;
    }
}

// The parsers answer segment questions from lookup tables once they
// disassemble; the answers must be those of the plain first-match search.
TEST(ElfSegmentLookupTest, TablesAnswerLikeTheFirstMatchingHeader)
{
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        Bytes file = BuildElf(kElf32, 3, {});
        const int count = 1 + random() % 12;
        const size_t phoff = file.size();
        Put32(&file, kElf32.phoff, uint32_t(phoff));
        Put16(&file, kElf32.phnum, uint16_t(count));
        file.resize(phoff + 32 * count);
        for (int i = 0; i < count; ++i) {
            const size_t ph = phoff + 32 * i;
            Put32(&file, ph, random() % 3 ? 1 : 4);
            Put32(&file, ph + 4, random() % 4096);
            uint32_t vaddr = random() % 3 ? random() % 0x800 : 0xFFFFFF00u + random() % 0x100;
            Put32(&file, ph + 8, vaddr);
            Put32(&file, ph + 16, random() % 5 ? random() % 0x400 : random());
            Put32(&file, ph + 20, random() % 5 ? random() % 0x400 : random());
        }
        DisassemblerElf32X86 plain(file.data(), file.size());
        DisassemblerElf32X86 indexed(file.data(), file.size());
        ASSERT_TRUE(plain.ParseHeader());
        ASSERT_TRUE(indexed.ParseHeader());
        DisassembledProgram program(EXE_ELF_32_X86);
        indexed.Disassemble(&program);
        for (uint32_t rva = 0; rva < 0xC00; ++rva) {
            for (uint32_t probe : {rva, 0xFFFFFF00u + (rva & 0xFF), 0xFFFFFFFFu}) {
                uint64_t a = 0, b = 0;
                const bool foundPlain = plain.RVAToFileOffset(probe, &a);
                ASSERT_EQ(foundPlain, indexed.RVAToFileOffset(probe, &b)) << round << " " << probe;
                if (foundPlain) {
                    ASSERT_EQ(a, b);
                }
            }
        }
    }
}

} // namespace
} // namespace deltapatch
