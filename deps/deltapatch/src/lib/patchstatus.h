#ifndef DELTAPATCH_PATCHSTATUS_H
#define DELTAPATCH_PATCHSTATUS_H

namespace deltapatch {

// Result code of every engine entry point: 1 is success, anything else a
// failure. The values travel into logs and task messages, so they are fixed.
enum PatchStatus {
    StatusOk = 1,
    StatusDiffFailed = 2,
    StatusPatchOpenFailed = 3,
    StatusReadWriteFailed = 4,
    StatusBadMagic = 5,
    StatusBadVersion = 6,
    StatusBadHeader = 7,
    StatusCrcMismatch = 8,
    StatusBadElementRange = 12,
    StatusStreamError = 20,
    StatusStreamNotConsumed = 21,
    StatusReadProgramFailed = 23,
    StatusNotRecognized = 24,
    StatusDisassemblyFailed = 25,
    StatusAssemblyFailed = 26,
    StatusTrimFailed = 28,
};

} // namespace deltapatch

#endif
