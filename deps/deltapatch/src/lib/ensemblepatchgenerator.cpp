#include "ensemblepatchgenerator.h"

#include <sys/stat.h>

#include <memory>
#include <new>

#include "bytediff.h"
#include "computecrc32.h"
#include "ensemblepatchapplier.h"
#include "executabledetection.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"

namespace deltapatch {

namespace {

const uint64_t kMaxGeneratorInput = 0x7FFFFFFF;

typedef std::unique_ptr<PatcherX86_32> PatcherPtr;

// A patcher over one range of bytes, made through Init exactly as the applier
// makes it from a patch.
PatchStatus MakePatcher(const uint8_t* bytes, size_t length, uint32_t offset,
                        uint32_t elementLength, PatcherPtr* out) {
  out->reset(new (std::nothrow) PatcherX86_32(bytes, length));
  if (!*out)
    return StatusStreamError;
  WriteStream range;
  if (!range.WriteVarint32(offset) || !range.WriteVarint32(elementLength))
    return StatusStreamError;
  ReadStream reader(range.Data(), static_cast<size_t>(range.Size()));
  return (*out)->Init(&reader);
}

PatchStatus PredictAll(PatcherPtr* patchers, size_t count, WriteStream* flat) {
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

// Transforms every element against the (unchanged) predicted parameters and
// flattens the element set.
PatchStatus TransformAll(PatcherPtr* patchers, size_t count, const WriteStream& parameterBytes,
                         WriteStream* flat) {
  ReadStreamSet parameters;
  if (!parameters.Init(parameterBytes.Data(), static_cast<size_t>(parameterBytes.Size())))
    return StatusStreamError;
  WriteStreamSet elements;
  for (size_t i = 0; i < count; ++i) {
    ReadStreamSet nested;
    if (!parameters.ReadSet(&nested))
      return StatusStreamError;
    WriteStreamSet transformed;
    PatchStatus status = patchers[i]->Transform(&nested, &transformed);
    if (status != StatusOk)
      return status;
    if (!elements.WriteSet(&transformed))
      return StatusStreamError;
  }
  return elements.CopyTo(flat) ? StatusOk : StatusStreamError;
}

bool Diff(const uint8_t* oldBytes, uint64_t oldLength, const uint8_t* newBytes,
          uint64_t newLength, WriteStream* sink) {
  ReadStream oldStream(oldBytes, static_cast<size_t>(oldLength));
  ReadStream newStream(newBytes, static_cast<size_t>(newLength));
  return CreateDiff(&oldStream, &newStream, sink, false, kDiffPlain);
}

// Maps a whole input file; unlike the applier's inputs, an empty file is a
// valid (empty) input to a patch.
bool MapInput(const char* path, MappedFile* file, const uint8_t** data, size_t* length) {
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

}  // namespace

PatchStatus CreateEnsemblePatch(const uint8_t* oldBytes, size_t oldLength,
                                const uint8_t* newBytes, size_t newLength,
                                const EnsembleElementPair* pairs, size_t pairCount,
                                WriteStream* patch) {
  if (!patch || oldLength > kMaxGeneratorInput || newLength > kMaxGeneratorInput ||
      (pairCount && !pairs))
    return StatusStreamError;
  std::unique_ptr<PatcherPtr[]> oldPatchers(new (std::nothrow) PatcherPtr[pairCount + 1]);
  std::unique_ptr<PatcherPtr[]> newPatchers(new (std::nothrow) PatcherPtr[pairCount + 1]);
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
    ok = elementList->WriteVarint32(pairs[i].oldOffset) &&
         elementList->WriteVarint32(pairs[i].oldLength);
  }
  if (!ok)
    return StatusStreamError;

  for (size_t i = 0; i < pairCount; ++i) {
    PatchStatus status =
        MakePatcher(oldBytes, oldLength, pairs[i].oldOffset, pairs[i].oldLength, &oldPatchers[i]);
    if (status == StatusOk)
      status = MakePatcher(newBytes, newLength, pairs[i].newOffset, pairs[i].newLength,
                           &newPatchers[i]);
    if (status != StatusOk)
      return status;
  }

  // The patched parameters are the predicted ones, so their diff is empty of
  // changes.
  WriteStream parameters;
  PatchStatus status = PredictAll(oldPatchers.get(), pairCount, &parameters);
  if (status != StatusOk)
    return status;
  if (!Diff(parameters.Data(), parameters.Size(), parameters.Data(), parameters.Size(),
            body.Stream(1)))
    return StatusDiffFailed;

  WriteStream oldElements;
  WriteStream newElements;
  status = TransformAll(oldPatchers.get(), pairCount, parameters, &oldElements);
  if (status == StatusOk)
    status = TransformAll(newPatchers.get(), pairCount, parameters, &newElements);
  if (status != StatusOk)
    return status;
  if (!Diff(oldElements.Data(), oldElements.Size(), newElements.Data(), newElements.Size(),
            body.Stream(2)))
    return StatusDiffFailed;

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
  if (ensemble.Size() > kMaxGeneratorInput ||
      !Diff(ensemble.Data(), ensemble.Size(), newBytes, newLength, body.Stream(3)))
    return StatusDiffFailed;

  WriteStream flatBody;
  if (!body.CopyTo(&flatBody))
    return StatusStreamError;
  ok = patch->WriteVarint32(kEnsemblePatchMagic) && patch->WriteVarint32(kEnsemblePatchVersion) &&
       patch->WriteVarint32(ComputeCrc32(oldBytes, oldLength)) &&
       patch->WriteVarint32(ComputeCrc32(newBytes, newLength)) &&
       patch->WriteVarint32(static_cast<uint32_t>(newLength)) &&
       CompressBufferLzma2(flatBody.Data(), static_cast<size_t>(flatBody.Size()), patch);
  return ok ? StatusOk : StatusStreamError;
}

PatchStatus GenerateEnsemblePatch(const uint8_t* oldBytes, size_t oldLength,
                                  const uint8_t* newBytes, size_t newLength,
                                  WriteStream* patch) {
  ExecutableType oldKind = UNKNOWN;
  ExecutableType newKind = UNKNOWN;
  size_t oldDetected = 0;
  size_t newDetected = 0;
  const bool paired =
      oldLength <= kMaxGeneratorInput && newLength <= kMaxGeneratorInput &&
      DetectExecutable(oldBytes, oldLength, &oldKind, &oldDetected) == StatusOk &&
      DetectExecutable(newBytes, newLength, &newKind, &newDetected) == StatusOk &&
      oldKind == newKind && oldKind >= kFirstElementKind && oldKind <= kLastElementKind;
  if (!paired)
    return CreateEnsemblePatch(oldBytes, oldLength, newBytes, newLength, nullptr, 0, patch);
  EnsembleElementPair pair = {static_cast<uint32_t>(oldKind), 0,
                              static_cast<uint32_t>(oldDetected), 0,
                              static_cast<uint32_t>(newDetected)};
  const uint64_t before = patch->Size();
  PatchStatus status =
      CreateEnsemblePatch(oldBytes, oldLength, newBytes, newLength, &pair, 1, patch);
  if (status == StatusOk)
    return status;
  // An executable the engine cannot take apart is still patched as bytes.
  patch->Truncate(before);
  return CreateEnsemblePatch(oldBytes, oldLength, newBytes, newLength, nullptr, 0, patch);
}

PatchStatus GenerateEnsemblePatchFiles(const char* oldPath, const char* newPath,
                                       const char* patchPath) {
  MappedFile oldFile;
  MappedFile newFile;
  const uint8_t* oldBytes = nullptr;
  const uint8_t* newBytes = nullptr;
  size_t oldLength = 0;
  size_t newLength = 0;
  if (!MapInput(oldPath, &oldFile, &oldBytes, &oldLength) ||
      !MapInput(newPath, &newFile, &newBytes, &newLength))
    return StatusReadWriteFailed;
  WriteStream patch;
  PatchStatus status = GenerateEnsemblePatch(oldBytes, oldLength, newBytes, newLength, &patch);
  if (status != StatusOk)
    return status;
  return WriteBufferToFile(patchPath, patch.Data(), patch.Size()) == patch.Size()
             ? StatusOk
             : StatusReadWriteFailed;
}

}  // namespace deltapatch
