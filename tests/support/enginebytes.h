#ifndef QND_TESTS_ENGINEBYTES_H
#define QND_TESTS_ENGINEBYTES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bytediff.h"
#include "computecrc32.h"
#include "streams.h"

namespace testsupport {

// Bytes and words for the engine's tests: what its streams and buffers
// hold, and inputs written from the formats rather than by the engine's
// own writers.
typedef std::vector<uint8_t> Bytes;

inline Bytes FromText(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

inline Bytes ToBytes(const deltapatch::WriteStream& stream)
{
    return Bytes(stream.Data(), stream.Data() + stream.Size());
}

inline Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline uint32_t Crc(const Bytes& bytes)
{
    return deltapatch::ComputeCrc32(bytes.data(), bytes.size());
}

inline Bytes Varints(const std::vector<uint32_t>& values)
{
    deltapatch::WriteStream out;
    for (uint32_t v : values)
        EXPECT_TRUE(out.WriteVarint32(v));
    return ToBytes(out);
}

// The elements of one of the engine's buffers, for comparison.
template <typename Buffer>
std::vector<typename std::decay<decltype(std::declval<Buffer>()[0])>::type> ToVector(const Buffer& buffer)
{
    return {buffer.data(), buffer.data() + buffer.size()};
}

// A flat stream set: magic, count, the lengths, then the streams.
inline Bytes FlatSet(const std::vector<Bytes>& streams)
{
    std::vector<uint32_t> header = {deltapatch::kStreamSetMagic, static_cast<uint32_t>(streams.size())};
    for (const Bytes& s : streams)
        header.push_back(static_cast<uint32_t>(s.size()));
    Bytes out = Varints(header);
    for (const Bytes& s : streams)
        out = Concat(out, s);
    return out;
}

// A plain byte-diff stage without header from one to the other.
inline Bytes PlainDiff(const Bytes& from, const Bytes& to)
{
    deltapatch::ReadStream oldStream(from.data(), from.size());
    deltapatch::ReadStream newStream(to.data(), to.size());
    deltapatch::WriteStream sink;
    EXPECT_TRUE(deltapatch::CreateDiff(&oldStream, &newStream, &sink, false, deltapatch::kDiffPlain));
    return ToBytes(sink);
}

} // namespace testsupport

#endif // QND_TESTS_ENGINEBYTES_H
