#include "ensemblepatchgenerator.h"

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <new>

#include "bytediff.h"
#include "computecrc32.h"
#include "ensemblepatchapplier.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "labelaligner.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"

namespace deltapatch {

namespace {

const uint64_t kMaxGeneratorInput = 0x7FFFFFFF;

typedef std::unique_ptr<PatcherX86_32> PatcherPtr;

// A patcher over one range of bytes, made through Init exactly as the applier
// makes it from a patch.
PatchStatus MakePatcher(const uint8_t* bytes, size_t length, uint32_t offset, uint32_t elementLength, PatcherPtr* out)
{
    out->reset(new (std::nothrow) PatcherX86_32(bytes, length));
    if (!*out)
        return StatusStreamError;
    WriteStream range;
    if (!range.WriteVarint32(offset) || !range.WriteVarint32(elementLength))
        return StatusStreamError;
    ReadStream reader(range.Data(), static_cast<size_t>(range.Size()));
    return (*out)->Init(&reader);
}

PatchStatus PredictAll(PatcherPtr* patchers, size_t count, WriteStream* flat)
{
    WriteStreamSet predicted;
    for (size_t i = 0; i < count; ++i) {
        WriteStreamSet one;
        PatchStatus status = patchers[i]->PredictParameters(&one);
        if (status != StatusOk)
            return status;
        if (!predicted.WriteSet(&one))
            return StatusStreamError;
    }
    return predicted.CopyTo(flat) ? StatusOk : StatusStreamError;
}

bool Diff(const uint8_t* oldBytes, uint64_t oldLength, const uint8_t* newBytes, uint64_t newLength, WriteStream* sink)
{
    ReadStream oldStream(oldBytes, static_cast<size_t>(oldLength));
    ReadStream newStream(newBytes, static_cast<size_t>(newLength));
    return CreateDiff(&oldStream, &newStream, sink, false, kDiffPlain);
}

// Maps a whole input file; unlike the applier's inputs, an empty file is a
// valid (empty) input to a patch.
bool MapInput(const char* path, MappedFile* file, const uint8_t** data, size_t* length)
{
    struct stat info;
    if (!path || stat(path, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    *data = nullptr;
    *length = 0;
    if (info.st_size == 0)
        return true;
    if (!file->Open(path))
        return false;
    *data = file->Data();
    *length = static_cast<size_t>(file->ViewLength());
    return true;
}

// The empty byte diff between two copies of the same bytes.
bool SameDiff(const WriteStream& bytes, WriteStream* sink)
{
    return Diff(bytes.Data(), bytes.Size(), bytes.Data(), bytes.Size(), sink);
}

// Patch bodies hold long runs of zero difference bytes, which a larger
// dictionary does not pack any better; applying then needs only this much.
const uint32_t kBodyDictionary = 1 << 20;

// Header and packed body. False also when the patch would pass sizeLimit
// bytes; patch is then as it was.
bool WritePatch(const uint8_t* oldBytes, size_t oldLength, const uint8_t* newBytes, size_t newLength,
                WriteStreamSet* body, uint64_t sizeLimit, WriteStream* patch)
{
    WriteStream flatBody;
    if (!body->CopyTo(&flatBody))
        return false;
    const uint64_t start = patch->Size();
    const bool ok = patch->WriteVarint32(kEnsemblePatchMagic) && patch->WriteVarint32(kEnsemblePatchVersion)
        && patch->WriteVarint32(ComputeCrc32(oldBytes, oldLength))
        && patch->WriteVarint32(ComputeCrc32(newBytes, newLength))
        && patch->WriteVarint32(static_cast<uint32_t>(newLength));
    const uint64_t header = patch->Size() - start;
    // A body whose quick packing is a quarter larger than the limit is not
    // packed in full: the full packing never saves that much on such bodies.
    WriteStream quick;
    if (ok && header < sizeLimit
        && (sizeLimit == UINT64_MAX
            || CompressBufferLzma2Bounded(flatBody.Data(), static_cast<size_t>(flatBody.Size()), 1, kBodyDictionary,
                                          (sizeLimit - header) / 4 * 5, &quick))
        && CompressBufferLzma2Bounded(flatBody.Data(), static_cast<size_t>(flatBody.Size()), 9, kBodyDictionary,
                                      sizeLimit - header, patch))
        return true;
    patch->Truncate(start);
    return false;
}

// The patch without elements: the plain diff alone turns the base into the
// new file.
PatchStatus WritePlainPatch(const uint8_t* oldBytes, size_t oldLength, const uint8_t* newBytes, size_t newLength,
                            const WriteStream& plainDiff, uint64_t sizeLimit, WriteStream* patch)
{
    WriteStreamSet body;
    WriteStream emptySet;
    WriteStreamSet none;
    if (!body.Init(4) || !none.CopyTo(&emptySet) || !body.Stream(0)->WriteVarint32(0)
        || !SameDiff(emptySet, body.Stream(1)) || !SameDiff(emptySet, body.Stream(2))
        || !body.Stream(3)->Write(plainDiff.Data(), static_cast<size_t>(plainDiff.Size())))
        return StatusStreamError;
    return WritePatch(oldBytes, oldLength, newBytes, newLength, &body, sizeLimit, patch) ? StatusOk : StatusStreamError;
}

typedef std::unique_ptr<DisassembledProgram, void (*)(DisassembledProgram*)> ProgramPtr;

// Disassembles and trims one element as the applier's patcher does.
PatchStatus Disassemble(const uint8_t* element, size_t length, ProgramPtr* out)
{
    DisassembledProgram* program = nullptr;
    PatchStatus status = DisassembleExecutable(element, length, &program);
    out->reset(program);
    if (status != StatusOk)
        return status;
    return TrimLabels(program);
}

// Encodes a program and nests its streams into the element set.
PatchStatus AddEncoded(DisassembledProgram* program, WriteStreamSet* elements)
{
    EncodedProgram* encoded = nullptr;
    PatchStatus status = EncodeProgram(program, &encoded);
    if (status != StatusOk)
        return status;
    WriteStreamSet streams;
    status = WriteEncodedProgram(encoded, &streams);
    DeleteEncodedProgram(encoded);
    if (status != StatusOk)
        return status;
    return elements->WriteSet(&streams) ? StatusOk : StatusStreamError;
}

// The flat old and new element sets. The old programs are made exactly as
// the applier makes them; the new programs' labels take the indexes of the
// old labels they stand for, so that the two sets differ little.
PatchStatus EncodeElements(const uint8_t* oldBytes, const uint8_t* newBytes, const EnsembleElementPair* pairs,
                           size_t pairCount, const AlignedRunList& runs, WriteStream* oldFlat, WriteStream* newFlat)
{
    WriteStreamSet oldElements;
    WriteStreamSet newElements;
    for (size_t i = 0; i < pairCount; ++i) {
        const EnsembleElementPair& pair = pairs[i];
        ProgramPtr oldProgram(nullptr, DeleteDisassembledProgram);
        ProgramPtr newProgram(nullptr, DeleteDisassembledProgram);
        PatchStatus status = Disassemble(oldBytes + pair.oldOffset, pair.oldLength, &oldProgram);
        if (status == StatusOk)
            status = Disassemble(newBytes + pair.newOffset, pair.newLength, &newProgram);
        if (status != StatusOk)
            return status;
        const ElementPlace oldPlace = {oldBytes + pair.oldOffset, pair.oldOffset};
        const ElementPlace newPlace = {newBytes + pair.newOffset, pair.newOffset};
        if (!AlignLabels(*oldProgram, oldPlace, newProgram.get(), newPlace, runs.data(), runs.size()))
            return StatusStreamError;
        status = AddEncoded(oldProgram.get(), &oldElements);
        if (status == StatusOk)
            status = AddEncoded(newProgram.get(), &newElements);
        if (status != StatusOk)
            return status;
    }
    return oldElements.CopyTo(oldFlat) && newElements.CopyTo(newFlat) ? StatusOk : StatusStreamError;
}

bool WriteTriple(WriteStream* control, uint64_t a, uint64_t b, int64_t c)
{
    return control->WriteVarint32Signed(static_cast<int32_t>(a))
        && control->WriteVarint32Signed(static_cast<int32_t>(b))
        && control->WriteVarint32Signed(static_cast<int32_t>(c));
}

// A plain-method byte-diff stage built from known pieces: each new element
// that its encoded form rebuilds byte for byte is copied from its place in
// the ensemble, everything else travels as extra bytes. Saves a suffix sort
// of the whole ensemble. False when an element is not rebuilt exactly or too
// many bytes lie outside the elements.
bool CoveringDiff(const uint8_t* newBytes, size_t newLength, size_t oldLength, const EnsembleElementPair* pairs,
                  size_t pairCount, const WriteStream& ensemble, WriteStream* sink)
{
    const uint64_t kMaxExtra = 1 << 16;
    WriteStream control;
    WriteStream difference;
    WriteStream extra;
    uint64_t rebuilt = oldLength; // where the next element starts in the ensemble
    uint64_t position = 0;        // in the new file
    int64_t oldPosition = 0;      // the applier's cursor into the ensemble
    for (size_t i = 0; i <= pairCount; ++i) {
        const bool last = i == pairCount;
        const uint64_t next = last ? newLength : pairs[i].newOffset;
        const uint64_t length = last ? 0 : pairs[i].newLength;
        if (next < position || next - position > kMaxExtra - extra.Size())
            return false;
        if (!last
            && (rebuilt + length > ensemble.Size() || next + length > newLength
                || std::memcmp(ensemble.Data() + rebuilt, newBytes + next, length) != 0))
            return false;
        // Extra bytes up to the element, while the cursor moves to its copy.
        const int64_t move = last ? 0 : static_cast<int64_t>(rebuilt) - oldPosition;
        if (!extra.Write(newBytes + position, static_cast<size_t>(next - position))
            || !WriteTriple(&control, 0, next - position, move))
            return false;
        if (last)
            break;
        if (!WriteTriple(&control, length, 0, 0) || !difference.Reserve(length))
            return false;
        std::memset(difference.MutableData() + difference.Size(), 0, static_cast<size_t>(length));
        if (!difference.Extend(length))
            return false;
        oldPosition = static_cast<int64_t>(rebuilt + length);
        rebuilt += length;
        position = next + length;
    }
    const uint8_t method = kDiffPlain;
    return sink->Write(&method, 1) && sink->WriteSizeVarint32(newLength) && sink->WriteSizeVarint32(control.Size())
        && sink->WriteSizeVarint32(difference.Size()) && sink->WriteSizeVarint32(extra.Size()) && sink->Append(&control)
        && sink->Append(&difference) && sink->Append(&extra);
}

// The element form of the patch into elementPatch and, when plainPatch is
// given, the form without elements. The latter is made last and given up,
// leaving plainPatch empty, as soon as it would not be smaller.
PatchStatus CreatePatches(const uint8_t* oldBytes, size_t oldLength, const uint8_t* newBytes, size_t newLength,
                          const EnsembleElementPair* pairs, size_t pairCount, WriteStream* elementPatch,
                          WriteStream* plainPatch)
{
    if (oldLength > kMaxGeneratorInput || newLength > kMaxGeneratorInput || (pairCount && !pairs))
        return StatusStreamError;
    WriteStream plainDiff;
    if (!Diff(oldBytes, oldLength, newBytes, newLength, &plainDiff))
        return StatusDiffFailed;
    if (pairCount == 0)
        return WritePlainPatch(oldBytes, oldLength, newBytes, newLength, plainDiff, UINT64_MAX, elementPatch);

    std::unique_ptr<PatcherPtr[]> oldPatchers(new (std::nothrow) PatcherPtr[pairCount]);
    std::unique_ptr<PatcherPtr[]> newPatchers(new (std::nothrow) PatcherPtr[pairCount]);
    if (!oldPatchers || !newPatchers)
        return StatusStreamError;
    WriteStreamSet body;
    if (!body.Init(4))
        return StatusStreamError;
    WriteStream* elementList = body.Stream(0);
    bool ok = elementList->WriteVarint32(static_cast<uint32_t>(pairCount));
    for (size_t i = 0; ok && i < pairCount; ++i) {
        if (pairs[i].kind < kFirstElementKind || pairs[i].kind > kLastElementKind)
            return StatusBadHeader;
        ok = elementList->WriteVarint32(pairs[i].kind);
    }
    for (size_t i = 0; ok && i < pairCount; ++i) {
        ok = elementList->WriteVarint32(pairs[i].oldOffset) && elementList->WriteVarint32(pairs[i].oldLength);
    }
    if (!ok)
        return StatusStreamError;
    std::unique_ptr<ElementRange[]> oldRanges(new (std::nothrow) ElementRange[pairCount]);
    if (!oldRanges)
        return StatusStreamError;
    for (size_t i = 0; i < pairCount; ++i) {
        PatchStatus status = MakePatcher(oldBytes, oldLength, pairs[i].oldOffset, pairs[i].oldLength, &oldPatchers[i]);
        if (status == StatusOk)
            status = MakePatcher(newBytes, newLength, pairs[i].newOffset, pairs[i].newLength, &newPatchers[i]);
        if (status != StatusOk)
            return status;
        oldRanges[i] = {pairs[i].oldOffset, pairs[i].oldLength};
    }
    // The applier refuses elements that share a byte of the base.
    PatchStatus status = CheckElementRangesApart(oldRanges.get(), pairCount);
    if (status != StatusOk)
        return status;

    // The patched parameters are the predicted ones, so their diff is empty of
    // changes.
    WriteStream parameters;
    status = PredictAll(oldPatchers.get(), pairCount, &parameters);
    if (status != StatusOk)
        return status;
    if (!SameDiff(parameters, body.Stream(1)))
        return StatusDiffFailed;

    AlignedRunList runs;
    if (!ReadAlignedRuns(plainDiff.Data(), static_cast<size_t>(plainDiff.Size()), &runs))
        return StatusDiffFailed;
    WriteStream oldElements;
    WriteStream newElements;
    status = EncodeElements(oldBytes, newBytes, pairs, pairCount, runs, &oldElements, &newElements);
    if (status != StatusOk)
        return status;
    if (!Diff(oldElements.Data(), oldElements.Size(), newElements.Data(), newElements.Size(), body.Stream(2)))
        return StatusDiffFailed;
    oldElements.Retire();

    // The ensemble the applier will build: the base, then each new element as
    // its encoded form reassembles it.
    WriteStream ensemble;
    if (oldLength && !ensemble.Write(oldBytes, oldLength))
        return StatusStreamError;
    ReadStreamSet rebuilt;
    if (!rebuilt.Init(newElements.Data(), static_cast<size_t>(newElements.Size())))
        return StatusStreamError;
    for (size_t i = 0; i < pairCount; ++i) {
        ReadStreamSet nested;
        if (!rebuilt.ReadSet(&nested))
            return StatusStreamError;
        status = newPatchers[i]->Untransform(&nested, &ensemble);
        if (status != StatusOk)
            return status;
    }
    if (ensemble.Size() > kMaxGeneratorInput)
        return StatusDiffFailed;
    if (!CoveringDiff(newBytes, newLength, oldLength, pairs, pairCount, ensemble, body.Stream(3))) {
        body.Stream(3)->Retire();
        if (!Diff(ensemble.Data(), ensemble.Size(), newBytes, newLength, body.Stream(3)))
            return StatusDiffFailed;
    }
    ensemble.Retire();
    newElements.Retire();
    if (!WritePatch(oldBytes, oldLength, newBytes, newLength, &body, UINT64_MAX, elementPatch))
        return StatusStreamError;
    if (plainPatch)
        WritePlainPatch(oldBytes, oldLength, newBytes, newLength, plainDiff, elementPatch->Size(), plainPatch);
    return StatusOk;
}

} // namespace

PatchStatus CreateEnsemblePatch(const uint8_t* oldBytes, size_t oldLength, const uint8_t* newBytes, size_t newLength,
                                const EnsembleElementPair* pairs, size_t pairCount, WriteStream* patch)
{
    if (!patch)
        return StatusStreamError;
    const uint64_t before = patch->Size();
    const PatchStatus status =
        CreatePatches(oldBytes, oldLength, newBytes, newLength, pairs, pairCount, patch, nullptr);
    if (status != StatusOk)
        patch->Truncate(before);
    return status;
}

PatchStatus GenerateEnsemblePatch(const uint8_t* oldBytes, size_t oldLength, const uint8_t* newBytes, size_t newLength,
                                  WriteStream* patch)
{
    if (!patch)
        return StatusStreamError;
    ExecutableType oldKind = UNKNOWN;
    ExecutableType newKind = UNKNOWN;
    size_t oldDetected = 0;
    size_t newDetected = 0;
    const bool paired = oldLength <= kMaxGeneratorInput && newLength <= kMaxGeneratorInput
        && DetectExecutable(oldBytes, oldLength, &oldKind, &oldDetected) == StatusOk
        && DetectExecutable(newBytes, newLength, &newKind, &newDetected) == StatusOk && oldKind == newKind
        && oldKind >= kFirstElementKind && oldKind <= kLastElementKind;
    if (!paired)
        return CreatePatches(oldBytes, oldLength, newBytes, newLength, nullptr, 0, patch, nullptr);
    EnsembleElementPair pair = {static_cast<uint32_t>(oldKind), 0, static_cast<uint32_t>(oldDetected), 0,
                                static_cast<uint32_t>(newDetected)};
    // The element form pays only where it is smaller; an executable the
    // engine cannot take apart is patched as bytes.
    WriteStream elements;
    WriteStream plain;
    PatchStatus status = CreatePatches(oldBytes, oldLength, newBytes, newLength, &pair, 1, &elements, &plain);
    if (status == StatusOk && plain.Size() == 0)
        return patch->Write(elements.Data(), static_cast<size_t>(elements.Size())) ? StatusOk : StatusStreamError;
    if (status == StatusOk)
        return patch->Write(plain.Data(), static_cast<size_t>(plain.Size())) ? StatusOk : StatusStreamError;
    return CreatePatches(oldBytes, oldLength, newBytes, newLength, nullptr, 0, patch, nullptr);
}

PatchStatus GenerateEnsemblePatchFiles(const char* oldPath, const char* newPath, const char* patchPath)
{
    MappedFile oldFile;
    MappedFile newFile;
    const uint8_t* oldBytes = nullptr;
    const uint8_t* newBytes = nullptr;
    size_t oldLength = 0;
    size_t newLength = 0;
    if (!MapInput(oldPath, &oldFile, &oldBytes, &oldLength) || !MapInput(newPath, &newFile, &newBytes, &newLength))
        return StatusReadWriteFailed;
    WriteStream patch;
    PatchStatus status = GenerateEnsemblePatch(oldBytes, oldLength, newBytes, newLength, &patch);
    if (status != StatusOk)
        return status;
    return WriteBufferToFile(patchPath, patch.Data(), patch.Size()) == patch.Size() ? StatusOk : StatusReadWriteFailed;
}

} // namespace deltapatch
