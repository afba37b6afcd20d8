#include "ensemblepatchapplier.h"

#include <algorithm>
#include <memory>
#include <new>

#include "bytediff.h"
#include "computecrc32.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "lzmaioout.h"
#include "mappedfile.h"

namespace deltapatch {

// PatcherX86_32

PatchStatus PatcherX86_32::Init(ReadStream* parameters)
{
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!parameters->ReadVarint32(&offset) || !parameters->ReadVarint32(&length))
        return StatusBadElementRange;
    if (offset > m_BaseLength || length > m_BaseLength - offset)
        return StatusBadElementRange;
    m_Offset = offset;
    m_Length = length;
    return StatusOk;
}

PatchStatus PatcherX86_32::PredictParameters(WriteStreamSet*)
{
    return StatusOk;
}

PatchStatus PatcherX86_32::Transform(ReadStreamSet* parameters, WriteStreamSet* output)
{
    if (!parameters->Empty())
        return StatusDiffFailed;
    EncodedProgram* encoded = nullptr;
    PatchStatus status = DisassembleAndEncode(m_Base + m_Offset, m_Length, &encoded);
    if (status != StatusOk)
        return status;
    status = WriteEncodedProgram(encoded, output);
    DeleteEncodedProgram(encoded);
    return status;
}

PatchStatus PatcherX86_32::Untransform(ReadStreamSet* element, WriteStream* output)
{
    EncodedProgram* encoded = nullptr;
    PatchStatus status = ReadEncodedProgram(element, &encoded);
    if (status != StatusOk)
        return status;
    status = AssembleEncodedProgram(encoded, output);
    DeleteEncodedProgram(encoded);
    return status;
}

PatchStatus CheckElementRangesApart(ElementRange* ranges, size_t count)
{
    // Every element is disassembled in full, so elements that overlap, or
    // the same one named many times, would let a tiny patch demand work and
    // memory many times the base. Apart, they add up to the base at most.
    std::sort(ranges, ranges + count, [](const ElementRange& a, const ElementRange& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < count; ++i) {
        if (uint64_t(ranges[i - 1].offset) + ranges[i - 1].length > ranges[i].offset)
            return StatusBadElementRange;
    }
    return StatusOk;
}

// EnsemblePatchApplier

EnsemblePatchApplier::EnsemblePatchApplier()
    : m_Base(nullptr), m_BaseLength(0), m_SourceCrc(0), m_TargetCrc(0), m_FinalSize(0), m_Patchers(nullptr),
      m_PatcherCount(0)
{
}

EnsemblePatchApplier::~EnsemblePatchApplier()
{
    DeletePatchers();
}

void EnsemblePatchApplier::DeletePatchers()
{
    for (size_t i = 0; i < m_PatcherCount; ++i)
        delete m_Patchers[i];
    delete[] m_Patchers;
    m_Patchers = nullptr;
    m_PatcherCount = 0;
}

PatchStatus EnsemblePatchApplier::ReadHeader(ReadStream* patch)
{
    uint32_t magic = 0;
    if (!patch->ReadVarint32(&magic) || magic != kEnsemblePatchMagic)
        return StatusBadMagic;
    uint32_t version = 0;
    if (!patch->ReadVarint32(&version) || version != kEnsemblePatchVersion)
        return StatusBadVersion;
    if (!patch->ReadVarint32(&m_SourceCrc) || !patch->ReadVarint32(&m_TargetCrc) || !patch->ReadVarint32(&m_FinalSize))
        return StatusBadHeader;
    return StatusOk;
}

PatchStatus EnsemblePatchApplier::SetBase(const uint8_t* base, size_t length)
{
    m_Base = base;
    m_BaseLength = length;
    return StatusOk;
}

PatchStatus EnsemblePatchApplier::CheckBaseCrc()
{
    return ComputeCrc32(m_Base, m_BaseLength) == m_SourceCrc ? StatusOk : StatusCrcMismatch;
}

PatchStatus EnsemblePatchApplier::ReadElementPatchers(ReadStream* parameters)
{
    DeletePatchers();
    uint32_t count = 0;
    if (!parameters->ReadVarint32(&count))
        return StatusBadHeader;
    // Each kind takes at least one byte, so a count the stream cannot hold is
    // refused before a table is sized from it.
    if (count > parameters->Remaining())
        return StatusBadHeader;
    if (count > 0) {
        m_Patchers = new (std::nothrow) TransformationPatcher*[count];
        if (!m_Patchers)
            return StatusStreamError;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!parameters->ReadVarint32(&kind) || kind < kFirstElementKind || kind > kLastElementKind)
            return StatusBadHeader;
        TransformationPatcher* patcher = new (std::nothrow) PatcherX86_32(m_Base, m_BaseLength);
        if (!patcher)
            return StatusStreamError;
        m_Patchers[m_PatcherCount++] = patcher;
    }
    for (size_t i = 0; i < m_PatcherCount; ++i) {
        PatchStatus status = m_Patchers[i]->Init(parameters);
        if (status != StatusOk)
            return status;
    }
    if (!parameters->Consumed())
        return StatusBadHeader;
    return CheckElementsApart();
}

PatchStatus EnsemblePatchApplier::CheckElementsApart() const
{
    std::unique_ptr<ElementRange[]> ranges(new (std::nothrow) ElementRange[m_PatcherCount ? m_PatcherCount : 1]);
    if (!ranges)
        return StatusStreamError;
    for (size_t i = 0; i < m_PatcherCount; ++i) {
        const PatcherX86_32* patcher = static_cast<const PatcherX86_32*>(m_Patchers[i]);
        ranges[i] = {patcher->offset(), patcher->length()};
    }
    return CheckElementRangesApart(ranges.get(), m_PatcherCount);
}

PatchStatus EnsemblePatchApplier::PredictParameters(WriteStreamSet* output)
{
    for (size_t i = 0; i < m_PatcherCount; ++i) {
        WriteStreamSet predicted;
        PatchStatus status = m_Patchers[i]->PredictParameters(&predicted);
        if (status != StatusOk)
            return status;
        if (!output->WriteSet(&predicted))
            return StatusStreamError;
    }
    return StatusOk;
}

PatchStatus EnsemblePatchApplier::PatchStreamSet(WriteStreamSet* predicted, ReadStream* diff, ReadStreamSet* result,
                                                 WriteStream* storage)
{
    // The old data is the flat set, read where its parts lie rather than
    // copied together: the header, then each stream.
    WriteStream header;
    if (!predicted->WriteHeader(&header))
        return StatusStreamError;
    DiffPiece pieces[kMaxStreams + 1] = {{header.Data(), header.Size()}};
    const size_t count = static_cast<size_t>(predicted->Count());
    for (size_t i = 0; i < count; ++i)
        pieces[i + 1] = {predicted->Stream(i)->Data(), predicted->Stream(i)->Size()};
    const bool patched = ApplyDiffToPieces(pieces, count + 1, diff, storage, false);
    for (size_t i = 0; i < count; ++i)
        predicted->Stream(i)->Retire();
    if (!patched)
        return StatusDiffFailed;
    // The result is parsed in place: the storage must outlive it.
    if (!result->Init(storage->Data(), static_cast<size_t>(storage->Size())))
        return StatusStreamError;
    return StatusOk;
}

PatchStatus EnsemblePatchApplier::PatchParameters(WriteStreamSet* predicted, ReadStream* diff, ReadStreamSet* result)
{
    return PatchStreamSet(predicted, diff, result, &m_ParameterStorage);
}

PatchStatus EnsemblePatchApplier::PatchElements(WriteStreamSet* elements, ReadStream* diff, ReadStreamSet* result)
{
    return PatchStreamSet(elements, diff, result, &m_ElementStorage);
}

PatchStatus EnsemblePatchApplier::TransformElements(ReadStreamSet* parameters, WriteStreamSet* output)
{
    for (size_t i = 0; i < m_PatcherCount; ++i) {
        ReadStreamSet nested;
        if (!parameters->ReadSet(&nested))
            return StatusStreamError;
        WriteStreamSet transformed;
        PatchStatus status = m_Patchers[i]->Transform(&nested, &transformed);
        if (status != StatusOk)
            return status;
        if (!nested.Empty())
            return StatusStreamNotConsumed;
        if (!output->WriteSet(&transformed))
            return StatusStreamError;
    }
    return parameters->Empty() ? StatusOk : StatusStreamNotConsumed;
}

PatchStatus EnsemblePatchApplier::UntransformElements(ReadStreamSet* elements, WriteStream* output)
{
    // The ensemble is the base followed by the rebuilt elements; the base is
    // read where it lies, so only the elements are built here. The header's
    // final size only sizes the first reservation, and a claim beyond what
    // the patched elements could plausibly make is not trusted, so a tiny
    // patch cannot demand gigabytes up front. The buffer still grows on
    // demand past the reservation.
    if (output->Failed())
        return StatusStreamError;
    if (m_PatcherCount) {
        const uint64_t plausible = 4 * m_ElementStorage.Size() + (uint64_t(1) << 20);
        if (!output->Reserve(m_FinalSize < plausible ? m_FinalSize : plausible))
            return StatusStreamError;
    }
    for (size_t i = 0; i < m_PatcherCount; ++i) {
        ReadStreamSet nested;
        if (!elements->ReadSet(&nested))
            return StatusStreamError;
        PatchStatus status = m_Patchers[i]->Untransform(&nested, output);
        if (status != StatusOk)
            return status;
        if (!nested.Empty())
            return StatusStreamNotConsumed;
    }
    if (!elements->Empty())
        return StatusStreamNotConsumed;
    m_ElementStorage.Retire();
    return StatusOk;
}

PatchStatus EnsemblePatchApplier::PatchFinalOutput(ReadStream* rebuilt, ReadStream* diff, WriteStream* output)
{
    const uint64_t start = output->Size();
    const DiffPiece ensemble[2] = {{m_Base, m_BaseLength}, {rebuilt->Current(), rebuilt->Remaining()}};
    if (!ApplyDiffToPieces(ensemble, 2, diff, output, false))
        return StatusDiffFailed;
    const uint32_t crc = ComputeCrc32(output->Data() + start, static_cast<size_t>(output->Size() - start));
    return crc == m_TargetCrc ? StatusOk : StatusCrcMismatch;
}

// Entry points

namespace {

PatchStatus ApplyToOutput(ReadStream* oldStream, ReadStream* patch, WriteStream* output)
{
    EnsemblePatchApplier applier;
    PatchStatus status = applier.ReadHeader(patch);
    if (status != StatusOk)
        return status;
    status = applier.SetBase(oldStream->Current(), oldStream->Remaining());
    if (status != StatusOk)
        return status;
    status = applier.CheckBaseCrc();
    if (status != StatusOk)
        return status;

    WriteStream body;
    if (!DecodeLzma2Block(patch, &body))
        return StatusStreamError;
    ReadStreamSet set;
    if (!set.Init(body.Data(), static_cast<size_t>(body.Size())) || set.Count() < 4)
        return StatusBadHeader;

    status = applier.ReadElementPatchers(set.Stream(0));
    if (status != StatusOk)
        return status;
    WriteStreamSet predicted;
    status = applier.PredictParameters(&predicted);
    if (status != StatusOk)
        return status;
    ReadStreamSet parameters;
    status = applier.PatchParameters(&predicted, set.Stream(1), &parameters);
    if (status != StatusOk)
        return status;
    WriteStreamSet transformed;
    status = applier.TransformElements(&parameters, &transformed);
    if (status != StatusOk)
        return status;
    ReadStreamSet elements;
    status = applier.PatchElements(&transformed, set.Stream(2), &elements);
    if (status != StatusOk)
        return status;
    // Only the final diff is left to read of the body; the element diff
    // before it, often as large as the new file, is handed back before the
    // elements are rebuilt.
    ReadStream* finalStream = set.Stream(3);
    body.Forget(static_cast<uint64_t>(finalStream->Current() - body.Data()));
    WriteStream rebuilt;
    status = applier.UntransformElements(&elements, &rebuilt);
    if (status != StatusOk)
        return status;
    ReadStream rebuiltStream(rebuilt.Data(), static_cast<size_t>(rebuilt.Size()));
    return applier.PatchFinalOutput(&rebuiltStream, finalStream, output);
}

} // namespace

PatchStatus ApplyEnsemblePatchStreams(ReadStream* oldStream, ReadStream* patch, WriteStream* output)
{
    // A failed application leaves no half-made new file behind in the output.
    const uint64_t start = output->Size();
    const PatchStatus status = ApplyToOutput(oldStream, patch, output);
    if (status != StatusOk)
        output->Truncate(start);
    return status;
}

PatchStatus ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath, const char* newPath)
{
    if (!oldPath || !patchPath || !newPath)
        return StatusReadWriteFailed;
    MappedFile patchFile(patchPath, 0, MappedFile::AccessNormal);
    if (!patchFile.IsMapped())
        return StatusPatchOpenFailed;
    const size_t patchLength = static_cast<size_t>(patchFile.ViewLength());
    {
        // Refuse anything that is not a patch before touching the old file.
        EnsemblePatchApplier probe;
        ReadStream header(patchFile.Data(), patchLength);
        PatchStatus status = probe.ReadHeader(&header);
        if (status != StatusOk)
            return status;
    }
    MappedFile oldFile(oldPath, 0, MappedFile::AccessNormal);
    if (!oldFile.IsMapped())
        return StatusReadWriteFailed;

    WriteStream output;
    ReadStream oldStream(oldFile.Data(), static_cast<size_t>(oldFile.ViewLength()));
    ReadStream patch(patchFile.Data(), patchLength);
    PatchStatus status = ApplyEnsemblePatchStreams(&oldStream, &patch, &output);
    if (status != StatusOk)
        return status;
    // Unmapped before writing, so that the new path may name the old file.
    oldFile.Close();
    patchFile.Close();
    const uint64_t written = WriteBufferToFile(newPath, output.Data(), output.Size());
    return written == output.Size() ? StatusOk : StatusReadWriteFailed;
}

} // namespace deltapatch
