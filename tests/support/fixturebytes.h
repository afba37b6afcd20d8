#ifndef QND_TESTS_FIXTUREBYTES_H
#define QND_TESTS_FIXTUREBYTES_H

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

// The bytes of a file below tests/fixtures, e.g. "elf/x86-static"; empty
// when it is missing, which the tests' own size checks then report.
inline std::vector<uint8_t> ReadFixture(const std::string& relativePath) {
  std::ifstream in(std::string(QND_FIXTURES_DIR) + "/" + relativePath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport

#endif  // QND_TESTS_FIXTUREBYTES_H
