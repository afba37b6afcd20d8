#include "disassembler_elf.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "disassembledprogram.h"
#include "logmessage.h"

namespace deltapatch {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | (uint64_t(Le32(p + 4)) << 32); }

void LogNote(const char* text, uint32_t type) {
  LogMessage message(LogLevel_DEBUG);
  message << text << type;
}

const uint32_t kLoadableSegment = 1;

// Header fields at the layout of each class.
struct HeaderFields {
  uint16_t type, machine, shentsize, phnum, shnum;
  uint32_t version;
  uint64_t phoff, shoff;
};

HeaderFields ReadHeader(const uint8_t* h, Elf32Layout) {
  HeaderFields f;
  f.type = Le16(h + 16);
  f.machine = Le16(h + 18);
  f.version = Le32(h + 20);
  f.phoff = Le32(h + 28);
  f.shoff = Le32(h + 32);
  f.phnum = Le16(h + 44);
  f.shentsize = Le16(h + 46);
  f.shnum = Le16(h + 48);
  return f;
}

HeaderFields ReadHeader(const uint8_t* h, Elf64Layout) {
  HeaderFields f;
  f.type = Le16(h + 16);
  f.machine = Le16(h + 18);
  f.version = Le32(h + 20);
  f.phoff = Le64(h + 32);
  f.shoff = Le64(h + 40);
  f.phnum = Le16(h + 56);
  f.shentsize = Le16(h + 58);
  f.shnum = Le16(h + 60);
  return f;
}

ElfSectionHeader ReadSection(const uint8_t* s, Elf32Layout) {
  ElfSectionHeader h;
  h.type = Le32(s + 4);
  h.addr = Le32(s + 12);
  h.offset = Le32(s + 16);
  h.size = Le32(s + 20);
  h.entsize = Le32(s + 36);
  return h;
}

ElfSectionHeader ReadSection(const uint8_t* s, Elf64Layout) {
  ElfSectionHeader h;
  h.type = Le32(s + 4);
  h.addr = Le64(s + 16);
  h.offset = Le64(s + 24);
  h.size = Le64(s + 32);
  h.entsize = Le64(s + 56);
  return h;
}

ElfProgramHeader ReadSegment(const uint8_t* p, Elf32Layout) {
  ElfProgramHeader h;
  h.type = Le32(p);
  h.offset = Le32(p + 4);
  h.vaddr = Le32(p + 8);
  h.filesz = Le32(p + 16);
  h.memsz = Le32(p + 20);
  return h;
}

ElfProgramHeader ReadSegment(const uint8_t* p, Elf64Layout) {
  ElfProgramHeader h;
  h.type = Le32(p);
  h.offset = Le64(p + 8);
  h.vaddr = Le64(p + 16);
  h.filesz = Le64(p + 32);
  h.memsz = Le64(p + 40);
  return h;
}

// A table lies inside when its end does not pass the length, and the
// offset plus the entry count stays below it as well.
bool TableInside(uint64_t offset, uint64_t count, uint64_t entry, uint64_t length) {
  if (offset > length || count * entry > length - offset) return false;
  return offset + count < length;
}

}  // namespace

template <class Layout>
DisassemblerElf<Layout>::DisassemblerElf(const void* start, size_t length)
    : Disassembler(start, length) {}

template <class Layout>
DisassemblerElf<Layout>::~DisassemblerElf() {
  ClearRel32Locations();
}

template <class Layout>
void DisassemblerElf<Layout>::ClearRel32Locations() {
  for (uint64_t i = 0; i < rel32_locations_.size(); ++i) rel32_locations_[i]->~TypedRVA();
  rel32_locations_.reset();
  for (uint64_t i = 0; i < locationBlocks_.size(); ++i) delete[] locationBlocks_[i];
  locationBlocks_.reset();
  blockUsed_ = 0;
}

template <class Layout>
void* DisassemblerElf<Layout>::AllocateLocation(size_t bytes) {
  const size_t kBlock = 64 * 1024;
  const size_t align = alignof(std::max_align_t);
  bytes = (bytes + align - 1) / align * align;
  if (bytes > kBlock) return nullptr;
  if (locationBlocks_.empty() || kBlock - blockUsed_ < bytes) {
    uint8_t* block = new (std::nothrow) uint8_t[kBlock];
    if (!block) return nullptr;
    if (!locationBlocks_.push_back(block)) {
      delete[] block;
      return nullptr;
    }
    blockUsed_ = 0;
  }
  void* place = locationBlocks_.back() + blockUsed_;
  blockUsed_ += bytes;
  return place;
}

template <class Layout>
bool DisassemblerElf<Layout>::ParseHeader() {
  const uint64_t length = this->length();
  if (length < Layout::kHeaderSize) return Bad("Too small");
  const uint8_t* h = start();
  if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F') return Bad("No Magic Number");
  HeaderFields f = ReadHeader(h, Layout());
  if ((f.type & ~1u) != 2) return Bad("Not an executable file or shared library");
  if (f.machine != ElfMachine()) return Bad("Not a supported architecture");
  if (f.version != 1) return Bad("Unknown file version");
  if (f.shentsize != Layout::kSectionHeaderSize) return Bad("Unexpected section header size");
  if (f.shoff >= length) return Bad("Out of bounds section header table offset");
  if (!TableInside(f.shoff, f.shnum, Layout::kSectionHeaderSize, length))
    return Bad("Out of bounds section header table");
  if (f.phoff >= length) return Bad("Out of bounds program header table offset");
  if (!TableInside(f.phoff, f.phnum, Layout::kProgramHeaderSize, length))
    return Bad("Out of bounds program header table");

  e_phnum_ = f.phnum;
  e_shnum_ = f.shnum;
  e_phoff_ = static_cast<Word>(f.phoff);
  e_shoff_ = static_cast<Word>(f.shoff);
  sections_.reset();
  segments_.reset();
  for (uint32_t i = 0; i < f.shnum; ++i) {
    ElfSectionHeader s = ReadSection(h + f.shoff + uint64_t(i) * Layout::kSectionHeaderSize, Layout());
    if (!sections_.push_back(s)) return Bad("Out of memory");
  }
  for (uint32_t i = 0; i < f.phnum; ++i) {
    ElfProgramHeader p = ReadSegment(h + f.phoff + uint64_t(i) * Layout::kProgramHeaderSize, Layout());
    if (!segments_.push_back(p)) return Bad("Out of memory");
  }
  ComputeFileExtent();
  return Good();
}

template <class Layout>
void DisassemblerElf<Layout>::ComputeFileExtent() {
  // Sums wrap at the class's word width, as the file's own fields do.
  Word extent = static_cast<Word>(e_phoff_ + Word(Layout::kProgramHeaderSize) * e_phnum_);
  extent = std::max(extent, static_cast<Word>(e_shoff_ + Word(Layout::kSectionHeaderSize) * e_shnum_));
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    if (s.type == SHT_NOBITS_) continue;
    extent = std::max(extent, static_cast<Word>(Word(s.offset) + Word(s.size)));
  }
  for (uint64_t i = 0; i < segments_.size(); ++i) {
    const ElfProgramHeader& p = segments_[i];
    extent = std::max(extent, static_cast<Word>(Word(p.offset) + Word(p.filesz)));
  }
  if (uint64_t(extent) < SIZE_MAX) ReduceLength(static_cast<size_t>(extent));
}

template <class Layout>
bool DisassemblerElf<Layout>::RVAToFileOffset(uint32_t rva, uint64_t* offset) const {
  if (indexed_) {
    uint32_t i = 0;
    if (!mapped_.Find(rva, &i)) return false;
    const ElfProgramHeader& p = segments_[i];
    *offset = static_cast<Word>(Word(rva) - static_cast<Word>(p.vaddr) + Word(p.offset));
    return true;
  }
  for (uint64_t i = 0; i < segments_.size(); ++i) {
    const ElfProgramHeader& p = segments_[i];
    const Word vaddr = static_cast<Word>(p.vaddr);
    if (vaddr <= rva && Word(rva) < static_cast<Word>(vaddr + Word(p.memsz)) &&
        static_cast<Word>(Word(rva) - vaddr) < Word(p.filesz)) {
      *offset = static_cast<Word>(Word(rva) - vaddr + Word(p.offset));
      return true;
    }
  }
  return false;
}

template <class Layout>
bool DisassemblerElf<Layout>::FileOffsetToRVA(uint64_t offset, uint32_t* rva) const {
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    if (s.type == SHT_NOBITS_) continue;
    if (offset >= s.offset && offset - s.offset < s.size) {
      *rva = static_cast<uint32_t>(s.addr + (offset - s.offset));
      return true;
    }
  }
  return false;
}

template <class Layout>
bool DisassemblerElf<Layout>::RVAsToFileOffsets(OffsetList* offsets) const {
  offsets->reset();
  for (uint64_t i = 0; i < rel32_locations_.size(); ++i) {
    uint64_t offset = 0;
    if (!RVAToFileOffset(rel32_locations_[i]->rva(), &offset) || !offsets->push_back(offset))
      return false;
  }
  return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::RVAInSection(uint32_t rva) const {
  uint64_t offset = 0;
  if (!RVAToFileOffset(rva, &offset)) return false;
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    if ((s.type == SHT_PROGBITS_ || s.type == SHT_REL_) && offset >= s.offset &&
        offset - s.offset < s.size)
      return true;
  }
  return false;
}

template <class Layout>
bool DisassemblerElf<Layout>::IsInLoadableSegment(uint32_t rva) const {
  if (indexed_) return loadable_.Contains(rva);
  for (uint64_t i = 0; i < segments_.size(); ++i) {
    const ElfProgramHeader& p = segments_[i];
    if (p.type != kLoadableSegment) continue;
    const Word vaddr = static_cast<Word>(p.vaddr);
    if (vaddr <= rva && Word(rva) < static_cast<Word>(vaddr + Word(p.memsz))) return true;
  }
  return false;
}

template <class Layout>
bool DisassemblerElf<Layout>::SectionInBounds(const ElfSectionHeader& section) const {
  return section.offset <= length() && section.size <= length() - section.offset;
}

template <class Layout>
uint64_t DisassemblerElf<Layout>::RelocationEntryCount(const ElfSectionHeader& section) const {
  if (section.entsize == 0) return 0;
  return std::min(section.size / section.entsize, section.size / Layout::kRelocationSize);
}

template <class Layout>
uint32_t DisassemblerElf<Layout>::ReadU32(uint64_t offset) const {
  return Le32(OffsetToPointer(static_cast<size_t>(offset)));
}

template <class Layout>
uint64_t DisassemblerElf<Layout>::ReadU64(uint64_t offset) const {
  return Le64(OffsetToPointer(static_cast<size_t>(offset)));
}

template <class Layout>
bool DisassemblerElf<Layout>::EmitFileBytes(DisassembledProgram* program, uint64_t offset,
                                            uint64_t count) {
  if (offset > length() || count > length() - offset || count > 0xFFFFFFFFu) return false;
  return program->EmitBytes(OffsetToPointer(static_cast<size_t>(offset)),
                            static_cast<uint32_t>(count));
}

template <class Layout>
bool DisassemblerElf<Layout>::EmitRestOfSection(DisassembledProgram* program,
                                                const ElfSectionHeader& section,
                                                uint64_t consumed) {
  if (consumed >= section.size) return true;
  return EmitFileBytes(program, section.offset + consumed, section.size - consumed);
}

template <class Layout>
bool DisassemblerElf<Layout>::AddRel32Location(TypedRVA* location) {
  if (!location) return false;
  if (!rel32_locations_.push_back(location)) {
    location->~TypedRVA();
    return false;
  }
  return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::Disassemble(DisassembledProgram* program) {
  if (!ok()) return false;
  program->set_image_base(0);
  if (!BuildIndexes()) return false;
  CollectAbs32Locations();
  if (!CollectRel32Locations()) return false;
  if (!ParseFile(program)) return false;
  program->AssignIndexesInOrder();
  return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::BuildIndexes() {
  indexed_ = false;
  // Sections that are read never overlap in a linked file; together they
  // cannot hold more bytes than the file, or a few headers could make the
  // parser walk the same bytes thousands of times.
  uint64_t total = 0;
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    if (s.type != SHT_PROGBITS_ && s.type != SHT_REL_) continue;
    if (!SectionInBounds(s)) return false;
    total += s.size;
    if (total > length()) return false;
  }
  GrowableBuffer<ElfRangeIndex::Range, 16, 65536> ranges;
  for (uint64_t i = 0; i < segments_.size(); ++i) {
    const ElfProgramHeader& p = segments_[i];
    const Word vaddr = static_cast<Word>(p.vaddr);
    const Word memEnd = static_cast<Word>(vaddr + Word(p.memsz));
    ElfRangeIndex::Range r = {vaddr, p.type == kLoadableSegment && memEnd > vaddr ? memEnd : vaddr};
    if (!ranges.push_back(r)) return false;
  }
  if (!loadable_.Build(ranges.data(), ranges.size())) return false;
  ranges.reset();
  for (uint64_t i = 0; i < segments_.size(); ++i) {
    const ElfProgramHeader& p = segments_[i];
    const Word vaddr = static_cast<Word>(p.vaddr);
    const Word memEnd = static_cast<Word>(vaddr + Word(p.memsz));
    // rva - vaddr < filesz, with the bytes past the word width counting as
    // always inside.
    const uint64_t fileEnd = Word(p.filesz) > std::numeric_limits<Word>::max() - vaddr
                                 ? uint64_t(std::numeric_limits<Word>::max())
                                 : uint64_t(vaddr + Word(p.filesz));
    ElfRangeIndex::Range r = {vaddr, memEnd > vaddr ? std::min<uint64_t>(memEnd, fileEnd) : vaddr};
    if (!ranges.push_back(r)) return false;
  }
  if (!mapped_.Build(ranges.data(), ranges.size())) return false;
  ranges.reset();
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    ElfRangeIndex::Range r = {s.offset, s.offset};
    if (s.type == SHT_PROGBITS_ || s.type == SHT_REL_) r.hi = s.offset + s.size;
    if (!ranges.push_back(r)) return false;
  }
  if (!raw_sections_.Build(ranges.data(), ranges.size())) return false;
  indexed_ = true;
  return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::CollectAbs32Locations() {
  abs32_locations_.reset();
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    if (s.type != SHT_REL_) continue;
    // A table outside the file is refused later, when ParseFile reaches it.
    if (!SectionInBounds(s)) continue;
    const uint64_t count = RelocationEntryCount(s);
    for (uint64_t e = 0; e < count; ++e) {
      const uint64_t at = s.offset + e * Layout::kRelocationSize;
      uint64_t r_offset, r_info;
      if (Layout::kRelocationSize == 8) {
        r_offset = ReadU32(at);
        r_info = ReadU32(at + 4);
      } else {
        r_offset = ReadU64(at);
        r_info = ReadU64(at + 8);
      }
      uint32_t rva = 0;
      if (!RelocToRva(r_offset, r_info, &rva)) continue;
      uint64_t offset = 0;
      if (!RVAToFileOffset(rva, &offset)) continue;
      if (raw_sections_.Contains(offset) && !abs32_locations_.push_back(rva)) return false;
    }
  }
  std::sort(abs32_locations_.data(), abs32_locations_.data() + abs32_locations_.size());
  return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::CollectRel32Locations() {
  ClearRel32Locations();
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    if (s.type != SHT_PROGBITS_) continue;
    if (!SectionInBounds(s)) return false;
    if (!ScanRel32InSection(s)) return false;
  }
  // Sections mostly come in address order, and then the list is sorted.
  TypedRVA** begin = rel32_locations_.data();
  TypedRVA** end = begin + rel32_locations_.size();
  if (!std::is_sorted(begin, end, CompareByRva)) std::stable_sort(begin, end, CompareByRva);
  return true;
}

template <class Layout>
bool DisassemblerElf<Layout>::ParseFile(DisassembledProgram* program) {
  abs32_offsets_.reset();
  rel32_offsets_.reset();
  abs32_cursor_ = 0;
  rel32_cursor_ = 0;
  for (uint64_t i = 0; i < abs32_locations_.size(); ++i) {
    uint64_t offset = 0;
    if (!RVAToFileOffset(abs32_locations_[i], &offset) || !abs32_offsets_.push_back(offset))
      return false;
  }
  for (uint64_t i = 0; i < rel32_locations_.size(); ++i) {
    uint64_t offset = 0;
    if (!RVAToFileOffset(rel32_locations_[i]->rva(), &offset) || !rel32_offsets_.push_back(offset))
      return false;
  }

  uint64_t position = 0;
  const uint64_t abs32Count = abs32_offsets_.size();
  for (uint64_t i = 0; i < sections_.size(); ++i) {
    const ElfSectionHeader& s = sections_[i];
    // No section may start past the file; every gap and run stays inside.
    if (s.offset > length()) return false;
    if (position < s.offset) {
      if (!EmitFileBytes(program, position, s.offset - position)) return false;
      position = s.offset;
    }
    switch (s.type) {
      case SHT_REL_:
        if (!SectionInBounds(s) || !ParseRelocationSection(s, program)) return false;
        position = s.offset + s.size;
        break;
      case SHT_PROGBITS_:
        if (!SectionInBounds(s) || !EmitCodeSection(s, program)) return false;
        position = s.offset + s.size;
        break;
      case SHT_NOBITS_:
      case SHT_INIT_ARRAY_:
      case SHT_FINI_ARRAY_:
        while (abs32_cursor_ < abs32Count && abs32_offsets_[abs32_cursor_] >= s.offset &&
               abs32_offsets_[abs32_cursor_] - s.offset < s.size) {
          LogNote("Skipping relocation entry for unsupported section: ", s.type);
          ++abs32_cursor_;
        }
        break;
      default:
        if (abs32_cursor_ < abs32Count && abs32_offsets_[abs32_cursor_] >= s.offset &&
            abs32_offsets_[abs32_cursor_] - s.offset < s.size)
          LogNote("Relocation address in unrecognized ELF section: ", s.type);
        break;
    }
  }
  if (!EmitFileBytes(program, position, length() - position)) return false;
  return abs32_cursor_ == abs32Count;
}

template <class Layout>
bool DisassemblerElf<Layout>::EmitCodeSection(const ElfSectionHeader& s,
                                              DisassembledProgram* program) {
  if (!program->EmitOrigin(static_cast<uint32_t>(s.addr))) return false;
  const uint64_t end = s.offset + s.size;
  const uint64_t abs32Count = abs32_offsets_.size();
  const uint64_t rel32Count = rel32_offsets_.size();
  uint64_t p = s.offset;
  while (p < end) {
    if (abs32_cursor_ < abs32Count && abs32_offsets_[abs32_cursor_] < p) return false;
    while (rel32_cursor_ < rel32Count && rel32_offsets_[rel32_cursor_] < p) ++rel32_cursor_;
    uint64_t next = end;
    if (abs32_cursor_ < abs32Count && abs32_offsets_[abs32_cursor_] < next)
      next = abs32_offsets_[abs32_cursor_];
    if (rel32_cursor_ < rel32Count && next > rel32_offsets_[rel32_cursor_] + 3)
      next = rel32_offsets_[rel32_cursor_];
    if (next > p) {
      if (!EmitFileBytes(program, p, next - p)) return false;
      p = next;
      continue;
    }
    if (abs32_cursor_ < abs32Count && abs32_offsets_[abs32_cursor_] == p) {
      // A word that would run past the section is not read.
      if (end - p < 4) return false;
      Label* label = program->FindOrMakeAbs32Label(ReadU32(p));
      if (!program->EmitAbs32(label)) return false;
      ++abs32_cursor_;
      p += 4;
      continue;
    }
    TypedRVA* location = rel32_locations_[rel32_cursor_];
    const uint16_t size = location->OpSize();
    if (size == 0 || end - p < size) return false;
    const uint32_t rva = static_cast<uint32_t>(s.addr - s.offset + p);
    if (!location->EmitInstruction(program, rva + location->relative_target())) return false;
    p += size;
  }
  return true;
}

template class DisassemblerElf<Elf32Layout>;
template class DisassemblerElf<Elf64Layout>;

}  // namespace deltapatch
