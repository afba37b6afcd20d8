#ifndef QND_TESTS_ENCODEDPIPELINE_H
#define QND_TESTS_ENCODEDPIPELINE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "streams.h"

namespace testsupport {

// The streams of an encoded program, flat; empty when writing fails.
inline std::vector<uint8_t> FlatStreams(deltapatch::EncodedProgram* encoded)
{
    using namespace deltapatch;
    WriteStreamSet set;
    const PatchStatus written = WriteEncodedProgram(encoded, &set);
    WriteStream flat;
    if (written != StatusOk || !set.CopyTo(&flat))
        return std::vector<uint8_t>();
    return std::vector<uint8_t>(flat.Data(), flat.Data() + flat.Size());
}

// What a patch does to an element and back: detect, disassemble, trim,
// encode, write the nine streams (kept flat for comparison), read them
// back and assemble.
struct Pipeline
{
    deltapatch::PatchStatus status = deltapatch::StatusOk;
    bool ok = false;
    deltapatch::ExecutableType kind = deltapatch::UNKNOWN;
    size_t length = 0;
    size_t abs32Labels = 0;
    size_t rel32Labels = 0;
    size_t rel32LabelsAfterTrim = 0;
    std::vector<uint8_t> streams;
    std::vector<uint8_t> assembled;
};

inline Pipeline RunPipeline(const std::vector<uint8_t>& file)
{
    using namespace deltapatch;
    Pipeline out;
    if (DetectExecutable(file.data(), file.size(), &out.kind, &out.length) != StatusOk)
        return out;
    DisassembledProgram* program = nullptr;
    out.status = DisassembleExecutable(file.data(), file.size(), &program);
    if (out.status != StatusOk)
        return out;
    out.abs32Labels = program->abs32Labels().size();
    out.rel32Labels = program->rel32Labels().size();
    EncodedProgram* encoded = nullptr;
    PatchStatus status = TrimLabels(program);
    out.rel32LabelsAfterTrim = program->rel32Labels().size();
    if (status == StatusOk)
        status = EncodeProgram(program, &encoded);
    DeleteDisassembledProgram(program);
    if (status != StatusOk)
        return out;
    out.streams = FlatStreams(encoded);
    DeleteEncodedProgram(encoded);
    ReadStreamSet readSet;
    if (out.streams.empty() || !readSet.Init(out.streams.data(), out.streams.size()))
        return out;
    EncodedProgram* read = nullptr;
    if (ReadEncodedProgram(&readSet, &read) != StatusOk)
        return out;
    WriteStream assembled;
    status = AssembleEncodedProgram(read, &assembled);
    DeleteEncodedProgram(read);
    if (status != StatusOk)
        return out;
    out.assembled.assign(assembled.Data(), assembled.Data() + assembled.Size());
    out.ok = true;
    return out;
}

} // namespace testsupport

#endif // QND_TESTS_ENCODEDPIPELINE_H
