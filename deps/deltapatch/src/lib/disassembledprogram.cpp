#include "disassembledprogram.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "encodedprogram.h"
#include "logmessage.h"

namespace deltapatch {

namespace {

void LogText(int level, const std::string& text)
{
    LogMessage message(level);
    message << text;
}

void LogUnreachable()
{
    LogText(LogLevel_ERROR, "REACHED UNREACHABLE");
}

// A label lookup that ran out of memory hands the emit after it a null.
bool LabelMissing(const Label* label)
{
    if (label)
        return false;
    LogUnreachable();
    return true;
}

// Rel32 labels used this often or less are not worth a label in ARM code.
const int32_t kTrimThreshold = 5;

const uint64_t kMaxLabels = uint64_t(1) << 40;
typedef GrowableBuffer<int32_t, 64, kMaxLabels> IndexList;

bool Holds(const IndexList& sorted, int64_t index)
{
    return std::binary_search(sorted.data(), sorted.data() + sorted.size(), index);
}

} // namespace

DisassembledProgram::DisassembledProgram(ExecutableType kind, bool encodeDirectly)
    : m_Kind(kind), m_EncodeDirectly(encodeDirectly && kind != ELF_32_ARM)
{
}

DisassembledProgram::~DisassembledProgram()
{
    delete m_Direct;
    for (uint64_t i = 0; i < m_Instructions.size(); ++i) {
        if (!IsSharedByte(m_Instructions[i]))
            delete m_Instructions[i];
    }
    if (m_ByteCache) {
        for (int b = 0; b < 256; ++b)
            delete m_ByteCache[b];
        delete[] m_ByteCache;
    }
    for (uint64_t i = 0; i < m_AllLabels.size(); ++i)
        delete m_AllLabels[i];
}

bool DisassembledProgram::IsSharedByte(const Instruction* instruction) const
{
    return instruction->kind() == DEFBYTE && m_ByteCache && m_ByteCache[instruction->byteValue()] == instruction;
}

bool DisassembledProgram::Append(Instruction* instruction)
{
    if (!instruction)
        return false;
    if (!m_Instructions.push_back(instruction)) {
        if (!IsSharedByte(instruction))
            delete instruction;
        return false;
    }
    return true;
}

EncodedProgram* DisassembledProgram::Direct()
{
    if (!m_Direct)
        m_Direct = new (std::nothrow) EncodedProgram();
    return m_Direct;
}

bool DisassembledProgram::EmitInstruction(Instruction* instruction)
{
    if (!instruction)
        return false;
    if (m_EncodeDirectly) {
        if (!IsSharedByte(instruction))
            delete instruction;
        return false;
    }
    return Append(instruction);
}

bool DisassembledProgram::EmitOrigin(uint32_t rva)
{
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddOrigin(rva);
    return Append(new (std::nothrow) OriginInstruction(rva));
}

bool DisassembledProgram::EmitPeRelocs()
{
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddPeMakeRelocs(m_Kind);
    return Append(new (std::nothrow) Instruction(MAKEPERELOCS));
}

bool DisassembledProgram::EmitElfRelocs()
{
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddElfMakeRelocs();
    return Append(new (std::nothrow) Instruction(MAKEELFRELOCS));
}

bool DisassembledProgram::EmitElfArmRelocs()
{
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddElfARMMakeRelocs();
    return Append(new (std::nothrow) Instruction(MAKEELFARMRELOCS));
}

bool DisassembledProgram::BuildByteCache()
{
    Instruction** cache = new (std::nothrow) Instruction*[256];
    if (!cache)
        return false;
    for (uint32_t b = 0; b < 256; ++b) {
        cache[b] = new (std::nothrow) Instruction(DEFBYTE + 16 * b);
        if (!cache[b]) {
            for (uint32_t made = 0; made < b; ++made)
                delete cache[made];
            delete[] cache;
            return false;
        }
    }
    m_ByteCache = cache;
    return true;
}

bool DisassembledProgram::EmitByte(uint8_t byte)
{
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddCopy(1, &byte);
    if (!m_ByteCache && !BuildByteCache())
        return false;
    return Append(m_ByteCache[byte]);
}

bool DisassembledProgram::EmitBytes(const uint8_t* bytes, uint32_t length)
{
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddCopy(length, bytes);
    return Append(new (std::nothrow) BytesInstruction(bytes, length));
}

bool DisassembledProgram::EmitRel32(Label* label)
{
    if (LabelMissing(label))
        return false;
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddRel32Target(label->rva);
    return Append(new (std::nothrow) LabelInstruction(REL32, label));
}

bool DisassembledProgram::EmitAbs32(Label* label)
{
    if (LabelMissing(label))
        return false;
    if (m_EncodeDirectly)
        return Direct() && m_Direct->AddAbs32Target(label->rva);
    return Append(new (std::nothrow) LabelInstruction(ABS32, label));
}

bool DisassembledProgram::EmitRel32Arm(uint16_t armOp, Label* label, const uint8_t* bytes, uint16_t opSize)
{
    if (LabelMissing(label))
        return false;
    if (m_EncodeDirectly)
        return false;
    return Append(new (std::nothrow) ArmRel32Instruction(armOp, label, bytes, opSize));
}

Label* DisassembledProgram::FindOrMakeAbs32Label(uint32_t rva)
{
    return FindOrMakeLabel(rva, &m_Abs32Labels);
}

Label* DisassembledProgram::FindOrMakeRel32Label(uint32_t rva)
{
    return FindOrMakeLabel(rva, &m_Rel32Labels);
}

Label* DisassembledProgram::FindOrMakeLabel(uint32_t rva, RVAToLabel* labels)
{
    if (m_EncodeDirectly) {
        m_ScratchLabel.rva = rva;
        return &m_ScratchLabel;
    }
    Label* label = nullptr;
    RVAToLabel::iterator it = labels->lower_bound(rva);
    if (it != labels->end() && it->first == rva) {
        label = it->second;
    } else {
        label = new (std::nothrow) Label(rva);
        if (!label)
            return nullptr;
        if (!m_AllLabels.push_back(label)) {
            delete label;
            return nullptr;
        }
        // The map allocates its nodes with the throwing allocator; running out
        // of memory there must still end as a failed lookup.
        try {
            labels->emplace_hint(it, rva, label);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    ++label->count;
    return label;
}

void DisassembledProgram::AssignIndexes(RVAToLabel* labels)
{
    int32_t index = 0;
    for (RVAToLabel::iterator it = labels->begin(); it != labels->end(); ++it, ++index) {
        if (it->second->index != -1)
            LogUnreachable();
        it->second->index = index;
    }
}

void DisassembledProgram::AssignIndexesInOrder()
{
    AssignIndexes(&m_Abs32Labels);
    AssignIndexes(&m_Rel32Labels);
}

void DisassembledProgram::UnassignIndexes()
{
    for (RVAToLabel::iterator it = m_Abs32Labels.begin(); it != m_Abs32Labels.end(); ++it)
        it->second->index = -1;
    for (RVAToLabel::iterator it = m_Rel32Labels.begin(); it != m_Rel32Labels.end(); ++it)
        it->second->index = -1;
}

bool DisassembledProgram::FillIndexes(RVAToLabel* labels)
{
    // A pre-assigned index may lie anywhere: an aligned label carries the
    // index of another program's label, and that program may hold more
    // labels than this map. So the taken indexes are sorted lists, not one
    // flag per possible index. Every list has room for the whole map before
    // any label changes, as each label adds at most one index to them.
    const uint64_t n = labels->size();
    GrowableBuffer<uint64_t, 64, kMaxLabels> preassigned; // index << 32 | rva
    IndexList taken;
    IndexList forwardGiven;
    IndexList backwardGiven;
    if (!preassigned.reserve(n) || !taken.reserve(n) || !forwardGiven.reserve(n) || !backwardGiven.reserve(n))
        return false;
    for (RVAToLabel::iterator it = labels->begin(); it != labels->end(); ++it) {
        Label* label = it->second;
        if (label->index < 0)
            label->index = -1;
        else
            preassigned.push_back(uint64_t(uint32_t(label->index)) << 32 | it->first);
    }
    std::sort(preassigned.data(), preassigned.data() + preassigned.size());
    // Indexes handed out stay below the larger of the map size and the
    // highest pre-assigned index plus one; there are always enough free ones.
    int64_t limit = int64_t(n);
    for (uint64_t i = 0; i < preassigned.size(); ++i) {
        const int32_t index = static_cast<int32_t>(preassigned[i] >> 32);
        // Of two labels with one index the lower rva keeps it; the other
        // is filled like an unassigned one.
        if (!taken.empty() && taken.back() == index) {
            labels->find(static_cast<uint32_t>(preassigned[i]))->second->index = -1;
            continue;
        }
        taken.push_back(index);
        limit = std::max(limit, int64_t(index) + 1);
    }
    {
        LogMessage message(LogLevel_DEBUG);
        message << taken.size() << " of " << n << " labels pre-assigned";
    }
    // An index one above its predecessor's, or one below its successor's,
    // is never the one given to another label in the same pass: that would
    // need two labels of one index. So each pass checks only what came
    // before it.
    Label* previous = nullptr;
    for (RVAToLabel::iterator it = labels->begin(); it != labels->end(); ++it) {
        Label* label = it->second;
        if (label->index == -1 && previous && previous->index != -1) {
            const int64_t candidate = int64_t(previous->index) + 1;
            if (candidate < limit && !Holds(taken, candidate)) {
                label->index = static_cast<int32_t>(candidate);
                forwardGiven.push_back(label->index);
            }
        }
        previous = label;
    }
    std::sort(forwardGiven.data(), forwardGiven.data() + forwardGiven.size());
    Label* next = nullptr;
    for (RVAToLabel::reverse_iterator it = labels->rbegin(); it != labels->rend(); ++it) {
        Label* label = it->second;
        if (label->index == -1 && next && next->index != -1) {
            const int64_t candidate = int64_t(next->index) - 1;
            if (candidate >= 0 && !Holds(taken, candidate) && !Holds(forwardGiven, candidate)) {
                label->index = static_cast<int32_t>(candidate);
                backwardGiven.push_back(label->index);
            }
        }
        next = label;
    }
    taken.append(forwardGiven.data(), forwardGiven.size());
    taken.append(backwardGiven.data(), backwardGiven.size());
    std::sort(taken.data(), taken.data() + taken.size());
    // The rest take the free indexes in ascending order; fewer labels are
    // left than free indexes below the limit.
    uint64_t infill = 0;
    uint64_t cursor = 0;
    int64_t lastGiven = -1;
    for (RVAToLabel::iterator it = labels->begin(); it != labels->end(); ++it) {
        Label* label = it->second;
        if (label->index != -1)
            continue;
        int64_t candidate = lastGiven + 1;
        for (; cursor < taken.size() && taken[cursor] <= candidate; ++cursor) {
            if (taken[cursor] == candidate)
                ++candidate;
        }
        if (candidate >= limit)
            return false;
        label->index = static_cast<int32_t>(candidate);
        lastGiven = candidate;
        ++infill;
    }
    {
        LogMessage message(LogLevel_DEBUG);
        message << "  fill forward " << forwardGiven.size() << "  backward " << backwardGiven.size() << "  infill "
                << infill;
    }
    return true;
}

bool DisassembledProgram::AssignRemainingIndexes()
{
    return FillIndexes(&m_Abs32Labels) && FillIndexes(&m_Rel32Labels);
}

bool DisassembledProgram::TrimLabels()
{
    if (m_Kind != ELF_32_ARM)
        return true;
    {
        LogMessage message(LogLevel_DEBUG);
        message << "TrimLabels: threshold " << kTrimThreshold;
    }
    for (RVAToLabel::iterator it = m_Rel32Labels.begin(); it != m_Rel32Labels.end();) {
        if (it->second->count <= kTrimThreshold)
            it = m_Rel32Labels.erase(it);
        else
            ++it;
    }
    for (uint64_t i = 0; i < m_Instructions.size(); ++i) {
        Instruction* instruction = m_Instructions[i];
        if (instruction->kind() != REL32ARM)
            continue;
        ArmRel32Instruction* arm = static_cast<ArmRel32Instruction*>(instruction);
        if (arm->label()->count > kTrimThreshold)
            continue;
        if (arm->opSize() == 0)
            return false;
        Instruction* run = new (std::nothrow) BytesInstruction(arm->bytes(), arm->opSize());
        if (!run)
            return false;
        m_Instructions[i] = run;
        delete arm;
    }
    return true;
}

EncodedProgram* DisassembledProgram::EncodeProgram() const
{
    EncodedProgram* out = new (std::nothrow) EncodedProgram();
    if (!out)
        return nullptr;
    out->set_image_base(m_ImageBase);
    bool ok = true;
    for (RVAToLabel::const_iterator it = m_Abs32Labels.begin(); ok && it != m_Abs32Labels.end(); ++it)
        ok = out->DefineAbs32Label(it->second->index, it->first);
    for (RVAToLabel::const_iterator it = m_Rel32Labels.begin(); ok && it != m_Rel32Labels.end(); ++it)
        ok = out->DefineRel32Label(it->second->index, it->first);
    if (ok)
        out->FinishLabels();
    for (uint64_t i = 0; ok && i < m_Instructions.size(); ++i) {
        const Instruction* instruction = m_Instructions[i];
        switch (instruction->kind()) {
        case ORIGIN: ok = out->AddOrigin(static_cast<const OriginInstruction*>(instruction)->rva()); break;
        case MAKEPERELOCS: ok = out->AddPeMakeRelocs(m_Kind); break;
        case MAKEELFRELOCS: ok = out->AddElfMakeRelocs(); break;
        case DEFBYTE: {
            uint8_t value = instruction->byteValue();
            ok = out->AddCopy(1, &value);
            break;
        }
        case REL32: ok = out->AddRel32(static_cast<const LabelInstruction*>(instruction)->label()->index); break;
        case ABS32: ok = out->AddAbs32(static_cast<const LabelInstruction*>(instruction)->label()->index); break;
        case REL32ARM: {
            const ArmRel32Instruction* arm = static_cast<const ArmRel32Instruction*>(instruction);
            ok = out->AddRel32ARM(arm->armOp(), arm->label()->index);
            break;
        }
        case MAKEELFARMRELOCS: ok = out->AddElfARMMakeRelocs(); break;
        case DEFBYTES: {
            const BytesInstruction* run = static_cast<const BytesInstruction*>(instruction);
            ok = out->AddCopy(run->length(), run->bytes());
            break;
        }
        default: LogText(LogLevel_ERROR, "REACHED UNREACHABLE Unknown Insn OP kind"); break;
        }
    }
    if (!ok) {
        delete out;
        return nullptr;
    }
    return out;
}

bool DisassembledProgram::ReserveDirect(uint64_t n)
{
    return !m_EncodeDirectly || (Direct() && m_Direct->ReserveCopyBytes(n));
}

EncodedProgram* DisassembledProgram::TakeEncodedProgram()
{
    if (!m_EncodeDirectly || !Direct() || !m_Direct->NumberLabelTargets())
        return nullptr;
    m_Direct->set_image_base(m_ImageBase);
    EncodedProgram* out = m_Direct;
    m_Direct = nullptr;
    return out;
}

PatchStatus TrimLabels(DisassembledProgram* program)
{
    return program->TrimLabels() ? StatusOk : StatusTrimFailed;
}

PatchStatus EncodeProgram(DisassembledProgram* program, EncodedProgram** output)
{
    *output = program->EncodeProgram();
    return *output ? StatusOk : StatusDiffFailed;
}

void PrintLabelCounts(const RVAToLabel& labels)
{
    for (RVAToLabel::const_iterator it = labels.begin(); it != labels.end(); ++it) {
        if (it->second->index != -1)
            std::printf("%d\n", it->second->count);
    }
}

void PrintLabelCounts(const DisassembledProgram* program)
{
    PrintLabelCounts(program->rel32Labels());
}

} // namespace deltapatch
