// Reads and assembles arbitrary encoded-program stream sets, as a patch's
// element streams would deliver them.
#include <cstddef>
#include <cstdint>

#include "encodedprogram.h"
#include "streams.h"

using namespace deltapatch;

namespace {

void ReadAndAssemble(ReadStreamSet* set)
{
    EncodedProgram* program = nullptr;
    if (ReadEncodedProgram(set, &program) != StatusOk)
        return;
    WriteStream out;
    AssembleEncodedProgram(program, &out);
    DeleteEncodedProgram(program);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReadStreamSet set;
    if (set.Init(data, size)) {
        ReadAndAssemble(&set);
        return 0;
    }
    // Not a flat set: cut the input into ten streams whose lengths are the
    // first ten bytes, so that mutations keep reaching the reader.
    if (size < 10)
        return 0;
    const uint8_t* p = data + 10;
    size_t left = size - 10;
    WriteStreamSet built;
    for (size_t i = 0; i < 10; ++i) {
        size_t n = data[i] < left ? data[i] : left;
        if (i == 9)
            n = left;
        built.Stream(i)->Write(p, n);
        p += n;
        left -= n;
    }
    WriteStream flat;
    if (!built.CopyTo(&flat))
        return 0;
    ReadStreamSet again;
    if (again.Init(flat.Data(), flat.Size()))
        ReadAndAssemble(&again);
    return 0;
}
