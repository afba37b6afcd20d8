#ifndef DELTAPATCH_DISASSEMBLER_MACHO_H
#define DELTAPATCH_DISASSEMBLER_MACHO_H

#include <cstddef>
#include <cstdint>

#include "disassembler.h"
#include "growablebuffer.h"

namespace deltapatch {

// Mach-O executables (preloaded ones too), libraries and bundles for i386
// and x86-64. Only relative branch and rip-relative operands become
// references; Mach-O files give no absolute references and no
// relocation-table instruction.
class DisassemblerMacho : public Disassembler
{
public:
    struct Segment
    {
        uint64_t address; // rebased to the lowest segment address
        uint32_t size;
        uint32_t fileOffset;
        uint32_t fileSize;
    };

    struct CodeSection
    {
        uint64_t address; // rebased like the segments
        uint32_t size;
        uint32_t fileOffset;
    };

    // A segment command of one file class: LC_SEGMENT or LC_SEGMENT_64.
    struct SegmentLayout
    {
        ExecutableType kind; // the only kind whose files may hold it
        const char* unsupported;
        const char* badCommand;
        uint32_t wordSize; // of addresses, sizes and file offsets
        uint32_t commandSize;
        uint32_t sectionSize;
        uint32_t sectionCountAt;
        uint32_t sectionFlagsAt;
        bool skipsEmptySegments;
    };

    DisassemblerMacho(const void* start, size_t length);
    ~DisassemblerMacho() override;

    ExecutableType kind() const override { return m_Kind; }
    bool ParseHeader() override;

    uint64_t SegmentCount() const { return m_Segments.size(); }
    const Segment& SegmentAt(uint64_t i) const { return m_Segments[i]; }
    uint64_t CodeSectionCount() const { return m_CodeSections.size(); }
    const CodeSection& CodeSectionAt(uint64_t i) const { return m_CodeSections[i]; }
    uint64_t Rel32Count() const { return m_Rel32Rvas.size(); }
    uint32_t Rel32At(uint64_t i) const { return m_Rel32Rvas[i]; }

    // Conversions the parser itself does not need, kept for tools.
    // -1 (with a warning) for an rva outside every segment's file part.
    int64_t RVAToFileOffset(uint32_t rva) const;
    uint32_t FileOffsetToRVA(uint32_t offset) const;
    const Segment* SegmentOfRVA(uint32_t rva) const;
    bool RVAInSegment(uint32_t rva) const;
    const CodeSection* CodeSectionAtOrAfter(uint32_t offset) const;

private:
    typedef GrowableBuffer<Segment, 16, 65536> SegmentList;
    typedef GrowableBuffer<CodeSection, 16, (uint64_t(1) << 32)> CodeSectionList;
    typedef GrowableBuffer<uint32_t, 64, (uint64_t(1) << 61) - 1> RvaList;

    bool ParseSegment(uint64_t command, uint32_t commandSize, const SegmentLayout& layout);
    uint64_t ReadWord(uint64_t offset, uint32_t wordSize) const;
    bool Rebase();
    // The segment whose file part holds offset, or null.
    const Segment* SegmentOfFileOffset(uint64_t offset) const;
    uint32_t BaseRVA(uint64_t offset) const;
    // Builds the merged, sorted address ranges of the segments that
    // TargetInSegment searches.
    bool BuildSegmentRanges();
    bool TargetInSegment(uint32_t target) const;
    bool ScanCodeSection(const CodeSection& section);
    bool FindReferences(DisassembledProgram* program) override;
    bool ParseFile(DisassembledProgram* program) override;
    bool EmitByteRange(DisassembledProgram* program, uint64_t from, uint64_t to);

    ExecutableType m_Kind = UNKNOWN;
    SegmentList m_Segments;
    CodeSectionList m_CodeSections;
    uint32_t m_FileEnd = 0;
    RvaList m_Rel32Rvas;
    uint64_t m_Rel32Cursor = 0;
    struct Range
    {
        uint64_t begin, end;
    };
    GrowableBuffer<Range, 16, 65536> m_SegmentRanges;
    uint64_t m_MergedRangeCount = 0; // the first ranges, after merging
};

} // namespace deltapatch

#endif
