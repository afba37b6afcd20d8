#ifndef DELTAPATCH_DISASSEMBLER_ELF_H
#define DELTAPATCH_DISASSEMBLER_ELF_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "disassembler.h"
#include "elfrangeindex.h"
#include "growablebuffer.h"

namespace deltapatch {

class DisassembledProgram;

enum ElfSectionType : uint32_t {
    SHT_PROGBITS_ = 1,
    SHT_NOBITS_ = 8,
    SHT_REL_ = 9,
    SHT_INIT_ARRAY_ = 14,
    SHT_FINI_ARRAY_ = 15,
};

// A section or program header with its fields widened; arithmetic on them
// goes through the file class's own word width (the layout's Word).
struct ElfSectionHeader
{
    uint32_t type;
    uint64_t addr;
    uint64_t offset;
    uint64_t size;
    uint64_t entsize;
};

struct ElfProgramHeader
{
    uint32_t type;
    uint64_t offset;
    uint64_t vaddr;
    uint64_t filesz;
    uint64_t memsz;
};

// Word width, record sizes and the places of the fields read, in the file
// header, a section header and a program header, of an ELF class. The
// 64-bit class widens every address, offset and size to a word of its own
// (W bytes), which moves the fields behind them; its program header also
// moves the flags word up front, ahead of the offset.
template <class WordType> struct ElfLayout
{
    typedef WordType Word;
    static constexpr size_t W = sizeof(Word);
    // ident(16) type(2) machine(2) version(4) entry phoff shoff flags(4)
    // ehsize(2) phentsize(2) phnum(2) shentsize(2) shnum(2) shstrndx(2)
    static constexpr size_t kPhoffAt = 24 + W, kShoffAt = 24 + 2 * W, kPhnumAt = 32 + 3 * W;
    static constexpr size_t kShentsizeAt = kPhnumAt + 2, kShnumAt = kPhnumAt + 4, kHeaderSize = kPhnumAt + 8;
    // name(4) type(4) flags addr offset size link(4) info(4) addralign entsize
    static constexpr size_t kSectionAddrAt = 8 + W, kSectionOffsetAt = 8 + 2 * W, kSectionSizeAt = 8 + 3 * W;
    static constexpr size_t kSectionEntsizeAt = 16 + 5 * W, kSectionHeaderSize = 16 + 6 * W;
    // type(4), [flags(4) when W is 8], offset vaddr paddr filesz memsz,
    // [flags(4) when W is 4], align
    static constexpr size_t kSegmentOffsetAt = W, kSegmentVaddrAt = 2 * W, kSegmentFileszAt = 4 * W;
    static constexpr size_t kSegmentMemszAt = 5 * W, kProgramHeaderSize = 8 + 6 * W;
    // offset info, each a word
    static constexpr size_t kRelocationSize = 2 * W;
};

typedef ElfLayout<uint32_t> Elf32Layout;
typedef ElfLayout<uint64_t> Elf64Layout;

// Everything the ELF parsers share; the machine-specific parts are the
// relocation kind kept, the handling of a relocation section and the scan
// for relative branch operands.
template <class Layout> class DisassemblerElf : public Disassembler
{
public:
    typedef typename Layout::Word Word;

    // One relative operand found in a code section.
    class TypedRVA
    {
    public:
        explicit TypedRVA(uint32_t rva) : m_Rva(rva) {}
        virtual ~TypedRVA() = default;
        TypedRVA(const TypedRVA&) = delete;
        TypedRVA& operator=(const TypedRVA&) = delete;

        uint32_t rva() const { return m_Rva; }
        uint32_t relative_target() const { return m_RelativeTarget; }
        void set_relative_target(uint32_t target) { m_RelativeTarget = target; }

        // operand points at the operand's bytes, which the caller has checked.
        virtual bool ComputeTarget(const uint8_t* operand) = 0;
        virtual bool EmitInstruction(DisassembledProgram* program, uint32_t target_rva) = 0;
        virtual uint16_t OpSize() const = 0;

    private:
        uint32_t m_Rva;
        uint32_t m_RelativeTarget = 0;
    };

    static bool CompareByRva(const TypedRVA* a, const TypedRVA* b) { return a->rva() < b->rva(); }

    DisassemblerElf(const void* start, size_t length);
    ~DisassemblerElf() override;

    bool ParseHeader() override;

    virtual uint16_t ElfMachine() const = 0;
    virtual bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const = 0;
    virtual bool ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program) = 0;
    virtual bool ScanRel32InSection(const ElfSectionHeader& section) = 0;

    uint32_t SectionCount() const { return static_cast<uint32_t>(m_Sections.size()); }
    const ElfSectionHeader& SectionHeader(uint32_t i) const { return m_Sections[i]; }
    uint32_t ProgramSegmentCount() const { return static_cast<uint32_t>(m_Segments.size()); }
    const ElfProgramHeader& ProgramSegmentHeader(uint32_t i) const { return m_Segments[i]; }

    // The file offset of an rva in a segment's file part; false when it has
    // none.
    bool RVAToFileOffset(uint32_t rva, uint64_t* offset) const;
    // Routines the parsers themselves do not need, kept for tools.
    bool FileOffsetToRVA(uint64_t offset, uint32_t* rva) const;
    bool RVAsToFileOffsets(GrowableBuffer<uint64_t, 64, (uint64_t(1) << 61) - 1>* offsets) const;
    bool RVAInSection(uint32_t rva) const;

    uint64_t Abs32Count() const { return m_Abs32Locations.size(); }
    uint64_t Rel32Count() const { return m_Rel32Locations.size(); }

protected:
    typedef GrowableBuffer<uint32_t, 64, (uint64_t(1) << 61) - 1> RvaList;
    typedef GrowableBuffer<uint64_t, 64, (uint64_t(1) << 61) - 1> OffsetList;
    typedef GrowableBuffer<TypedRVA*, 64, (uint64_t(1) << 61) - 1> TypedRVAList;

    bool IsInLoadableSegment(uint32_t rva) const;
    // A location in this parser's own blocks, which a parser with hundreds of
    // thousands of them makes and releases together; null when out of memory.
    template <class T, class... Args> T* MakeLocation(Args... args)
    {
        void* place = AllocateLocation(sizeof(T));
        return place ? new (place) T(args...) : nullptr;
    }
    // Keeps a location made by MakeLocation; false only when out of memory.
    bool AddRel32Location(TypedRVA* location);
    // Whole section inside the (lowered) length.
    bool SectionInBounds(const ElfSectionHeader& section) const;
    // Entries of a relocation section, bounded by its size whatever its
    // declared entry size says.
    uint64_t RelocationEntryCount(const ElfSectionHeader& section) const;
    bool EmitFileBytes(DisassembledProgram* program, uint64_t offset, uint64_t count);
    bool EmitRestOfSection(DisassembledProgram* program, const ElfSectionHeader& section, uint64_t consumed);

    const RvaList& abs32_locations() const { return m_Abs32Locations; }

private:
    // Lookup tables for the hot paths, and the refusal of files whose code
    // and relocation sections add up to more than the file (they overlap).
    bool BuildIndexes();
    bool CollectAbs32Locations();
    bool CollectRel32Locations();
    bool FindReferences(DisassembledProgram* program) override;
    bool ParseFile(DisassembledProgram* program) override;
    bool EmitCodeSection(const ElfSectionHeader& section, DisassembledProgram* program);
    void ComputeFileExtent();
    void ClearRel32Locations();
    void* AllocateLocation(size_t bytes);

    uint16_t m_Phnum = 0;
    uint16_t m_Shnum = 0;
    Word m_Phoff = 0;
    Word m_Shoff = 0;
    GrowableBuffer<ElfSectionHeader, 16, 65536> m_Sections;
    GrowableBuffer<ElfProgramHeader, 16, 65536> m_Segments;
    RvaList m_Abs32Locations;
    TypedRVAList m_Rel32Locations;
    GrowableBuffer<uint8_t*, 64, (uint64_t(1) << 40)> m_LocationBlocks;
    size_t m_BlockUsed = 0;

    bool m_Indexed = false;
    ElfRangeIndex m_Loadable;    // rvas in loadable segments
    ElfRangeIndex m_Mapped;      // rvas with file bytes, by first segment
    ElfRangeIndex m_RawSections; // file offsets inside PROGBITS or REL sections

    // Cursors shared by every section of one ParseFile.
    OffsetList m_Abs32Offsets;
    OffsetList m_Rel32Offsets;
    uint64_t m_Abs32Cursor = 0;
    uint64_t m_Rel32Cursor = 0;
};

extern template class DisassemblerElf<Elf32Layout>;
extern template class DisassemblerElf<Elf64Layout>;

// The bases of the machine parsers: 32-bit (x86 and ARM) and 64-bit (x86-64).
typedef DisassemblerElf<Elf32Layout> DisassemblerElf32;
typedef DisassemblerElf<Elf64Layout> DisassemblerElf64;

} // namespace deltapatch

#endif
