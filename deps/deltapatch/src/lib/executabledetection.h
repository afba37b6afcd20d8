#ifndef DELTAPATCH_EXECUTABLEDETECTION_H
#define DELTAPATCH_EXECUTABLEDETECTION_H

#include <cstddef>

#include "executabletype.h"
#include "patchstatus.h"

namespace deltapatch {

class Disassembler;
class DisassembledProgram;
class EncodedProgram;

// The first parser, in a fixed order, whose headers accept the buffer; the
// caller owns it. Null when none does (or when out of memory).
Disassembler* SelectDisassembler(const void* buffer, size_t length);

// StatusOk with the kind and the executable's own length, or
// StatusNotRecognized with UNKNOWN and 0.
PatchStatus DetectExecutable(const void* buffer, size_t length, ExecutableType* kind, size_t* detectedLength);

// StatusOk with a new program (free it with DeleteDisassembledProgram),
// StatusNotRecognized or StatusDisassemblyFailed with null. The program's
// byte runs point into buffer, which must outlive it.
PatchStatus DisassembleExecutable(const void* buffer, size_t length, DisassembledProgram** output);

// The encoded form of the executable in buffer exactly as disassembling,
// trimming and encoding it would make it, with the same failures:
// StatusNotRecognized, StatusDisassemblyFailed, StatusTrimFailed or
// StatusDiffFailed (encoding), each with null.
PatchStatus DisassembleAndEncode(const void* buffer, size_t length, EncodedProgram** output);

void DeleteDisassembledProgram(DisassembledProgram* program);

} // namespace deltapatch

#endif
