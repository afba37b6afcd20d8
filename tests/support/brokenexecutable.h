#ifndef QND_TESTS_BROKENEXECUTABLE_H
#define QND_TESTS_BROKENEXECUTABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disassembledprogram.h"
#include "executabledetection.h"
#include "support/fixturebytes.h"

namespace testsupport {

// An executable whose headers are accepted but whose body the parser
// refuses: one inverted byte of a fixture, found by trying them in order.
// Empty if no such byte exists.
inline std::vector<uint8_t> UndisassemblableExecutable()
{
    using namespace deltapatch;
    const std::vector<uint8_t> exe = ReadFixture("elf/x86-static");
    for (size_t at = 0; at < exe.size(); ++at) {
        std::vector<uint8_t> broken = exe;
        broken[at] ^= 0xFF;
        ExecutableType kind = UNKNOWN;
        size_t length = 0;
        if (DetectExecutable(broken.data(), broken.size(), &kind, &length) != StatusOk)
            continue;
        DisassembledProgram* program = nullptr;
        if (DisassembleExecutable(broken.data(), broken.size(), &program) != StatusOk)
            return broken;
        DeleteDisassembledProgram(program);
    }
    return std::vector<uint8_t>();
}

} // namespace testsupport

#endif // QND_TESTS_BROKENEXECUTABLE_H
