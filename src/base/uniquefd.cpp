#include "uniquefd.h"

#include <unistd.h>

UniqueFd::~UniqueFd()
{
    reset();
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = m_Fd;
    m_Fd = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Fd = fd;
}
