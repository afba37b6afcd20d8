#include "ensemblepatchapplier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bytediff.h"
#include "computecrc32.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "ensemblepatchgenerator.h"
#include "executabledetection.h"
#include "lzmaioout.h"
#include "streams.h"
#include "support/brokenexecutable.h"
#include "support/enginetempdir.h"
#include "support/filebytes.h"
#include "support/fixturebytes.h"
#include "support/enginebytes.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;

using namespace testsupport;

struct Applied
{
    PatchStatus status;
    Bytes output;
};

Applied Apply(const Bytes& oldBytes, const Bytes& patch)
{
    ReadStream oldStream(oldBytes.data(), oldBytes.size());
    ReadStream patchStream(patch.data(), patch.size());
    WriteStream output;
    Applied result;
    result.status = ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output);
    result.output = ToBytes(output);
    return result;
}

Bytes Generate(const Bytes& oldBytes, const Bytes& newBytes)
{
    WriteStream patch;
    EXPECT_EQ(StatusOk,
              GenerateEnsemblePatch(oldBytes.data(), oldBytes.size(), newBytes.data(), newBytes.size(), &patch));
    return ToBytes(patch);
}

// The element form forced on two executables of one kind, paired whole.
Bytes GenerateWithElements(const Bytes& oldBytes, const Bytes& newBytes)
{
    ExecutableType oldKind = UNKNOWN;
    ExecutableType newKind = UNKNOWN;
    size_t oldLength = 0;
    size_t newLength = 0;
    EXPECT_EQ(StatusOk, DetectExecutable(oldBytes.data(), oldBytes.size(), &oldKind, &oldLength));
    EXPECT_EQ(StatusOk, DetectExecutable(newBytes.data(), newBytes.size(), &newKind, &newLength));
    EXPECT_EQ(oldKind, newKind);
    const EnsembleElementPair pair = {static_cast<uint32_t>(oldKind), 0, static_cast<uint32_t>(oldLength), 0,
                                      static_cast<uint32_t>(newLength)};
    WriteStream patch;
    EXPECT_EQ(
        StatusOk,
        CreateEnsemblePatch(oldBytes.data(), oldBytes.size(), newBytes.data(), newBytes.size(), &pair, 1, &patch));
    return ToBytes(patch);
}

Bytes GenerateWithoutElements(const Bytes& oldBytes, const Bytes& newBytes)
{
    WriteStream patch;
    EXPECT_EQ(
        StatusOk,
        CreateEnsemblePatch(oldBytes.data(), oldBytes.size(), newBytes.data(), newBytes.size(), nullptr, 0, &patch));
    return ToBytes(patch);
}

// The decoded parts of a patch, for reading and for building variants.
struct PatchParts
{
    uint32_t magic = kEnsemblePatchMagic;
    uint32_t version = kEnsemblePatchVersion;
    uint32_t sourceCrc = 0;
    uint32_t targetCrc = 0;
    uint32_t finalSize = 0;
    std::vector<Bytes> streams;
};

bool Split(const Bytes& patch, PatchParts* parts)
{
    ReadStream in(patch.data(), patch.size());
    if (!in.ReadVarint32(&parts->magic) || !in.ReadVarint32(&parts->version) || !in.ReadVarint32(&parts->sourceCrc)
        || !in.ReadVarint32(&parts->targetCrc) || !in.ReadVarint32(&parts->finalSize))
        return false;
    WriteStream body;
    if (!DecodeLzma2Block(&in, &body))
        return false;
    ReadStreamSet set;
    if (!set.Init(body.Data(), body.Size()))
        return false;
    parts->streams.clear();
    for (uint64_t i = 0; i < set.Count(); ++i) {
        ReadStream* s = set.Stream(i);
        parts->streams.push_back(Bytes(s->Current(), s->Current() + s->Remaining()));
    }
    return true;
}

Bytes Join(const PatchParts& parts)
{
    WriteStreamSet set;
    EXPECT_TRUE(set.Init(parts.streams.size()));
    for (size_t i = 0; i < parts.streams.size(); ++i)
        EXPECT_TRUE(set.Stream(i)->Write(parts.streams[i].data(), parts.streams[i].size()));
    WriteStream flat;
    EXPECT_TRUE(set.CopyTo(&flat));
    WriteStream out;
    EXPECT_TRUE(out.WriteVarint32(parts.magic) && out.WriteVarint32(parts.version) && out.WriteVarint32(parts.sourceCrc)
                && out.WriteVarint32(parts.targetCrc) && out.WriteVarint32(parts.finalSize));
    EXPECT_TRUE(CompressBufferLzma2(flat.Data(), flat.Size(), &out));
    return ToBytes(out);
}

Bytes EmptySetBytes()
{
    WriteStreamSet set;
    WriteStream flat;
    EXPECT_TRUE(set.CopyTo(&flat));
    return ToBytes(flat);
}

// The flat parameter set that n patchers predict: n empty nested sets.
Bytes PredictedBytes(size_t n)
{
    WriteStreamSet set;
    for (size_t i = 0; i < n; ++i) {
        WriteStreamSet inner;
        EXPECT_TRUE(set.WriteSet(&inner));
    }
    WriteStream flat;
    EXPECT_TRUE(set.CopyTo(&flat));
    return ToBytes(flat);
}

// A patch without elements built by hand from the format: the final diff
// alone turns the base into the new bytes.
PatchParts HandBuilt(const Bytes& base, const Bytes& target)
{
    PatchParts parts;
    parts.sourceCrc = Crc(base);
    parts.targetCrc = Crc(target);
    parts.finalSize = static_cast<uint32_t>(target.size());
    const Bytes empty = EmptySetBytes();
    parts.streams = {Varints({0}), PlainDiff(empty, empty), PlainDiff(empty, empty), PlainDiff(base, target)};
    return parts;
}

Bytes Mutated(Bytes bytes, size_t at)
{
    if (!bytes.empty())
        bytes[at % bytes.size()] ^= 0x5A;
    const std::string trailer = "appended in the new version";
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    return bytes;
}

uint32_t ElementCount(const Bytes& patch)
{
    PatchParts parts;
    uint32_t count = 0xFFFFFFFF;
    if (Split(patch, &parts) && !parts.streams.empty()) {
        ReadStream s(parts.streams[0].data(), parts.streams[0].size());
        s.ReadVarint32(&count);
    }
    return count;
}

const Bytes kBase = FromText("the quick brown fox jumps over the lazy dog, version one");
const Bytes kTarget = FromText("the quick brown fox leaps over the lazy cat, version two!");

TEST(EnsemblePatchFormatTest, HeaderStartsWithMagicAndVersionBytes)
{
    const Bytes patch = Generate(kBase, kTarget);
    ASSERT_GE(patch.size(), 8u);
    EXPECT_EQ(Bytes({0xC3, 0xDE, 0xD5, 0x03, 0x88, 0xB7, 0xCB, 0x09}), Bytes(patch.begin(), patch.begin() + 8));
    PatchParts parts;
    ASSERT_TRUE(Split(patch, &parts));
    EXPECT_EQ(Crc(kBase), parts.sourceCrc);
    EXPECT_EQ(Crc(kTarget), parts.targetCrc);
    EXPECT_EQ(kTarget.size(), parts.finalSize);
    EXPECT_EQ(4u, parts.streams.size());
}

TEST(EnsemblePatchFormatTest, HandBuiltPatchWithoutElementsAppliesFinalDiffToBase)
{
    const Bytes patch = Join(HandBuilt(kBase, kTarget));
    const Applied applied = Apply(kBase, patch);
    EXPECT_EQ(StatusOk, applied.status);
    EXPECT_EQ(kTarget, applied.output);
    // Bytes after the body are not read.
    Bytes trailing = patch;
    trailing.push_back(0x42);
    EXPECT_EQ(kTarget, Apply(kBase, trailing).output);
}

// Each row corrupts one part of a valid patch and names the status it gives.
struct CorruptCase
{
    const char* name;
    std::function<void(PatchParts*)> edit;
    PatchStatus expected;
};

void PrintTo(const CorruptCase& row, std::ostream* os)
{
    *os << row.name;
}

class EnsemblePatchCorruptionTest : public ::testing::TestWithParam<CorruptCase>
{};

TEST_P(EnsemblePatchCorruptionTest, FailsWithItsStatusAndNoOutput)
{
    PatchParts parts = HandBuilt(kBase, kTarget);
    GetParam().edit(&parts);
    const Applied applied = Apply(kBase, Join(parts));
    EXPECT_EQ(GetParam().expected, applied.status);
    EXPECT_TRUE(applied.output.empty());
}

const Bytes kEmptySet = EmptySetBytes();

// Ten streams, all empty but one that holds a 7: a set with a value left over.
Bytes SetWithLeftover(size_t stream)
{
    std::vector<Bytes> streams(kMaxStreams);
    streams[stream] = {7};
    return FlatSet(streams);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EnsemblePatchCorruptionTest,
    ::testing::Values(
        CorruptCase{"WrongMagic", [](PatchParts* p) { p->magic = 0x756F44; }, StatusBadMagic},
        CorruptCase{"WrongVersion", [](PatchParts* p) { p->version = 20110217; }, StatusBadVersion},
        CorruptCase{"OtherSourceCrc", [](PatchParts* p) { p->sourceCrc ^= 1; }, StatusCrcMismatch},
        CorruptCase{"OtherTargetCrc", [](PatchParts* p) { p->targetCrc ^= 1; }, StatusCrcMismatch},
        CorruptCase{"ThreeStreams", [](PatchParts* p) { p->streams.resize(3); }, StatusBadHeader},
        CorruptCase{"NoElementCount", [](PatchParts* p) { p->streams[0].clear(); }, StatusBadHeader},
        CorruptCase{"ByteLeftAfterElements",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({0, 0});
                    },
                    StatusBadHeader},
        CorruptCase{"KindZero",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 0, 0, 0});
                    },
                    StatusBadHeader},
        CorruptCase{"KindEight",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 8, 0, 0});
                    },
                    StatusBadHeader},
        CorruptCase{"KindMissing",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({2, 1});
                    },
                    StatusBadHeader},
        CorruptCase{"HugeCountInTinyStream",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({0xFFFFFFFF, 1, 2});
                    },
                    StatusBadHeader},
        CorruptCase{"OffsetMissing",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 5});
                    },
                    StatusBadElementRange},
        CorruptCase{"LengthMissing",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 5, 0});
                    },
                    StatusBadElementRange},
        CorruptCase{"ElementOnePastBase",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 2, 10, static_cast<uint32_t>(kBase.size() - 9)});
                    },
                    StatusBadElementRange},
        CorruptCase{"OffsetBeyondBase",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 2, static_cast<uint32_t>(kBase.size() + 1), 0});
                    },
                    StatusBadElementRange},
        CorruptCase{"LengthWrapsPastBase",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 2, 1, 0xFFFFFFFF});
                    },
                    StatusBadElementRange},
        // Init accepts an empty element at the very end; no parser takes it.
        CorruptCase{"EmptyElementAtEnd",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 3, static_cast<uint32_t>(kBase.size()), 0});
                        p->streams[1] = PlainDiff(PredictedBytes(1), PredictedBytes(1));
                    },
                    StatusNotRecognized},
        CorruptCase{"TextElement",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 7, 0, static_cast<uint32_t>(kBase.size())});
                        p->streams[1] = PlainDiff(PredictedBytes(1), PredictedBytes(1));
                    },
                    StatusNotRecognized},
        // Elements must not share a byte: each is disassembled in full, so
        // a few bytes of patch could otherwise demand the base many times.
        CorruptCase{"OverlappingElements",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({2, 1, 1, 0, 10, 5, 10});
                    },
                    StatusBadElementRange},
        CorruptCase{"FortyWholeFileElements",
                    [](PatchParts* p) {
                        std::vector<uint32_t> list(41, 5);
                        list[0] = 40;
                        for (int i = 0; i < 40; ++i) {
                            list.push_back(0);
                            list.push_back(static_cast<uint32_t>(kBase.size()));
                        }
                        p->streams[0] = Varints(list);
                    },
                    StatusBadElementRange},
        CorruptCase{"EmptyElementInsideAnother",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({2, 1, 1, 0, 10, 4, 0});
                    },
                    StatusBadElementRange},
        // Elements that only touch are apart; these two are then refused
        // by the parsers, as text.
        CorruptCase{"AdjacentElements",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({2, 1, 1, 0, 10, 10, 10});
                        p->streams[1] = PlainDiff(PredictedBytes(2), PredictedBytes(2));
                    },
                    StatusNotRecognized},
        CorruptCase{"ParameterDiffTruncated", [](PatchParts* p) { p->streams[1].resize(p->streams[1].size() - 1); },
                    StatusDiffFailed},
        CorruptCase{"ParameterDiffMakesNoSet",
                    [](PatchParts* p) { p->streams[1] = PlainDiff(kEmptySet, FromText("junk")); }, StatusStreamError},
        CorruptCase{"ParametersForOtherElementCount",
                    [](PatchParts* p) {
                        p->streams[0] = Varints({1, 7, 0, static_cast<uint32_t>(kBase.size())});
                    },
                    StatusStreamError},
        CorruptCase{"ParametersLeftOver",
                    [](PatchParts* p) { p->streams[1] = PlainDiff(kEmptySet, SetWithLeftover(3)); },
                    StatusStreamNotConsumed},
        CorruptCase{"ElementDiffTruncated", [](PatchParts* p) { p->streams[2].clear(); }, StatusDiffFailed},
        CorruptCase{"ElementsLeftOver", [](PatchParts* p) { p->streams[2] = PlainDiff(kEmptySet, SetWithLeftover(0)); },
                    StatusStreamNotConsumed},
        CorruptCase{"FinalDiffTruncated", [](PatchParts* p) { p->streams[3].resize(p->streams[3].size() / 2); },
                    StatusDiffFailed}),
    [](const ::testing::TestParamInfo<CorruptCase>& info) { return info.param.name; });

TEST(EnsemblePatchHeaderTest, MissingFieldsGiveTheFirstFailingFieldsStatus)
{
    struct Row
    {
        Bytes patch;
        PatchStatus expected;
    } rows[] = {
        {Bytes(), StatusBadMagic},
        {Bytes({0xC3, 0xDE}), StatusBadMagic},
        {Bytes({0xC3, 0xDE, 0xD5, 0x04}), StatusBadMagic},
        {Bytes({0xC3, 0xDE, 0xD5, 0x03}), StatusBadVersion},
        {Varints({kEnsemblePatchMagic, 1}), StatusBadVersion},
        {Varints({kEnsemblePatchMagic, kEnsemblePatchVersion}), StatusBadHeader},
        {Varints({kEnsemblePatchMagic, kEnsemblePatchVersion, 1, 2}), StatusBadHeader},
        // An unterminated fifth byte is not a varint.
        {Bytes({0xC3, 0xDE, 0xD5, 0x03, 0x88, 0xB7, 0xCB, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), StatusBadHeader},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.expected, Apply(kBase, row.patch).status) << row.patch.size() << " bytes";
}

TEST(EnsemblePatchHeaderTest, BaseCrcIsCheckedBeforeTheBodyIsDecoded)
{
    Bytes patch = Varints({kEnsemblePatchMagic, kEnsemblePatchVersion, Crc(kBase), 0, 0});
    patch.push_back(0xFF); // not an LZMA2 block
    EXPECT_EQ(StatusStreamError, Apply(kBase, patch).status);
    Bytes otherBase = kBase;
    otherBase[3] ^= 1;
    EXPECT_EQ(StatusCrcMismatch, Apply(otherBase, patch).status);
}

TEST(EnsemblePatchHeaderTest, BodyThatIsNoStreamSetIsBadHeader)
{
    Bytes patch = Varints({kEnsemblePatchMagic, kEnsemblePatchVersion, Crc(kBase), 0, 0});
    WriteStream body;
    const Bytes junk = FromText("not a stream set at all");
    ASSERT_TRUE(CompressBufferLzma2(junk.data(), junk.size(), &body));
    patch.insert(patch.end(), body.Data(), body.Data() + body.Size());
    EXPECT_EQ(StatusBadHeader, Apply(kBase, patch).status);
}

TEST(EnsemblePatchHeaderTest, ImplausibleFinalSizeOnlyHintsTheBuffer)
{
    PatchParts parts = HandBuilt(kBase, kTarget);
    parts.finalSize = 0xFFFFFFFF;
    const Applied applied = Apply(kBase, Join(parts));
    EXPECT_EQ(StatusOk, applied.status);
    EXPECT_EQ(kTarget, applied.output);
}

// A tiny x86-64 executable written out by hand, 264 bytes: the ELF header,
// one loadable segment over the whole file at address 0, a .text section at
// 0x78 of 16 bytes (a call to callTarget, three nops, a jump back to 0x78,
// three rets) and two section headers (null, .text) at 0x88.
void Put(Bytes* out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes TinyElf(uint32_t callTarget)
{
    Bytes f = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Put(&f, 2, 2);    // executable
    Put(&f, 62, 2);   // x86-64
    Put(&f, 1, 4);    // version
    Put(&f, 0x78, 8); // entry
    Put(&f, 64, 8);   // program headers
    Put(&f, 0x88, 8); // section headers
    Put(&f, 0, 4);
    for (uint32_t v : {64, 56, 1, 64, 2, 0})
        Put(&f, v, 2);
    Put(&f, 1, 4); // loadable, readable and executable
    Put(&f, 5, 4);
    for (uint64_t v : {0, 0, 0, 264, 264, 0x1000})
        Put(&f, v, 8);
    f.push_back(0xE8);
    Put(&f, callTarget - 0x7D, 4);
    for (uint8_t b : {0x90, 0x90, 0x90, 0xE9, 0xF3, 0xFF, 0xFF, 0xFF, 0xC3, 0xC3, 0xC3})
        f.push_back(b);
    f.resize(f.size() + 64, 0); // null section
    Put(&f, 0, 4);
    Put(&f, 1, 4); // PROGBITS
    for (uint64_t v : {6, 0x78, 0x78, 16})
        Put(&f, v, 8);
    Put(&f, 0, 8);
    for (uint64_t v : {1, 0})
        Put(&f, v, 8);
    return f;
}

// Its encoded program, stream by stream, written from the format. The
// labels are the jump's target 0x78 (index 0) and the call's target.
std::vector<Bytes> TinyElfStreams(uint8_t callTargetDelta)
{
    const Bytes elf = TinyElf(0x78 + callTargetDelta);
    Bytes plain = {0x80, 0x02}; // 256 plain bytes: all but the two operands
    plain.insert(plain.end(), elf.begin(), elf.begin() + 0x79);
    plain.insert(plain.end(), elf.begin() + 0x7D, elf.begin() + 0x81);
    plain.insert(plain.end(), elf.begin() + 0x85, elf.end());
    return {
        {0x00, 0x01, 0x78},                               // image base 0; one origin, 0x78
        {0x07, 0x01, 0x00, 0x02, 0x03, 0x01, 0x03, 0x01}, // copy, origin, copy one, rel32, copy, rel32, copy
        plain,
        {0x00},                         // no abs32 references
        {0x02, 0x01, 0x00},             // the call's label, then the jump's
        {0x00},                         // no abs32 labels
        {0x02, 0x78, callTargetDelta},  // the rel32 labels' addresses, as deltas
        {0x03, 0x78, 0x04, 0x83, 0x01}, // copy counts 120, 4, 131
    };
}

// An outer set of ten streams holding one nested set.
Bytes NestedSet(std::vector<Bytes> inner)
{
    std::vector<Bytes> outer(10);
    outer[0] = Varints({static_cast<uint32_t>(inner.size())});
    for (const Bytes& s : inner) {
        const Bytes length = Varints({static_cast<uint32_t>(s.size())});
        outer[0].insert(outer[0].end(), length.begin(), length.end());
    }
    for (size_t i = 0; i < inner.size(); ++i)
        outer[i].insert(outer[i].end(), inner[i].begin(), inner[i].end());
    return FlatSet(outer);
}

// A plain stage: the triples copy (a) and add (b) as given.
Bytes Stage(uint32_t size, const std::vector<int32_t>& triples, const Bytes& difference, const Bytes& extra)
{
    WriteStream control;
    for (int32_t v : triples)
        control.WriteVarint32Signed(v);
    WriteStream out;
    const uint8_t method = kDiffPlain;
    out.Write(&method, 1);
    for (uint32_t v : {size, static_cast<uint32_t>(control.Size()), static_cast<uint32_t>(difference.size()),
                       static_cast<uint32_t>(extra.size())})
        out.WriteVarint32(v);
    out.Write(control.Data(), control.Size());
    out.Write(difference.data(), difference.size());
    out.Write(extra.data(), extra.size());
    return ToBytes(out);
}

Bytes ExtraStage(const Bytes& bytes)
{
    return Stage(static_cast<uint32_t>(bytes.size()), {0, static_cast<int32_t>(bytes.size()), 0}, {}, bytes);
}

// The parameter set one patcher predicts: a nested set of no streams.
const Bytes kOnePredicted = NestedSet({});

// The tiny executable's patch to a call to 0x7D instead of 0x88, by hand:
// the element diff changes one byte of the encoded program (the call
// target's address delta, 0x10 to 0x05) and the final diff copies the
// rebuilt element.
PatchParts TinyPatch()
{
    PatchParts parts;
    parts.sourceCrc = Crc(TinyElf(0x88));
    parts.targetCrc = Crc(TinyElf(0x7D));
    parts.finalSize = 264;
    const Bytes oldSet = NestedSet(TinyElfStreams(0x10));
    const Bytes newSet = NestedSet(TinyElfStreams(0x05));
    const uint32_t n = static_cast<uint32_t>(oldSet.size());
    Bytes difference(n, 0);
    for (uint32_t i = 0; i < n; ++i)
        difference[i] = static_cast<uint8_t>(newSet[i] - oldSet[i]);
    EXPECT_EQ(1, n - std::count(difference.begin(), difference.end(), 0));
    parts.streams = {
        Varints({1, ELF_64_X64, 0, 264}),
        Stage(16, {16, 0, 0}, Bytes(16, 0), {}),
        Stage(n, {static_cast<int32_t>(n), 0, 0}, difference, {}),
        Stage(264, {0, 0, 264, 264, 0, 0}, Bytes(264, 0), {}),
    };
    return parts;
}

TEST(EnsemblePatchHandWrittenTest, TheEncodingOfATinyExecutableIsPinnedByHand)
{
    const Bytes elf = TinyElf(0x88);
    ASSERT_EQ(264u, elf.size());
    const std::vector<Bytes> expected = TinyElfStreams(0x10);
    // The applier's direct encoding and the full pipeline alike.
    for (bool direct : {true, false}) {
        EncodedProgram* encoded = nullptr;
        if (direct) {
            ASSERT_EQ(StatusOk, DisassembleAndEncode(elf.data(), elf.size(), &encoded));
        } else {
            DisassembledProgram* program = nullptr;
            ASSERT_EQ(StatusOk, DisassembleExecutable(elf.data(), elf.size(), &program));
            ASSERT_EQ(StatusOk, TrimLabels(program));
            ASSERT_EQ(StatusOk, EncodeProgram(program, &encoded));
            DeleteDisassembledProgram(program);
        }
        WriteStreamSet set;
        ASSERT_EQ(StatusOk, WriteEncodedProgram(encoded, &set));
        DeleteEncodedProgram(encoded);
        for (size_t i = 0; i < 10; ++i) {
            const Bytes want = i < expected.size() ? expected[i] : Bytes();
            EXPECT_EQ(want, ToBytes(*set.Stream(i))) << "stream " << i << (direct ? " direct" : "");
        }
    }
    // The hand-written streams (and an empty ninth) assemble back into the
    // executable.
    std::vector<Bytes> nine = expected;
    nine.resize(9);
    const Bytes flat = FlatSet(nine);
    ReadStreamSet readSet;
    ASSERT_TRUE(readSet.Init(flat.data(), flat.size()));
    EncodedProgram* read = nullptr;
    ASSERT_EQ(StatusOk, ReadEncodedProgram(&readSet, &read));
    WriteStream assembled;
    EXPECT_EQ(StatusOk, AssembleEncodedProgram(read, &assembled));
    DeleteEncodedProgram(read);
    EXPECT_EQ(elf, ToBytes(assembled));
}

// Each row edits the hand-written patch of the tiny executable and names the
// status it gives; the first rows keep the patch valid.
class EnsemblePatchHandWrittenElementTest : public ::testing::TestWithParam<CorruptCase>
{};

TEST_P(EnsemblePatchHandWrittenElementTest, GivesItsStatus)
{
    PatchParts parts = TinyPatch();
    GetParam().edit(&parts);
    const Applied applied = Apply(TinyElf(0x88), Join(parts));
    EXPECT_EQ(GetParam().expected, applied.status);
    EXPECT_EQ(applied.status == StatusOk ? TinyElf(0x7D) : Bytes(), applied.output);
}

// The new element's streams with one of them replaced.
std::function<void(PatchParts*)> NewElementWith(size_t stream, Bytes bytes)
{
    return [stream, bytes](PatchParts* p) {
        std::vector<Bytes> streams = TinyElfStreams(0x05);
        streams.resize(std::max(streams.size(), stream + 1));
        streams[stream] = bytes;
        p->streams[2] = ExtraStage(NestedSet(streams));
    };
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EnsemblePatchHandWrittenElementTest,
    ::testing::Values(CorruptCase{"AsWritten", [](PatchParts*) {}, StatusOk},
                      CorruptCase{"NewElementAsExtraBytes", NewElementWith(6, {0x02, 0x78, 0x05}), StatusOk},
                      // A patcher's parameters must be an empty set.
                      CorruptCase{"ParametersNotEmpty",
                                  [](PatchParts* p) { p->streams[1] = ExtraStage(NestedSet({{0x07}})); },
                                  StatusDiffFailed},
                      // Stream 9 is not read by the program, so the nested set is left over.
                      CorruptCase{"ElementSetNotConsumed", NewElementWith(9, {0x00}), StatusStreamNotConsumed},
                      CorruptCase{"ProgramUnreadable", NewElementWith(8, {0x00}), StatusReadProgramFailed},
                      CorruptCase{"ProgramCountsMore", NewElementWith(4, {0x03, 0x01, 0x00}), StatusReadProgramFailed},
                      // A rel32 reference to label 5 of 2.
                      CorruptCase{"ProgramNotAssembled", NewElementWith(4, {0x02, 0x05, 0x00}), StatusAssemblyFailed},
                      CorruptCase{"ProgramShortOfCopyBytes", NewElementWith(7, {0x03, 0x78, 0x04, 0x84, 0x01}),
                                  StatusAssemblyFailed}),
    [](const ::testing::TestParamInfo<CorruptCase>& info) { return info.param.name; });

// Patches that earlier builds wrote keep giving the same bytes.
TEST(EnsemblePatchStoredTest, StoredPatchesStillApplyByteForByte)
{
    const struct
    {
        const char* oldFile;
        const char* patch;
        const char* newFile;
    } rows[] = {
        {"elf/x86-static", "patches/x86-static-to-shared.patch", "elf/x86-shared.so"},
        {"elf/arm-thumb.so", "patches/arm-thumb-to-arm.patch", "elf/arm-arm.so"},
        {"pe/x86.exe", "patches/pe-x86-exe-to-dll.patch", "pe/x86.dll"},
        {"macho/x64", "patches/macho-x64-to-bundle.patch", "macho/x64.bundle"},
        {"elf/x64-pie", "patches/x64-pie-to-pe.patch", "pe/x64.exe"},
    };
    for (const auto& row : rows) {
        const Bytes patch = ReadFixture(row.patch);
        ASSERT_FALSE(patch.empty()) << row.patch;
        const Applied applied = Apply(ReadFixture(row.oldFile), patch);
        EXPECT_EQ(StatusOk, applied.status) << row.patch;
        EXPECT_TRUE(applied.output == ReadFixture(row.newFile)) << row.patch;
    }
    // The fuzzers' stored whole patch: a mode byte, the base's length in two
    // bytes, the base, then the patch.
    const Bytes entry = ReadFileBytes(std::string(QND_SOURCE_DIR) + "/fuzz/corpus/ensemble/elf-patch");
    ASSERT_GT(entry.size(), 3u);
    const size_t baseLength = entry[1] | size_t(entry[2]) << 8;
    ASSERT_GE(entry.size() - 3, baseLength);
    const Applied applied = Apply(Bytes(entry.begin() + 3, entry.begin() + 3 + baseLength),
                                  Bytes(entry.begin() + 3 + baseLength, entry.end()));
    EXPECT_EQ(StatusOk, applied.status);
    EXPECT_EQ(1509u, applied.output.size());
    EXPECT_EQ(0x4c350d0bu, Crc(applied.output));
}

// Real executables: the generator pairs them as elements, the applier must
// rebuild the new file byte for byte from either form, and the generator
// keeps the smaller one. elements says whether the two files pair.
struct RoundTripCase
{
    const char* name;
    std::function<Bytes()> oldFile;
    std::function<Bytes()> newFile;
    bool elements;
};

void PrintTo(const RoundTripCase& row, std::ostream* os)
{
    *os << row.name;
}

class EnsemblePatchRoundTripTest : public ::testing::TestWithParam<RoundTripCase>
{};

void ExpectRebuilds(const Bytes& oldBytes, const Bytes& newBytes, const Bytes& patch)
{
    const Applied applied = Apply(oldBytes, patch);
    ASSERT_EQ(StatusOk, applied.status);
    EXPECT_TRUE(applied.output == newBytes);
    // Any other base is refused, whatever it holds.
    EXPECT_EQ(StatusCrcMismatch, Apply(newBytes, patch).status);
}

TEST_P(EnsemblePatchRoundTripTest, ApplyingTheGeneratedPatchRebuildsTheNewFile)
{
    const Bytes oldBytes = GetParam().oldFile();
    const Bytes newBytes = GetParam().newFile();
    ASSERT_FALSE(oldBytes.empty());
    const Bytes patch = Generate(oldBytes, newBytes);
    ExpectRebuilds(oldBytes, newBytes, patch);
    const Bytes plain = GenerateWithoutElements(oldBytes, newBytes);
    EXPECT_EQ(0u, ElementCount(plain));
    ExpectRebuilds(oldBytes, newBytes, plain);
    if (!GetParam().elements) {
        EXPECT_EQ(0u, ElementCount(patch));
        return;
    }
    const Bytes withElements = GenerateWithElements(oldBytes, newBytes);
    EXPECT_EQ(1u, ElementCount(withElements));
    ExpectRebuilds(oldBytes, newBytes, withElements);
    EXPECT_EQ(std::min(plain.size(), withElements.size()), patch.size());
    EXPECT_EQ(withElements.size() < plain.size() ? 1u : 0u, ElementCount(patch));
}

std::function<Bytes()> Fixture(const char* name)
{
    return [name] { return ReadFixture(name); };
}

std::function<Bytes()> MutatedFixture(const char* name, size_t divisor)
{
    return [name, divisor] {
        Bytes bytes = ReadFixture(name);
        return Mutated(bytes, bytes.size() / divisor);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EnsemblePatchRoundTripTest,
    ::testing::Values(
        RoundTripCase{"ElfX86Edited", Fixture("elf/x86-static"), MutatedFixture("elf/x86-static", 3), true},
        RoundTripCase{"ElfX86StaticToShared", Fixture("elf/x86-static"), Fixture("elf/x86-shared.so"), true},
        RoundTripCase{"ElfX64Edited", Fixture("elf/x64-pie"), MutatedFixture("elf/x64-pie", 3), true},
        RoundTripCase{"ElfArmThumbToArm", Fixture("elf/arm-thumb.so"), Fixture("elf/arm-arm.so"), true},
        RoundTripCase{"PeX86ExeToDll", Fixture("pe/x86.exe"), Fixture("pe/x86.dll"), true},
        RoundTripCase{"PeX64Edited", Fixture("pe/x64.exe"), MutatedFixture("pe/x64.exe", 2), true},
        RoundTripCase{"MachoX64ToBundle", Fixture("macho/x64"), Fixture("macho/x64.bundle"), true},
        RoundTripCase{"MachoI386Edited", Fixture("macho/i386"), MutatedFixture("macho/i386", 2), true},
        RoundTripCase{"DifferentKindsAreBytes", Fixture("elf/x64-pie"), Fixture("pe/x64.exe"), false},
        RoundTripCase{"ExecutableToText", Fixture("elf/x64-pie"), [] { return FromText("now a script"); }, false},
        RoundTripCase{"TextToEmpty", [] { return kBase; }, [] { return Bytes(); }, false}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

// Executables inside a larger file, at a different place in each version.
TEST(EnsemblePatchElementTest, ElementsInsideLargerFilesAreRebuiltInPlace)
{
    const Bytes exe = ReadFixture("elf/x86-static");
    const Bytes edited = Mutated(exe, exe.size() / 4);
    ExecutableType kind = UNKNOWN;
    size_t oldLength = 0;
    size_t newLength = 0;
    ASSERT_EQ(StatusOk, DetectExecutable(exe.data(), exe.size(), &kind, &oldLength));
    ASSERT_EQ(StatusOk, DetectExecutable(edited.data(), edited.size(), &kind, &newLength));
    // Two copies in each file show that elements are taken in order.
    Bytes oldFile = FromText("old prefix ");
    Bytes newFile = FromText("a longer new prefix ");
    std::vector<EnsembleElementPair> pairs;
    for (int copy = 0; copy < 2; ++copy) {
        pairs.push_back({kind, static_cast<uint32_t>(oldFile.size()), static_cast<uint32_t>(oldLength),
                         static_cast<uint32_t>(newFile.size()), static_cast<uint32_t>(newLength)});
        oldFile.insert(oldFile.end(), exe.begin(), exe.end());
        oldFile.insert(oldFile.end(), kBase.begin(), kBase.end());
        newFile.insert(newFile.end(), edited.begin(), edited.end());
        newFile.insert(newFile.end(), kTarget.begin(), kTarget.end());
    }
    WriteStream patch;
    ASSERT_EQ(StatusOk,
              CreateEnsemblePatch(oldFile.data(), oldFile.size(), newFile.data(), newFile.size(), pairs.data(),
                                  pairs.size(), &patch));
    const Bytes patchBytes = ToBytes(patch);
    EXPECT_EQ(2u, ElementCount(patchBytes));
    const Applied applied = Apply(oldFile, patchBytes);
    ASSERT_EQ(StatusOk, applied.status);
    EXPECT_TRUE(applied.output == newFile);
    // The same element twice is refused before anything is disassembled.
    pairs[1] = pairs[0];
    WriteStream twice;
    EXPECT_EQ(StatusBadElementRange,
              CreateEnsemblePatch(oldFile.data(), oldFile.size(), newFile.data(), newFile.size(), pairs.data(),
                                  pairs.size(), &twice));
    EXPECT_EQ(0u, twice.Size());
}

TEST(EnsemblePatchElementTest, ElementThatIsNoLongerAnExecutableFailsDisassembly)
{
    // The element's range is recognised by its header but cut short before
    // its tables, so the parser refuses it.
    const Bytes exe = ReadFixture("elf/x64-pie");
    const Bytes patch = GenerateWithElements(exe, Mutated(exe, 100));
    ASSERT_EQ(1u, ElementCount(patch));
    PatchParts parts;
    ASSERT_TRUE(Split(patch, &parts));
    parts.streams[0] = Varints({1, 5, 0, 80});
    const Applied applied = Apply(exe, Join(parts));
    EXPECT_NE(StatusOk, applied.status);
    EXPECT_TRUE(applied.output.empty());
}

TEST(EnsemblePatchElementTest, BaseElementThatCannotBeDisassembledGivesItsStatus)
{
    const Bytes broken = UndisassemblableExecutable();
    ASSERT_FALSE(broken.empty());
    PatchParts parts = HandBuilt(broken, kTarget);
    parts.streams[0] = Varints({1, EXE_ELF_32_X86, 0, static_cast<uint32_t>(broken.size())});
    parts.streams[1] = PlainDiff(PredictedBytes(1), PredictedBytes(1));
    const Applied applied = Apply(broken, Join(parts));
    EXPECT_EQ(StatusDisassemblyFailed, applied.status);
    EXPECT_TRUE(applied.output.empty());
    // The generator then patches such a file as bytes.
    const Bytes exe = ReadFixture("elf/x86-static");
    const Bytes patch = Generate(exe, broken);
    EXPECT_EQ(0u, ElementCount(patch));
    EXPECT_TRUE(Apply(exe, patch).output == broken);
}

// Every prefix and many single-byte flips of a real patch: never success
// with wrong bytes, never a crash (the sanitizer build checks the reads).
TEST(EnsemblePatchHostileTest, TruncatedAndFlippedPatchesNeverGiveWrongOutput)
{
    const Bytes exe = ReadFixture("elf/x86-static");
    const Bytes newBytes = Mutated(exe, exe.size() / 3);
    const Bytes patch = GenerateWithElements(exe, newBytes);
    for (size_t length = 0; length < patch.size(); ++length) {
        const Applied applied = Apply(exe, Bytes(patch.begin(), patch.begin() + length));
        EXPECT_NE(StatusOk, applied.status) << "prefix " << length;
    }
    for (size_t at = 0; at < patch.size(); at += 7) {
        Bytes flipped = patch;
        flipped[at] ^= 0xA5;
        const Applied applied = Apply(exe, flipped);
        if (applied.status == StatusOk) {
            EXPECT_TRUE(applied.output == newBytes) << "flip " << at;
        }
    }
}

// The file entry point.

TEST(ApplyEnsemblePatchFilesTest, WritesTheNewFileOnlyAfterTheWholePatchSucceeded)
{
    TempDir dir;
    const Bytes exe = ReadFixture("pe/x86.exe");
    const Bytes newBytes = ReadFixture("pe/x86.dll");
    const Bytes patch = Generate(exe, newBytes);
    WriteFileBytes(dir.Path("old"), exe);
    WriteFileBytes(dir.Path("patch"), patch);
    ASSERT_EQ(StatusOk,
              ApplyEnsemblePatchFiles(dir.Path("old").c_str(), dir.Path("patch").c_str(), dir.Path("new").c_str()));
    EXPECT_TRUE(ReadFileBytes(dir.Path("new")) == newBytes);

    PatchParts parts;
    ASSERT_TRUE(Split(patch, &parts));
    parts.targetCrc ^= 0x10;
    WriteFileBytes(dir.Path("wrongcrc"), Join(parts));
    EXPECT_EQ(
        StatusCrcMismatch,
        ApplyEnsemblePatchFiles(dir.Path("old").c_str(), dir.Path("wrongcrc").c_str(), dir.Path("never").c_str()));
    EXPECT_FALSE(FileExists(dir.Path("never")));
}

TEST(ApplyEnsemblePatchFilesTest, OpenFailuresAreReportedInOrder)
{
    TempDir dir;
    const Bytes patch = Generate(kBase, kTarget);
    WriteFileBytes(dir.Path("old"), kBase);
    WriteFileBytes(dir.Path("patch"), patch);
    WriteFileBytes(dir.Path("empty"), Bytes());
    WriteFileBytes(dir.Path("notapatch"), FromText("plain text, not a patch"));
    struct Row
    {
        const char* oldName;
        const char* patchName;
        PatchStatus expected;
    } rows[] = {
        {"old", "missing", StatusPatchOpenFailed},
        {"old", "empty", StatusPatchOpenFailed},
        // The header is judged before the old file is looked at.
        {"missing", "notapatch", StatusBadMagic},
        {"missing", "patch", StatusReadWriteFailed},
        {"empty", "patch", StatusReadWriteFailed},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.expected,
                  ApplyEnsemblePatchFiles(dir.Path(row.oldName).c_str(), dir.Path(row.patchName).c_str(),
                                          dir.Path("out").c_str()))
            << row.oldName << " + " << row.patchName;
        EXPECT_FALSE(FileExists(dir.Path("out")));
    }
}

TEST(ApplyEnsemblePatchFilesTest, NewPathMayNameTheOldFile)
{
    TempDir dir;
    WriteFileBytes(dir.Path("file"), kBase);
    WriteFileBytes(dir.Path("patch"), Generate(kBase, kTarget));
    ASSERT_EQ(StatusOk,
              ApplyEnsemblePatchFiles(dir.Path("file").c_str(), dir.Path("patch").c_str(), dir.Path("file").c_str()));
    EXPECT_EQ(kTarget, ReadFileBytes(dir.Path("file")));
}

TEST(ApplyEnsemblePatchFilesTest, GeneratorTakesEmptyFilesThatTheApplierRefusesAsOld)
{
    TempDir dir;
    WriteFileBytes(dir.Path("full"), kBase);
    WriteFileBytes(dir.Path("empty"), Bytes());
    ASSERT_EQ(
        StatusOk,
        GenerateEnsemblePatchFiles(dir.Path("full").c_str(), dir.Path("empty").c_str(), dir.Path("to-empty").c_str()));
    ASSERT_EQ(StatusOk,
              ApplyEnsemblePatchFiles(dir.Path("full").c_str(), dir.Path("to-empty").c_str(), dir.Path("out").c_str()));
    EXPECT_TRUE(FileExists(dir.Path("out")));
    EXPECT_TRUE(ReadFileBytes(dir.Path("out")).empty());
    // A patch from an empty file is made, but an empty old file cannot be
    // mapped when it is applied.
    ASSERT_EQ(StatusOk,
              GenerateEnsemblePatchFiles(dir.Path("empty").c_str(), dir.Path("full").c_str(),
                                         dir.Path("from-empty").c_str()));
    EXPECT_EQ(
        StatusReadWriteFailed,
        ApplyEnsemblePatchFiles(dir.Path("empty").c_str(), dir.Path("from-empty").c_str(), dir.Path("out2").c_str()));
    EXPECT_EQ(
        StatusReadWriteFailed,
        GenerateEnsemblePatchFiles(dir.Path("missing").c_str(), dir.Path("full").c_str(), dir.Path("never").c_str()));
}

TEST(ApplyEnsemblePatchFilesTest, ShortWriteOfTheNewFileIsReadWriteFailure)
{
    TempDir dir;
    WriteFileBytes(dir.Path("old"), kBase);
    WriteFileBytes(dir.Path("patch"), Generate(kBase, kTarget));
    EXPECT_EQ(StatusReadWriteFailed,
              ApplyEnsemblePatchFiles(dir.Path("old").c_str(), dir.Path("patch").c_str(), "/dev/full"));
    EXPECT_EQ(StatusReadWriteFailed,
              ApplyEnsemblePatchFiles(dir.Path("old").c_str(), dir.Path("patch").c_str(),
                                      dir.Path("no/such/dir/new").c_str()));
}

} // namespace
} // namespace deltapatch
