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
// goes through the file class's own word width (see ElfLayout::Word).
struct ElfSectionHeader {
  uint32_t type;
  uint64_t addr;
  uint64_t offset;
  uint64_t size;
  uint64_t entsize;
};

struct ElfProgramHeader {
  uint32_t type;
  uint64_t offset;
  uint64_t vaddr;
  uint64_t filesz;
  uint64_t memsz;
};

// Field widths and record sizes of the two ELF classes.
struct Elf32Layout {
  typedef uint32_t Word;
  static constexpr size_t kHeaderSize = 52;
  static constexpr size_t kSectionHeaderSize = 40;
  static constexpr size_t kProgramHeaderSize = 32;
  static constexpr size_t kRelocationSize = 8;
};

struct Elf64Layout {
  typedef uint64_t Word;
  static constexpr size_t kHeaderSize = 64;
  static constexpr size_t kSectionHeaderSize = 64;
  static constexpr size_t kProgramHeaderSize = 56;
  static constexpr size_t kRelocationSize = 16;
};

// Everything the ELF parsers share; the machine-specific parts are the
// relocation kind kept, the handling of a relocation section and the scan
// for relative branch operands.
template <class Layout>
class DisassemblerElf : public Disassembler {
 public:
  typedef typename Layout::Word Word;

  // One relative operand found in a code section.
  class TypedRVA {
   public:
    explicit TypedRVA(uint32_t rva) : rva_(rva) {}
    virtual ~TypedRVA() = default;
    TypedRVA(const TypedRVA&) = delete;
    TypedRVA& operator=(const TypedRVA&) = delete;

    uint32_t rva() const { return rva_; }
    uint32_t relative_target() const { return relative_target_; }
    void set_relative_target(uint32_t target) { relative_target_ = target; }

    // operand points at the operand's bytes, which the caller has checked.
    virtual bool ComputeTarget(const uint8_t* operand) = 0;
    virtual bool EmitInstruction(DisassembledProgram* program, uint32_t target_rva) = 0;
    virtual uint16_t OpSize() const = 0;

   private:
    uint32_t rva_;
    uint32_t relative_target_ = 0;
  };

  static bool CompareByRva(const TypedRVA* a, const TypedRVA* b) { return a->rva() < b->rva(); }

  DisassemblerElf(const void* start, size_t length);
  ~DisassemblerElf() override;

  bool ParseHeader() override;
  bool Disassemble(DisassembledProgram* program) override;

  virtual uint16_t ElfMachine() const = 0;
  virtual bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const = 0;
  virtual bool ParseRelocationSection(const ElfSectionHeader& section,
                                      DisassembledProgram* program) = 0;
  virtual bool ScanRel32InSection(const ElfSectionHeader& section) = 0;

  uint32_t SectionCount() const { return static_cast<uint32_t>(sections_.size()); }
  const ElfSectionHeader& SectionHeader(uint32_t i) const { return sections_[i]; }
  uint32_t ProgramSegmentCount() const { return static_cast<uint32_t>(segments_.size()); }
  const ElfProgramHeader& ProgramSegmentHeader(uint32_t i) const { return segments_[i]; }

  // Routines the parsers themselves do not need, kept for tools.
  bool RVAToFileOffset(uint32_t rva, uint64_t* offset) const;
  bool FileOffsetToRVA(uint64_t offset, uint32_t* rva) const;
  bool RVAsToFileOffsets(GrowableBuffer<uint64_t, 64, (uint64_t(1) << 61) - 1>* offsets) const;
  bool RVAInSection(uint32_t rva) const;

  uint64_t Abs32Count() const { return abs32_locations_.size(); }
  uint64_t Rel32Count() const { return rel32_locations_.size(); }

 protected:
  typedef GrowableBuffer<uint32_t, 64, (uint64_t(1) << 61) - 1> RvaList;
  typedef GrowableBuffer<uint64_t, 64, (uint64_t(1) << 61) - 1> OffsetList;
  typedef GrowableBuffer<TypedRVA*, 64, (uint64_t(1) << 61) - 1> TypedRVAList;

  bool IsInLoadableSegment(uint32_t rva) const;
  // A location in this parser's own blocks, which a parser with hundreds of
  // thousands of them makes and releases together; null when out of memory.
  template <class T, class... Args>
  T* MakeLocation(Args... args) {
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
  uint32_t ReadU32(uint64_t offset) const;
  uint64_t ReadU64(uint64_t offset) const;
  bool EmitFileBytes(DisassembledProgram* program, uint64_t offset, uint64_t count);
  bool EmitRestOfSection(DisassembledProgram* program, const ElfSectionHeader& section,
                         uint64_t consumed);

  const RvaList& abs32_locations() const { return abs32_locations_; }

 private:
  // Lookup tables for the hot paths, and the refusal of files whose code
  // and relocation sections add up to more than the file (they overlap).
  bool BuildIndexes();
  bool CollectAbs32Locations();
  bool CollectRel32Locations();
  bool ParseFile(DisassembledProgram* program);
  bool EmitCodeSection(const ElfSectionHeader& section, DisassembledProgram* program);
  void ComputeFileExtent();
  void ClearRel32Locations();
  void* AllocateLocation(size_t bytes);

  uint16_t e_phnum_ = 0;
  uint16_t e_shnum_ = 0;
  Word e_phoff_ = 0;
  Word e_shoff_ = 0;
  GrowableBuffer<ElfSectionHeader, 16, 65536> sections_;
  GrowableBuffer<ElfProgramHeader, 16, 65536> segments_;
  RvaList abs32_locations_;
  TypedRVAList rel32_locations_;
  GrowableBuffer<uint8_t*, 64, (uint64_t(1) << 40)> locationBlocks_;
  size_t blockUsed_ = 0;

  bool indexed_ = false;
  ElfRangeIndex loadable_;      // rvas in loadable segments
  ElfRangeIndex mapped_;        // rvas with file bytes, by first segment
  ElfRangeIndex raw_sections_;  // file offsets inside PROGBITS or REL sections

  // Cursors shared by every section of one ParseFile.
  OffsetList abs32_offsets_;
  OffsetList rel32_offsets_;
  uint64_t abs32_cursor_ = 0;
  uint64_t rel32_cursor_ = 0;
};

extern template class DisassemblerElf<Elf32Layout>;
extern template class DisassemblerElf<Elf64Layout>;

}  // namespace deltapatch

#endif
