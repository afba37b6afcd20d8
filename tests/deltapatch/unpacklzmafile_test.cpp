#include "unpacklzmafile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bytediff.h"
#include "computecrc32.h"
#include "disassembledprogram.h"
#include "executabledetection.h"
#include "log.h"
#include "lzmaioout.h"
#include "streams.h"
#include "support/enginetempdir.h"
#include "support/brokenexecutable.h"
#include "support/capturesink.h"
#include "support/filebytes.h"
#include "support/fixturebytes.h"
#include "support/enginebytes.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;

using namespace testsupport;

Bytes Lzma2(const Bytes& content)
{
    WriteStream out;
    EXPECT_TRUE(CompressBufferLzma2(content.data(), content.size(), &out));
    return ToBytes(out);
}

Bytes Pack(const Bytes& input, bool preprocess)
{
    WriteStream out;
    EXPECT_TRUE(GenerateLzmaBuffer(input.data(), input.size(), preprocess, &out));
    return ToBytes(out);
}

struct Unpacked
{
    bool ok;
    Bytes output;
    uint64_t capacity; // the most the output buffer held
};

Unpacked Unpack(const Bytes& packed, uint64_t limit = kNoOutputLimit)
{
    ReadStream in(packed.data(), packed.size());
    WriteStream out;
    Unpacked result;
    result.ok = UnpackLzmaStream(&in, &out, limit);
    result.output = ToBytes(out);
    result.capacity = out.Capacity();
    return result;
}

// Magic, CRC and directive of a packed file.
std::vector<uint32_t> Header(const Bytes& packed)
{
    ReadStream in(packed.data(), packed.size());
    std::vector<uint32_t> fields(3, 0);
    for (uint32_t& f : fields)
        EXPECT_TRUE(in.ReadVarint32(&f));
    return fields;
}

const Bytes kText = FromText("abcabcabc plain text that is no executable at all");

TEST(PackedFileFormatTest, HeaderHoldsMagicBytesCrcAndDirective)
{
    const Bytes packed = Pack(FromText("abc"), false);
    ASSERT_GE(packed.size(), 4u);
    EXPECT_EQ(Bytes({0xE9, 0xAE, 0xA8, 0x3F}), Bytes(packed.begin(), packed.begin() + 4));
    EXPECT_EQ((std::vector<uint32_t>{kLzmaFileMagic, 0xCADBBE3Du, kLzmaDirectivePlain}), Header(packed));
}

// The fuzzers' stored packed files (after their mode byte) keep unpacking
// to the same bytes.
TEST(PackedFileFormatTest, StoredPackedFilesStillUnpackByteForByte)
{
    const struct
    {
        const char* name;
        size_t size;
        uint32_t crc;
    } rows[] = {{"elf-packed", 1508, 0xadb2dea5}, {"text-packed", 28, 0xc87f376c}};
    for (const auto& row : rows) {
        const Bytes entry = ReadFileBytes(std::string(QND_SOURCE_DIR) + "/fuzz/corpus/packedfile/" + row.name);
        ASSERT_GT(entry.size(), 1u) << row.name;
        const Unpacked unpacked = Unpack(Bytes(entry.begin() + 1, entry.end()));
        EXPECT_TRUE(unpacked.ok) << row.name;
        EXPECT_EQ(row.size, unpacked.output.size()) << row.name;
        EXPECT_EQ(row.crc, ComputeCrc32(unpacked.output.data(), unpacked.output.size())) << row.name;
    }
}

TEST(PackedFileFormatTest, ExecutableTypeNamesCoverEveryCode)
{
    const char* names[] = {"UNKNOWN",    "WIN_32_X86", "EXE_ELF_32_X86", "ELF_32_ARM",
                           "WIN_32_X64", "ELF_64_X64", "MACHO_X86",      "MACHO_X64"};
    for (uint32_t code = 0; code < 8; ++code)
        EXPECT_STREQ(names[code], ExecutableTypeName(code));
    EXPECT_STREQ("UNKNOWN", ExecutableTypeName(8));
    EXPECT_STREQ("UNKNOWN", ExecutableTypeName(0xFFFFFFFF));
}

// Every fixture packed both ways unpacks to itself; executables are stored
// preprocessed when asked for, everything else plain.
struct RoundTripCase
{
    const char* name;
    std::function<Bytes()> input;
    uint32_t preprocessedDirective;
};

void PrintTo(const RoundTripCase& row, std::ostream* os)
{
    *os << row.name;
}

class PackedFileRoundTripTest : public ::testing::TestWithParam<RoundTripCase>
{};

TEST_P(PackedFileRoundTripTest, UnpackingGivesBackTheInput)
{
    const Bytes input = GetParam().input();
    ASSERT_FALSE(input.empty());
    for (bool preprocess : {false, true}) {
        const Bytes packed = Pack(input, preprocess);
        const std::vector<uint32_t> header = Header(packed);
        EXPECT_EQ(Crc(input), header[1]);
        EXPECT_EQ(preprocess ? GetParam().preprocessedDirective : kLzmaDirectivePlain, header[2]);
        const Unpacked unpacked = Unpack(packed);
        ASSERT_TRUE(unpacked.ok) << "preprocess " << preprocess;
        EXPECT_TRUE(unpacked.output == input) << "preprocess " << preprocess;
        // Bytes after the body are not read.
        EXPECT_TRUE(Unpack(Concat(packed, FromText("trailing"))).output == input);
        // A limit of exactly the file's size lets it through; one byte less
        // refuses it with nothing kept and no buffer beyond the limit.
        EXPECT_TRUE(Unpack(packed, input.size()).output == input) << "preprocess " << preprocess;
        const Unpacked refused = Unpack(packed, input.size() - 1);
        EXPECT_FALSE(refused.ok) << "preprocess " << preprocess;
        EXPECT_TRUE(refused.output.empty());
        EXPECT_LE(refused.capacity, input.size() - 1);
    }
}

std::function<Bytes()> Fixture(const char* name)
{
    return [name] { return ReadFixture(name); };
}

Bytes WithTrailer(Bytes bytes)
{
    const Bytes tail = FromText("data after the executable's own length");
    return Concat(bytes, tail);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackedFileRoundTripTest,
    ::testing::Values(RoundTripCase{"ElfX86Static", Fixture("elf/x86-static"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"ElfX86Shared", Fixture("elf/x86-shared.so"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"ElfX64", Fixture("elf/x64-pie"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"ElfArm", Fixture("elf/arm-arm.so"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"ElfThumb", Fixture("elf/arm-thumb"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"PeX86", Fixture("pe/x86.exe"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"PeX64Dll", Fixture("pe/x64.dll"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"MachoI386", Fixture("macho/i386"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"MachoX64Dylib", Fixture("macho/x64.dylib"), kLzmaDirectivePreprocessed},
                      RoundTripCase{"ExecutableWithTrailer", [] { return WithTrailer(ReadFixture("elf/x64-pie")); },
                                    kLzmaDirectivePreprocessed},
                      RoundTripCase{"Text", [] { return kText; }, kLzmaDirectivePlain},
                      RoundTripCase{"OneByte", [] { return Bytes(1, 0x7F); }, kLzmaDirectivePlain}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

// A Mach-O universal file: big-endian header, then the given architectures.
struct Arch
{
    uint32_t offset;
    uint32_t size;
};

Bytes Universal(uint32_t declared, const std::vector<Arch>& arches, size_t total)
{
    Bytes file(total, 0);
    auto put = [&file](size_t at, uint32_t v) {
        file[at] = v >> 24;
        file[at + 1] = v >> 16;
        file[at + 2] = v >> 8;
        file[at + 3] = v;
    };
    put(0, 0xCAFEBABE);
    put(4, declared);
    for (size_t i = 0; i < arches.size(); ++i) {
        put(8 + 20 * i + 8, arches[i].offset);
        put(8 + 20 * i + 12, arches[i].size);
    }
    return file;
}

TEST(PackedFileUniversalTest, EachArchitectureBecomesAnElement)
{
    CaptureSink sink;
    setLogLevel(LogLevel_DEBUG);
    const Bytes i386 = ReadFixture("macho/i386");
    const Bytes x64 = ReadFixture("macho/x64");
    const uint32_t second = 4096 + ((i386.size() + 4095) / 4096) * 4096;
    Bytes file = Universal(3,
                           {{4096, static_cast<uint32_t>(i386.size())},
                            {second, static_cast<uint32_t>(x64.size())},
                            {100, 50}}, // not an executable: skipped
                           second + x64.size());
    std::copy(i386.begin(), i386.end(), file.begin() + 4096);
    std::copy(x64.begin(), x64.end(), file.begin() + second);

    const Bytes packed = Pack(file, true);
    EXPECT_EQ(kLzmaDirectivePreprocessed, Header(packed)[2]);
    EXPECT_TRUE(sink.Has("detected MACHO_X86"));
    EXPECT_TRUE(sink.Has("detected MACHO_X64"));
    // Two programs and the diff.
    ReadStream in(packed.data(), packed.size());
    uint32_t skip = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(in.ReadVarint32(&skip));
    WriteStream body;
    ASSERT_TRUE(DecodeLzma2Block(&in, &body));
    ReadStreamSet set;
    ASSERT_TRUE(set.Init(body.Data(), body.Size()));
    EXPECT_EQ(3u, set.Count());

    const Unpacked unpacked = Unpack(packed);
    ASSERT_TRUE(unpacked.ok);
    EXPECT_TRUE(unpacked.output == file);
}

TEST(PackedFileUniversalTest, AbandonedHeadersFallBackToThePlainForm)
{
    const Bytes i386 = ReadFixture("macho/i386");
    const uint32_t size = static_cast<uint32_t>(i386.size());
    struct Row
    {
        const char* name;
        Bytes file;
    } rows[] = {
        {"NineArchitectures", Universal(9, {{4096, size}}, 4096 + size)},
        {"EntryPastTheEnd", Universal(1, {{4096, size + 1}}, 4096 + size)},
        {"OverlappingEntries", Universal(2, {{4096, size}, {4096 + 16, size - 16}}, 4096 + size)},
        {"ShorterThanAPage", Universal(1, {{200, 100}}, 4000)},
    };
    for (Row& row : rows) {
        if (row.file.size() >= 4096 + size)
            std::copy(i386.begin(), i386.end(), row.file.begin() + 4096);
        const Bytes packed = Pack(row.file, true);
        EXPECT_EQ(kLzmaDirectivePlain, Header(packed)[2]) << row.name;
        EXPECT_TRUE(Unpack(packed).output == row.file) << row.name;
    }
}

// Hand-made packed files that each fail with their own message.
struct FailureCase
{
    const char* name;
    std::function<Bytes()> packed;
    const char* message;
};

void PrintTo(const FailureCase& row, std::ostream* os)
{
    *os << row.name;
}

class PackedFileFailureTest : public ::testing::TestWithParam<FailureCase>
{};

TEST_P(PackedFileFailureTest, FailsWithItsMessageAndWritesNothing)
{
    TempDir dir;
    WriteFileBytes(dir.Path("in"), GetParam().packed());
    CaptureSink sink;
    EXPECT_FALSE(UnpackLzmaFile(dir.Path("in").c_str(), dir.Path("out").c_str()));
    ASSERT_FALSE(sink.m_Messages.empty());
    EXPECT_EQ(GetParam().message, sink.m_Messages.back());
    EXPECT_EQ(LogLevel_ERROR, sink.m_Levels.back());
    EXPECT_EQ("", sink.m_Channels.back());
    EXPECT_EQ(0u, sink.m_Ids.back());
    EXPECT_FALSE(FileExists(dir.Path("out")));
}

Bytes Header3(uint32_t magic, uint32_t crc, uint32_t directive)
{
    return Varints({magic, crc, directive});
}

Bytes Preprocessed(const std::vector<Bytes>& streams, uint32_t crc = 0)
{
    return Concat(Header3(kLzmaFileMagic, crc, 2), Lzma2(FlatSet(streams)));
}

// A real preprocessed file with one of its streams replaced.
Bytes EditedExecutable(size_t stream, const Bytes& replacement)
{
    const Bytes exe = ReadFixture("elf/x86-static");
    const Bytes packed = Pack(exe, true);
    ReadStream in(packed.data(), packed.size());
    uint32_t skip = 0;
    for (int i = 0; i < 3; ++i)
        in.ReadVarint32(&skip);
    WriteStream body;
    EXPECT_TRUE(DecodeLzma2Block(&in, &body));
    ReadStreamSet set;
    EXPECT_TRUE(set.Init(body.Data(), body.Size()));
    std::vector<Bytes> streams;
    for (uint64_t i = 0; i < set.Count(); ++i)
        streams.push_back(Bytes(set.Stream(i)->Current(), set.Stream(i)->End()));
    streams[stream] = replacement;
    return Preprocessed(streams, Crc(exe));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackedFileFailureTest,
    ::testing::Values(
        FailureCase{"ZeroLength", [] { return Bytes(); }, "could not open lzma file"},
        FailureCase{"MagicOnly",
                    [] {
                        return Bytes({0xE9, 0xAE, 0xA8, 0x3F});
                    },
                    "could not read lzma header"},
        FailureCase{"UnterminatedCrc",
                    [] {
                        return Bytes({0xE9, 0xAE, 0xA8, 0x3F, 0x80, 0x80});
                    },
                    "could not read lzma header"},
        FailureCase{"OtherMagic", [] { return Concat(Header3(0x7EA1768, 0, 1), Lzma2(kText)); }, "not lzma file"},
        FailureCase{"DirectiveThree", [] { return Concat(Header3(kLzmaFileMagic, Crc(kText), 3), Lzma2(kText)); },
                    "Unknown preprocessing dirrective"},
        FailureCase{"DirectiveZero", [] { return Concat(Header3(kLzmaFileMagic, Crc(kText), 0), Lzma2(kText)); },
                    "Unknown preprocessing dirrective"},
        FailureCase{"PlainBodyMissing", [] { return Header3(kLzmaFileMagic, 0, 1); }, "could not decompress file"},
        FailureCase{"PlainBodyCut",
                    [] {
                        Bytes packed = Concat(Header3(kLzmaFileMagic, Crc(kText), 1), Lzma2(kText));
                        packed.resize(packed.size() - 3);
                        return packed;
                    },
                    "could not decompress file"},
        FailureCase{"StoredCrcDiffers", [] { return Concat(Header3(kLzmaFileMagic, Crc(kText) ^ 1, 1), Lzma2(kText)); },
                    "crc mismatch"},
        FailureCase{"PreprocessedBodyMissing", [] { return Header3(kLzmaFileMagic, 0, 2); },
                    "could not decompress file"},
        FailureCase{"PreprocessedBodyNoSet", [] { return Concat(Header3(kLzmaFileMagic, 0, 2), Lzma2(kText)); },
                    "could not init dif_and_dis set"},
        FailureCase{"OneStream", [] { return Preprocessed({PlainDiff(Bytes(), kText)}, Crc(kText)); },
                    "dis_and_diff too small"},
        FailureCase{"NoStreams", [] { return Preprocessed({}); }, "dis_and_diff too small"},
        FailureCase{"ProgramSourceNoSet",
                    [] {
                        return Preprocessed({kText, PlainDiff(Bytes(), kText)}, Crc(kText));
                    },
                    "could not init program_source set"},
        FailureCase{"ProgramSourceEmptySet",
                    [] {
                        return Preprocessed({FlatSet({}), PlainDiff(Bytes(), kText)}, Crc(kText));
                    },
                    "could not read encoded program"},
        FailureCase{"ProgramSourceOfOtherFile",
                    [] {
                        return EditedExecutable(0, FlatSet({Varints({1}), Varints({2})}));
                    },
                    "could not read encoded program"},
        FailureCase{"DiffCut", [] { return EditedExecutable(1, Varints({5})); }, "could not apply diff"},
        FailureCase{"DiffToOtherBytes",
                    [] {
                        const Bytes exe = ReadFixture("elf/x86-static");
                        Bytes other = exe;
                        other[10] ^= 1;
                        return EditedExecutable(1, PlainDiff(exe, other));
                    },
                    "crc mismatch"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(UnpackLzmaFileTest, WritesTheCheckedFileAndMayReplaceItsInput)
{
    TempDir dir;
    const Bytes exe = ReadFixture("pe/x64.exe");
    WriteFileBytes(dir.Path("packed"), Pack(exe, true));
    ASSERT_TRUE(UnpackLzmaFile(dir.Path("packed").c_str(), dir.Path("out").c_str()));
    EXPECT_TRUE(ReadFileBytes(dir.Path("out")) == exe);
    ASSERT_TRUE(UnpackLzmaFile(dir.Path("packed").c_str(), dir.Path("packed").c_str()));
    EXPECT_TRUE(ReadFileBytes(dir.Path("packed")) == exe);
}

// A small file that declares a huge output is refused on its declaration,
// before a buffer for it exists, and no file is written.
TEST(UnpackLzmaFileTest, BlockDeclaringMoreThanTheLimitIsRefusedBeforeAllocation)
{
    TempDir dir;
    const Bytes zeros(4u << 20, 0);
    const Bytes packed = Pack(zeros, false);
    ASSERT_LT(packed.size(), 8192u);
    WriteFileBytes(dir.Path("bomb"), packed);
    for (uint64_t limit : {uint64_t(0), uint64_t(65536), uint64_t(zeros.size() - 1)}) {
        CaptureSink sink;
        EXPECT_FALSE(UnpackLzmaFile(dir.Path("bomb").c_str(), dir.Path("out").c_str(), limit));
        EXPECT_EQ((std::vector<std::string>{"LZMA2 block of 4194304 bytes would pass the output limit of "
                                                + std::to_string(limit) + " bytes",
                                            "could not decompress file"}),
                  sink.m_Messages);
        EXPECT_FALSE(FileExists(dir.Path("out")));
        EXPECT_EQ(Unpack(packed, limit).capacity, 0u);
    }
    ASSERT_TRUE(UnpackLzmaFile(dir.Path("bomb").c_str(), dir.Path("out").c_str(), zeros.size()));
    EXPECT_TRUE(ReadFileBytes(dir.Path("out")) == zeros);
}

TEST(UnpackLzmaFileTest, MissingInputAndShortWriteAreReported)
{
    TempDir dir;
    CaptureSink sink;
    EXPECT_FALSE(UnpackLzmaFile(dir.Path("missing").c_str(), dir.Path("out").c_str()));
    EXPECT_EQ("could not open lzma file", sink.m_Messages.back());
    WriteFileBytes(dir.Path("packed"), Pack(kText, false));
    EXPECT_FALSE(UnpackLzmaFile(dir.Path("packed").c_str(), "/dev/full"));
    EXPECT_EQ("could not write output file", sink.m_Messages.back());
}

// Unpack tasks run side by side in pool threads; each call is on its own.
TEST(UnpackLzmaFileTest, ConcurrentCallsEachWriteTheirOwnFile)
{
    TempDir dir;
    const char* names[] = {"elf/x86-static", "elf/x64-pie", "pe/x86.dll", "macho/x64"};
    std::vector<Bytes> inputs;
    for (const char* name : names) {
        inputs.push_back(ReadFixture(name));
        WriteFileBytes(dir.Path(std::to_string(inputs.size())), Pack(inputs.back(), true));
    }
    std::vector<std::thread> threads;
    bool results[4] = {false, false, false, false};
    for (size_t i = 0; i < inputs.size(); ++i) {
        threads.emplace_back([&dir, &results, i] {
            for (int round = 0; round < 5 && (round == 0 || results[i]); ++round) {
                const std::string in = dir.Path(std::to_string(i + 1));
                const std::string out = in + ".out";
                results[i] = UnpackLzmaFile(in.c_str(), out.c_str());
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_TRUE(results[i]) << names[i];
        EXPECT_TRUE(ReadFileBytes(dir.Path(std::to_string(i + 1)) + ".out") == inputs[i]) << names[i];
    }
}

TEST(GenerateLzmaFileTest, ExecutableThatCannotBeDisassembledIsStoredPlain)
{
    const Bytes broken = UndisassemblableExecutable();
    ASSERT_FALSE(broken.empty());
    CaptureSink sink;
    const Bytes packed = Pack(broken, true);
    EXPECT_EQ(kLzmaDirectivePlain, Header(packed)[2]);
    ASSERT_GE(sink.m_Messages.size(), 2u);
    const size_t last = sink.m_Messages.size() - 1;
    EXPECT_EQ("could not parse file", sink.m_Messages[last - 1]);
    EXPECT_EQ(LogLevel_WARNING, sink.m_Levels[last - 1]);
    EXPECT_EQ("falling back to default compression", sink.m_Messages[last]);
    EXPECT_EQ(LogLevel_WARNING, sink.m_Levels[last]);
    const Unpacked unpacked = Unpack(packed);
    ASSERT_TRUE(unpacked.ok);
    EXPECT_TRUE(unpacked.output == broken);
}

TEST(GenerateLzmaFileTest, WritesAPackedFileOrReportsWhyNot)
{
    TempDir dir;
    CaptureSink sink;
    const Bytes exe = ReadFixture("elf/arm-thumb.so");
    WriteFileBytes(dir.Path("exe"), exe);
    ASSERT_TRUE(GenerateLzmaFile(dir.Path("exe").c_str(), dir.Path("packed").c_str(), true));
    EXPECT_EQ(kLzmaDirectivePreprocessed, Header(ReadFileBytes(dir.Path("packed")))[2]);
    ASSERT_TRUE(UnpackLzmaFile(dir.Path("packed").c_str(), dir.Path("back").c_str()));
    EXPECT_TRUE(ReadFileBytes(dir.Path("back")) == exe);

    WriteFileBytes(dir.Path("empty"), Bytes());
    EXPECT_FALSE(GenerateLzmaFile(dir.Path("empty").c_str(), dir.Path("never").c_str(), false));
    EXPECT_EQ("could not open file", sink.m_Messages.back());
    EXPECT_FALSE(FileExists(dir.Path("never")));
    EXPECT_FALSE(GenerateLzmaFile(dir.Path("exe").c_str(), "/dev/full", false));
    EXPECT_EQ("could not write output file", sink.m_Messages.back());
}

// Prefixes and byte flips of a real preprocessed file: a success must give
// the original bytes (the CRC guards it), anything else fails cleanly.
TEST(UnpackLzmaHostileTest, TruncatedAndFlippedFilesNeverGiveWrongOutput)
{
    const Bytes exe = ReadFixture("elf/x64-pie");
    const Bytes packed = Pack(exe, true);
    for (size_t length = 0; length < packed.size(); ++length) {
        const Unpacked unpacked = Unpack(Bytes(packed.begin(), packed.begin() + length));
        EXPECT_FALSE(unpacked.ok) << "prefix " << length;
        EXPECT_TRUE(unpacked.output.empty());
    }
    for (size_t at = 0; at < packed.size(); at += 5) {
        Bytes flipped = packed;
        flipped[at] ^= 0x3C;
        const Unpacked unpacked = Unpack(flipped);
        if (unpacked.ok) {
            EXPECT_TRUE(unpacked.output == exe) << "flip " << at;
        }
    }
}

} // namespace
} // namespace deltapatch
