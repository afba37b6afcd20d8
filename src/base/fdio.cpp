#include "fdio.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString errnoText(int errnum)
{
    return QString::fromLocal8Bit(std::strerror(errnum));
}

int openRetrying(const char* path, int flags, mode_t mode)
{
    return retryOnEintr([&] { return ::open(path, flags, mode); });
}

namespace {

// offset < 0 reads from where fd stands.
qint64 readUpTo(int fd, char* data, qint64 size, qint64 offset)
{
    qint64 have = 0;
    while (have < size) {
        const ssize_t n = retryOnEintr([&] {
            return offset < 0 ? ::read(fd, data + have, size_t(size - have))
                              : ::pread(fd, data + have, size_t(size - have), off_t(offset + have));
        });
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        have += n;
    }
    return have;
}

} // namespace

qint64 readFully(int fd, char* data, qint64 size)
{
    return readUpTo(fd, data, size, -1);
}

qint64 readFullyAt(int fd, char* data, qint64 size, qint64 offset)
{
    return offset < 0 ? -1 : readUpTo(fd, data, size, offset);
}

bool readAllAt(int fd, qint64 limit, QByteArray* out, qint64 offset)
{
    char buffer[65536];
    for (qint64 at = offset;;) {
        const ssize_t n = retryOnEintr([&] { return ::pread(fd, buffer, sizeof buffer, off_t(at)); });
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        // Checked before the append: a file that grows without end never
        // makes the buffer grow past the limit.
        if (at - offset + n > limit) {
            errno = EFBIG;
            return false;
        }
        out->append(buffer, int(n));
        at += n;
    }
}

bool setOpenFileMode(int fd, mode_t mode)
{
    return ::fchmod(fd, mode) == 0;
}

bool writeFully(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd, data, size_t(size)); });
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool writeFullyAt(int fd, const char* data, qint64 size, qint64 offset)
{
    for (qint64 done = 0; done < size;) {
        const ssize_t n =
            retryOnEintr([&] { return ::pwrite(fd, data + done, size_t(size - done), off_t(offset + done)); });
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool pathNamesOpenFile(const char* path, int fd)
{
    struct stat open, named;
    return ::fstat(fd, &open) == 0 && ::lstat(path, &named) == 0 && open.st_dev == named.st_dev
        && open.st_ino == named.st_ino;
}
