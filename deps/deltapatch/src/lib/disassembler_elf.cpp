#include "disassembler_elf.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "disassembledprogram.h"
#include "littleendian.h"
#include "logmessage.h"

namespace deltapatch {

namespace {

void LogNote(const char* text, uint32_t type)
{
    LogMessage message(LogLevel_DEBUG);
    message << text << type;
}

const uint32_t kLoadableSegment = 1;

// A word of the file's class: an address, offset or size.
template <class Layout> uint64_t ReadWord(const uint8_t* p)
{
    return sizeof(typename Layout::Word) == 8 ? ReadLe64(p) : ReadLe32(p);
}

// The file header's fields that the parser reads.
struct HeaderFields
{
    uint16_t type, machine, shentsize, phnum, shnum;
    uint32_t version;
    uint64_t phoff, shoff;
};

template <class Layout> HeaderFields ReadHeader(const uint8_t* h)
{
    HeaderFields f;
    f.type = ReadLe16(h + 16);
    f.machine = ReadLe16(h + 18);
    f.version = ReadLe32(h + 20);
    f.phoff = ReadWord<Layout>(h + Layout::kPhoffAt);
    f.shoff = ReadWord<Layout>(h + Layout::kShoffAt);
    f.phnum = ReadLe16(h + Layout::kPhnumAt);
    f.shentsize = ReadLe16(h + Layout::kShentsizeAt);
    f.shnum = ReadLe16(h + Layout::kShnumAt);
    return f;
}

template <class Layout> ElfSectionHeader ReadSection(const uint8_t* s)
{
    ElfSectionHeader h;
    h.type = ReadLe32(s + 4);
    h.addr = ReadWord<Layout>(s + Layout::kSectionAddrAt);
    h.offset = ReadWord<Layout>(s + Layout::kSectionOffsetAt);
    h.size = ReadWord<Layout>(s + Layout::kSectionSizeAt);
    h.entsize = ReadWord<Layout>(s + Layout::kSectionEntsizeAt);
    return h;
}

template <class Layout> ElfProgramHeader ReadSegment(const uint8_t* p)
{
    ElfProgramHeader h;
    h.type = ReadLe32(p);
    h.offset = ReadWord<Layout>(p + Layout::kSegmentOffsetAt);
    h.vaddr = ReadWord<Layout>(p + Layout::kSegmentVaddrAt);
    h.filesz = ReadWord<Layout>(p + Layout::kSegmentFileszAt);
    h.memsz = ReadWord<Layout>(p + Layout::kSegmentMemszAt);
    return h;
}

// A table lies inside when its end does not pass the length, and the
// offset plus the entry count stays below it as well.
bool TableInside(uint64_t offset, uint64_t count, uint64_t entry, uint64_t length)
{
    if (offset > length || count * entry > length - offset)
        return false;
    return offset + count < length;
}

} // namespace

template <class Layout>
DisassemblerElf<Layout>::DisassemblerElf(const void* start, size_t length) : Disassembler(start, length)
{
}

template <class Layout> DisassemblerElf<Layout>::~DisassemblerElf()
{
    ClearRel32Locations();
}

template <class Layout> void DisassemblerElf<Layout>::ClearRel32Locations()
{
    for (uint64_t i = 0; i < m_Rel32Locations.size(); ++i)
        m_Rel32Locations[i]->~TypedRVA();
    m_Rel32Locations.reset();
    for (uint64_t i = 0; i < m_LocationBlocks.size(); ++i)
        delete[] m_LocationBlocks[i];
    m_LocationBlocks.reset();
    m_BlockUsed = 0;
}

template <class Layout> void* DisassemblerElf<Layout>::AllocateLocation(size_t bytes)
{
    const size_t kBlock = 64 * 1024;
    const size_t align = alignof(std::max_align_t);
    bytes = (bytes + align - 1) / align * align;
    if (bytes > kBlock)
        return nullptr;
    if (m_LocationBlocks.empty() || kBlock - m_BlockUsed < bytes) {
        uint8_t* block = new (std::nothrow) uint8_t[kBlock];
        if (!block)
            return nullptr;
        if (!m_LocationBlocks.push_back(block)) {
            delete[] block;
            return nullptr;
        }
        m_BlockUsed = 0;
    }
    void* place = m_LocationBlocks.back() + m_BlockUsed;
    m_BlockUsed += bytes;
    return place;
}

template <class Layout> bool DisassemblerElf<Layout>::ParseHeader()
{
    const uint64_t length = this->length();
    if (length < Layout::kHeaderSize)
        return Bad("Too small");
    const uint8_t* h = start();
    if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
        return Bad("No Magic Number");
    HeaderFields f = ReadHeader<Layout>(h);
    if ((f.type & ~1u) != 2)
        return Bad("Not an executable file or shared library");
    if (f.machine != ElfMachine())
        return Bad("Not a supported architecture");
    if (f.version != 1)
        return Bad("Unknown file version");
    if (f.shentsize != Layout::kSectionHeaderSize)
        return Bad("Unexpected section header size");
    if (f.shoff >= length)
        return Bad("Out of bounds section header table offset");
    if (!TableInside(f.shoff, f.shnum, Layout::kSectionHeaderSize, length))
        return Bad("Out of bounds section header table");
    if (f.phoff >= length)
        return Bad("Out of bounds program header table offset");
    if (!TableInside(f.phoff, f.phnum, Layout::kProgramHeaderSize, length))
        return Bad("Out of bounds program header table");

    m_Phnum = f.phnum;
    m_Shnum = f.shnum;
    m_Phoff = static_cast<Word>(f.phoff);
    m_Shoff = static_cast<Word>(f.shoff);
    m_Sections.reset();
    m_Segments.reset();
    for (uint32_t i = 0; i < f.shnum; ++i) {
        ElfSectionHeader s = ReadSection<Layout>(h + f.shoff + uint64_t(i) * Layout::kSectionHeaderSize);
        if (!m_Sections.push_back(s))
            return Bad("Out of memory");
    }
    for (uint32_t i = 0; i < f.phnum; ++i) {
        ElfProgramHeader p = ReadSegment<Layout>(h + f.phoff + uint64_t(i) * Layout::kProgramHeaderSize);
        if (!m_Segments.push_back(p))
            return Bad("Out of memory");
    }
    ComputeFileExtent();
    return Good();
}

template <class Layout> void DisassemblerElf<Layout>::ComputeFileExtent()
{
    // Sums wrap at the class's word width, as the file's own fields do.
    Word extent = static_cast<Word>(m_Phoff + Word(Layout::kProgramHeaderSize) * m_Phnum);
    extent = std::max(extent, static_cast<Word>(m_Shoff + Word(Layout::kSectionHeaderSize) * m_Shnum));
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        if (s.type == SHT_NOBITS_)
            continue;
        extent = std::max(extent, static_cast<Word>(Word(s.offset) + Word(s.size)));
    }
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const ElfProgramHeader& p = m_Segments[i];
        extent = std::max(extent, static_cast<Word>(Word(p.offset) + Word(p.filesz)));
    }
    if (uint64_t(extent) < SIZE_MAX)
        ReduceLength(static_cast<size_t>(extent));
}

template <class Layout> bool DisassemblerElf<Layout>::RVAToFileOffset(uint32_t rva, uint64_t* offset) const
{
    if (m_Indexed) {
        uint32_t i = 0;
        if (!m_Mapped.Find(rva, &i))
            return false;
        const ElfProgramHeader& p = m_Segments[i];
        *offset = static_cast<Word>(Word(rva) - static_cast<Word>(p.vaddr) + Word(p.offset));
        return true;
    }
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const ElfProgramHeader& p = m_Segments[i];
        const Word vaddr = static_cast<Word>(p.vaddr);
        if (vaddr <= rva && Word(rva) < static_cast<Word>(vaddr + Word(p.memsz))
            && static_cast<Word>(Word(rva) - vaddr) < Word(p.filesz)) {
            *offset = static_cast<Word>(Word(rva) - vaddr + Word(p.offset));
            return true;
        }
    }
    return false;
}

template <class Layout> bool DisassemblerElf<Layout>::FileOffsetToRVA(uint64_t offset, uint32_t* rva) const
{
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        if (s.type == SHT_NOBITS_)
            continue;
        if (offset >= s.offset && offset - s.offset < s.size) {
            *rva = static_cast<uint32_t>(s.addr + (offset - s.offset));
            return true;
        }
    }
    return false;
}

template <class Layout> bool DisassemblerElf<Layout>::RVAsToFileOffsets(OffsetList* offsets) const
{
    offsets->reset();
    for (uint64_t i = 0; i < m_Rel32Locations.size(); ++i) {
        uint64_t offset = 0;
        if (!RVAToFileOffset(m_Rel32Locations[i]->rva(), &offset) || !offsets->push_back(offset))
            return false;
    }
    return true;
}

template <class Layout> bool DisassemblerElf<Layout>::RVAInSection(uint32_t rva) const
{
    uint64_t offset = 0;
    if (!RVAToFileOffset(rva, &offset))
        return false;
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        if ((s.type == SHT_PROGBITS_ || s.type == SHT_REL_) && offset >= s.offset && offset - s.offset < s.size)
            return true;
    }
    return false;
}

template <class Layout> bool DisassemblerElf<Layout>::IsInLoadableSegment(uint32_t rva) const
{
    if (m_Indexed)
        return m_Loadable.Contains(rva);
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const ElfProgramHeader& p = m_Segments[i];
        if (p.type != kLoadableSegment)
            continue;
        const Word vaddr = static_cast<Word>(p.vaddr);
        if (vaddr <= rva && Word(rva) < static_cast<Word>(vaddr + Word(p.memsz)))
            return true;
    }
    return false;
}

template <class Layout> bool DisassemblerElf<Layout>::SectionInBounds(const ElfSectionHeader& section) const
{
    return section.offset <= length() && section.size <= length() - section.offset;
}

template <class Layout> uint64_t DisassemblerElf<Layout>::RelocationEntryCount(const ElfSectionHeader& section) const
{
    if (section.entsize == 0)
        return 0;
    return std::min(section.size / section.entsize, section.size / Layout::kRelocationSize);
}

template <class Layout>
bool DisassemblerElf<Layout>::EmitFileBytes(DisassembledProgram* program, uint64_t offset, uint64_t count)
{
    if (offset > length() || count > length() - offset || count > 0xFFFFFFFFu)
        return false;
    return program->EmitBytes(OffsetToPointer(static_cast<size_t>(offset)), static_cast<uint32_t>(count));
}

template <class Layout>
bool DisassemblerElf<Layout>::EmitRestOfSection(DisassembledProgram* program, const ElfSectionHeader& section,
                                                uint64_t consumed)
{
    if (consumed >= section.size)
        return true;
    return EmitFileBytes(program, section.offset + consumed, section.size - consumed);
}

template <class Layout> bool DisassemblerElf<Layout>::AddRel32Location(TypedRVA* location)
{
    if (!location)
        return false;
    if (!m_Rel32Locations.push_back(location)) {
        location->~TypedRVA();
        return false;
    }
    return true;
}

template <class Layout> bool DisassemblerElf<Layout>::FindReferences(DisassembledProgram* program)
{
    program->set_image_base(0);
    if (!BuildIndexes())
        return false;
    CollectAbs32Locations();
    return CollectRel32Locations();
}

template <class Layout> bool DisassemblerElf<Layout>::BuildIndexes()
{
    m_Indexed = false;
    // Sections that are read never overlap in a linked file; together they
    // cannot hold more bytes than the file, or a few headers could make the
    // parser walk the same bytes thousands of times.
    uint64_t total = 0;
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        if (s.type != SHT_PROGBITS_ && s.type != SHT_REL_)
            continue;
        if (!SectionInBounds(s))
            return false;
        total += s.size;
        if (total > length())
            return false;
    }
    GrowableBuffer<ElfRangeIndex::Range, 16, 65536> ranges;
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const ElfProgramHeader& p = m_Segments[i];
        const Word vaddr = static_cast<Word>(p.vaddr);
        const Word memEnd = static_cast<Word>(vaddr + Word(p.memsz));
        ElfRangeIndex::Range r = {vaddr, p.type == kLoadableSegment && memEnd > vaddr ? memEnd : vaddr};
        if (!ranges.push_back(r))
            return false;
    }
    if (!m_Loadable.Build(ranges.data(), ranges.size()))
        return false;
    ranges.reset();
    for (uint64_t i = 0; i < m_Segments.size(); ++i) {
        const ElfProgramHeader& p = m_Segments[i];
        const Word vaddr = static_cast<Word>(p.vaddr);
        const Word memEnd = static_cast<Word>(vaddr + Word(p.memsz));
        // rva - vaddr < filesz, with the bytes past the word width counting as
        // always inside.
        const uint64_t fileEnd = Word(p.filesz) > std::numeric_limits<Word>::max() - vaddr
            ? uint64_t(std::numeric_limits<Word>::max())
            : uint64_t(vaddr + Word(p.filesz));
        ElfRangeIndex::Range r = {vaddr, memEnd > vaddr ? std::min<uint64_t>(memEnd, fileEnd) : vaddr};
        if (!ranges.push_back(r))
            return false;
    }
    if (!m_Mapped.Build(ranges.data(), ranges.size()))
        return false;
    ranges.reset();
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        ElfRangeIndex::Range r = {s.offset, s.offset};
        if (s.type == SHT_PROGBITS_ || s.type == SHT_REL_)
            r.hi = s.offset + s.size;
        if (!ranges.push_back(r))
            return false;
    }
    if (!m_RawSections.Build(ranges.data(), ranges.size()))
        return false;
    m_Indexed = true;
    return true;
}

template <class Layout> bool DisassemblerElf<Layout>::CollectAbs32Locations()
{
    m_Abs32Locations.reset();
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        if (s.type != SHT_REL_)
            continue;
        // A table outside the file is refused later, when ParseFile reaches it.
        if (!SectionInBounds(s))
            continue;
        const uint64_t count = RelocationEntryCount(s);
        for (uint64_t e = 0; e < count; ++e) {
            const uint8_t* entry = OffsetToPointer(static_cast<size_t>(s.offset + e * Layout::kRelocationSize));
            const uint64_t r_offset = ReadWord<Layout>(entry);
            const uint64_t r_info = ReadWord<Layout>(entry + sizeof(Word));
            uint32_t rva = 0;
            if (!RelocToRva(r_offset, r_info, &rva))
                continue;
            uint64_t offset = 0;
            if (!RVAToFileOffset(rva, &offset))
                continue;
            if (m_RawSections.Contains(offset) && !m_Abs32Locations.push_back(rva))
                return false;
        }
    }
    std::sort(m_Abs32Locations.data(), m_Abs32Locations.data() + m_Abs32Locations.size());
    return true;
}

template <class Layout> bool DisassemblerElf<Layout>::CollectRel32Locations()
{
    ClearRel32Locations();
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        if (s.type != SHT_PROGBITS_)
            continue;
        if (!SectionInBounds(s))
            return false;
        if (!ScanRel32InSection(s))
            return false;
    }
    // Sections mostly come in address order, and then the list is sorted.
    TypedRVA** begin = m_Rel32Locations.data();
    TypedRVA** end = begin + m_Rel32Locations.size();
    if (!std::is_sorted(begin, end, CompareByRva))
        std::stable_sort(begin, end, CompareByRva);
    return true;
}

template <class Layout> bool DisassemblerElf<Layout>::ParseFile(DisassembledProgram* program)
{
    m_Abs32Offsets.reset();
    m_Rel32Offsets.reset();
    m_Abs32Cursor = 0;
    m_Rel32Cursor = 0;
    for (uint64_t i = 0; i < m_Abs32Locations.size(); ++i) {
        uint64_t offset = 0;
        if (!RVAToFileOffset(m_Abs32Locations[i], &offset) || !m_Abs32Offsets.push_back(offset))
            return false;
    }
    for (uint64_t i = 0; i < m_Rel32Locations.size(); ++i) {
        uint64_t offset = 0;
        if (!RVAToFileOffset(m_Rel32Locations[i]->rva(), &offset) || !m_Rel32Offsets.push_back(offset))
            return false;
    }

    uint64_t position = 0;
    const uint64_t abs32Count = m_Abs32Offsets.size();
    for (uint64_t i = 0; i < m_Sections.size(); ++i) {
        const ElfSectionHeader& s = m_Sections[i];
        // No section may start past the file; every gap and run stays inside.
        if (s.offset > length())
            return false;
        if (position < s.offset) {
            if (!EmitFileBytes(program, position, s.offset - position))
                return false;
            position = s.offset;
        }
        switch (s.type) {
        case SHT_REL_:
            if (!SectionInBounds(s) || !ParseRelocationSection(s, program))
                return false;
            position = s.offset + s.size;
            break;
        case SHT_PROGBITS_:
            if (!SectionInBounds(s) || !EmitCodeSection(s, program))
                return false;
            position = s.offset + s.size;
            break;
        case SHT_NOBITS_:
        case SHT_INIT_ARRAY_:
        case SHT_FINI_ARRAY_:
            while (m_Abs32Cursor < abs32Count && m_Abs32Offsets[m_Abs32Cursor] >= s.offset
                   && m_Abs32Offsets[m_Abs32Cursor] - s.offset < s.size) {
                LogNote("Skipping relocation entry for unsupported section: ", s.type);
                ++m_Abs32Cursor;
            }
            break;
        default:
            if (m_Abs32Cursor < abs32Count && m_Abs32Offsets[m_Abs32Cursor] >= s.offset
                && m_Abs32Offsets[m_Abs32Cursor] - s.offset < s.size)
                LogNote("Relocation address in unrecognized ELF section: ", s.type);
            break;
        }
    }
    if (!EmitFileBytes(program, position, length() - position))
        return false;
    return m_Abs32Cursor == abs32Count;
}

template <class Layout>
bool DisassemblerElf<Layout>::EmitCodeSection(const ElfSectionHeader& s, DisassembledProgram* program)
{
    if (!program->EmitOrigin(static_cast<uint32_t>(s.addr)))
        return false;
    const uint64_t end = s.offset + s.size;
    const uint64_t abs32Count = m_Abs32Offsets.size();
    const uint64_t rel32Count = m_Rel32Offsets.size();
    uint64_t p = s.offset;
    while (p < end) {
        if (m_Abs32Cursor < abs32Count && m_Abs32Offsets[m_Abs32Cursor] < p)
            return false;
        while (m_Rel32Cursor < rel32Count && m_Rel32Offsets[m_Rel32Cursor] < p)
            ++m_Rel32Cursor;
        uint64_t next = end;
        if (m_Abs32Cursor < abs32Count && m_Abs32Offsets[m_Abs32Cursor] < next)
            next = m_Abs32Offsets[m_Abs32Cursor];
        if (m_Rel32Cursor < rel32Count && next > m_Rel32Offsets[m_Rel32Cursor] + 3)
            next = m_Rel32Offsets[m_Rel32Cursor];
        if (next > p) {
            if (!EmitFileBytes(program, p, next - p))
                return false;
            p = next;
            continue;
        }
        if (m_Abs32Cursor < abs32Count && m_Abs32Offsets[m_Abs32Cursor] == p) {
            // A word that would run past the section is not read.
            if (end - p < 4)
                return false;
            Label* label = program->FindOrMakeAbs32Label(ReadU32(p));
            if (!program->EmitAbs32(label))
                return false;
            ++m_Abs32Cursor;
            p += 4;
            continue;
        }
        TypedRVA* location = m_Rel32Locations[m_Rel32Cursor];
        const uint16_t size = location->OpSize();
        if (size == 0 || end - p < size)
            return false;
        const uint32_t rva = static_cast<uint32_t>(s.addr - s.offset + p);
        if (!location->EmitInstruction(program, rva + location->relative_target()))
            return false;
        p += size;
    }
    return true;
}

template class DisassemblerElf<Elf32Layout>;
template class DisassemblerElf<Elf64Layout>;

} // namespace deltapatch
