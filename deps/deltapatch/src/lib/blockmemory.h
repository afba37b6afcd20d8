#ifndef DELTAPATCH_BLOCKMEMORY_H
#define DELTAPATCH_BLOCKMEMORY_H

#include <cstddef>

namespace deltapatch {

// Memory for the engine's growable buffers. Blocks of four megabytes and more
// are mapped on their own, so that releasing one hands its memory back at
// once: the C heap keeps freed large blocks for later once its own
// threshold has grown past them, and an application would then hold the
// sum of all its buffers rather than the most it held at one time.
// Null when out of memory; FreeBlock takes the size that was allocated.
void* AllocateBlock(size_t bytes);
void FreeBlock(void* block, size_t bytes);
// Hands back the whole pages of block[from, to) of a block of the given
// size, where that is possible; they read as zeros afterwards.
void ReleaseBlockPages(void* block, size_t bytes, size_t from, size_t to);

} // namespace deltapatch

#endif
