#include "durablefile.h"

#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

bool syncPath(const QString& path, int flags)
{
    const UniqueFd fd(openRetrying(QFile::encodeName(path).constData(), flags | O_CLOEXEC));
    return fd.isValid() && ::fsync(fd.get()) == 0;
}

} // namespace

bool syncFile(const QString& path)
{
    return syncPath(path, O_RDONLY);
}

bool syncDir(const QString& path)
{
    return syncPath(path, O_RDONLY | O_DIRECTORY);
}

QString diskFailureReason(const QString& path, int errnum)
{
    if (errnum == ENOSPC || errnum == EDQUOT || errnum == EIO || errnum == EROFS || errnum == EFBIG)
        return errnoText(errnum);
    struct statvfs fs;
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::statvfs(dir.constData(), &fs) == 0 && fs.f_bavail == 0)
        return errnoText(ENOSPC);
    return QString();
}

QString writeFailureReason(const QString& path, int errnum)
{
    const QString reason = diskFailureReason(path, errnum);
    return reason.isEmpty() && errnum ? errnoText(errnum) : reason;
}

namespace {

// Copies from in into the new file at destination: up to limit bytes from
// in's start, or (limit < 0) all of in from where it stands.
bool copyDurably(int in, qint64 limit, const QString& destination, QString* reason)
{
    const QByteArray out = QFile::encodeName(destination);
    const int fd = openRetrying(out.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *reason = errnoText(errno);
        return false;
    }
    static const ssize_t chunk = 1 << 16;
    char buffer[chunk];
    bool ok = true;
    bool shortSource = false;
    for (qint64 at = 0; limit < 0 || at < limit;) {
        const size_t want = limit < 0 ? size_t(chunk) : size_t(qMin<qint64>(chunk, limit - at));
        const ssize_t n =
            retryOnEintr([&] { return limit < 0 ? ::read(in, buffer, want) : ::pread(in, buffer, want, off_t(at)); });
        if (n < 0 || (n > 0 && !writeFully(fd, buffer, n))) {
            ok = false;
            break;
        }
        if (n == 0) {
            shortSource = limit >= 0;
            break;
        }
        at += n;
    }
    ok = ok && !shortSource && ::fsync(fd) == 0;
    const int errnum = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        *reason =
            shortSource ? QStringLiteral("it ended before its listed size") : writeFailureReason(destination, errnum);
        ::unlink(out.constData());
    }
    return ok;
}

} // namespace

bool copyFileDurably(const QString& source, const QString& destination, QString* reason)
{
    const UniqueFd in(openRetrying(QFile::encodeName(source).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.isValid()) {
        *reason = errnoText(errno);
        return false;
    }
    return copyDurably(in.get(), -1, destination, reason);
}

bool copyOpenFileDurably(int source, qint64 size, const QString& destination, QString* reason)
{
    return copyDurably(source, qMax<qint64>(size, 0), destination, reason);
}
