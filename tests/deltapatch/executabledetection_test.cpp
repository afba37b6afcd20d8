#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "computecrc32.h"
#include "disassembledprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "streams.h"
#include "support/encodedpipeline.h"
#include "support/fixturebytes.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;

using testsupport::ReadFixture;

using testsupport::FlatStreams;
using testsupport::Pipeline;
using testsupport::RunPipeline;

// The streams of the applier's direct encoding, flat; empty unless it
// succeeded.
Bytes DirectStreams(const Bytes& file, PatchStatus* status)
{
    EncodedProgram* encoded = nullptr;
    *status = DisassembleAndEncode(file.data(), file.size(), &encoded);
    if (*status != StatusOk)
        return Bytes();
    const Bytes streams = FlatStreams(encoded);
    DeleteEncodedProgram(encoded);
    return streams;
}

struct FixtureRow
{
    const char* name;
    ExecutableType kind;
    // The executable's own extent (0: the whole file): 64-bit Mach-O files
    // end at their last segment with sections, so the link-edit data after
    // it is not counted.
    size_t length;
    bool hasAbs32;
    // Digest and size of the written streams, which every build must match.
    uint32_t streamsCrc;
    size_t streamsSize;
};

class ExecutableFixtureTest : public ::testing::TestWithParam<FixtureRow>
{
protected:
    static size_t ExpectedLength(const Bytes& file) { return GetParam().length ? GetParam().length : file.size(); }
};

TEST_P(ExecutableFixtureTest, ReassemblesToTheSameBytesThroughTheStreams)
{
    const FixtureRow& row = GetParam();
    Bytes file = ReadFixture(row.name);
    ASSERT_FALSE(file.empty()) << row.name;
    Pipeline result = RunPipeline(file);
    ASSERT_TRUE(result.ok) << row.name << " status " << result.status;
    EXPECT_EQ(row.kind, result.kind);
    EXPECT_EQ(ExpectedLength(file), result.length);
    EXPECT_GT(result.rel32Labels, 0u);
    EXPECT_GT(result.rel32LabelsAfterTrim, 0u);
    if (row.hasAbs32)
        EXPECT_GT(result.abs32Labels, 0u);
    else
        EXPECT_EQ(0u, result.abs32Labels);
    ASSERT_LE(result.length, file.size());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + result.length), result.assembled);
}

TEST_P(ExecutableFixtureTest, EncodesIdenticallyEveryTimeAndInEveryBuild)
{
    Bytes file = ReadFixture(GetParam().name);
    Pipeline first = RunPipeline(file);
    Pipeline second = RunPipeline(file);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.streams, second.streams);
    // The applier's direct encoding makes the very same streams.
    PatchStatus status = StatusOk;
    EXPECT_EQ(first.streams, DirectStreams(file, &status));
    EXPECT_EQ(StatusOk, status);
    EXPECT_EQ(GetParam().streamsSize, first.streams.size());
    EXPECT_EQ(GetParam().streamsCrc, ComputeCrc32(first.streams.data(), first.streams.size()))
        << std::hex << ComputeCrc32(first.streams.data(), first.streams.size());
}

TEST_P(ExecutableFixtureTest, TrailingBytesAreNotPartOfTheExecutable)
{
    const FixtureRow& row = GetParam();
    Bytes file = ReadFixture(row.name);
    Bytes padded = file;
    padded.resize(file.size() + 77, 0xAB);
    ExecutableType kind = UNKNOWN;
    size_t length = 0;
    ASSERT_EQ(StatusOk, DetectExecutable(padded.data(), padded.size(), &kind, &length));
    EXPECT_EQ(row.kind, kind);
    EXPECT_EQ(ExpectedLength(file), length);
    Pipeline result = RunPipeline(padded);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + ExpectedLength(file)), result.assembled);
}

TEST_P(ExecutableFixtureTest, EveryTruncationIsRefusedOrStaysInsideTheBuffer)
{
    // Cut copies live in buffers of exactly their size, so the sanitizer
    // build catches any read past the end.
    Bytes file = ReadFixture(GetParam().name);
    for (size_t cut = 0; cut < file.size(); cut += (cut < 1024 ? 7 : 211)) {
        Bytes part(file.begin(), file.begin() + cut);
        DisassembledProgram* program = nullptr;
        PatchStatus status = DisassembleExecutable(part.data(), part.size(), &program);
        EXPECT_TRUE(status == StatusOk || status == StatusNotRecognized || status == StatusDisassemblyFailed);
        EXPECT_EQ(status == StatusOk, program != nullptr);
        DeleteDisassembledProgram(program);
        PatchStatus direct = StatusOk;
        const Bytes streams = DirectStreams(part, &direct);
        EXPECT_EQ(status, direct) << cut;
        if (status == StatusOk) {
            EXPECT_EQ(RunPipeline(part).streams, streams) << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExecutableFixtureTest,
                         ::testing::Values(FixtureRow{"pe/x86.exe", WIN_32_X86, 3072, true, 0x8986aef2, 3067},
                                           FixtureRow{"pe/x86.dll", WIN_32_X86, 3072, true, 0xe5954327, 3068},
                                           FixtureRow{"pe/x64.exe", WIN_32_X64, 3072, true, 0xdd91619d, 3099},
                                           FixtureRow{"pe/x64.dll", WIN_32_X64, 3072, true, 0xc126ebb3, 3099},
                                           FixtureRow{"macho/x64", MACHO_X64, 8192, false, 0x2a21234f, 8235},
                                           FixtureRow{"macho/x64.dylib", MACHO_X64, 8192, false, 0x12f89a1a, 8235},
                                           FixtureRow{"macho/x64.bundle", MACHO_X64, 8192, false, 0x421729e9, 8235},
                                           FixtureRow{"macho/i386", MACHO_X86, 4116, false, 0xb204455d, 4158},
                                           FixtureRow{"elf/x86-shared.so", EXE_ELF_32_X86, 0, true, 0x817d33a8, 2783},
                                           FixtureRow{"elf/x86-static", EXE_ELF_32_X86, 0, false, 0xbd6fa6a1, 1572},
                                           FixtureRow{"elf/arm-thumb.so", ELF_32_ARM, 0, true, 0x6b2f2059, 3065},
                                           FixtureRow{"elf/arm-arm.so", ELF_32_ARM, 0, true, 0x8912b46b, 3244},
                                           FixtureRow{"elf/arm-thumb", ELF_32_ARM, 0, false, 0x63d08583, 1807},
                                           FixtureRow{"elf/x64-pie", ELF_64_X64, 0, false, 0x021f9a63, 3531}),
                         [](const ::testing::TestParamInfo<FixtureRow>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-' || c == '.' || c == '/')
                                     c = '_';
                             return name;
                         });

TEST(ExecutableDetectionTest, BufferNoParserAcceptsIsNotRecognizedByEitherEntryPoint)
{
    const Bytes cases[] = {Bytes(), Bytes(64, 0), Bytes(4096, 0xFF), Bytes{'M', 'Z'}, Bytes{0xCF, 0xFA, 0xED, 0xFE}};
    for (const Bytes& buffer : cases) {
        ExecutableType kind = MACHO_X64;
        size_t length = 99;
        EXPECT_EQ(StatusNotRecognized, DetectExecutable(buffer.data(), buffer.size(), &kind, &length));
        EXPECT_EQ(UNKNOWN, kind);
        EXPECT_EQ(0u, length);
        DisassembledProgram* program = reinterpret_cast<DisassembledProgram*>(&length);
        EXPECT_EQ(StatusNotRecognized, DisassembleExecutable(buffer.data(), buffer.size(), &program));
        EXPECT_EQ(nullptr, program);
        EXPECT_EQ(nullptr, SelectDisassembler(buffer.data(), buffer.size()));
        PatchStatus direct = StatusOk;
        EXPECT_TRUE(DirectStreams(buffer, &direct).empty());
        EXPECT_EQ(StatusNotRecognized, direct);
    }
}

TEST(ExecutableDetectionTest, SelectedParserHasAcceptedTheHeaders)
{
    Bytes file = ReadFixture("pe/x86.exe");
    Disassembler* parser = SelectDisassembler(file.data(), file.size());
    ASSERT_NE(nullptr, parser);
    EXPECT_EQ(WIN_32_X86, parser->kind());
    EXPECT_TRUE(parser->ok());
    delete parser;
}

TEST(ExecutableDetectionTest, AcceptedHeadersButFailedDisassemblyGives25WithoutProgram)
{
    // A base-relocation block of size 6 passes the header check and fails
    // only when the relocations are read.
    Bytes file = ReadFixture("pe/x86.exe");
    DisassembledProgram* program = nullptr;
    ASSERT_EQ(StatusOk, DisassembleExecutable(file.data(), file.size(), &program));
    DeleteDisassembledProgram(program);
    DeleteDisassembledProgram(nullptr);
    // The only .reloc section's raw data starts at 0xA00 in this fixture.
    ASSERT_GT(file.size(), 0xA08u);
    file[0xA04] = 6;
    file[0xA05] = file[0xA06] = file[0xA07] = 0;
    program = reinterpret_cast<DisassembledProgram*>(&file);
    EXPECT_EQ(StatusDisassemblyFailed, DisassembleExecutable(file.data(), file.size(), &program));
    EXPECT_EQ(nullptr, program);
    PatchStatus direct = StatusOk;
    EXPECT_TRUE(DirectStreams(file, &direct).empty());
    EXPECT_EQ(StatusDisassemblyFailed, direct);
}

} // namespace
} // namespace deltapatch
