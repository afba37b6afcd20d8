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
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        // The file is small and generated; a line at a time keeps the read bounded.
        for (int i = 0; i < 200 && !status.atEnd(); ++i) {
            const QByteArray line = status.readLine(256);
            if (!line.startsWith("Umask:"))
                continue;
            bool ok = false;
            const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
            if (ok && mask <= 0777)
                return mode_t(mask);
            break;
        }
    }
    return 077;
}

bool setFileMode(const QString& path, mode_t mode, mode_t* oldMode, QString* error)
{
    // O_NONBLOCK: a fifo put in the file's place must not hang the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0;
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
    if (fd >= 0)
        ::close(fd);
    if (!ok && error)
        *error = QStringLiteral("Could not set the mode of '%1': %2").arg(path, errorText(errnum));
    return ok;
}
