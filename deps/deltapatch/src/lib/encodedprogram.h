#ifndef DELTAPATCH_ENCODEDPROGRAM_H
#define DELTAPATCH_ENCODEDPROGRAM_H

#include <cstdint>

#include "executabletype.h"
#include "growablebuffer.h"
#include "patchstatus.h"

namespace deltapatch {

class ReadStreamSet;
class WriteStream;
class WriteStreamSet;

// Ops of an encoded program; every value from ARM_REL32_FIRST on is an ARM
// branch op whose family sits in bits 12..15.
enum EncodedOp : uint32_t {
  OP_ORIGIN = 0,
  OP_COPY = 1,
  OP_COPY1 = 2,
  OP_REL32 = 3,
  OP_ABS32 = 4,
  OP_MAKE_PE_RELOCATION_TABLE = 5,
  OP_MAKE_ELF_RELOCATION_TABLE = 6,
  OP_MAKE_ELF_ARM_RELOCATION_TABLE = 7,
  OP_MAKE_PE64_RELOCATION_TABLE = 8,
  OP_ARM_REL32_FIRST = 9,
};

// The diff-friendly form of an executable: nine arrays of small numbers
// that are written to a stream set, patched, read back and assembled.
class EncodedProgram {
 public:
  static constexpr uint64_t kMaxElements = (uint64_t(1) << 62) - 1;
  typedef GrowableBuffer<uint32_t, 64, kMaxElements> U32Buffer;
  typedef GrowableBuffer<uint8_t, 256, kMaxElements> ByteBuffer;

  EncodedProgram() = default;
  EncodedProgram(const EncodedProgram&) = delete;
  EncodedProgram& operator=(const EncodedProgram&) = delete;

  uint64_t imageBase() const { return imageBase_; }
  void set_image_base(uint64_t base) { imageBase_ = base; }

  bool DefineRel32Label(int32_t index, uint32_t rva);
  bool DefineAbs32Label(int32_t index, uint32_t rva);
  void FinishLabels();

  // Room for n bytes of copies in all, when a bound is known up front.
  bool ReserveCopyBytes(uint64_t n);
  bool AddOrigin(uint32_t rva);
  bool AddCopy(uint32_t count, const uint8_t* bytes);
  bool AddRel32(int32_t index);
  bool AddAbs32(int32_t index);
  bool AddRel32ARM(uint16_t armOp, int32_t index);
  // References by target rva, for a program encoded as it is disassembled;
  // NumberLabelTargets then makes the labels: the distinct targets in
  // ascending order, each reference taking its target's index.
  bool AddRel32Target(uint32_t rva);
  bool AddAbs32Target(uint32_t rva);
  bool NumberLabelTargets();
  bool AddPeMakeRelocs(ExecutableType kind);
  bool AddElfMakeRelocs();
  bool AddElfARMMakeRelocs();

  bool WriteTo(WriteStreamSet* streams);
  bool ReadFrom(ReadStreamSet* streams);
  // Appends the executable's bytes to output; runs once per program.
  bool AssembleTo(WriteStream* output);

  void PrintStatistics() const;

  const U32Buffer& rel32Rvas() const { return rel32Rvas_; }
  const U32Buffer& abs32Rvas() const { return abs32Rvas_; }
  const U32Buffer& ops() const { return ops_; }
  const U32Buffer& origins() const { return origins_; }
  const U32Buffer& copyCounts() const { return copyCounts_; }
  const ByteBuffer& copyBytes() const { return copyBytes_; }
  const U32Buffer& rel32Ix() const { return rel32Ix_; }
  const U32Buffer& abs32Ix() const { return abs32Ix_; }
  const U32Buffer& abs32RelocRvas() const { return abs32RelocRvas_; }

 private:
  static bool DefineLabel(U32Buffer* table, int32_t index, uint32_t rva);
  static void FinishLabelTable(U32Buffer* table);
  static bool NumberTargets(U32Buffer* references, U32Buffer* table);
  bool GeneratePeRelocations(WriteStream* output, uint32_t entryType);
  bool GenerateElfRelocations(WriteStream* output, uint32_t entryType);
  void SortRelocationRvas();

  uint64_t imageBase_ = 0;
  U32Buffer rel32Rvas_;
  U32Buffer abs32Rvas_;
  U32Buffer ops_;
  U32Buffer origins_;
  U32Buffer copyCounts_;
  ByteBuffer copyBytes_;
  U32Buffer rel32Ix_;
  U32Buffer abs32Ix_;
  U32Buffer abs32RelocRvas_;
};

PatchStatus WriteEncodedProgram(EncodedProgram* program, WriteStreamSet* streams);
PatchStatus ReadEncodedProgram(ReadStreamSet* streams, EncodedProgram** output);
PatchStatus AssembleEncodedProgram(EncodedProgram* program, WriteStream* output);
void DeleteEncodedProgram(EncodedProgram* program);

}  // namespace deltapatch

#endif
