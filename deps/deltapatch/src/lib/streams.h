#ifndef DELTAPATCH_STREAMS_H
#define DELTAPATCH_STREAMS_H

#include <cstddef>
#include <cstdint>

namespace deltapatch {

// First varint of every flat stream set (bytes EA 9A CA 09).
const uint32_t kStreamSetMagic = 20090218;
const size_t kMaxStreams = 10;

// Decodes one varint32 from [begin, end); returns the position after it, or
// null when the bytes end early or a fifth byte has its high bit set.
const uint8_t* ParseVarint32(const uint8_t* begin, const uint8_t* end, uint32_t* out);

class WriteStream;

// A read cursor over memory it does not own. Every read is bounds-checked and
// leaves the cursor where it was when it fails.
class ReadStream
{
public:
    ReadStream() : m_Start(nullptr), m_End(nullptr), m_Current(nullptr) {}
    ReadStream(const uint8_t* data, size_t length) { Init(data, length); }

    void Init(const uint8_t* data, size_t length);
    void Init(const WriteStream& writer);

    bool Read(void* buffer, size_t n);
    bool ReadVarint32(uint32_t* out);
    bool ReadVarint32Signed(int32_t* out);
    bool Skip(size_t n);
    // sub = the next n bytes; this stream moves past them.
    bool ReadSubstream(size_t n, ReadStream* sub);
    // sub = [current + offset, current + offset + length); this stream stays.
    bool ShareSubstream(size_t offset, size_t length, ReadStream* sub) const;

    size_t Remaining() const { return static_cast<size_t>(m_End - m_Current); }
    bool Consumed() const { return m_Current == m_End; }
    const uint8_t* Current() const { return m_Current; }
    const uint8_t* Start() const { return m_Start; }
    const uint8_t* End() const { return m_End; }

private:
    const uint8_t* m_Start;
    const uint8_t* m_End;
    const uint8_t* m_Current;
};

// A growable byte buffer with non-throwing allocation. An allocation failure,
// or a write or reservation that would take the size past the limit, releases
// the bytes and marks the stream failed; every later write fails, so a chain
// of writes can be checked once at the end.
class WriteStream
{
public:
    WriteStream() : m_Data(nullptr), m_Size(0), m_Capacity(0), m_Limit(UINT64_MAX), m_Failed(false) {}
    ~WriteStream();
    WriteStream(const WriteStream&) = delete;
    WriteStream& operator=(const WriteStream&) = delete;

    bool Write(const void* bytes, size_t n);
    bool WriteVarint32(uint32_t value);
    bool WriteVarint32Signed(int32_t value);
    // A size of the engine's own streams; one above 32 bits is an assertion
    // failure that ends the process.
    bool WriteSizeVarint32(uint64_t value);
    // Writes other's bytes; on success other is released (empty).
    bool Append(WriteStream* other);
    // Makes room for n more bytes in one step: when the capacity is short the
    // buffer becomes exactly max(size + n, 256) bytes.
    bool Reserve(uint64_t n);
    // Counts n bytes already placed in the reserved room behind Size() as
    // written; fails when they would pass the capacity.
    bool Extend(uint64_t n);
    // Drops bytes past size; a larger size changes nothing.
    void Truncate(uint64_t size);
    // Releases the buffer; the stream becomes empty and no longer failed.
    void Retire();
    // The bytes before offset are not read again: the memory under them may
    // be handed back. They must not be read afterwards; the size stays.
    void Forget(uint64_t offset);

    // The most bytes the stream may hold; the buffer never grows beyond it.
    void SetLimit(uint64_t limit) { m_Limit = limit; }
    uint64_t Limit() const { return m_Limit; }
    // Bytes that may still be written before the limit.
    uint64_t Headroom() const { return m_Size < m_Limit ? m_Limit - m_Size : 0; }

    const uint8_t* Data() const { return m_Data; }
    uint8_t* MutableData() { return m_Data; }
    uint64_t Size() const { return m_Size; }
    uint64_t Capacity() const { return m_Capacity; }
    bool Failed() const { return m_Failed; }

private:
    bool Reallocate(uint64_t capacity);
    void MarkFailed();

    uint8_t* m_Data;
    uint64_t m_Size;
    uint64_t m_Capacity;
    uint64_t m_Limit;
    bool m_Failed;
};

// Up to ten streams parsed from a flat set, or taken out of an outer set as a
// nested one. The streams point into memory the set does not own.
class ReadStreamSet
{
public:
    ReadStreamSet() : m_Count(kMaxStreams) {}

    bool Init(const uint8_t* data, size_t length);
    // Parses the source's bytes from its current position; the source stays.
    bool Init(const ReadStream& source);
    // Takes the next nested set out of this set's streams.
    bool ReadSet(ReadStreamSet* inner);
    // True when each of the first Count() streams is consumed.
    bool Empty() const;

    ReadStream* Stream(size_t index) { return index < kMaxStreams ? &m_Streams[index] : nullptr; }
    uint64_t Count() const { return m_Count; }

private:
    uint64_t m_Count;
    ReadStream m_Streams[kMaxStreams];
};

class WriteStreamSet
{
public:
    WriteStreamSet() : m_Count(kMaxStreams) {}
    WriteStreamSet(const WriteStreamSet&) = delete;
    WriteStreamSet& operator=(const WriteStreamSet&) = delete;

    // Fails for a count above ten.
    bool Init(uint64_t count);
    WriteStream* Stream(size_t index) { return index < kMaxStreams ? &m_Streams[index] : nullptr; }
    uint64_t Count() const { return m_Count; }

    // Magic, count and the count stream lengths.
    bool WriteHeader(WriteStream* sink);
    // Writes the whole set flat into sink and empties it.
    bool CopyTo(WriteStream* sink);
    // Nests inner into this set stream for stream and empties inner.
    bool WriteSet(WriteStreamSet* inner);

private:
    uint64_t m_Count;
    WriteStream m_Streams[kMaxStreams];
};

} // namespace deltapatch

#endif
