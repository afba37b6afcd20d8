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

// Ops of an encoded program; every value from OP_ARM_REL32_FIRST on is an
// ARM branch op whose family (1 to 5) sits in bits 12..15.
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

// The diff-friendly form of an executable: its image base and eight arrays
// of small numbers, written to a set of nine streams, patched, read back
// and assembled.
class EncodedProgram
{
public:
    static constexpr uint64_t kMaxElements = (uint64_t(1) << 62) - 1;
    typedef GrowableBuffer<uint32_t, 64, kMaxElements> U32Buffer;
    typedef GrowableBuffer<uint8_t, 256, kMaxElements> ByteBuffer;

    EncodedProgram() = default;
    EncodedProgram(const EncodedProgram&) = delete;
    EncodedProgram& operator=(const EncodedProgram&) = delete;

    uint64_t imageBase() const { return m_ImageBase; }
    void set_image_base(uint64_t base) { m_ImageBase = base; }

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

    const U32Buffer& rel32Rvas() const { return m_Rel32Rvas; }
    const U32Buffer& abs32Rvas() const { return m_Abs32Rvas; }
    const U32Buffer& ops() const { return m_Ops; }
    const U32Buffer& origins() const { return m_Origins; }
    const U32Buffer& copyCounts() const { return m_CopyCounts; }
    const ByteBuffer& copyBytes() const { return m_CopyBytes; }
    const U32Buffer& rel32Ix() const { return m_Rel32Ix; }
    const U32Buffer& abs32Ix() const { return m_Abs32Ix; }
    const U32Buffer& abs32RelocRvas() const { return m_Abs32RelocRvas; }

private:
    static bool DefineLabel(U32Buffer* table, int32_t index, uint32_t rva);
    static void FinishLabelTable(U32Buffer* table);
    static bool NumberTargets(U32Buffer* references, U32Buffer* table);
    bool GeneratePeRelocations(WriteStream* output, uint32_t entryType);
    bool GenerateElfRelocations(WriteStream* output, uint32_t entryType);
    void SortRelocationRvas();

    uint64_t m_ImageBase = 0;
    U32Buffer m_Rel32Rvas;
    U32Buffer m_Abs32Rvas;
    U32Buffer m_Ops;
    U32Buffer m_Origins;
    U32Buffer m_CopyCounts;
    ByteBuffer m_CopyBytes;
    U32Buffer m_Rel32Ix;
    U32Buffer m_Abs32Ix;
    U32Buffer m_Abs32RelocRvas;
};

PatchStatus WriteEncodedProgram(EncodedProgram* program, WriteStreamSet* streams);
PatchStatus ReadEncodedProgram(ReadStreamSet* streams, EncodedProgram** output);
PatchStatus AssembleEncodedProgram(EncodedProgram* program, WriteStream* output);
void DeleteEncodedProgram(EncodedProgram* program);

} // namespace deltapatch

#endif
