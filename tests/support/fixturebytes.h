#ifndef QND_TESTS_FIXTUREBYTES_H
#define QND_TESTS_FIXTUREBYTES_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/filebytes.h"

namespace testsupport {

// The bytes of a file below tests/fixtures, e.g. "elf/x86-static"; empty
// when it is missing, which the tests' own size checks then report.
inline std::vector<uint8_t> ReadFixture(const std::string& relativePath)
{
    return ReadFileBytes(std::string(QND_FIXTURES_DIR) + "/" + relativePath);
}

} // namespace testsupport

#endif // QND_TESTS_FIXTUREBYTES_H
