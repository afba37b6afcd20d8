#include "encodedprogram.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "disassembler_elf_32_arm.h"
#include "littleendian.h"
#include "logmessage.h"
#include "streams.h"

namespace deltapatch {

namespace {

// Stream indexes of the set an encoded program is written to.
enum {
    kStreamMisc = 0, // image base and origins
    kStreamOps = 1,
    kStreamBytes = 2,
    kStreamAbs32Indexes = 3,
    kStreamRel32Indexes = 4,
    kStreamAbs32Addresses = 5,
    kStreamRel32Addresses = 6,
    kStreamCopyCounts = 7,
    kStreamUnused = 8,
    kStreamCount = 9,
};

const uint32_t kUnassigned = 0xFFFFFFFFu;

// An array's count, with room for the array behind it: for varints, room
// at their longest, so that a stream never doubles its way there (the room
// it does not use is never touched). A count past 32 bits cannot be stored;
// it is a failed write rather than the size varint's assertion.
bool StartArray(WriteStream* stream, uint64_t count, uint64_t room)
{
    return count <= 0xFFFFFFFFu && stream->Reserve(5 + room) && stream->WriteSizeVarint32(count);
}

bool WriteU32Array(WriteStream* stream, const EncodedProgram::U32Buffer& items)
{
    if (!StartArray(stream, items.size(), 5 * items.size()))
        return false;
    for (uint64_t i = 0; i < items.size(); ++i) {
        if (!stream->WriteVarint32(items[i]))
            return false;
    }
    return true;
}

bool WriteDeltas(WriteStream* stream, const EncodedProgram::U32Buffer& items)
{
    if (!StartArray(stream, items.size(), 5 * items.size()))
        return false;
    uint32_t previous = 0;
    for (uint64_t i = 0; i < items.size(); ++i) {
        if (!stream->WriteVarint32(items[i] - previous))
            return false;
        previous = items[i];
    }
    return true;
}

bool WriteBytes(WriteStream* stream, const EncodedProgram::ByteBuffer& items)
{
    return StartArray(stream, items.size(), items.size()) && stream->Write(items.data(), items.size());
}

// Every stored element takes at least one byte, so a count above the bytes
// left is a lie; it is refused before anything is reserved for it.
bool ReadCount(ReadStream* stream, uint32_t* count)
{
    return stream->ReadVarint32(count) && *count <= stream->Remaining();
}

bool ReadU32Array(ReadStream* stream, EncodedProgram::U32Buffer* items)
{
    uint32_t count = 0;
    items->reset();
    if (!ReadCount(stream, &count) || !items->reserve(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!stream->ReadVarint32(&value) || !items->push_back(value))
            return false;
    }
    return true;
}

bool ReadDeltas(ReadStream* stream, EncodedProgram::U32Buffer* items)
{
    uint32_t count = 0;
    items->reset();
    if (!ReadCount(stream, &count) || !items->reserve(count))
        return false;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t delta = 0;
        if (!stream->ReadVarint32(&delta))
            return false;
        previous += delta;
        if (!items->push_back(previous))
            return false;
    }
    return true;
}

bool ReadBytes(ReadStream* stream, EncodedProgram::ByteBuffer* items)
{
    uint32_t count = 0;
    items->reset();
    if (!ReadCount(stream, &count) || !items->reserve(count))
        return false;
    if (count == 0)
        return true;
    const uint8_t* bytes = stream->Current();
    return stream->Skip(count) && items->append(bytes, count);
}

bool WriteLe32(WriteStream* stream, uint32_t value)
{
    uint8_t bytes[4];
    StoreLe32(bytes, value);
    return stream->Write(bytes, 4);
}

bool WriteLe16(WriteStream* stream, uint32_t value)
{
    uint8_t bytes[2];
    StoreLe16(bytes, value);
    return stream->Write(bytes, 2);
}

// Reads operands in order; running out fails the assembly.
template <typename Buffer, typename T> class Cursor
{
public:
    explicit Cursor(const Buffer& items) : m_Items(items) {}
    bool Next(T* out)
    {
        if (m_Position >= m_Items.size())
            return false;
        *out = m_Items[m_Position++];
        return true;
    }
    bool Done() const { return m_Position == m_Items.size(); }
    uint64_t position() const { return m_Position; }
    bool Skip(uint64_t n)
    {
        if (n > m_Items.size() - m_Position)
            return false;
        m_Position += n;
        return true;
    }

private:
    const Buffer& m_Items;
    uint64_t m_Position = 0;
};

} // namespace

bool EncodedProgram::DefineLabel(U32Buffer* table, int32_t index, uint32_t rva)
{
    if (index < 0)
        return false;
    const uint64_t slot = static_cast<uint64_t>(index);
    while (table->size() <= slot) {
        if (!table->push_back(kUnassigned))
            return false;
    }
    (*table)[slot] = rva;
    return true;
}

bool EncodedProgram::DefineRel32Label(int32_t index, uint32_t rva)
{
    return DefineLabel(&m_Rel32Rvas, index, rva);
}

bool EncodedProgram::DefineAbs32Label(int32_t index, uint32_t rva)
{
    return DefineLabel(&m_Abs32Rvas, index, rva);
}

void EncodedProgram::FinishLabelTable(U32Buffer* table)
{
    uint32_t previous = 0;
    for (uint64_t i = 0; i < table->size(); ++i) {
        if ((*table)[i] == kUnassigned)
            (*table)[i] = previous;
        previous = (*table)[i];
    }
}

void EncodedProgram::FinishLabels()
{
    FinishLabelTable(&m_Abs32Rvas);
    FinishLabelTable(&m_Rel32Rvas);
}

bool EncodedProgram::AddOrigin(uint32_t rva)
{
    return m_Ops.push_back(OP_ORIGIN) && m_Origins.push_back(rva);
}

bool EncodedProgram::AddCopy(uint32_t count, const uint8_t* bytes)
{
    if (!m_Ops.empty() && m_Ops.back() == OP_COPY1) {
        if (!m_CopyCounts.push_back(1))
            return false;
        m_Ops.back() = OP_COPY;
    }
    if (!m_Ops.empty() && m_Ops.back() == OP_COPY) {
        if (m_CopyCounts.empty() || count > 0xFFFFFFFFu - m_CopyCounts.back())
            return false;
        if (!m_CopyBytes.append(bytes, count))
            return false;
        m_CopyCounts.back() += count;
        return true;
    }
    if (count == 1)
        return m_Ops.push_back(OP_COPY1) && m_CopyBytes.push_back(bytes[0]);
    return m_Ops.push_back(OP_COPY) && m_CopyCounts.push_back(count) && m_CopyBytes.append(bytes, count);
}

bool EncodedProgram::AddRel32(int32_t index)
{
    return m_Ops.push_back(OP_REL32) && m_Rel32Ix.push_back(static_cast<uint32_t>(index));
}

bool EncodedProgram::AddAbs32(int32_t index)
{
    return m_Ops.push_back(OP_ABS32) && m_Abs32Ix.push_back(static_cast<uint32_t>(index));
}

bool EncodedProgram::AddRel32ARM(uint16_t armOp, int32_t index)
{
    return m_Ops.push_back(armOp) && m_Rel32Ix.push_back(static_cast<uint32_t>(index));
}

bool EncodedProgram::ReserveCopyBytes(uint64_t n)
{
    return m_CopyBytes.reserve(n);
}

bool EncodedProgram::AddRel32Target(uint32_t rva)
{
    return m_Ops.push_back(OP_REL32) && m_Rel32Ix.push_back(rva);
}

bool EncodedProgram::AddAbs32Target(uint32_t rva)
{
    return m_Ops.push_back(OP_ABS32) && m_Abs32Ix.push_back(rva);
}

bool EncodedProgram::NumberTargets(U32Buffer* references, U32Buffer* table)
{
    table->reset();
    const uint64_t n = references->size();
    if (n == 0)
        return true;
    uint32_t* refs = references->data();
    const uint32_t low = *std::min_element(refs, refs + n);
    const uint32_t high = *std::max_element(refs, refs + n);
    const uint64_t span = uint64_t(high - low) + 1;
    const uint64_t words = (span + 63) / 64;
    // Targets lie close together in any real program: one bit per address
    // of their span, and the count of targets before each 64-bit word, give
    // every reference its label's index in one pass. A sparse span, as a
    // hostile file may have, is sorted instead.
    if (words > 2 * n + 4096) {
        U32Buffer sorted;
        if (!sorted.append(refs, n))
            return false;
        std::sort(sorted.data(), sorted.data() + n);
        for (uint64_t i = 0; i < n; ++i) {
            if ((i == 0 || sorted[i] != sorted[i - 1]) && !table->push_back(sorted[i]))
                return false;
        }
        const uint32_t* begin = table->data();
        const uint32_t* end = begin + table->size();
        for (uint64_t i = 0; i < n; ++i)
            refs[i] = static_cast<uint32_t>(std::lower_bound(begin, end, refs[i]) - begin);
        return true;
    }
    GrowableBuffer<uint64_t, 64, (uint64_t(1) << 58)> bits;
    GrowableBuffer<uint32_t, 64, kMaxElements> before;
    if (!bits.reserve(words) || !before.reserve(words))
        return false;
    std::memset(bits.data(), 0, static_cast<size_t>(words) * sizeof(uint64_t));
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t at = refs[i] - low;
        bits.data()[at / 64] |= uint64_t(1) << (at % 64);
    }
    uint32_t count = 0;
    for (uint64_t w = 0; w < words; ++w) {
        before.data()[w] = count;
        uint64_t word = bits.data()[w];
        count += static_cast<uint32_t>(__builtin_popcountll(word));
        while (word) {
            const uint32_t bit = static_cast<uint32_t>(__builtin_ctzll(word));
            if (!table->push_back(low + static_cast<uint32_t>(w * 64) + bit))
                return false;
            word &= word - 1;
        }
    }
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t at = refs[i] - low;
        const uint64_t below = bits.data()[at / 64] & ((uint64_t(1) << (at % 64)) - 1);
        refs[i] = before.data()[at / 64] + static_cast<uint32_t>(__builtin_popcountll(below));
    }
    return true;
}

bool EncodedProgram::NumberLabelTargets()
{
    if (!NumberTargets(&m_Rel32Ix, &m_Rel32Rvas) || !NumberTargets(&m_Abs32Ix, &m_Abs32Rvas))
        return false;
    // A target at the unassigned marker's address reads as the label before
    // it, exactly as in a program encoded from its labels; the two must agree.
    FinishLabels();
    return true;
}

bool EncodedProgram::AddPeMakeRelocs(ExecutableType kind)
{
    return m_Ops.push_back(kind == WIN_32_X86 ? OP_MAKE_PE_RELOCATION_TABLE : OP_MAKE_PE64_RELOCATION_TABLE);
}

bool EncodedProgram::AddElfMakeRelocs()
{
    return m_Ops.push_back(OP_MAKE_ELF_RELOCATION_TABLE);
}

bool EncodedProgram::AddElfARMMakeRelocs()
{
    return m_Ops.push_back(OP_MAKE_ELF_ARM_RELOCATION_TABLE);
}

bool EncodedProgram::WriteTo(WriteStreamSet* streams)
{
    WriteStream* misc = streams->Stream(kStreamMisc);
    if (!misc->WriteVarint32(static_cast<uint32_t>(m_ImageBase)))
        return false;
    bool ok = WriteDeltas(streams->Stream(kStreamAbs32Addresses), m_Abs32Rvas);
    ok = WriteDeltas(streams->Stream(kStreamRel32Addresses), m_Rel32Rvas) && ok;
    ok = WriteU32Array(misc, m_Origins) && ok;
    ok = WriteU32Array(streams->Stream(kStreamOps), m_Ops) && ok;
    ok = WriteU32Array(streams->Stream(kStreamCopyCounts), m_CopyCounts) && ok;
    ok = WriteBytes(streams->Stream(kStreamBytes), m_CopyBytes) && ok;
    ok = WriteU32Array(streams->Stream(kStreamAbs32Indexes), m_Abs32Ix) && ok;
    ok = WriteU32Array(streams->Stream(kStreamRel32Indexes), m_Rel32Ix) && ok;
    return ok;
}

bool EncodedProgram::ReadFrom(ReadStreamSet* streams)
{
    if (streams->Count() < kStreamCount)
        return false;
    ReadStream* misc = streams->Stream(kStreamMisc);
    uint32_t base = 0;
    if (!misc->ReadVarint32(&base))
        return false;
    m_ImageBase = base;
    if (!ReadDeltas(streams->Stream(kStreamAbs32Addresses), &m_Abs32Rvas))
        return false;
    if (!ReadDeltas(streams->Stream(kStreamRel32Addresses), &m_Rel32Rvas))
        return false;
    if (!ReadU32Array(misc, &m_Origins))
        return false;
    if (!ReadU32Array(streams->Stream(kStreamOps), &m_Ops))
        return false;
    if (!ReadU32Array(streams->Stream(kStreamCopyCounts), &m_CopyCounts))
        return false;
    if (!ReadBytes(streams->Stream(kStreamBytes), &m_CopyBytes))
        return false;
    if (!ReadU32Array(streams->Stream(kStreamAbs32Indexes), &m_Abs32Ix))
        return false;
    if (!ReadU32Array(streams->Stream(kStreamRel32Indexes), &m_Rel32Ix))
        return false;
    for (int i = 0; i < kStreamCount; ++i) {
        if (!streams->Stream(i)->Consumed())
            return false;
    }
    return true;
}

void EncodedProgram::SortRelocationRvas()
{
    // The last entry keeps its place; the generator sorts the same way.
    if (m_Abs32RelocRvas.size() > 1)
        std::sort(m_Abs32RelocRvas.data(), m_Abs32RelocRvas.data() + m_Abs32RelocRvas.size() - 1);
}

bool EncodedProgram::GenerateElfRelocations(WriteStream* output, uint32_t entryType)
{
    SortRelocationRvas();
    for (uint64_t i = 0; i < m_Abs32RelocRvas.size(); ++i) {
        if (!WriteLe32(output, m_Abs32RelocRvas[i]) || !WriteLe32(output, entryType))
            return false;
    }
    return true;
}

bool EncodedProgram::GeneratePeRelocations(WriteStream* output, uint32_t entryType)
{
    SortRelocationRvas();
    // One block per page: page rva, size in bytes, then 16-bit entries; a
    // block holds at most one entry per byte of its page.
    const uint32_t kMaxEntries = 4096;
    uint16_t entries[kMaxEntries + 1];
    uint32_t count = 0;
    uint32_t page = 0;
    auto flush = [&]() -> bool {
        if (count == 0)
            return true;
        if (count % 2)
            entries[count++] = 0;
        if (!WriteLe32(output, page) || !WriteLe32(output, 8 + 2 * count))
            return false;
        for (uint32_t i = 0; i < count; ++i) {
            if (!WriteLe16(output, entries[i]))
                return false;
        }
        count = 0;
        return true;
    };
    for (uint64_t i = 0; i < m_Abs32RelocRvas.size(); ++i) {
        const uint32_t rva = m_Abs32RelocRvas[i];
        if ((rva & ~0xFFFu) != page || count == 0) {
            if (!flush())
                return false;
            page = rva & ~0xFFFu;
        }
        // Only origins that revisit one page over and over get here.
        if (count >= kMaxEntries)
            return false;
        entries[count++] = static_cast<uint16_t>((rva & 0xFFF) | (entryType << 12));
    }
    return flush();
}

bool EncodedProgram::AssembleTo(WriteStream* final_output)
{
    uint32_t rva = 0;
    Cursor<U32Buffer, uint32_t> origins(m_Origins), counts(m_CopyCounts), rel32(m_Rel32Ix), abs32(m_Abs32Ix);
    Cursor<ByteBuffer, uint8_t> bytes(m_CopyBytes);
    WriteStream deferred;
    WriteStream* output = final_output;
    uint32_t peEntryType = 0;
    uint32_t elfEntryType = 0;

    for (uint64_t k = 0; k < m_Ops.size(); ++k) {
        const uint32_t op = m_Ops[k];
        switch (op) {
        case OP_ORIGIN:
            if (!origins.Next(&rva))
                return false;
            break;
        case OP_COPY: {
            uint32_t n = 0;
            if (!counts.Next(&n))
                return false;
            const uint64_t from = bytes.position();
            if (!bytes.Skip(n) || !output->Write(m_CopyBytes.data() + from, n))
                return false;
            rva += n;
            break;
        }
        case OP_COPY1: {
            uint8_t b = 0;
            if (!bytes.Next(&b) || !output->Write(&b, 1))
                return false;
            rva += 1;
            break;
        }
        case OP_REL32: {
            uint32_t i = 0;
            if (!rel32.Next(&i) || i >= m_Rel32Rvas.size())
                return false;
            if (!WriteLe32(output, m_Rel32Rvas[i] - (rva + 4)))
                return false;
            rva += 4;
            break;
        }
        case OP_ABS32: {
            uint32_t i = 0;
            if (!abs32.Next(&i) || i >= m_Abs32Rvas.size())
                return false;
            if (!m_Abs32RelocRvas.push_back(rva))
                return false;
            if (!WriteLe32(output, m_Abs32Rvas[i] + static_cast<uint32_t>(m_ImageBase)))
                return false;
            rva += 4;
            break;
        }
        case OP_MAKE_PE_RELOCATION_TABLE:
        case OP_MAKE_PE64_RELOCATION_TABLE:
            if (peEntryType)
                return false;
            peEntryType = op == OP_MAKE_PE_RELOCATION_TABLE ? 3 : 10;
            output = &deferred;
            break;
        case OP_MAKE_ELF_RELOCATION_TABLE:
        case OP_MAKE_ELF_ARM_RELOCATION_TABLE:
            if (elfEntryType)
                return false;
            elfEntryType = op == OP_MAKE_ELF_RELOCATION_TABLE ? 8 : 23;
            output = &deferred;
            break;
        default: {
            const uint32_t family = op & 0xF000;
            if (family < 0x1000 || family > 0x5000)
                return false;
            const uint8_t type = static_cast<uint8_t>((family >> 12) - 1);
            uint32_t i = 0;
            if (!rel32.Next(&i) || i >= m_Rel32Rvas.size())
                return false;
            uint32_t value = 0;
            if (!DisassemblerElf32ARM::EncodeArmBranch(type, static_cast<uint16_t>(op & 0xFFFF), m_Rel32Rvas[i] - rva,
                                                       &value))
                return false;
            if (type == ARM_OFF8 || type == ARM_OFF11) {
                if (!WriteLe16(output, value))
                    return false;
                rva += 2;
            } else if (type == ARM_OFF24) {
                if (!WriteLe32(output, value))
                    return false;
                rva += 4;
            } else {
                // Thumb-2: the high halfword comes first in memory.
                if (!WriteLe16(output, value >> 16) || !WriteLe16(output, value))
                    return false;
                rva += 4;
            }
            break;
        }
        }
    }
    if (peEntryType) {
        if (!GeneratePeRelocations(final_output, peEntryType) || !final_output->Append(&deferred))
            return false;
    }
    if (elfEntryType) {
        if (!GenerateElfRelocations(final_output, elfEntryType) || !final_output->Append(&deferred))
            return false;
    }
    return counts.Done() && bytes.Done() && abs32.Done() && rel32.Done();
}

void EncodedProgram::PrintStatistics() const
{
    LogMessage message(LogLevel_DEBUG);
    message << "EncodedProgram Summary"
            << "\n  image base  " << m_ImageBase << "\n  abs32 rvas  " << m_Abs32Rvas.size() << "\n  rel32 rvas  "
            << m_Rel32Rvas.size() << "\n  ops         " << m_Ops.size() << "\n  origins     " << m_Origins.size()
            << "\n  copy_counts " << m_CopyCounts.size() << "\n  copy_bytes  " << m_CopyBytes.size()
            << "\n  abs32_ix    " << m_Abs32Ix.size() << "\n  rel32_ix    " << m_Rel32Ix.size();
}

PatchStatus WriteEncodedProgram(EncodedProgram* program, WriteStreamSet* streams)
{
    return program->WriteTo(streams) ? StatusOk : StatusStreamError;
}

PatchStatus ReadEncodedProgram(ReadStreamSet* streams, EncodedProgram** output)
{
    *output = nullptr;
    EncodedProgram* program = new (std::nothrow) EncodedProgram();
    if (!program)
        return StatusReadProgramFailed;
    if (!program->ReadFrom(streams)) {
        delete program;
        return StatusReadProgramFailed;
    }
    *output = program;
    return StatusOk;
}

PatchStatus AssembleEncodedProgram(EncodedProgram* program, WriteStream* output)
{
    return program->AssembleTo(output) ? StatusOk : StatusAssemblyFailed;
}

void DeleteEncodedProgram(EncodedProgram* program)
{
    delete program;
}

} // namespace deltapatch
