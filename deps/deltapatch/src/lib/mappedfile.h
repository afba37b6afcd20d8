#ifndef DELTAPATCH_MAPPEDFILE_H
#define DELTAPATCH_MAPPEDFILE_H

#include <cstddef>
#include <cstdint>

namespace deltapatch {

// A whole input file (or a view of it) mapped read-only into memory. Opening
// never throws: a failure leaves the object unmapped for the caller to report.
class MappedFile
{
public:
    enum AccessHint : uint32_t { AccessNormal = 0, AccessSequential = 1, AccessRandom = 2 };

    MappedFile();
    // Length 0 maps the whole file.
    MappedFile(const char* path, uint64_t length = 0, uint32_t hint = AccessNormal);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Fails at once when a view is already mapped.
    bool Open(const char* path, uint64_t length = 0, uint32_t hint = AccessNormal);
    bool Map(uint64_t offset, uint64_t length);
    void Close();

    bool IsMapped() const { return m_View != nullptr; }
    const uint8_t* Data() const { return m_View; }
    uint64_t ViewLength() const { return m_ViewLength; }
    uint64_t FileSize() const { return m_FileSize; }
    int Descriptor() const { return m_Descriptor; }

    // The byte at index into *byte; false without a view or past the view or
    // the file size (*byte untouched).
    bool At(uint64_t index, uint8_t* byte) const;
    uint8_t operator[](uint64_t index) const { return m_View[index]; }

    static uint64_t PageSize();

private:
    bool OpenImpl(const char* path, uint64_t length, uint32_t hint);

    uint64_t m_FileSize;
    uint32_t m_Hint;
    uint64_t m_ViewLength;
    int m_Descriptor; // -1: none
    uint8_t* m_View;
};

// Writes length bytes to path (created or truncated). Returns the number of
// bytes that reached the file: anything other than length is a failure,
// including a failed flush or close.
uint64_t WriteBufferToFile(const char* path, const uint8_t* bytes, uint64_t length);

} // namespace deltapatch

#endif
