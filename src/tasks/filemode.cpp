#include "filemode.h"

#include "durablefile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

mode_t treeFileMode(int oldMode, int bits, mode_t umask)
{
    const mode_t wanted = mode_t(bits) & 0111;
    if (oldMode < 0) {
        const mode_t readWrite = 0666 & ~umask;
        return readWrite | (wanted & ~umask & ((readWrite & 0444) >> 2));
    }
    const mode_t old = mode_t(oldMode) & 07777;
    return (old & ~mode_t(0111)) | (wanted & ((old & 0444) >> 2));
}

mode_t processUmask()
{
    // Read whole at once: the file reports no size, and is a few KiB.
    char buffer[8192];
    ssize_t got = -1;
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        got = ::read(fd, buffer, sizeof(buffer));
        ::close(fd);
    }
    const QByteArray status = got > 0 ? QByteArray(buffer, int(got)) : QByteArray();
    const int at = status.indexOf("\nUmask:");
    if (at >= 0) {
        const int end = status.indexOf('\n', at + 1);
        bool ok = false;
        const uint mask = status.mid(at + 7, end < 0 ? -1 : end - at - 7).trimmed().toUInt(&ok, 8);
        if (ok && mask <= 0777)
            return mode_t(mask);
    }
    return 077;
}

bool setFileModeAt(int dir, const QByteArray& leaf, mode_t mode, mode_t* oldMode)
{
    // O_NONBLOCK: a fifo put in the file's place must not hang the open.
    const int fd = ::openat(dir, leaf.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    int errnum = errno;
    if (ok && !S_ISREG(st.st_mode)) {
        ok = false;
        errnum = EINVAL;
    }
    if (ok && oldMode)
        *oldMode = st.st_mode & 07777;
    if (ok && (st.st_mode & 07777) != (mode & 07777) && ::fchmod(fd, mode & 07777) != 0) {
        ok = false;
        errnum = errno;
    }
    ::close(fd);
    errno = errnum;
    return ok;
}

bool setFileMode(const QString& path, mode_t mode, mode_t* oldMode, QString* error)
{
    if (setFileModeAt(AT_FDCWD, QFile::encodeName(path), mode, oldMode))
        return true;
    if (error)
        *error = QStringLiteral("Could not set the mode of '%1': %2").arg(path, errorText(errno));
    return false;
}
