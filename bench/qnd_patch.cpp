// Whole-process driver of the patch engine for scripted measurements
// (bench/pairs.sh): one run makes or applies one patch, so that time and
// peak memory of a run belong to that one direction.
//
//   qnd_patch create OLD NEW PATCH            the generator's own choice
//   qnd_patch create-plain OLD NEW PATCH      no elements: final byte-diff only
//   qnd_patch create-elements OLD NEW PATCH   the whole files paired as elements
//   qnd_patch apply OLD PATCH NEW
//   qnd_patch body PATCH       only decodes the LZMA2 body: the floor of applying
//   qnd_patch describe PATCH   element count and the sizes of the four streams
//   qnd_patch idle             nothing: the process's own footprint
#include <cstdio>
#include <cstring>

#include "ensemblepatchapplier.h"
#include "ensemblepatchgenerator.h"
#include "executabledetection.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"

using namespace deltapatch;

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: qnd_patch create|create-plain|create-elements OLD NEW PATCH\n"
                 "       qnd_patch apply OLD PATCH NEW\n"
                 "       qnd_patch body|describe PATCH\n");
    return 2;
}

// Skips the five header varints and decodes the body.
bool DecodeBody(const char* patchPath, WriteStream* body)
{
    MappedFile patchFile(patchPath, 0, MappedFile::AccessNormal);
    if (!patchFile.IsMapped())
        return false;
    ReadStream patch(patchFile.Data(), static_cast<size_t>(patchFile.ViewLength()));
    uint32_t field = 0;
    for (int i = 0; i < 5; ++i) {
        if (!patch.ReadVarint32(&field))
            return false;
    }
    return DecodeLzma2Block(&patch, body);
}

int Describe(const char* patchPath)
{
    WriteStream body;
    ReadStreamSet set;
    if (!DecodeBody(patchPath, &body) || !set.Init(body.Data(), static_cast<size_t>(body.Size())) || set.Count() < 4)
        return 1;
    uint32_t elements = 0;
    ReadStream list = *set.Stream(0);
    list.ReadVarint32(&elements);
    std::printf("elements %u body %llu", elements, static_cast<unsigned long long>(body.Size()));
    for (uint64_t i = 0; i < set.Count(); ++i)
        std::printf(" stream%llu %zu", static_cast<unsigned long long>(i), set.Stream(i)->Remaining());
    std::printf("\n");
    return 0;
}

PatchStatus CreateForced(const char* oldPath, const char* newPath, const char* patchPath, bool elements)
{
    MappedFile oldFile(oldPath, 0, MappedFile::AccessNormal);
    MappedFile newFile(newPath, 0, MappedFile::AccessNormal);
    if (!oldFile.IsMapped() || !newFile.IsMapped())
        return StatusReadWriteFailed;
    const uint8_t* oldBytes = oldFile.Data();
    const uint8_t* newBytes = newFile.Data();
    const size_t oldLength = static_cast<size_t>(oldFile.ViewLength());
    const size_t newLength = static_cast<size_t>(newFile.ViewLength());
    EnsembleElementPair pair = {};
    size_t pairCount = 0;
    if (elements) {
        ExecutableType oldKind = UNKNOWN;
        ExecutableType newKind = UNKNOWN;
        size_t oldDetected = 0;
        size_t newDetected = 0;
        if (DetectExecutable(oldBytes, oldLength, &oldKind, &oldDetected) != StatusOk
            || DetectExecutable(newBytes, newLength, &newKind, &newDetected) != StatusOk || oldKind != newKind)
            return StatusNotRecognized;
        pair = {static_cast<uint32_t>(oldKind), 0, static_cast<uint32_t>(oldDetected), 0,
                static_cast<uint32_t>(newDetected)};
        pairCount = 1;
    }
    WriteStream patch;
    PatchStatus status = CreateEnsemblePatch(oldBytes, oldLength, newBytes, newLength, &pair, pairCount, &patch);
    if (status != StatusOk)
        return status;
    return WriteBufferToFile(patchPath, patch.Data(), patch.Size()) == patch.Size() ? StatusOk : StatusReadWriteFailed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && !std::strcmp(argv[1], "idle"))
        return 0;
    if (argc == 3 && !std::strcmp(argv[1], "describe"))
        return Describe(argv[2]);
    if (argc == 3 && !std::strcmp(argv[1], "body")) {
        WriteStream body;
        return DecodeBody(argv[2], &body) ? 0 : 1;
    }
    if (argc != 5)
        return Usage();
    const char* mode = argv[1];
    PatchStatus status = StatusOk;
    if (!std::strcmp(mode, "create"))
        status = GenerateEnsemblePatchFiles(argv[2], argv[3], argv[4]);
    else if (!std::strcmp(mode, "create-plain"))
        status = CreateForced(argv[2], argv[3], argv[4], false);
    else if (!std::strcmp(mode, "create-elements"))
        status = CreateForced(argv[2], argv[3], argv[4], true);
    else if (!std::strcmp(mode, "apply"))
        status = ApplyEnsemblePatchFiles(argv[2], argv[3], argv[4]);
    else
        return Usage();
    if (status != StatusOk) {
        std::fprintf(stderr, "qnd_patch %s: status %d\n", mode, static_cast<int>(status));
        return 1;
    }
    return 0;
}
