#ifndef UNIQUEFD_H
#define UNIQUEFD_H

// A file descriptor, closed with the object.
class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1) : m_Fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : m_Fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_Fd; }
    bool isValid() const { return m_Fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_Fd;
};

#endif // UNIQUEFD_H
