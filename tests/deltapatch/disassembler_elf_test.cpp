#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "disassembledprogram.h"
#include "disassembler_elf_32_arm.h"
#include "disassembler_elf_32_x86.h"
#include "disassembler_elf_64_x64.h"
#include "encodedprogram.h"
#include "streams.h"

namespace deltapatch {
namespace {

typedef std::vector<uint8_t> Bytes;

Bytes ReadFixture(const std::string& name) {
  std::ifstream in(std::string(QND_FIXTURES_DIR) + "/elf/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The ELF parsers in the order executable detection tries them.
std::unique_ptr<Disassembler> SelectElf(const Bytes& file) {
  std::unique_ptr<Disassembler> parsers[] = {
      std::unique_ptr<Disassembler>(new DisassemblerElf32X86(file.data(), file.size())),
      std::unique_ptr<Disassembler>(new DisassemblerElf64X64(file.data(), file.size())),
      std::unique_ptr<Disassembler>(new DisassemblerElf32ARM(file.data(), file.size()))};
  for (auto& parser : parsers) {
    if (parser->ParseHeader()) return std::move(parser);
  }
  return nullptr;
}

// Everything a patch does to an element, and back: the nine streams written
// (flattened, for comparison) and the reassembled bytes.
struct Pipeline {
  bool ok = false;
  ExecutableType kind = UNKNOWN;
  size_t length = 0;
  size_t abs32Labels = 0;
  size_t rel32Labels = 0;
  size_t rel32LabelsAfterTrim = 0;
  Bytes streams;
  Bytes assembled;
};

Pipeline RunPipeline(const Bytes& file) {
  Pipeline out;
  std::unique_ptr<Disassembler> parser = SelectElf(file);
  if (!parser) return out;
  out.kind = parser->kind();
  out.length = parser->length();
  DisassembledProgram program(parser->kind());
  if (!parser->Disassemble(&program)) return out;
  out.abs32Labels = program.abs32Labels().size();
  out.rel32Labels = program.rel32Labels().size();
  if (TrimLabels(&program) != StatusOk) return out;
  out.rel32LabelsAfterTrim = program.rel32Labels().size();
  EncodedProgram* encoded = nullptr;
  if (EncodeProgram(&program, &encoded) != StatusOk) return out;
  WriteStreamSet set;
  PatchStatus written = WriteEncodedProgram(encoded, &set);
  DeleteEncodedProgram(encoded);
  if (written != StatusOk) return out;
  WriteStream flat;
  if (!set.CopyTo(&flat)) return out;
  out.streams.assign(flat.Data(), flat.Data() + flat.Size());
  ReadStreamSet readSet;
  if (!readSet.Init(out.streams.data(), out.streams.size())) return out;
  EncodedProgram* read = nullptr;
  if (ReadEncodedProgram(&readSet, &read) != StatusOk) return out;
  WriteStream assembled;
  PatchStatus status = AssembleEncodedProgram(read, &assembled);
  DeleteEncodedProgram(read);
  if (status != StatusOk) return out;
  out.assembled.assign(assembled.Data(), assembled.Data() + assembled.Size());
  out.ok = true;
  return out;
}

struct FixtureRow {
  const char* name;
  ExecutableType kind;
  bool hasAbs32;
};

class ElfFixtureTest : public ::testing::TestWithParam<FixtureRow> {};

TEST_P(ElfFixtureTest, ReassemblesToTheSameBytesThroughTheStreams) {
  const FixtureRow& row = GetParam();
  Bytes file = ReadFixture(row.name);
  ASSERT_FALSE(file.empty()) << row.name;
  Pipeline result = RunPipeline(file);
  ASSERT_TRUE(result.ok) << row.name;
  EXPECT_EQ(row.kind, result.kind);
  EXPECT_EQ(file.size(), result.length);
  EXPECT_GT(result.rel32Labels, 0u);
  EXPECT_GT(result.rel32LabelsAfterTrim, 0u);
  if (row.hasAbs32)
    EXPECT_GT(result.abs32Labels, 0u);
  else
    EXPECT_EQ(0u, result.abs32Labels);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + result.length), result.assembled);
}

TEST_P(ElfFixtureTest, EncodesIdenticallyEveryTime) {
  Bytes file = ReadFixture(GetParam().name);
  Pipeline first = RunPipeline(file);
  Pipeline second = RunPipeline(file);
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.streams, second.streams);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ElfFixtureTest,
                         ::testing::Values(FixtureRow{"x86-shared.so", EXE_ELF_32_X86, true},
                                           FixtureRow{"x86-static", EXE_ELF_32_X86, false},
                                           FixtureRow{"arm-thumb.so", ELF_32_ARM, true},
                                           FixtureRow{"arm-arm.so", ELF_32_ARM, true},
                                           FixtureRow{"arm-thumb", ELF_32_ARM, false},
                                           FixtureRow{"x64-pie", ELF_64_X64, false}),
                         [](const ::testing::TestParamInfo<FixtureRow>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '-' || c == '.') c = '_';
                           return name;
                         });

}  // namespace
}  // namespace deltapatch
