#include "disassembler_macho.h"

#include <algorithm>

#include "disassembledprogram.h"
#include "littleendian.h"
#include "logmessage.h"
#include "x86rel32scan.h"

namespace deltapatch {

namespace {

const uint32_t kMagic32 = 0xFEEDFACE;
const uint32_t kMagic64 = 0xFEEDFACF;
const uint32_t kCpuI386 = 7;
const uint32_t kCpuX86_64 = 0x01000007;
// Executable (2), preloaded executable (5), dylib (6) and bundle (8): the
// set bits of 356.
const uint32_t kAcceptedFileTypes = 356;
const uint32_t kSegment32 = 1;
const uint32_t kSegment64 = 25;
const uint32_t kLoadCommandHeader = 8;
// Pure instructions and the regular section type.
const uint32_t kCodeFlagsMask = 0x800000FF;
const uint32_t kCodeFlags = 0x80000000;

// Where the two file classes put the fields read. 32-bit files keep their
// section-less segments (the zero page among them), which set the base the
// image is rebased to; 64-bit files leave them out: there they neither
// rebase the image nor extend the file.
const DisassemblerMacho::SegmentLayout kSegment32Layout = {
    MACHO_X86, "LC_SEGMENT not supported", "bad LC_SEGMENT", 4, 56, 68, 48, 56, false};
const DisassemblerMacho::SegmentLayout kSegment64Layout = {
    MACHO_X64, "LC_SEGMENT_64 not supported", "bad LC_SEGMENT_64", 8, 72, 80, 64, 64, true};

bool ByOffset(const DisassemblerMacho::CodeSection& a, const DisassemblerMacho::CodeSection& b)
{
    return a.fileOffset < b.fileOffset;
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const void* start, size_t length) : Disassembler(start, length) {}

DisassemblerMacho::~DisassemblerMacho() = default;

bool DisassemblerMacho::ParseHeader()
{
    m_Kind = UNKNOWN;
    m_Segments.reset();
    m_CodeSections.reset();
    m_FileEnd = 0;
    const uint64_t bufferLength = static_cast<uint64_t>(end() - start());
    if (length() < 32)
        return Bad("Too small");

    const uint32_t magic = ReadU32(0);
    const uint32_t cpu = ReadU32(4);
    if (magic == kMagic64) {
        if (cpu != kCpuX86_64)
            return Bad("unsupported cpu type");
        m_Kind = MACHO_X64;
    } else if (magic == kMagic32) {
        if (cpu != kCpuI386)
            return Bad("unsupported cpu type");
        m_Kind = MACHO_X86;
    } else {
        return Bad("Unknown magic type");
    }

    const uint32_t fileType = ReadU32(12);
    if (fileType >= 32 || !((kAcceptedFileTypes >> fileType) & 1))
        return Bad("Unsupported filetype in header");

    const uint32_t commandCount = ReadU32(16);
    uint64_t command = m_Kind == MACHO_X64 ? 32 : 28;
    for (uint32_t i = 0; i < commandCount; ++i) {
        // The command's own header has to be readable before its size is.
        if (command > bufferLength || bufferLength - command < kLoadCommandHeader)
            return Bad("file to small in load commands");
        const uint32_t type = ReadU32(command);
        const uint32_t size = ReadU32(command + 4);
        if (size > bufferLength - command)
            return Bad("file to small in load commands");
        // A command shorter than its own header would never move the walk on.
        if (size < kLoadCommandHeader)
            return Bad("bad load command size");
        if (type == kSegment32) {
            if (!ParseSegment(command, size, kSegment32Layout))
                return false;
        } else if (type == kSegment64) {
            if (!ParseSegment(command, size, kSegment64Layout))
                return false;
        }
        command += size;
    }

    if (!Rebase())
        return false;
    if (m_CodeSections.empty())
        return Bad("Resource-only executables are not yet supported");

    std::stable_sort(m_CodeSections.data(), m_CodeSections.data() + m_CodeSections.size(), ByOffset);
    ReduceLength(m_FileEnd);
    // The scan and the walk read every code section's bytes.
    for (uint64_t i = 0; i < m_CodeSections.size(); ++i) {
        const CodeSection& s = m_CodeSections[i];
        if (uint64_t(s.fileOffset) + s.size > length())
            return Bad("code section outside file");
    }
    return Good();
}

bool DisassemblerMacho::ParseSegment(uint64_t command, uint32_t commandSize, const SegmentLayout& layout)
{
    if (m_Kind != layout.kind)
        return Bad(layout.unsupported);
    if (commandSize < layout.commandSize)
        return Bad(layout.badCommand);
    const uint32_t sectionCount = ReadU32(command + layout.sectionCountAt);
    if (layout.skipsEmptySegments && sectionCount == 0)
        return true;
    // The four segment words (address, size, file offset, file size) and the
    // section address and size are of the file class's width.
    const uint64_t vmaddr = ReadWord(command + 24, layout.wordSize);
    const uint64_t vmsize = ReadWord(command + 24 + layout.wordSize, layout.wordSize);
    const uint64_t fileoff = ReadWord(command + 24 + 2 * layout.wordSize, layout.wordSize);
    const uint64_t filesize = ReadWord(command + 24 + 3 * layout.wordSize, layout.wordSize);
    if (vmsize > 0xFFFFFFFFu || fileoff > 0xFFFFFFFFu || filesize > 0xFFFFFFFFu)
        return Bad("overflow");
    Segment segment = {vmaddr, uint32_t(vmsize), uint32_t(fileoff), uint32_t(filesize)};
    if (!m_Segments.push_back(segment))
        return Bad("Out of memory");
    const uint32_t segmentEnd = segment.fileOffset + segment.fileSize;
    m_FileEnd = std::max(m_FileEnd, segmentEnd);
    if (segmentEnd > length())
        return Bad("segment too large");

    if (commandSize < layout.commandSize + uint64_t(layout.sectionSize) * sectionCount)
        return Bad("sections too small");
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint64_t section = command + layout.commandSize + uint64_t(layout.sectionSize) * i;
        if ((ReadU32(section + layout.sectionFlagsAt) & kCodeFlagsMask) != kCodeFlags)
            continue;
        const uint64_t addr = ReadWord(section + 32, layout.wordSize);
        const uint64_t size = ReadWord(section + 32 + layout.wordSize, layout.wordSize);
        if (size > 0xFFFFFFFFu)
            return Bad("overflow");
        if (addr < vmaddr || addr - vmaddr > vmsize || size > vmsize - (addr - vmaddr))
            return Bad("section larger than segment");
        CodeSection code = {addr, uint32_t(size), ReadU32(section + 32 + 2 * layout.wordSize)};
        if (!m_CodeSections.push_back(code))
            return Bad("Out of memory");
    }
    return true;
}

uint64_t DisassemblerMacho::ReadWord(uint64_t offset, uint32_t wordSize) const
{
    return wordSize == 8 ? ReadU64(offset) : ReadU32(offset);
}

bool DisassemblerMacho::Rebase()
{
    if (m_Segments.empty())
        return true;
    uint64_t lowest = m_Segments[0].address;
    for (uint64_t i = 1; i < m_Segments.size(); ++i)
        lowest = std::min(lowest, m_Segments[i].address);
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        Segment& s = m_Segments[i];
        s.address -= lowest;
        if (s.address > 0xFFFFFFFFu - s.size)
            return Bad("overflow");
    }
    // Code sections lie inside their segments, so none is below the lowest.
    for (uint64_t i = 0; i < m_CodeSections.size(); ++i)
        m_CodeSections[i].address -= lowest;
    return true;
}

const DisassemblerMacho::Segment* DisassemblerMacho::SegmentOfFileOffset(uint64_t offset) const
{
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const Segment& s = m_Segments[i];
        if (s.fileOffset <= offset && offset < uint64_t(s.fileOffset) + s.fileSize)
            return &s;
    }
    return nullptr;
}

uint32_t DisassemblerMacho::BaseRVA(uint64_t offset) const
{
    const Segment* s = SegmentOfFileOffset(offset);
    if (!s)
        return 0;
    return static_cast<uint32_t>(offset - s->fileOffset + s->address);
}

bool DisassemblerMacho::BuildSegmentRanges()
{
    m_SegmentRanges.reset();
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const Segment& s = m_Segments[i];
        if (s.size == 0)
            continue;
        const Range range = {s.address, s.address + s.size};
        if (!m_SegmentRanges.push_back(range))
            return false;
    }
    Range* const first = m_SegmentRanges.data();
    Range* const last = first + m_SegmentRanges.size();
    std::sort(first, last, [](const Range& a, const Range& b) { return a.begin < b.begin; });
    uint64_t kept = 0;
    for (Range* r = first; r != last; ++r) {
        if (kept > 0 && r->begin <= first[kept - 1].end) {
            first[kept - 1].end = std::max(first[kept - 1].end, r->end);
        } else {
            first[kept++] = *r;
        }
    }
    m_MergedRangeCount = kept;
    return true;
}

bool DisassemblerMacho::TargetInSegment(uint32_t target) const
{
    // The last range starting at or below the target is the only candidate.
    const Range* const first = m_SegmentRanges.data();
    const Range* const last = first + m_MergedRangeCount;
    const Range* r =
        std::upper_bound(first, last, uint64_t(target), [](uint64_t t, const Range& range) { return t < range.begin; });
    return r != first && target < (r - 1)->end;
}

int64_t DisassemblerMacho::RVAToFileOffset(uint32_t rva) const
{
    const Segment* s = SegmentOfRVA(rva);
    if (!s || rva - s->address >= s->fileSize) {
        LogMessage message(LogLevel_WARNING);
        message << "RVAToFileOffset reached invalid point";
        return -1;
    }
    return int64_t(s->fileOffset) + int64_t(rva - s->address);
}

uint32_t DisassemblerMacho::FileOffsetToRVA(uint32_t offset) const
{
    return BaseRVA(offset);
}

const DisassemblerMacho::Segment* DisassemblerMacho::SegmentOfRVA(uint32_t rva) const
{
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const Segment& s = m_Segments[i];
        if (s.address <= rva && rva < s.address + s.size)
            return &s;
    }
    return nullptr;
}

bool DisassemblerMacho::RVAInSegment(uint32_t rva) const
{
    return SegmentOfRVA(rva) != nullptr;
}

const DisassemblerMacho::CodeSection* DisassemblerMacho::CodeSectionAtOrAfter(uint32_t offset) const
{
    for (uint64_t i = 0; i < m_CodeSections.size(); ++i) {
        if (m_CodeSections[i].fileOffset >= offset)
            return &m_CodeSections[i];
    }
    return nullptr;
}

bool DisassemblerMacho::FindReferences(DisassembledProgram* program)
{
    program->set_image_base(0);
    m_Rel32Rvas.reset();
    if (!BuildSegmentRanges())
        return false;
    // Code sections of a linked file never overlap; more bytes to scan than
    // the file holds means sections stacked on each other to make the scan
    // run for ever.
    uint64_t scanned = 0;
    for (uint64_t i = 0; i < m_CodeSections.size(); ++i) {
        scanned += m_CodeSections[i].size;
        if (scanned > length())
            return false;
        if (!ScanCodeSection(m_CodeSections[i]))
            return false;
    }
    std::sort(m_Rel32Rvas.data(), m_Rel32Rvas.data() + m_Rel32Rvas.size());
    return true;
}

bool DisassemblerMacho::ScanCodeSection(const CodeSection& section)
{
    if (section.size == 0)
        return true;
    const uint32_t sectionRva = BaseRVA(section.fileOffset);
    const uint8_t* const begin = OffsetToPointer(section.fileOffset);
    const uint8_t* const end = begin + section.size;
    return ScanX86Rel32Operands(begin, end, m_Kind == MACHO_X64, [&](const uint8_t* operand) {
        const uint32_t rva = sectionRva + static_cast<uint32_t>(operand - begin);
        if (!TargetInSegment(rva + ReadLe32(operand) + 4))
            return kOperandPassed;
        return m_Rel32Rvas.push_back(rva) ? kOperandKept : kOperandFailed;
    });
}

bool DisassemblerMacho::EmitByteRange(DisassembledProgram* program, uint64_t from, uint64_t to)
{
    for (uint64_t f = from; f < to; ++f) {
        if (!program->EmitByte(*OffsetToPointer(static_cast<size_t>(f))))
            return false;
    }
    return true;
}

bool DisassemblerMacho::ParseFile(DisassembledProgram* program)
{
    m_Rel32Cursor = 0;
    const uint64_t rel32Count = m_Rel32Rvas.size();
    uint64_t f = 0;
    uint64_t next = 0; // sections are sorted, so the search only moves forward
    while (f < length()) {
        while (next < m_CodeSections.size() && m_CodeSections[next].fileOffset < f)
            ++next;
        if (next == m_CodeSections.size())
            return EmitByteRange(program, f, length());
        const CodeSection& section = m_CodeSections[next];
        // An empty section would be found again at the same place for ever.
        if (section.size == 0)
            return false;
        if (!EmitByteRange(program, f, section.fileOffset))
            return false;
        f = section.fileOffset;
        const uint32_t base = BaseRVA(f);
        if (!program->EmitOrigin(base))
            return false;
        const uint64_t sectionEnd = f + section.size;
        for (uint64_t p = f; p < sectionEnd;) {
            const uint32_t rva = base + static_cast<uint32_t>(p - f);
            while (m_Rel32Cursor < rel32Count && m_Rel32Rvas[m_Rel32Cursor] < rva)
                ++m_Rel32Cursor;
            const bool rel32 = m_Rel32Cursor < rel32Count && m_Rel32Rvas[m_Rel32Cursor] == rva;
            if (!EmitRel32OrByte(program, rel32, rva, sectionEnd, &p))
                return false;
        }
        f = sectionEnd;
    }
    return true;
}

} // namespace deltapatch
