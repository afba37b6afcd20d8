#include "disassembler_win32.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "disassembledprogram.h"
#include "littleendian.h"
#include "logmessage.h"
#include "x86rel32scan.h"

namespace deltapatch {

namespace {

const uint16_t kPe32Magic = 0x10B;
const uint16_t kPe32PlusMagic = 0x20B;
const uint64_t kSectionEntrySize = 40;

bool NameIsText(const char name[8])
{
    // Compared as a string: ".text" and its terminator.
    return std::memcmp(name, ".text", 6) == 0;
}

} // namespace

DisassemblerWin32::DisassemblerWin32(const void* start, size_t length) : Disassembler(start, length) {}

DisassemblerWin32::~DisassemblerWin32() = default;

bool DisassemblerWin32::ParseHeader()
{
    const uint64_t bufferLength = static_cast<uint64_t>(end() - start());
    const uint8_t* const file = start();
    if (length() < 64)
        return Bad("Too small");
    if (file[0] != 'M' || file[1] != 'Z')
        return Bad("Not MZ");
    const uint64_t pe = ReadU32(60);
    if (pe >= bufferLength || pe == 0 || bufferLength - pe <= 24)
        return Bad("Bad offset to PE header");
    if (pe % 8 != 0)
        return Bad("Misaligned PE header");
    if (file[pe] != 'P' || file[pe + 1] != 'E' || file[pe + 2] != 0 || file[pe + 3] != 0)
        return Bad("no PE signature");

    m_Machine = ReadLe16(file + pe + 4);
    m_SectionCount = ReadLe16(file + pe + 6);
    m_SizeOfOptionalHeader = ReadLe16(file + pe + 20);
    m_OptionalHeader = pe + 24;
    if (m_OptionalHeader + m_SizeOfOptionalHeader >= bufferLength)
        return Bad("optional header past end of file");
    if (m_SizeOfOptionalHeader < 2)
        return Bad("optional header no magic");
    const uint8_t* const opt = file + m_OptionalHeader;
    const uint16_t magic = ReadLe16(opt);
    if (magic == kPe32Magic)
        m_Is64Bit = false;
    else if (magic == kPe32PlusMagic)
        m_Is64Bit = true;
    else
        return Bad("unrecognized magic");
    m_DataDirectoryOffset = m_Is64Bit ? 112 : 96;
    if (m_SizeOfOptionalHeader < m_DataDirectoryOffset)
        return Bad("optional header too short");

    m_SizeOfCode = ReadLe32(opt + 4);
    m_SizeOfInitializedData = ReadLe32(opt + 8);
    m_SizeOfUninitializedData = ReadLe32(opt + 12);
    m_BaseOfCode = ReadLe32(opt + 20);
    m_BaseOfData = m_Is64Bit ? 0 : ReadLe32(opt + 24);
    m_ImageBase = m_Is64Bit ? ReadLe64(opt + 24) : ReadLe32(opt + 28);
    m_SizeOfImage = ReadLe32(opt + 56);
    m_NumberOfRvaAndSizes = ReadLe32(opt + (m_Is64Bit ? 108 : 92));

    struct
    {
        uint32_t index;
        ImageDataDirectory* directory;
    } const directories[] = {{0, &m_ExportTable},         {1, &m_ImportTable},
                             {2, &m_ResourceTable},       {3, &m_ExceptionTable},
                             {5, &m_BaseRelocationTable}, {11, &m_BoundImportTable},
                             {12, &m_ImportAddressTable}, {13, &m_DelayImportDescriptor},
                             {14, &m_ClrRuntimeHeader}};
    for (const auto& entry : directories) {
        if (!ReadDataDirectory(entry.index, entry.directory))
            return Bad("malformed data directory");
    }

    if (!ReadSections(m_OptionalHeader + m_SizeOfOptionalHeader))
        return false;

    if (m_Is64Bit && !SupportsPe32Plus())
        return Bad("64 bit executables are not supported by this disassembler");
    if (!m_Is64Bit && SupportsPe32Plus())
        return Bad("32 bit executables are not supported by this disassembler");
    if (!m_HasTextSection)
        return Bad("Resource-only executables are not yet supported");
    return Good();
}

bool DisassemblerWin32::ReadDataDirectory(uint32_t index, ImageDataDirectory* directory)
{
    directory->rva = 0;
    directory->size = 0;
    if (m_NumberOfRvaAndSizes <= index)
        return true;
    const uint64_t bufferLength = static_cast<uint64_t>(end() - start());
    const uint64_t offset = m_DataDirectoryOffset + 8 * uint64_t(index);
    if (offset >= m_SizeOfOptionalHeader)
        return Bad("number of data directories inconsistent");
    const uint64_t at = m_OptionalHeader + offset;
    if (at + 8 > bufferLength)
        return Bad("data directory outside image");
    directory->rva = ReadU32(at);
    directory->size = ReadU32(at + 4);
    if (directory->size > m_SizeOfImage)
        return Bad("data directory size too big");
    return true;
}

bool DisassemblerWin32::ReadSections(uint64_t table)
{
    const uint64_t bufferLength = static_cast<uint64_t>(end() - start());
    m_Sections.reset();
    m_HasTextSection = false;
    if (table > bufferLength || kSectionEntrySize * m_SectionCount > bufferLength - table)
        return Bad("section table outside image");
    uint64_t fileEnd = 0;
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const uint8_t* entry = OffsetToPointer(static_cast<size_t>(table + kSectionEntrySize * i));
        PeSection section;
        std::memcpy(section.name, entry, 8);
        section.virtualSize = ReadLe32(entry + 8);
        section.virtualAddress = ReadLe32(entry + 12);
        section.sizeOfRawData = ReadLe32(entry + 16);
        section.pointerToRawData = ReadLe32(entry + 20);
        // Raw data is read by the scan and the walk; a section without any is
        // never read, whatever its pointer says.
        if (section.sizeOfRawData != 0 && uint64_t(section.pointerToRawData) + section.sizeOfRawData > bufferLength)
            return Bad("section outside image");
        if (NameIsText(section.name))
            m_HasTextSection = true;
        fileEnd = std::max(fileEnd, uint64_t(section.pointerToRawData) + section.sizeOfRawData);
        if (!m_Sections.push_back(section))
            return Bad("Out of memory");
    }
    if (fileEnd < SIZE_MAX)
        ReduceLength(static_cast<size_t>(fileEnd));
    return true;
}

bool DisassemblerWin32::RVAToFileOffset(uint32_t rva, uint64_t* offset) const
{
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const PeSection& s = m_Sections[i];
        const uint32_t delta = rva - s.virtualAddress;
        if (delta < s.virtualSize) {
            if (delta >= s.sizeOfRawData)
                return false;
            *offset = uint64_t(s.pointerToRawData) + delta;
            return true;
        }
    }
    if (rva == 0 || rva == 2) {
        *offset = rva;
        return true;
    }
    LogMessage message(LogLevel_ERROR);
    message << "REACHED UNREACHABLE";
    return false;
}

uint32_t DisassemblerWin32::FileOffsetToRVA(uint64_t offset) const
{
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const PeSection& s = m_Sections[i];
        if (offset >= s.pointerToRawData && offset - s.pointerToRawData < s.sizeOfRawData)
            return s.virtualAddress + static_cast<uint32_t>(offset - s.pointerToRawData);
    }
    return 0;
}

const uint8_t* DisassemblerWin32::RVAToPointer(uint32_t rva) const
{
    uint64_t offset = 0;
    if (!RVAToFileOffset(rva, &offset) || offset >= length())
        return nullptr;
    return OffsetToPointer(static_cast<size_t>(offset));
}

const PeSection* DisassemblerWin32::RVAToSection(uint32_t rva) const
{
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const PeSection& s = m_Sections[i];
        if (rva - s.virtualAddress < s.virtualSize)
            return &s;
    }
    return nullptr;
}

std::string DisassemblerWin32::SectionName(const PeSection* section)
{
    if (!section)
        return "<none>";
    return std::string(section->name, strnlen(section->name, sizeof(section->name)));
}

const PeSection* DisassemblerWin32::SectionAtOrAfterOffset(uint64_t offset) const
{
    const PeSection* best = nullptr;
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const PeSection& s = m_Sections[i];
        if (s.pointerToRawData >= offset && (!best || s.pointerToRawData < best->pointerToRawData))
            best = &s;
    }
    return best;
}

bool DisassemblerWin32::RVAToFileOffsetByVirtualRange(uint32_t rva, uint64_t* offset) const
{
    const PeSection* s = RVAToSection(rva);
    if (!s)
        return false;
    *offset = uint64_t(s->pointerToRawData) + (rva - s->virtualAddress);
    return true;
}

std::string DisassemblerWin32::DescribeRVA(uint32_t rva) const
{
    const PeSection* s = RVAToSection(rva);
    std::ostringstream out;
    out << rva << " (" << SectionName(s) << "+" << std::hex << (s ? rva - s->virtualAddress : rva) << ")";
    return out.str();
}

bool DisassemblerWin32::ParseRelocsSorted()
{
    return ParseRelocs();
}

bool DisassemblerWin32::ParseRelocs()
{
    m_Abs32Rvas.reset();
    const ImageDataDirectory& directory = m_BaseRelocationTable;
    if (directory.size == 0)
        return true;
    const uint64_t bufferLength = static_cast<uint64_t>(end() - start());
    uint64_t offset = 0;
    if (!RVAToFileOffset(directory.rva, &offset) || offset > bufferLength || directory.size > bufferLength - offset)
        return Bad(".relocs outside image");
    if (directory.size > 8) {
        const uint64_t directoryEnd = offset + directory.size;
        uint64_t block = offset;
        // Every block header read lies before the directory's end, which is
        // inside the buffer.
        for (;;) {
            const uint32_t page = ReadU32(block);
            const uint32_t blockSize = ReadU32(block + 4);
            if (blockSize < 8 || blockSize % 4 != 0)
                return Bad("unreasonable relocs block");
            if (blockSize > bufferLength - block)
                return Bad(".relocs block outside image");
            const uint8_t* entries = OffsetToPointer(static_cast<size_t>(block + 8));
            const uint32_t count = (blockSize - 8) / 2;
            for (uint32_t i = 0; i < count; ++i) {
                const uint16_t entry = ReadLe16(entries + 2 * i);
                const uint32_t type = entry >> 12;
                if (type == 0)
                    continue;
                if (type != RelocationType())
                    return Bad("unknown type of reloc");
                if (!m_Abs32Rvas.push_back(page + (entry & 0xFFFu)))
                    return Bad("Out of memory");
            }
            block += blockSize;
            if (block + 8 >= directoryEnd)
                break;
        }
    }
    std::sort(m_Abs32Rvas.data(), m_Abs32Rvas.data() + m_Abs32Rvas.size());
    return true;
}

bool DisassemblerWin32::SectionsInFileOrder(IndexList* order) const
{
    // Picking, again and again, the section with raw data that starts first at
    // or after the current offset (the earlier one in the table on a tie) is
    // a walk over the sections sorted stably by their raw data's start that
    // takes each one starting at or after the current offset.
    IndexList sorted;
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        if (m_Sections[i].sizeOfRawData != 0 && !sorted.push_back(static_cast<uint32_t>(i)))
            return false;
    }
    std::stable_sort(sorted.data(), sorted.data() + sorted.size(), [this](uint32_t a, uint32_t b) {
        return m_Sections[a].pointerToRawData < m_Sections[b].pointerToRawData;
    });
    order->reset();
    uint64_t current = 0;
    for (uint64_t i = 0; i < sorted.size() && current < length(); ++i) {
        const PeSection& s = m_Sections[sorted[i]];
        if (s.pointerToRawData < current)
            continue;
        if (!order->push_back(sorted[i]))
            return false;
        current = uint64_t(s.pointerToRawData) + s.sizeOfRawData;
    }
    return true;
}

bool DisassemblerWin32::FindReferences(DisassembledProgram* program)
{
    program->set_image_base(m_ImageBase);
    if (!ParseRelocs())
        return false;
    IndexList order;
    if (!SectionsInFileOrder(&order))
        return false;
    m_Rel32Rvas.reset();
    for (uint64_t i = 0; i < order.size(); ++i) {
        const PeSection& s = m_Sections[order[i]];
        if (strncmp(s.name, ".text", sizeof(s.name)) == 0 && !ScanRel32(s))
            return false;
    }
    std::sort(m_Rel32Rvas.data(), m_Rel32Rvas.data() + m_Rel32Rvas.size());
    return true;
}

bool DisassemblerWin32::ScanRel32(const PeSection& section)
{
    const ImageDataDirectory& relocs = m_BaseRelocationTable;
    const uint32_t r0 = FileOffsetToRVA(section.pointerToRawData);
    const uint64_t r1 = uint64_t(r0) + section.virtualSize;
    const uint8_t* const begin = OffsetToPointer(section.pointerToRawData);
    const uint8_t* const end = begin + section.sizeOfRawData;
    const uint32_t* const abs32Begin = m_Abs32Rvas.data();
    const uint32_t* const abs32End = abs32Begin + m_Abs32Rvas.size();
    const uint8_t* p = begin;
    while (p < end) {
        const uint32_t rva = r0 + static_cast<uint32_t>(p - begin);
        if (rva == relocs.rva && relocs.size != 0) {
            // The directory is regenerated, never scanned.
            if (relocs.size >= static_cast<uint64_t>(end - p))
                break;
            p += relocs.size;
            continue;
        }
        bool ripRelative = false;
        const uint8_t* operand = X86Rel32Operand(p, static_cast<uint64_t>(end - p), m_Is64Bit, &ripRelative);
        if (!operand) {
            ++p;
            continue;
        }
        const uint32_t r = r0 + static_cast<uint32_t>(operand - begin);
        const uint32_t from = r >= 3 ? r - 3 : 0;
        const uint32_t* a = std::lower_bound(abs32Begin, abs32End, from);
        if (a != abs32End && uint64_t(*a) < uint64_t(r) + 4) {
            // The operand would overlap an absolute address: go on behind it.
            const uint64_t resume = uint64_t(*a) + 4 - r0;
            if (resume >= section.sizeOfRawData)
                break;
            p = begin + resume;
            continue;
        }
        const uint32_t target = r + 4 + ReadLe32(operand);
        const bool inImage = target < m_SizeOfImage;
        const bool inSection = ripRelative || (target >= r0 && target < r1);
        if (inImage && inSection) {
            if (!m_Rel32Rvas.push_back(r))
                return false;
            p = operand + 4;
        } else {
            ++p;
        }
    }
    return true;
}

bool DisassemblerWin32::ParseFile(DisassembledProgram* program)
{
    IndexList order;
    if (!SectionsInFileOrder(&order))
        return false;
    const ImageDataDirectory& relocs = m_BaseRelocationTable;
    const uint64_t abs32Count = m_Abs32Rvas.size();
    const uint64_t rel32Count = m_Rel32Rvas.size();
    uint64_t abs32Cursor = 0;
    uint64_t rel32Cursor = 0;
    uint64_t position = 0;
    for (uint64_t i = 0; i < order.size(); ++i) {
        const PeSection& s = m_Sections[order[i]];
        for (; position < s.pointerToRawData; ++position) {
            if (!program->EmitByte(*OffsetToPointer(static_cast<size_t>(position))))
                return false;
        }
        const uint64_t begin = s.pointerToRawData;
        const uint64_t end = begin + s.sizeOfRawData;
        const uint32_t r0 = FileOffsetToRVA(begin);
        if (!program->EmitOrigin(r0))
            return false;
        uint64_t p = begin;
        while (p < end) {
            const uint32_t rva = r0 + static_cast<uint32_t>(p - begin);
            if (rva == relocs.rva) {
                if (!program->EmitPeRelocs())
                    return false;
                if (relocs.size != 0) {
                    p += relocs.size;
                    continue;
                }
            }
            while (abs32Cursor < abs32Count && m_Abs32Rvas[abs32Cursor] < rva)
                ++abs32Cursor;
            while (rel32Cursor < rel32Count && m_Rel32Rvas[rel32Cursor] < rva)
                ++rel32Cursor;
            if (abs32Cursor < abs32Count && m_Abs32Rvas[abs32Cursor] == rva) {
                // A word that would run past the section's raw data is not read.
                if (end - p < 4)
                    return false;
                const uint32_t target = ReadU32(p) - static_cast<uint32_t>(m_ImageBase);
                if (!program->EmitAbs32(program->FindOrMakeAbs32Label(target)))
                    return false;
                p += 4;
            } else {
                const bool rel32 = rel32Cursor < rel32Count && m_Rel32Rvas[rel32Cursor] == rva;
                if (!EmitRel32OrByte(program, rel32, rva, end, &p))
                    return false;
            }
        }
        position = end;
    }
    return true;
}

} // namespace deltapatch
