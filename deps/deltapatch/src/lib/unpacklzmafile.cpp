#include "unpacklzmafile.h"

#include "bytediff.h"
#include "computecrc32.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "logmessage.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"

namespace deltapatch {

namespace {

// A universal header lists at most this many architectures, so with the whole
// file as a last resort the elements fit one stream set beside the diff.
const uint32_t kMaxUniversalEntries = 8;
const uint64_t kMinUniversalLength = 4096;
const size_t kMaxElements = kMaxUniversalEntries + 1;

// The disassembled form of a file may take more bytes than the file itself:
// a reference grows to a label index plus a label entry, and the diff that
// restores what the programs do not comes on top. Its block may claim this
// much per byte of the output limit.
const uint64_t kSetBytesPerOutputByte = 4;
const uint64_t kSetSlack = 1u << 20;

struct Element
{
    uint64_t offset;
    uint64_t length;
    ExecutableType kind;
};

bool Fail(const char* message, int level = LogLevel_ERROR)
{
    LogMessage(level) << message;
    return false;
}

uint32_t ReadBigEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
}

// Elements from a Mach-O universal header; false when the header is absent
// or has to be abandoned. Elements taken before an abandon stay in the list.
bool FindUniversalElements(const uint8_t* bytes, uint64_t length, Element* elements, size_t* count)
{
    if (length < kMinUniversalLength || bytes[0] != 0xCA || bytes[1] != 0xFE || bytes[2] != 0xBA || bytes[3] != 0xBE)
        return false;
    const uint32_t entries = ReadBigEndian32(bytes + 4);
    if (entries > kMaxUniversalEntries)
        return false;
    // 8 + 8 * 20 header bytes lie well inside the 4096 checked above.
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* entry = bytes + 8 + 20 * i;
        const uint64_t offset = ReadBigEndian32(entry + 8);
        const uint64_t size = ReadBigEndian32(entry + 12);
        if (offset + size > length)
            return false;
        for (size_t j = 0; j < *count; ++j) {
            if (offset < elements[j].offset + elements[j].length && elements[j].offset < offset + size)
                return false;
        }
        ExecutableType kind = UNKNOWN;
        size_t detected = 0;
        if (DetectExecutable(bytes + offset, static_cast<size_t>(size), &kind, &detected) != StatusOk)
            continue;
        if (detected > size)
            return false;
        elements[(*count)++] = Element{offset, size, kind};
    }
    return *count > 0;
}

bool WritePlainBytes(const uint8_t* input, size_t length, WriteStream* output, uint32_t crc)
{
    if (!WriteLzmaHeader(output, crc))
        return false;
    if (!output->WriteVarint32(kLzmaDirectivePlain))
        return Fail("could not write preprocess directive");
    if (!CompressBufferLzma2(input, length, output))
        return Fail("could not compress file");
    return true;
}

// Steps that may fall back to the plain form: each failure logs its message.
bool WritePreprocessed(const uint8_t* input, size_t length, const Element* elements, size_t count, WriteStream* output,
                       uint32_t crc)
{
    if (!WriteLzmaHeader(output, crc))
        return false;
    if (!output->WriteVarint32(kLzmaDirectivePreprocessed))
        return Fail("could not write preprocess directive");
    WriteStreamSet disAndDiff;
    if (!disAndDiff.Init(count + 1))
        return Fail("could not combine streams");
    WriteStream reassembled;
    for (size_t i = 0; i < count; ++i) {
        DisassembledProgram* program = nullptr;
        if (DisassembleExecutable(input + elements[i].offset, static_cast<size_t>(elements[i].length), &program)
            != StatusOk)
            return Fail("could not parse file", LogLevel_WARNING);
        PatchStatus status = TrimLabels(program);
        if (status != StatusOk) {
            DeleteDisassembledProgram(program);
            return Fail("could not trim labels");
        }
        EncodedProgram* encoded = nullptr;
        status = EncodeProgram(program, &encoded);
        DeleteDisassembledProgram(program);
        if (status != StatusOk)
            return Fail("could not encode program");
        WriteStreamSet source;
        if (WriteEncodedProgram(encoded, &source) != StatusOk) {
            DeleteEncodedProgram(encoded);
            return Fail("could not write encode program");
        }
        if (!source.CopyTo(disAndDiff.Stream(i))) {
            DeleteEncodedProgram(encoded);
            return Fail("could not combine streams");
        }
        status = AssembleEncodedProgram(encoded, &reassembled);
        DeleteEncodedProgram(encoded);
        if (status != StatusOk)
            return Fail("could not assemble program");
    }
    ReadStream oldStream(reassembled.Data(), static_cast<size_t>(reassembled.Size()));
    ReadStream newStream(input, length);
    if (!CreateDiff(&oldStream, &newStream, disAndDiff.Stream(count), false, kDiffPlain))
        return Fail("could not generate diff");
    WriteStream scratch;
    if (!disAndDiff.CopyTo(&scratch))
        return Fail("could not combine dis and dif");
    if (!CompressBufferLzma2(scratch.Data(), static_cast<size_t>(scratch.Size()), output))
        return Fail("could not compress file");
    return true;
}

uint64_t SetBytesLimit(uint64_t outputLimit)
{
    if (outputLimit > (UINT64_MAX - kSetSlack) / kSetBytesPerOutputByte)
        return UINT64_MAX;
    return outputLimit * kSetBytesPerOutputByte + kSetSlack;
}

bool UnpackPreprocessed(ReadStream* input, WriteStream* output, uint64_t outputLimit)
{
    WriteStream scratch;
    scratch.SetLimit(SetBytesLimit(outputLimit));
    if (!DecodeLzma2Block(input, &scratch))
        return Fail("could not decompress file");
    ReadStreamSet disAndDiff;
    if (!disAndDiff.Init(scratch.Data(), static_cast<size_t>(scratch.Size())))
        return Fail("could not init dif_and_dis set");
    if (disAndDiff.Count() <= 1)
        return Fail("dis_and_diff too small");
    // The elements are disjoint parts of the file, so together no larger.
    WriteStream reassembled;
    reassembled.SetLimit(outputLimit);
    const size_t last = static_cast<size_t>(disAndDiff.Count() - 1);
    for (size_t i = 0; i < last; ++i) {
        ReadStreamSet source;
        if (!source.Init(*disAndDiff.Stream(i)))
            return Fail("could not init program_source set");
        EncodedProgram* program = nullptr;
        if (ReadEncodedProgram(&source, &program) != StatusOk)
            return Fail("could not read encoded program");
        const PatchStatus status = AssembleEncodedProgram(program, &reassembled);
        DeleteEncodedProgram(program);
        if (status != StatusOk)
            return Fail("could not assemble program");
    }
    ReadStream oldStream(reassembled.Data(), static_cast<size_t>(reassembled.Size()));
    if (!ApplyDiff(&oldStream, disAndDiff.Stream(last), output, false))
        return Fail("could not apply diff");
    return true;
}

} // namespace

bool WriteLzmaHeader(WriteStream* output, uint32_t crc)
{
    if (!output->WriteVarint32(kLzmaFileMagic))
        return Fail("could not write magic");
    if (!output->WriteVarint32(crc))
        return Fail("could not write crc");
    return true;
}

bool WritePlainLzmaFile(const MappedFile& input, WriteStream* output, uint32_t crc)
{
    if (!input.IsMapped())
        return Fail("could not open file");
    return WritePlainBytes(input.Data(), static_cast<size_t>(input.ViewLength()), output, crc);
}

const char* ExecutableTypeName(uint32_t type)
{
    switch (type) {
    case WIN_32_X86: return "WIN_32_X86";
    case EXE_ELF_32_X86: return "EXE_ELF_32_X86";
    case ELF_32_ARM: return "ELF_32_ARM";
    case WIN_32_X64: return "WIN_32_X64";
    case ELF_64_X64: return "ELF_64_X64";
    case MACHO_X86: return "MACHO_X86";
    case MACHO_X64: return "MACHO_X64";
    default: return "UNKNOWN";
    }
}

bool UnpackLzmaStream(ReadStream* input, WriteStream* output, uint64_t outputLimit)
{
    uint32_t magic = 0;
    uint32_t crc = 0;
    uint32_t directive = 0;
    if (!input->ReadVarint32(&magic) || !input->ReadVarint32(&crc) || !input->ReadVarint32(&directive))
        return Fail("could not read lzma header");
    if (magic != kLzmaFileMagic)
        return Fail("not lzma file");
    const uint64_t start = output->Size();
    const uint64_t outerLimit = output->Limit();
    if (outputLimit < output->Headroom())
        output->SetLimit(start + outputLimit);
    bool ok = false;
    if (directive == kLzmaDirectivePlain) {
        ok = DecodeLzma2Block(input, output) || Fail("could not decompress file");
    } else if (directive == kLzmaDirectivePreprocessed) {
        ok = UnpackPreprocessed(input, output, outputLimit);
    } else {
        ok = Fail("Unknown preprocessing dirrective");
    }
    output->SetLimit(outerLimit);
    if (ok && ComputeCrc32(output->Data() + start, static_cast<size_t>(output->Size() - start)) != crc)
        ok = Fail("crc mismatch");
    if (!ok)
        output->Truncate(start);
    return ok;
}

bool UnpackLzmaFile(const char* inputPath, const char* outputPath, uint64_t outputLimit)
{
    if (!inputPath || !outputPath)
        return Fail("could not open lzma file");
    MappedFile input(inputPath, 0, MappedFile::AccessNormal);
    if (!input.IsMapped())
        return Fail("could not open lzma file");
    ReadStream packed(input.Data(), static_cast<size_t>(input.ViewLength()));
    WriteStream output;
    if (!UnpackLzmaStream(&packed, &output, outputLimit))
        return false;
    // Unmapped first, so that the output path may name the input.
    input.Close();
    if (WriteBufferToFile(outputPath, output.Data(), output.Size()) != output.Size())
        return Fail("could not write output file");
    return true;
}

bool GenerateLzmaBuffer(const uint8_t* input, size_t length, bool preprocess, WriteStream* output)
{
    const uint32_t crc = ComputeCrc32(input, length);
    if (!preprocess)
        return WritePlainBytes(input, length, output, crc);

    Element elements[kMaxElements];
    size_t count = 0;
    if (!FindUniversalElements(input, length, elements, &count)) {
        ExecutableType kind = UNKNOWN;
        size_t detected = 0;
        const PatchStatus status = DetectExecutable(input, length, &kind, &detected);
        if (status == StatusNotRecognized)
            return WritePlainBytes(input, length, output, crc);
        if (status != StatusOk) {
            LogMessage(LogLevel_ERROR) << "error detecting file type " << static_cast<int>(status);
            return false;
        }
        elements[count++] = Element{0, detected, kind};
    }
    for (size_t i = 0; i < count; ++i)
        LogMessage(LogLevel_DEBUG) << "detected " << ExecutableTypeName(elements[i].kind);

    const uint64_t start = output->Size();
    if (WritePreprocessed(input, length, elements, count, output, crc))
        return true;
    LogMessage(LogLevel_WARNING) << "falling back to default compression";
    output->Truncate(start);
    return WritePlainBytes(input, length, output, crc);
}

bool GenerateLzmaFile(const char* inputPath, const char* outputPath, bool preprocess)
{
    if (!inputPath || !outputPath)
        return Fail("could not open file");
    MappedFile input(inputPath, 0, MappedFile::AccessNormal);
    if (!input.IsMapped())
        return Fail("could not open file");
    WriteStream output;
    if (!GenerateLzmaBuffer(input.Data(), static_cast<size_t>(input.ViewLength()), preprocess, &output))
        return false;
    input.Close();
    if (WriteBufferToFile(outputPath, output.Data(), output.Size()) != output.Size())
        return Fail("could not write output file");
    return true;
}

} // namespace deltapatch
