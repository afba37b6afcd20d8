#ifndef DELTAPATCH_DISASSEMBLEDPROGRAM_H
#define DELTAPATCH_DISASSEMBLEDPROGRAM_H

#include <cstdint>
#include <map>

#include "executabletype.h"
#include "growablebuffer.h"
#include "patchstatus.h"

namespace deltapatch {

class EncodedProgram;

// One distinct target of references. References point at labels rather than
// carrying addresses, so that a patch can renumber targets.
struct Label
{
    explicit Label(uint32_t rvaValue) : rva(rvaValue) {}
    uint32_t rva;
    int32_t index = -1;
    int32_t count = 0;
};

typedef std::map<uint32_t, Label*> RVAToLabel;

enum InstructionKind : uint32_t {
    ORIGIN = 0,
    MAKEPERELOCS = 1,
    MAKEELFRELOCS = 2,
    DEFBYTE = 3,
    REL32 = 4,
    ABS32 = 5,
    REL32ARM = 6,
    MAKEELFARMRELOCS = 7,
    DEFBYTES = 8,
};

// An instruction record; the low 4 bits of the first word are its kind.
class Instruction
{
public:
    explicit Instruction(uint32_t op) : m_Op(op) {}
    virtual ~Instruction() = default;
    Instruction(const Instruction&) = delete;
    Instruction& operator=(const Instruction&) = delete;

    uint32_t op() const { return m_Op; }
    uint32_t kind() const { return m_Op & 0xF; }
    // Value of a shared one-byte record.
    uint8_t byteValue() const { return static_cast<uint8_t>(m_Op >> 4); }

private:
    uint32_t m_Op;
};

class OriginInstruction : public Instruction
{
public:
    explicit OriginInstruction(uint32_t rva) : Instruction(ORIGIN), m_Rva(rva) {}
    uint32_t rva() const { return m_Rva; }

private:
    uint32_t m_Rva;
};

class BytesInstruction : public Instruction
{
public:
    BytesInstruction(const uint8_t* bytes, uint32_t length) : Instruction(DEFBYTES), m_Bytes(bytes), m_Length(length) {}
    const uint8_t* bytes() const { return m_Bytes; }
    uint32_t length() const { return m_Length; }

private:
    const uint8_t* m_Bytes;
    uint32_t m_Length;
};

class LabelInstruction : public Instruction
{
public:
    LabelInstruction(uint32_t kind, Label* label) : Instruction(kind), m_Label(label) {}
    Label* label() const { return m_Label; }

private:
    Label* m_Label;
};

class ArmRel32Instruction : public LabelInstruction
{
public:
    ArmRel32Instruction(uint16_t armOp, Label* label, const uint8_t* bytes, uint16_t opSize)
        : LabelInstruction(REL32ARM, label), m_ArmOp(armOp), m_OpSize(opSize), m_Bytes(bytes)
    {
    }
    uint16_t armOp() const { return m_ArmOp; }
    uint16_t opSize() const { return m_OpSize; }
    const uint8_t* bytes() const { return m_Bytes; }

private:
    uint16_t m_ArmOp;
    uint16_t m_OpSize;
    const uint8_t* m_Bytes;
};

// An executable as a list of instructions with labelled references. Owns
// every record and label it hands out; byte runs point into the caller's
// buffer, which must outlive the program.
//
// A program made to encode directly keeps neither: every emit goes straight
// into its encoded form, and its labels are numbered in address order at the
// end, as AssignIndexesInOrder numbers them. That is all the applier needs
// of the base's elements, at a fraction of the time and memory. ARM programs
// cannot be made so, as trimming needs their labels' use counts.
class DisassembledProgram
{
public:
    explicit DisassembledProgram(ExecutableType kind, bool encodeDirectly = false);
    ~DisassembledProgram();
    DisassembledProgram(const DisassembledProgram&) = delete;
    DisassembledProgram& operator=(const DisassembledProgram&) = delete;

    ExecutableType kind() const { return m_Kind; }
    uint64_t imageBase() const { return m_ImageBase; }
    void set_image_base(uint64_t base) { m_ImageBase = base; }

    bool EmitOrigin(uint32_t rva);
    bool EmitPeRelocs();
    bool EmitElfRelocs();
    bool EmitElfArmRelocs();
    bool EmitByte(uint8_t byte);
    bool EmitBytes(const uint8_t* bytes, uint32_t length);
    bool EmitRel32(Label* label);
    bool EmitAbs32(Label* label);
    bool EmitRel32Arm(uint16_t armOp, Label* label, const uint8_t* bytes, uint16_t opSize);
    // Appends a record made by the caller, which passes its ownership.
    bool EmitInstruction(Instruction* instruction);

    // Null when a label cannot be allocated.
    Label* FindOrMakeAbs32Label(uint32_t rva);
    Label* FindOrMakeRel32Label(uint32_t rva);
    Label* FindOrMakeLabel(uint32_t rva, RVAToLabel* labels);

    void AssignIndexesInOrder();
    void UnassignIndexes();
    // Gives every label without an index a free one, next to its neighbours'
    // where it can, whatever the pre-assigned indexes are (any value, gaps,
    // one index on two labels: the lower rva keeps it). False only when out
    // of memory; some labels may then hold new indexes.
    bool AssignRemainingIndexes();

    bool TrimLabels();
    EncodedProgram* EncodeProgram() const;
    // Room for the plain bytes of an executable of n bytes, in a program made
    // to encode directly; true and nothing done for any other program.
    bool ReserveDirect(uint64_t n);
    // The encoded form of a program made to encode directly; the caller owns
    // it. Null when out of memory or for any other program.
    EncodedProgram* TakeEncodedProgram();

    const RVAToLabel& abs32Labels() const { return m_Abs32Labels; }
    const RVAToLabel& rel32Labels() const { return m_Rel32Labels; }
    uint64_t instructionCount() const { return m_Instructions.size(); }
    uint64_t instructionCapacity() const { return m_Instructions.capacity(); }
    const Instruction* instruction(uint64_t i) const { return m_Instructions[i]; }

private:
    static constexpr uint64_t kMaxInstructions = (uint64_t(1) << 61) - 1;
    typedef GrowableBuffer<Instruction*, 32, kMaxInstructions> InstructionList;
    typedef GrowableBuffer<Label*, 32, kMaxInstructions> LabelList;

    // Takes the record, or fails for a null one (a failed allocation).
    bool Append(Instruction* instruction);
    // The encoded form being built, made on first use; null when out of memory.
    EncodedProgram* Direct();
    bool BuildByteCache();
    bool IsSharedByte(const Instruction* instruction) const;
    static void AssignIndexes(RVAToLabel* labels);
    static bool FillIndexes(RVAToLabel* labels);

    ExecutableType m_Kind;
    bool m_EncodeDirectly;
    EncodedProgram* m_Direct = nullptr;
    // What a lookup hands out in a program that encodes directly: the emit
    // that follows reads only its rva.
    Label m_ScratchLabel{0};
    Instruction** m_ByteCache = nullptr;
    uint64_t m_ImageBase = 0;
    InstructionList m_Instructions;
    RVAToLabel m_Rel32Labels;
    RVAToLabel m_Abs32Labels;
    // Every label ever made; the maps only index them, so trimming a label
    // from a map never orphans the instructions that still point at it.
    LabelList m_AllLabels;
};

PatchStatus TrimLabels(DisassembledProgram* program);
PatchStatus EncodeProgram(DisassembledProgram* program, EncodedProgram** output);
void PrintLabelCounts(const RVAToLabel& labels);
void PrintLabelCounts(const DisassembledProgram* program);

} // namespace deltapatch

#endif
