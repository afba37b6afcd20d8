#ifndef DELTAPATCH_DISASSEMBLER_WIN32_H
#define DELTAPATCH_DISASSEMBLER_WIN32_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "disassembler.h"
#include "growablebuffer.h"

namespace deltapatch {

// One data directory of the optional header.
struct ImageDataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// One 40-byte entry of the section table, as read from the file.
struct PeSection {
  char name[8];
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t sizeOfRawData;
  uint32_t pointerToRawData;
};

// The shared code of the PE32 and PE32+ parsers. Absolute references come
// from the base-relocation directory; the table itself is dropped from the
// program and regenerated on assembly from the places of those references.
class DisassemblerWin32 : public Disassembler {
 public:
  DisassemblerWin32(const void* start, size_t length);
  ~DisassemblerWin32() override;

  bool ParseHeader() override;
  bool Disassemble(DisassembledProgram* program) override;

  // What tells the two parsers apart.
  virtual bool SupportsPe32Plus() const = 0;
  virtual uint32_t RelocationType() const = 0;

  bool is64Bit() const { return is64Bit_; }
  uint64_t imageBase() const { return imageBase_; }
  uint32_t sizeOfImage() const { return sizeOfImage_; }
  uint16_t sectionCount() const { return sectionCount_; }
  const PeSection& section(uint32_t i) const { return sections_[i]; }
  const ImageDataDirectory& baseRelocationTable() const { return baseRelocationTable_; }

  bool ParseRelocs();
  uint64_t Abs32Count() const { return abs32Rvas_.size(); }
  uint32_t Abs32At(uint64_t i) const { return abs32Rvas_[i]; }
  uint64_t Rel32Count() const { return rel32Rvas_.size(); }
  uint32_t Rel32At(uint64_t i) const { return rel32Rvas_[i]; }

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
  bool ParseFile(DisassembledProgram* program);

  uint16_t machine_ = 0;
  uint16_t sectionCount_ = 0;
  uint16_t sizeOfOptionalHeader_ = 0;
  bool is64Bit_ = false;
  uint64_t optionalHeader_ = 0;
  uint32_t dataDirectoryOffset_ = 0;
  uint32_t sizeOfCode_ = 0;
  uint32_t sizeOfInitializedData_ = 0;
  uint32_t sizeOfUninitializedData_ = 0;
  uint32_t baseOfCode_ = 0;
  uint32_t baseOfData_ = 0;
  uint64_t imageBase_ = 0;
  uint32_t sizeOfImage_ = 0;
  uint32_t numberOfRvaAndSizes_ = 0;
  bool hasTextSection_ = false;
  GrowableBuffer<PeSection, 16, 65536> sections_;

  ImageDataDirectory exportTable_;
  ImageDataDirectory importTable_;
  ImageDataDirectory resourceTable_;
  ImageDataDirectory exceptionTable_;
  ImageDataDirectory baseRelocationTable_;
  ImageDataDirectory boundImportTable_;
  ImageDataDirectory importAddressTable_;
  ImageDataDirectory delayImportDescriptor_;
  ImageDataDirectory clrRuntimeHeader_;

  RvaList abs32Rvas_;
  RvaList rel32Rvas_;
};

}  // namespace deltapatch

#endif
