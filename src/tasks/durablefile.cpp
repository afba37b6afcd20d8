#include "durablefile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

bool syncPath(const QString& path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool writeFully(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool syncFile(const QString& path)
{
    return syncPath(path, O_RDONLY);
}

bool syncDir(const QString& path)
{
    return syncPath(path, O_RDONLY | O_DIRECTORY);
}

QString errorText(int errnum)
{
    return QString::fromLocal8Bit(std::strerror(errnum));
}

QString diskFailureReason(const QString& path, int errnum)
{
    if (errnum == ENOSPC || errnum == EDQUOT || errnum == EIO || errnum == EROFS || errnum == EFBIG)
        return errorText(errnum);
    struct statvfs fs;
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::statvfs(dir.constData(), &fs) == 0 && fs.f_bavail == 0)
        return errorText(ENOSPC);
    return QString();
}

QString writeFailureReason(const QString& path, int errnum)
{
    const QString reason = diskFailureReason(path, errnum);
    return reason.isEmpty() && errnum ? errorText(errnum) : reason;
}

bool copyFileDurably(const QString& source, const QString& destination, QString* reason)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        *reason = errorText(errno);
        return false;
    }
    const QByteArray out = QFile::encodeName(destination);
    const int fd = ::open(out.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *reason = errorText(errno);
        ::close(in);
        return false;
    }
    static const ssize_t chunk = 1 << 16;
    char buffer[chunk];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (n > 0 && !writeFully(fd, buffer, n))) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
    }
    ok = ok && ::fsync(fd) == 0;
    const int errnum = errno;
    ok = ::close(fd) == 0 && ok;
    ::close(in);
    if (!ok) {
        *reason = writeFailureReason(destination, errnum);
        ::unlink(out.constData());
    }
    return ok;
}
