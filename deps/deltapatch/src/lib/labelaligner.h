#ifndef DELTAPATCH_LABELALIGNER_H
#define DELTAPATCH_LABELALIGNER_H

#include <cstddef>
#include <cstdint>

#include "growablebuffer.h"

namespace deltapatch {

class DisassembledProgram;

// A stretch of the new file that a byte diff takes from the old file, byte
// for byte or nearly: new[newStart, newStart + length) stands where
// old[oldStart, oldStart + length) stood.
struct AlignedRun
{
    uint64_t newStart;
    uint64_t oldStart;
    uint64_t length;
};

typedef GrowableBuffer<AlignedRun, 64, (uint64_t(1) << 40)> AlignedRunList;

// The runs of a byte-diff stage without header written with the plain
// method, in new-file order. False for any other stage.
bool ReadAlignedRuns(const uint8_t* stage, size_t length, AlignedRunList* runs);

// Where a program's element lies: start is the buffer it was disassembled
// from, offset that buffer's place in its file (the runs' coordinates).
struct ElementPlace
{
    const uint8_t* start;
    uint64_t offset;
};

// Renumbers the labels of newer so that each one that stands for a label of
// older takes that label's index, and the rest fill the indexes left over.
// References at places that the runs line up vote for the pairs of labels they
// point at. The encoded forms of the two programs then differ where the code
// differs, not at every reference after the first inserted label. False only
// when out of memory; newer's indexes are then as they were.
bool AlignLabels(const DisassembledProgram& older, const ElementPlace& olderPlace, DisassembledProgram* newer,
                 const ElementPlace& newerPlace, const AlignedRun* runs, uint64_t runCount);

} // namespace deltapatch

#endif
