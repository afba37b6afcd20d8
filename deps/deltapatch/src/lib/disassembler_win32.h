#ifndef DELTAPATCH_DISASSEMBLER_WIN32_H
#define DELTAPATCH_DISASSEMBLER_WIN32_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "disassembler.h"
#include "growablebuffer.h"

namespace deltapatch {

// One data directory of the optional header.
struct ImageDataDirectory
{
    uint32_t rva = 0;
    uint32_t size = 0;
};

// One 40-byte entry of the section table, as read from the file.
struct PeSection
{
    char name[8];
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t sizeOfRawData;
    uint32_t pointerToRawData;
};

// The shared code of the PE32 and PE32+ parsers. Absolute references come
// from the base-relocation directory; the table itself is dropped from the
// program and regenerated on assembly from the places of those references.
class DisassemblerWin32 : public Disassembler
{
public:
    DisassemblerWin32(const void* start, size_t length);
    ~DisassemblerWin32() override;

    bool ParseHeader() override;

    // What tells the two parsers apart.
    virtual bool SupportsPe32Plus() const = 0;
    virtual uint32_t RelocationType() const = 0;

    bool is64Bit() const { return m_Is64Bit; }
    uint64_t imageBase() const { return m_ImageBase; }
    uint32_t sizeOfImage() const { return m_SizeOfImage; }
    uint16_t sectionCount() const { return m_SectionCount; }
    const PeSection& section(uint32_t i) const { return m_Sections[i]; }
    const ImageDataDirectory& baseRelocationTable() const { return m_BaseRelocationTable; }

    bool ParseRelocs();
    uint64_t Abs32Count() const { return m_Abs32Rvas.size(); }
    uint32_t Abs32At(uint64_t i) const { return m_Abs32Rvas[i]; }
    uint64_t Rel32Count() const { return m_Rel32Rvas.size(); }
    uint32_t Rel32At(uint64_t i) const { return m_Rel32Rvas[i]; }

    // File offset of an rva, or false when it has none.
    bool RVAToFileOffset(uint32_t rva, uint64_t* offset) const;
    // Rva of a file offset; 0 when no section's raw data holds it.
    uint32_t FileOffsetToRVA(uint64_t offset) const;

    // Routines the parsers themselves do not need, kept for tools.
    const uint8_t* RVAToPointer(uint32_t rva) const;
    const PeSection* RVAToSection(uint32_t rva) const;
    static std::string SectionName(const PeSection* section);
    const PeSection* SectionAtOrAfterOffset(uint64_t offset) const;
    bool RVAToFileOffsetByVirtualRange(uint32_t rva, uint64_t* offset) const;
    std::string DescribeRVA(uint32_t rva) const;
    bool ParseRelocsSorted();

private:
    typedef GrowableBuffer<uint32_t, 64, (uint64_t(1) << 61) - 1> RvaList;
    typedef GrowableBuffer<uint32_t, 16, 65536> IndexList;

    bool ReadDataDirectory(uint32_t index, ImageDataDirectory* directory);
    bool ReadSections(uint64_t table);
    bool SectionsInFileOrder(IndexList* order) const;
    bool ScanRel32(const PeSection& section);
    bool FindReferences(DisassembledProgram* program) override;
    bool ParseFile(DisassembledProgram* program) override;

    uint16_t m_Machine = 0;
    uint16_t m_SectionCount = 0;
    uint16_t m_SizeOfOptionalHeader = 0;
    bool m_Is64Bit = false;
    uint64_t m_OptionalHeader = 0;
    uint32_t m_DataDirectoryOffset = 0;
    uint32_t m_SizeOfCode = 0;
    uint32_t m_SizeOfInitializedData = 0;
    uint32_t m_SizeOfUninitializedData = 0;
    uint32_t m_BaseOfCode = 0;
    uint32_t m_BaseOfData = 0;
    uint64_t m_ImageBase = 0;
    uint32_t m_SizeOfImage = 0;
    uint32_t m_NumberOfRvaAndSizes = 0;
    bool m_HasTextSection = false;
    GrowableBuffer<PeSection, 16, 65536> m_Sections;

    ImageDataDirectory m_ExportTable;
    ImageDataDirectory m_ImportTable;
    ImageDataDirectory m_ResourceTable;
    ImageDataDirectory m_ExceptionTable;
    ImageDataDirectory m_BaseRelocationTable;
    ImageDataDirectory m_BoundImportTable;
    ImageDataDirectory m_ImportAddressTable;
    ImageDataDirectory m_DelayImportDescriptor;
    ImageDataDirectory m_ClrRuntimeHeader;

    RvaList m_Abs32Rvas;
    RvaList m_Rel32Rvas;
};

} // namespace deltapatch

#endif
