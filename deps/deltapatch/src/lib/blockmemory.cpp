#include "blockmemory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace deltapatch {

namespace {

const size_t kMappedBlock = size_t(1) << 20;

}  // namespace

void* AllocateBlock(size_t bytes) {
  if (bytes < kMappedBlock)
    return std::malloc(bytes ? bytes : 1);
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void FreeBlock(void* block, size_t bytes) {
  if (!block)
    return;
  if (bytes < kMappedBlock)
    std::free(block);
  else
    munmap(block, bytes);
}

}  // namespace deltapatch
