#ifndef DELTAPATCH_ENSEMBLEPATCHAPPLIER_H
#define DELTAPATCH_ENSEMBLEPATCHAPPLIER_H

#include <cstddef>
#include <cstdint>

#include "patchstatus.h"
#include "streams.h"

namespace deltapatch {

// First two varints of every ensemble patch (bytes C3 DE D5 03, 88 B7 CB 09).
const uint32_t kEnsemblePatchMagic = 0x756F43;
const uint32_t kEnsemblePatchVersion = 20110216;
// Element kinds a patch may name; every one gets the same patcher.
const uint32_t kFirstElementKind = 1;
const uint32_t kLastElementKind = 7;

// Turns one executable element of the base into a diff-friendly stream set and
// its patched form back into bytes.
class TransformationPatcher
{
public:
    TransformationPatcher() = default;
    virtual ~TransformationPatcher() = default;
    TransformationPatcher(const TransformationPatcher&) = delete;
    TransformationPatcher& operator=(const TransformationPatcher&) = delete;

    virtual PatchStatus Init(ReadStream* parameters) = 0;
    virtual PatchStatus PredictParameters(WriteStreamSet* output) = 0;
    virtual PatchStatus Transform(ReadStreamSet* parameters, WriteStreamSet* output) = 0;
    virtual PatchStatus Untransform(ReadStreamSet* element, WriteStream* output) = 0;
};

class PatcherX86_32 : public TransformationPatcher
{
public:
    PatcherX86_32(const uint8_t* base, size_t baseLength)
        : m_Base(base), m_BaseLength(baseLength), m_Offset(0), m_Length(0)
    {
    }

    // Reads the element's offset and length; 12 unless it lies inside the base.
    PatchStatus Init(ReadStream* parameters) override;
    PatchStatus PredictParameters(WriteStreamSet* output) override;
    PatchStatus Transform(ReadStreamSet* parameters, WriteStreamSet* output) override;
    PatchStatus Untransform(ReadStreamSet* element, WriteStream* output) override;

    uint32_t offset() const { return m_Offset; }
    uint32_t length() const { return m_Length; }

private:
    const uint8_t* m_Base;
    size_t m_BaseLength;
    uint32_t m_Offset;
    uint32_t m_Length;
};

// An element's place in the base.
struct ElementRange
{
    uint32_t offset;
    uint32_t length;
};

// StatusBadElementRange when two of the ranges share a byte, else StatusOk.
// Sorts the ranges by offset.
PatchStatus CheckElementRangesApart(ElementRange* ranges, size_t count);

// The state of one patch application; owns its patchers and the storages
// that the patched sets point into.
class EnsemblePatchApplier
{
public:
    EnsemblePatchApplier();
    ~EnsemblePatchApplier();
    EnsemblePatchApplier(const EnsemblePatchApplier&) = delete;
    EnsemblePatchApplier& operator=(const EnsemblePatchApplier&) = delete;

    PatchStatus ReadHeader(ReadStream* patch);
    PatchStatus SetBase(const uint8_t* base, size_t length);
    PatchStatus CheckBaseCrc();
    PatchStatus ReadElementPatchers(ReadStream* parameters);
    PatchStatus PredictParameters(WriteStreamSet* output);
    PatchStatus PatchStreamSet(WriteStreamSet* predicted, ReadStream* diff, ReadStreamSet* result,
                               WriteStream* storage);
    PatchStatus PatchParameters(WriteStreamSet* predicted, ReadStream* diff, ReadStreamSet* result);
    PatchStatus PatchElements(WriteStreamSet* elements, ReadStream* diff, ReadStreamSet* result);
    PatchStatus TransformElements(ReadStreamSet* parameters, WriteStreamSet* output);
    // Appends the rebuilt elements to output: the part of the ensemble after
    // the base.
    PatchStatus UntransformElements(ReadStreamSet* elements, WriteStream* output);
    // Applies the final diff to the ensemble: the base, then rebuilt.
    PatchStatus PatchFinalOutput(ReadStream* rebuilt, ReadStream* diff, WriteStream* output);

    uint32_t sourceCrc() const { return m_SourceCrc; }
    uint32_t targetCrc() const { return m_TargetCrc; }
    uint32_t finalSize() const { return m_FinalSize; }
    size_t patcherCount() const { return m_PatcherCount; }

private:
    void DeletePatchers();
    PatchStatus CheckElementsApart() const;

    const uint8_t* m_Base;
    size_t m_BaseLength;
    uint32_t m_SourceCrc;
    uint32_t m_TargetCrc;
    uint32_t m_FinalSize;
    TransformationPatcher** m_Patchers;
    size_t m_PatcherCount;
    WriteStream m_ParameterStorage;
    WriteStream m_ElementStorage;
};

// The whole application in memory: the old stream's remaining bytes are the
// base, the new file is appended to output.
PatchStatus ApplyEnsemblePatchStreams(ReadStream* oldStream, ReadStream* patch, WriteStream* output);

// Maps the old and patch files, applies the patch and writes the new file
// only when its CRC matched. Paths are UTF-8; safe to call from any thread.
PatchStatus ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath, const char* newPath);

} // namespace deltapatch

#endif
