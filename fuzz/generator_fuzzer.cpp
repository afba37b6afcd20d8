// The patch generator as the publisher runs it, on two related executables:
// the input is an edit script and an executable, and the new file is that
// executable with the edits applied. The generator keeps the smaller of its
// two forms; the patch must rebuild the new file exactly, and so must the
// element form whenever the generator can make it.
//
// Input: one byte n (edits: n % 17), n records of 6 bytes, the executable.
// A record is {op, place (2 bytes), length, argument (2 bytes)}; place and
// argument scale to the file's length, so one script means the same on a
// file of any size. The seeds are the test fixtures of every architecture,
// each behind a short script; in the "fewer-labels" ones the edits send
// calls out of the code, so that the newer program has fewer labels than
// the older one and its aligned labels carry indexes above its own count.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ensemblepatchapplier.h"
#include "ensemblepatchgenerator.h"
#include "executabledetection.h"
#include "patchstatus.h"
#include "streams.h"

using namespace deltapatch;

namespace {

typedef std::vector<uint8_t> Bytes;

const size_t kRecord = 6;
const size_t kMaxEdits = 16;

// A position in [0, limit] picked by a 16-bit fraction.
size_t Scaled(uint32_t fraction, size_t limit)
{
    return static_cast<size_t>((uint64_t(fraction) * (uint64_t(limit) + 1)) >> 16);
}

// The edits a new version brings: changed references and constants, code
// inserted, removed or moved. Moves keep the length, so the headers still
// describe the file.
void Edit(const uint8_t* record, Bytes* file)
{
    const uint8_t op = (record[0] & 0x1F) % 5;
    const uint32_t place = record[1] | uint32_t(record[2]) << 8;
    // The op byte's high bits scale the length, up to whole functions.
    const size_t length = size_t(record[3]) << (record[0] >> 5);
    const uint32_t argument = record[4] | uint32_t(record[5]) << 8;
    const size_t size = file->size();
    const size_t at = Scaled(place, size);
    switch (op) {
    case 0: // a 32-bit word (a call's target, an address) moves by a little
        if (at + 4 <= size) {
            uint32_t word = 0;
            std::memcpy(&word, file->data() + at, 4);
            word += static_cast<uint32_t>(static_cast<int16_t>(argument));
            std::memcpy(file->data() + at, &word, 4);
        }
        break;
    case 1: { // bytes copied from elsewhere in the file inserted here
        const size_t from = Scaled(argument, size);
        const size_t n = std::min(length, size - from);
        const Bytes copy(file->begin() + from, file->begin() + from + n);
        file->insert(file->begin() + at, copy.begin(), copy.end());
        break;
    }
    case 2: { // bytes removed
        const size_t n = std::min(length, size - at);
        file->erase(file->begin() + at, file->begin() + at + n);
        break;
    }
    case 3: { // bytes moved elsewhere
        const size_t n = std::min(length, size - at);
        const Bytes moved(file->begin() + at, file->begin() + at + n);
        file->erase(file->begin() + at, file->begin() + at + n);
        const size_t to = Scaled(argument, file->size());
        file->insert(file->begin() + to, moved.begin(), moved.end());
        break;
    }
    default: // one byte set
        if (at < size)
            (*file)[at] = static_cast<uint8_t>(argument);
        break;
    }
}

void Rebuilds(const Bytes& base, const WriteStream& patch, const Bytes& expected)
{
    ReadStream oldStream(base.data(), base.size());
    ReadStream patchStream(patch.Data(), static_cast<size_t>(patch.Size()));
    WriteStream output;
    if (ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output) != StatusOk || output.Size() != expected.size()
        || (!expected.empty() && std::memcmp(output.Data(), expected.data(), expected.size()) != 0))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t edits = data[0] % (kMaxEdits + 1);
    if (size < 1 + edits * kRecord)
        return 0;
    const uint8_t* script = data + 1;
    const Bytes base(script + edits * kRecord, data + size);
    Bytes fresh = base;
    for (size_t i = 0; i < edits; ++i)
        Edit(script + i * kRecord, &fresh);

    WriteStream patch;
    if (GenerateEnsemblePatch(base.data(), base.size(), fresh.data(), fresh.size(), &patch) != StatusOk)
        __builtin_trap();
    Rebuilds(base, patch, fresh);

    ExecutableType oldKind = UNKNOWN;
    ExecutableType newKind = UNKNOWN;
    size_t oldDetected = 0;
    size_t newDetected = 0;
    if (DetectExecutable(base.data(), base.size(), &oldKind, &oldDetected) != StatusOk
        || DetectExecutable(fresh.data(), fresh.size(), &newKind, &newDetected) != StatusOk || oldKind != newKind)
        return 0;
    const EnsembleElementPair pair = {static_cast<uint32_t>(oldKind), 0, static_cast<uint32_t>(oldDetected), 0,
                                      static_cast<uint32_t>(newDetected)};
    WriteStream elements;
    if (CreateEnsemblePatch(base.data(), base.size(), fresh.data(), fresh.size(), &pair, 1, &elements) == StatusOk)
        Rebuilds(base, elements, fresh);
    return 0;
}
