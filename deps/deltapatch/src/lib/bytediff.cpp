#include "bytediff.h"

#include "computecrc32.h"
#include "log.h"
#include "lzmaioout.h"
#include "streams.h"
#include "suffixarray.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace deltapatch {
namespace {

const char kDiffMagic[8] = {'Q', 'N', 'D', 'I', 'F', 'F', '1', '0'};
const uint64_t kMaxDiffInput = 0x7FFFFFFF;

void LogError(const char* message)
{
    ::log(message, LogLevel_ERROR, std::string(), 0);
}

struct Sections
{
    ReadStream control;
    ReadStream difference;
    ReadStream extra;
};

// The method-0 body: three lengths, then the sections back to back. Their sum
// is taken in 64 bits so that lengths near 2^32 cannot wrap past the check.
bool ReadPlainSections(ReadStream* body, Sections* sections)
{
    uint32_t controlLength = 0;
    uint32_t differenceLength = 0;
    uint32_t extraLength = 0;
    if (!body->ReadVarint32(&controlLength) || !body->ReadVarint32(&differenceLength)
        || !body->ReadVarint32(&extraLength))
        return false;
    uint64_t total = uint64_t{controlLength} + differenceLength + extraLength;
    if (total > body->Remaining()) {
        LogError("Corrupt patch sections");
        return false;
    }
    return body->ReadSubstream(controlLength, &sections->control)
        && body->ReadSubstream(differenceLength, &sections->difference)
        && body->ReadSubstream(extraLength, &sections->extra);
}

// Old data in pieces that follow one another.
struct OldPieces
{
    const DiffPiece* pieces;
    size_t count;
    uint64_t starts[kMaxDiffPieces + 1]; // starts[count] is the total length
};

void SumInto(uint8_t* out, const uint8_t* difference, const uint8_t* old, uint64_t n)
{
    for (uint64_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(difference[i] + old[i]);
}

// Adds a run of difference bytes to the old bytes under them (from old
// position at, across pieces), straight into room the output has already
// reserved. The caller keeps the run inside the old data.
bool AppendSum(WriteStream* output, const uint8_t* difference, const OldPieces& old, uint64_t at, uint64_t n)
{
    if (output->Capacity() - output->Size() < n)
        return false;
    uint8_t* out = output->MutableData() + output->Size();
    size_t piece = static_cast<size_t>(std::upper_bound(old.starts, old.starts + old.count, at) - old.starts - 1);
    for (uint64_t done = 0; done < n; ++piece) {
        const uint64_t from = at + done - old.starts[piece];
        const uint64_t here = std::min(n - done, old.pieces[piece].length - from);
        SumInto(out + done, difference + done, old.pieces[piece].data + from, here);
        done += here;
    }
    return output->Extend(n);
}

} // namespace

bool ApplyDiff(ReadStream* oldStream, ReadStream* diff, WriteStream* output, bool header)
{
    if (!oldStream)
        return false;
    const DiffPiece whole = {oldStream->Current(), oldStream->Remaining()};
    return ApplyDiffToPieces(&whole, 1, diff, output, header);
}

bool ApplyDiffToPieces(const DiffPiece* pieces, size_t count, ReadStream* diff, WriteStream* output, bool header)
{
    if (!pieces || count == 0 || count > kMaxDiffPieces || !diff || !output)
        return false;
    OldPieces old;
    old.pieces = pieces;
    old.count = count;
    old.starts[0] = 0;
    for (size_t i = 0; i < count; ++i)
        old.starts[i + 1] = old.starts[i] + pieces[i].length;
    const uint64_t oldLength = old.starts[count];

    uint32_t storedCrc = 0;
    if (header) {
        char magic[sizeof(kDiffMagic)];
        if (!diff->Read(magic, sizeof(magic)))
            return false;
        if (std::memcmp(magic, kDiffMagic, sizeof(magic)) != 0) {
            LogError("Corrupt patch header");
            return false;
        }
        if (!diff->ReadVarint32(&storedCrc)) {
            LogError("Could not read crc");
            return false;
        }
    }

    uint8_t method = 0;
    if (!diff->Read(&method, 1))
        return false;
    if (method > kDiffOneBlock) {
        LogError("Invalid compression method");
        return false;
    }
    uint32_t outputSize = 0;
    if (!diff->ReadVarint32(&outputSize))
        return false;

    // Scratch buffers for the decompressed sections; released on every path.
    WriteStream controlScratch;
    WriteStream differenceScratch;
    WriteStream extraScratch;
    Sections sections;
    if (method == kDiffThreeBlocks) {
        if (!DecodeLzma2Block(diff, &controlScratch) || !DecodeLzma2Block(diff, &differenceScratch)
            || !DecodeLzma2Block(diff, &extraScratch))
            return false;
        sections.control.Init(controlScratch);
        sections.difference.Init(differenceScratch);
        sections.extra.Init(extraScratch);
    } else if (method == kDiffOneBlock) {
        if (!DecodeLzma2Block(diff, &controlScratch))
            return false;
        ReadStream body;
        body.Init(controlScratch);
        if (!ReadPlainSections(&body, &sections))
            return false;
    } else if (!ReadPlainSections(diff, &sections)) {
        return false;
    }

    // Every new byte comes from a difference or an extra byte, so a larger
    // output size cannot be met; refusing it here also keeps a few bytes of
    // input from reserving gigabytes.
    if (uint64_t{outputSize} > uint64_t{sections.difference.Remaining()} + sections.extra.Remaining()) {
        LogError("Corrupt patch output size");
        return false;
    }
    const uint64_t start = output->Size();
    if (!output->Reserve(outputSize))
        return false;

    int64_t oldPosition = 0;
    uint64_t produced = 0;
    while (produced < outputSize) {
        int32_t a = 0;
        int32_t b = 0;
        int32_t c = 0;
        if (!sections.control.ReadVarint32Signed(&a) || !sections.control.ReadVarint32Signed(&b)
            || !sections.control.ReadVarint32Signed(&c)) {
            LogError("Corrupt patch reading control");
            return false;
        }
        if (a < 0 || uint64_t(a) > sections.difference.Remaining() || oldPosition < 0) {
            LogError("Corrupt patch difference run");
            return false;
        }
        if (produced + uint64_t(a) > outputSize || uint64_t(oldPosition) + uint64_t(a) > oldLength) {
            LogError("Corrupt patch difference run");
            return false;
        }
        if (!AppendSum(output, sections.difference.Current(), old, uint64_t(oldPosition), uint64_t(a))
            || !sections.difference.Skip(uint64_t(a)))
            return false;
        produced += uint64_t(a);

        if (b >= 0 && produced + uint64_t(b) > outputSize) {
            LogError("Corrupt patch");
            return false;
        }
        if (b < 0 || uint64_t(b) > sections.extra.Remaining()) {
            LogError("Corrupt patch extra run");
            return false;
        }
        if (!output->Write(sections.extra.Current(), uint64_t(b)) || !sections.extra.Skip(uint64_t(b)))
            return false;
        produced += uint64_t(b);

        // The old position is a signed 32-bit offset; leaving that range is
        // corrupt data, not something to wrap around.
        oldPosition += int64_t{a} + c;
        if (oldPosition < INT32_MIN || oldPosition > INT32_MAX) {
            LogError("Corrupt patch old position");
            return false;
        }
    }

    if (header && ComputeCrc32(output->Data() + start, outputSize) != storedCrc) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

namespace {

// Length of the common prefix of a and b.
int64_t MatchLength(const uint8_t* a, int64_t aLength, const uint8_t* b, int64_t bLength)
{
    int64_t n = std::min(aLength, bLength);
    int64_t i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// Longest match of text among the old suffixes, by binary search over the
// suffix index (entry 0 is the empty suffix). On a tie the upper end wins.
int64_t SearchMatch(const int32_t* index, const uint8_t* old, int64_t oldSize, const uint8_t* text, int64_t textLength,
                    int64_t* position)
{
    int64_t st = 0;
    int64_t en = oldSize;
    while (en - st >= 2) {
        int64_t x = st + (en - st) / 2;
        // The search is bound by memory latency: both possible next probes
        // and the four after them are fetched while this one is compared,
        // and then the old bytes of both next probes.
        const int64_t low = st + (x - st) / 2;
        const int64_t high = x + (en - x) / 2;
        __builtin_prefetch(index + low);
        __builtin_prefetch(index + high);
        __builtin_prefetch(index + st + (low - st) / 2);
        __builtin_prefetch(index + low + (x - low) / 2);
        __builtin_prefetch(index + x + (high - x) / 2);
        __builtin_prefetch(index + high + (en - high) / 2);
        int64_t suffix = index[x];
        size_t n = static_cast<size_t>(std::min(oldSize - suffix, textLength));
        const bool below = std::memcmp(old + suffix, text, n) < 0;
        __builtin_prefetch(old + index[low]);
        __builtin_prefetch(old + index[high]);
        if (below)
            st = x;
        else
            en = x;
    }
    int64_t lowLength = MatchLength(old + index[st], oldSize - index[st], text, textLength);
    int64_t highLength = MatchLength(old + index[en], oldSize - index[en], text, textLength);
    if (lowLength > highLength) {
        *position = index[st];
        return lowLength;
    }
    *position = index[en];
    return highLength;
}

struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};

// Control, difference and extra sections as the scan produces them.
struct DiffSections
{
    WriteStream control;
    WriteStream difference;
    WriteStream extra;
};

bool WriteDifference(WriteStream* sink, const uint8_t* fresh, const uint8_t* old, int64_t n)
{
    uint8_t chunk[4096];
    while (n > 0) {
        int64_t step = std::min<int64_t>(n, sizeof(chunk));
        for (int64_t i = 0; i < step; ++i)
            chunk[i] = static_cast<uint8_t>(fresh[i] - old[i]);
        if (!sink->Write(chunk, static_cast<size_t>(step)))
            return false;
        fresh += step;
        old += step;
        n -= step;
    }
    return true;
}

// Greedy matching: extend each approximate match forwards and backwards as
// long as at least half of the bytes agree, and split an overlap between two
// extensions where it scores best.
bool ScanDifferences(const uint8_t* old, int64_t oldSize, const uint8_t* fresh, int64_t newSize, const int32_t* index,
                     DiffSections* out)
{
    int64_t scan = 0;
    int64_t len = 0;
    int64_t pos = 0;
    int64_t lastscan = 0;
    int64_t lastpos = 0;
    int64_t lastoffset = 0;
    while (scan < newSize) {
        int64_t oldscore = 0;
        scan += len;
        int64_t scsc = scan;
        for (; scan < newSize; ++scan) {
            len = SearchMatch(index, old, oldSize, fresh + scan, newSize - scan, &pos);
            for (; scsc < scan + len; ++scsc) {
                int64_t o = scsc + lastoffset;
                if (o >= 0 && o < oldSize && old[o] == fresh[scsc])
                    ++oldscore;
            }
            if ((len == oldscore && len != 0) || len > oldscore + 8 || (len >= 10241 && len > oldscore))
                break;
            int64_t o = scan + lastoffset;
            if (o >= 0 && o < oldSize && old[o] == fresh[scan])
                --oldscore;
        }

        if (len == oldscore && scan != newSize)
            continue;

        int64_t s = 0;
        int64_t best = 0;
        int64_t lenf = 0;
        for (int64_t i = 1; lastscan + i - 1 < scan && lastpos + i - 1 < oldSize; ++i) {
            if (old[lastpos + i - 1] == fresh[lastscan + i - 1])
                ++s;
            if (s * 2 - i > best) {
                best = s * 2 - i;
                lenf = i;
            }
        }

        int64_t lenb = 0;
        if (scan < newSize) {
            s = 0;
            best = 0;
            for (int64_t i = 1; scan >= lastscan + i && pos >= i; ++i) {
                if (old[pos - i] == fresh[scan - i])
                    ++s;
                if (s * 2 - i > best) {
                    best = s * 2 - i;
                    lenb = i;
                }
            }
        }

        if (lastscan + lenf > scan - lenb) {
            int64_t overlap = (lastscan + lenf) - (scan - lenb);
            s = 0;
            best = 0;
            int64_t lens = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                if (fresh[lastscan + lenf - overlap + i] == old[lastpos + lenf - overlap + i])
                    ++s;
                if (fresh[scan - lenb + i] == old[pos - lenb + i])
                    --s;
                if (s > best) {
                    best = s;
                    lens = i + 1;
                }
            }
            lenf += lens - overlap;
            lenb -= lens;
        }

        int64_t extraLength = (scan - lenb) - (lastscan + lenf);
        if (!WriteDifference(&out->difference, fresh + lastscan, old + lastpos, lenf)
            || !out->extra.Write(fresh + lastscan + lenf, static_cast<size_t>(extraLength))
            || !out->control.WriteVarint32Signed(static_cast<int32_t>(lenf))
            || !out->control.WriteVarint32Signed(static_cast<int32_t>(extraLength))
            || !out->control.WriteVarint32Signed(static_cast<int32_t>((pos - lenb) - (lastpos + lenf))))
            return false;

        lastscan = scan - lenb;
        lastpos = pos - lenb;
        lastoffset = pos - scan;
    }
    return true;
}

bool AppendSections(WriteStream* sink, DiffSections* sections)
{
    // The lengths are varint32s; a larger section must fail here rather
    // than reach the size assertion of the stream.
    if (sections->control.Size() > UINT32_MAX || sections->difference.Size() > UINT32_MAX
        || sections->extra.Size() > UINT32_MAX) {
        LogError("Diff sections too large");
        return false;
    }
    return sink->WriteSizeVarint32(sections->control.Size()) && sink->WriteSizeVarint32(sections->difference.Size())
        && sink->WriteSizeVarint32(sections->extra.Size()) && sink->Append(&sections->control)
        && sink->Append(&sections->difference) && sink->Append(&sections->extra);
}

} // namespace

bool CreateDiff(ReadStream* oldStream, ReadStream* newStream, WriteStream* sink, bool header, int method)
{
    if (!oldStream || !newStream || !sink)
        return false;
    if (method < kDiffPlain || method > kDiffOneBlock) {
        LogError("Invalid compression method");
        return false;
    }
    const uint8_t* old = oldStream->Current();
    const uint64_t oldSize = oldStream->Remaining();
    const uint8_t* fresh = newStream->Current();
    const uint64_t newSize = newStream->Remaining();
    // Refused outright: a truncated length would silently drop data.
    if (oldSize > kMaxDiffInput) {
        LogError(" old stream too large");
        return false;
    }
    if (newSize > kMaxDiffInput) {
        LogError(" new stream too large");
        return false;
    }
    if (!oldStream->Skip(oldSize)) {
        LogError("error in old_stream size");
        return false;
    }
    if (!newStream->Skip(newSize)) {
        LogError("error in new_stream size");
        return false;
    }
    const uint32_t crc = ComputeCrc32(fresh, newSize);

    // index[0] is the empty suffix; the rest is the suffix array of old.
    std::unique_ptr<int32_t, FreeDeleter> index(static_cast<int32_t*>(std::malloc((oldSize + 1) * sizeof(int32_t))));
    if (!index) {
        LogError("Out of memory sorting the old data");
        return false;
    }
    index.get()[0] = static_cast<int32_t>(oldSize);
    if (oldSize > 0 && BuildSuffixArray(old, index.get() + 1, static_cast<int32_t>(oldSize)) != 0) {
        LogError("Could not sort the old data");
        return false;
    }

    DiffSections sections;
    if (!ScanDifferences(old, static_cast<int64_t>(oldSize), fresh, static_cast<int64_t>(newSize), index.get(),
                         &sections)) {
        LogError("Out of memory writing the diff");
        return false;
    }
    index.reset();

    if (header && (!sink->Write(kDiffMagic, sizeof(kDiffMagic)) || !sink->WriteVarint32(crc)))
        return false;
    const uint8_t methodByte = static_cast<uint8_t>(method);
    if (!sink->Write(&methodByte, 1) || !sink->WriteSizeVarint32(newSize))
        return false;

    if (method == kDiffPlain)
        return AppendSections(sink, &sections);
    if (method == kDiffThreeBlocks) {
        ReadStream control;
        control.Init(sections.control);
        return CompressStreamLzma2(&control, sink)
            && CompressBufferLzma2(sections.difference.Data(), sections.difference.Size(), sink)
            && CompressBufferLzma2(sections.extra.Data(), sections.extra.Size(), sink);
    }
    WriteStream body;
    if (!AppendSections(&body, &sections))
        return false;
    ReadStream bodyReader;
    bodyReader.Init(body);
    return CompressStreamLzma2(&bodyReader, sink);
}

} // namespace deltapatch
