#ifndef DELTAPATCH_EXECUTABLETYPE_H
#define DELTAPATCH_EXECUTABLETYPE_H

#include <cstdint>

namespace deltapatch {

// Kind of an executable as its parser reports it; the codes are stored in
// packed files, so they never change.
enum ExecutableType : uint32_t {
    UNKNOWN = 0,
    WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    ELF_32_ARM = 3,
    WIN_32_X64 = 4,
    ELF_64_X64 = 5,
    MACHO_X86 = 6,
    MACHO_X64 = 7,
};

} // namespace deltapatch

#endif
