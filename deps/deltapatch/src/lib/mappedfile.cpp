#include "mappedfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace deltapatch {

MappedFile::MappedFile() : m_FileSize(0), m_Hint(AccessNormal), m_ViewLength(0), m_Descriptor(-1), m_View(nullptr) {}

MappedFile::MappedFile(const char* path, uint64_t length, uint32_t hint) : MappedFile()
{
    OpenImpl(path, length, hint);
}

MappedFile::~MappedFile()
{
    Close();
}

bool MappedFile::Open(const char* path, uint64_t length, uint32_t hint)
{
    if (m_View)
        return false;
    return OpenImpl(path, length, hint);
}

bool MappedFile::OpenImpl(const char* path, uint64_t length, uint32_t hint)
{
    // A descriptor left from an earlier open whose mapping failed (an empty
    // file) is released rather than leaked.
    Close();
    m_Hint = hint;
    if (!path)
        return false;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    m_Descriptor = fd;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0)
        return false;
    m_FileSize = static_cast<uint64_t>(st.st_size);
    return Map(0, length);
}

bool MappedFile::Map(uint64_t offset, uint64_t length)
{
    if (m_Descriptor == -1)
        return false;
    uint64_t wanted = length != 0 ? length : m_FileSize;
    if (m_View) {
        ::munmap(m_View, m_ViewLength);
        m_View = nullptr;
        m_ViewLength = 0;
    }
    if (offset > m_FileSize)
        return false;
    uint64_t mapped = wanted > m_FileSize - offset ? m_FileSize - offset : wanted;
    if (mapped == 0 || mapped > SIZE_MAX)
        return false;
    void* view =
        ::mmap(nullptr, static_cast<size_t>(mapped), PROT_READ, MAP_SHARED, m_Descriptor, static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        m_ViewLength = 0;
        m_View = nullptr;
        return false;
    }
    m_View = static_cast<uint8_t*>(view);
    m_ViewLength = mapped;
    int advice = MADV_NORMAL;
    if (m_Hint == AccessSequential)
        advice = MADV_SEQUENTIAL;
    else if (m_Hint == AccessRandom)
        advice = MADV_RANDOM;
    ::madvise(m_View, static_cast<size_t>(m_ViewLength), advice);
    return true;
}

void MappedFile::Close()
{
    m_FileSize = 0;
    if (m_View) {
        ::munmap(m_View, static_cast<size_t>(m_ViewLength));
        m_View = nullptr;
    }
    m_ViewLength = 0;
    if (m_Descriptor != -1) {
        ::close(m_Descriptor);
        m_Descriptor = -1;
    }
}

bool MappedFile::At(uint64_t index, uint8_t* byte) const
{
    // The view may be shorter than the file; bound by both so the read stays
    // inside the mapping.
    if (!m_View || index >= m_FileSize || index >= m_ViewLength)
        return false;
    *byte = m_View[index];
    return true;
}

uint64_t MappedFile::PageSize()
{
    long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

uint64_t WriteBufferToFile(const char* path, const uint8_t* bytes, uint64_t length)
{
    if (!path || (length != 0 && !bytes) || length > SIZE_MAX)
        return 0;
    FILE* file = std::fopen(path, "wb");
    if (!file)
        return 0;
    size_t written = length != 0 ? std::fwrite(bytes, 1, static_cast<size_t>(length), file) : 0;
    // Data still in the stdio buffer has not reached the disk: a failed flush or
    // close (a full disk) means nothing can be counted as written.
    bool ok = std::fflush(file) == 0 && !std::ferror(file);
    if (std::fclose(file) != 0)
        ok = false;
    return ok ? written : 0;
}

} // namespace deltapatch
