#include "streams.h"

#include <cstring>
#include <new>

#include "blockmemory.h"
#include "log.h"

namespace deltapatch {

namespace {

const uint64_t kMinCapacity = 256;
const uint64_t kMaxUint64 = ~uint64_t(0);

size_t EncodeVarint32(uint32_t value, uint8_t* out)
{
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

} // namespace

const uint8_t* ParseVarint32(const uint8_t* begin, const uint8_t* end, uint32_t* out)
{
    uint32_t value = 0;
    const uint8_t* p = begin;
    for (int group = 0; group < 5; ++group) {
        if (p == end)
            return nullptr;
        uint8_t byte = *p++;
        if (group == 4) {
            // Only bits 28-31 fit; a fifth byte that claims a continuation is
            // malformed.
            if (byte & 0x80)
                return nullptr;
            value |= static_cast<uint32_t>(byte & 0x0F) << 28;
            break;
        }
        value |= static_cast<uint32_t>(byte & 0x7F) << (7 * group);
        if (!(byte & 0x80))
            break;
    }
    *out = value;
    return p;
}

// ReadStream

void ReadStream::Init(const uint8_t* data, size_t length)
{
    m_Start = data;
    m_End = data ? data + length : data;
    m_Current = data;
}

void ReadStream::Init(const WriteStream& writer)
{
    Init(writer.Data(), static_cast<size_t>(writer.Size()));
}

bool ReadStream::Read(void* buffer, size_t n)
{
    if (n > Remaining())
        return false;
    if (n != 0)
        std::memcpy(buffer, m_Current, n);
    m_Current += n;
    return true;
}

bool ReadStream::ReadVarint32(uint32_t* out)
{
    const uint8_t* next = ParseVarint32(m_Current, m_End, out);
    if (!next)
        return false;
    m_Current = next;
    return true;
}

bool ReadStream::ReadVarint32Signed(int32_t* out)
{
    uint32_t u = 0;
    if (!ReadVarint32(&u))
        return false;
    *out = static_cast<int32_t>((u >> 1) ^ (0u - (u & 1u)));
    return true;
}

bool ReadStream::Skip(size_t n)
{
    if (n > Remaining())
        return false;
    m_Current += n;
    return true;
}

bool ReadStream::ReadSubstream(size_t n, ReadStream* sub)
{
    if (n > Remaining())
        return false;
    sub->Init(m_Current, n);
    m_Current += n;
    return true;
}

bool ReadStream::ShareSubstream(size_t offset, size_t length, ReadStream* sub) const
{
    size_t remaining = Remaining();
    if (remaining < offset || remaining - offset < length)
        return false;
    sub->Init(m_Current + offset, length);
    return true;
}

// WriteStream

WriteStream::~WriteStream()
{
    FreeBlock(m_Data, static_cast<size_t>(m_Capacity));
}

void WriteStream::MarkFailed()
{
    Retire();
    m_Failed = true;
}

bool WriteStream::Reallocate(uint64_t capacity)
{
    if (capacity > SIZE_MAX) {
        MarkFailed();
        return false;
    }
    uint8_t* data = static_cast<uint8_t*>(AllocateBlock(static_cast<size_t>(capacity)));
    if (!data) {
        MarkFailed();
        return false;
    }
    if (m_Size != 0)
        std::memcpy(data, m_Data, static_cast<size_t>(m_Size));
    FreeBlock(m_Data, static_cast<size_t>(m_Capacity));
    m_Data = data;
    m_Capacity = capacity;
    return true;
}

bool WriteStream::Write(const void* bytes, size_t n)
{
    if (m_Failed || n > kMaxUint64 - m_Size)
        return false;
    if (n == 0)
        return true;
    if (n > Headroom()) {
        MarkFailed();
        return false;
    }
    const uint8_t* source = static_cast<const uint8_t*>(bytes);
    if (m_Capacity - m_Size < n) {
        // Bytes taken from this stream's own buffer must be found again in the
        // new one: the old buffer is released by the growth.
        uintptr_t at = reinterpret_cast<uintptr_t>(source);
        uintptr_t base = reinterpret_cast<uintptr_t>(m_Data);
        bool own = m_Data && at >= base && at - base < m_Size;
        uint64_t offset = own ? at - base : 0;
        uint64_t needed = m_Size + n;
        uint64_t capacity = m_Capacity != 0 ? m_Capacity : kMinCapacity;
        while (capacity < needed)
            capacity = capacity > kMaxUint64 / 2 ? kMaxUint64 : capacity * 2;
        if (capacity > m_Limit)
            capacity = m_Limit;
        if (!Reallocate(capacity < needed ? needed : capacity))
            return false;
        if (own)
            source = m_Data + offset;
    }
    std::memcpy(m_Data + m_Size, source, n);
    m_Size += n;
    return true;
}

bool WriteStream::WriteVarint32(uint32_t value)
{
    uint8_t buffer[5];
    return Write(buffer, EncodeVarint32(value, buffer));
}

bool WriteStream::WriteVarint32Signed(int32_t value)
{
    uint32_t u = static_cast<uint32_t>(value);
    uint32_t sign = value < 0 ? 0xFFFFFFFFu : 0u;
    return WriteVarint32((u << 1) ^ sign);
}

bool WriteStream::WriteSizeVarint32(uint64_t value)
{
    uint32_t narrowed_value = static_cast<uint32_t>(value);
    if (value != narrowed_value) {
        log("Assertion \"value == narrowed_value\" failed at "
            "../../../../deps/deltapatch/src/lib/streams:209; ",
            LogLevel_CRITICAL, "", 0);
        return false;
    }
    return WriteVarint32(narrowed_value);
}

bool WriteStream::Append(WriteStream* other)
{
    if (!other || other == this || other->m_Failed)
        return false;
    if (!Write(other->m_Data, static_cast<size_t>(other->m_Size)))
        return false;
    other->Retire();
    return true;
}

bool WriteStream::Reserve(uint64_t n)
{
    if (m_Failed || n > kMaxUint64 - m_Size)
        return false;
    if (n > Headroom()) {
        MarkFailed();
        return false;
    }
    if (m_Capacity - m_Size >= n)
        return true;
    const uint64_t needed = m_Size + n;
    const uint64_t capacity = needed < kMinCapacity ? kMinCapacity : needed;
    return Reallocate(capacity > m_Limit ? needed : capacity);
}

bool WriteStream::Extend(uint64_t n)
{
    if (m_Failed || n > m_Capacity - m_Size)
        return false;
    m_Size += n;
    return true;
}

void WriteStream::Truncate(uint64_t size)
{
    if (size < m_Size)
        m_Size = size;
}

void WriteStream::Forget(uint64_t offset)
{
    if (offset <= m_Size)
        ReleaseBlockPages(m_Data, static_cast<size_t>(m_Capacity), 0, static_cast<size_t>(offset));
}

void WriteStream::Retire()
{
    FreeBlock(m_Data, static_cast<size_t>(m_Capacity));
    m_Data = nullptr;
    m_Size = 0;
    m_Capacity = 0;
    m_Failed = false;
}

// ReadStreamSet

bool ReadStreamSet::Init(const uint8_t* data, size_t length)
{
    ReadStream header(data, length);
    uint32_t magic = 0;
    if (!header.ReadVarint32(&magic) || magic != kStreamSetMagic)
        return false;
    uint32_t count = 0;
    if (!header.ReadVarint32(&count) || count > kMaxStreams)
        return false;
    uint32_t lengths[kMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!header.ReadVarint32(&lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total != header.Remaining())
        return false;
    // Only a set that parsed completely replaces the streams.
    for (uint32_t i = 0; i < count; ++i)
        header.ReadSubstream(lengths[i], &m_Streams[i]);
    m_Count = count;
    return true;
}

bool ReadStreamSet::Init(const ReadStream& source)
{
    return Init(source.Current(), source.Remaining());
}

bool ReadStreamSet::ReadSet(ReadStreamSet* inner)
{
    if (!inner || inner == this || m_Count == 0)
        return false;
    // Work on copies so that a failed read moves nothing.
    ReadStream outer[kMaxStreams];
    for (size_t i = 0; i < kMaxStreams; ++i)
        outer[i] = m_Streams[i];
    uint32_t count = 0;
    if (!outer[0].ReadVarint32(&count) || count > kMaxStreams || count > m_Count || count > inner->m_Count)
        return false;
    uint32_t lengths[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        if (!outer[0].ReadVarint32(&lengths[i]))
            return false;
    }
    ReadStream taken[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        if (!outer[i].ReadSubstream(lengths[i], &taken[i]))
            return false;
    }
    for (uint32_t i = 0; i < count; ++i)
        inner->m_Streams[i] = taken[i];
    for (size_t i = 0; i < kMaxStreams; ++i)
        m_Streams[i] = outer[i];
    return true;
}

bool ReadStreamSet::Empty() const
{
    for (uint64_t i = 0; i < m_Count && i < kMaxStreams; ++i) {
        if (!m_Streams[i].Consumed())
            return false;
    }
    return true;
}

// WriteStreamSet

bool WriteStreamSet::Init(uint64_t count)
{
    if (count > kMaxStreams)
        return false;
    m_Count = count;
    return true;
}

bool WriteStreamSet::WriteHeader(WriteStream* sink)
{
    if (!sink)
        return false;
    // Checked here so that an oversized stream is a failed write, not the
    // size-varint assertion that would end the process.
    for (uint64_t i = 0; i < m_Count; ++i) {
        if (m_Streams[i].Failed() || m_Streams[i].Size() > 0xFFFFFFFFu)
            return false;
    }
    bool ok = sink->WriteVarint32(kStreamSetMagic) && sink->WriteSizeVarint32(m_Count);
    for (uint64_t i = 0; ok && i < m_Count; ++i)
        ok = sink->WriteSizeVarint32(m_Streams[i].Size());
    return ok;
}

bool WriteStreamSet::CopyTo(WriteStream* sink)
{
    if (!sink)
        return false;
    WriteStream header;
    if (!WriteHeader(&header))
        return false;
    uint64_t total = header.Size();
    for (uint64_t i = 0; i < m_Count; ++i)
        total += m_Streams[i].Size(); // at most ten 32-bit sizes: no overflow
    // One reservation for the whole flat set, so no doubling copies.
    if (!sink->Reserve(total))
        return false;
    if (!sink->Write(header.Data(), static_cast<size_t>(header.Size())))
        return false;
    for (uint64_t i = 0; i < m_Count; ++i) {
        if (!sink->Write(m_Streams[i].Data(), static_cast<size_t>(m_Streams[i].Size())))
            return false;
        m_Streams[i].Retire();
    }
    return true;
}

bool WriteStreamSet::WriteSet(WriteStreamSet* inner)
{
    if (!inner || inner == this || m_Count == 0)
        return false;
    uint64_t n = 0;
    for (size_t i = 0; i < kMaxStreams; ++i) {
        if (inner->m_Streams[i].Failed() || inner->m_Streams[i].Size() > 0xFFFFFFFFu)
            return false;
        if (inner->m_Streams[i].Size() != 0)
            n = i + 1;
    }
    if (n > m_Count)
        return false;
    WriteStream& index = m_Streams[0];
    bool ok = index.WriteSizeVarint32(n);
    for (uint64_t i = 0; ok && i < n; ++i)
        ok = index.WriteSizeVarint32(inner->m_Streams[i].Size());
    for (uint64_t i = 0; ok && i < n; ++i)
        ok = m_Streams[i].Append(&inner->m_Streams[i]);
    return ok;
}

} // namespace deltapatch
