// Flat and nested stream sets from hostile bytes. A set that parses is
// written again and must parse to the same streams.
#include <cstdint>
#include <cstring>

#include "streams.h"

using deltapatch::ReadStream;
using deltapatch::ReadStreamSet;
using deltapatch::WriteStream;
using deltapatch::WriteStreamSet;

namespace {

bool SameBytes(const ReadStream& a, const ReadStream& b)
{
    return a.Remaining() == b.Remaining()
        && (a.Remaining() == 0 || std::memcmp(a.Current(), b.Current(), a.Remaining()) == 0);
}

void CheckRewrite(ReadStreamSet* set)
{
    WriteStreamSet copy;
    if (!copy.Init(set->Count()))
        __builtin_trap();
    for (size_t i = 0; i < set->Count(); ++i) {
        ReadStream* s = set->Stream(i);
        if (!copy.Stream(i)->Write(s->Current(), s->Remaining()))
            __builtin_trap();
    }
    WriteStream flat;
    if (!copy.CopyTo(&flat))
        __builtin_trap();
    ReadStreamSet back;
    if (!back.Init(flat.Data(), static_cast<size_t>(flat.Size())) || back.Count() != set->Count())
        __builtin_trap();
    for (size_t i = 0; i < set->Count(); ++i)
        if (!SameBytes(*back.Stream(i), *set->Stream(i)))
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReadStreamSet outer;
    if (!outer.Init(data, size))
        return 0;
    CheckRewrite(&outer);
    for (int nested = 0; nested < 16; ++nested) {
        ReadStreamSet inner;
        if (!outer.ReadSet(&inner))
            break;
        // Walk each nested stream as varints, the way the engine's readers do.
        for (size_t i = 0; i < deltapatch::kMaxStreams; ++i) {
            ReadStream* s = inner.Stream(i);
            uint32_t value = 0;
            int32_t signedValue = 0;
            while (!s->Consumed()) {
                if (!((i & 1) ? s->ReadVarint32Signed(&signedValue) : s->ReadVarint32(&value)) && !s->Skip(1))
                    __builtin_trap();
            }
        }
        if (!inner.Empty())
            __builtin_trap();
    }
    outer.Empty();
    return 0;
}
