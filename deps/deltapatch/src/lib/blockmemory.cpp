#include "blockmemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace deltapatch {

namespace {

const size_t kMappedBlock = size_t(4) << 20;

} // namespace

void* AllocateBlock(size_t bytes)
{
    if (bytes < kMappedBlock)
        return std::malloc(bytes ? bytes : 1);
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void ReleaseBlockPages(void* block, size_t bytes, size_t from, size_t to)
{
    if (!block || bytes < kMappedBlock || to > bytes)
        return;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = (start + from + page - 1) / page * page;
    const uintptr_t last = (start + to) / page * page;
    if (first < last)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

void FreeBlock(void* block, size_t bytes)
{
    if (!block)
        return;
    if (bytes < kMappedBlock)
        std::free(block);
    else
        munmap(block, bytes);
}

} // namespace deltapatch
