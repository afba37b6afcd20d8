#include "filemode.h"

#include "durablefile.h"
#include "installpath.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QStringList executableFileNames = {
    QStringLiteral("qndclient_linux_x86"),    QStringLiteral("qndclient_linux_amd64"),
    QStringLiteral("qndclient_runscript.sh"), QStringLiteral("update"),
    QStringLiteral("error_report"),           QStringLiteral("package_inst"),
    QStringLiteral("QtWebEngineProcess")};

const QStringList executableSuffixes = {QStringLiteral("so"), QStringLiteral("so.0"), QStringLiteral("so.1"),
                                        QStringLiteral("so.4"), QStringLiteral("so.5")};

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

bool isExecutableName(const QString& path)
{
    const QFileInfo info(path);
    return executableFileNames.contains(info.fileName(), Qt::CaseSensitive)
        || executableSuffixes.contains(info.completeSuffix(), Qt::CaseSensitive);
}

namespace {

// The mode step of the functions below on fd, already opened (or not, when
// invalid); its text in *error as they give it.
bool applyToOpenFile(const UniqueFd& fd, const QString& path, const WantedMode& wanted, const ModeNote& note,
                     QString* error)
{
    QString why;
    const bool ok = [&] {
        struct stat st;
        if (!fd.isValid() || ::fstat(fd.get(), &st) != 0)
            return false;
        if (!S_ISREG(st.st_mode)) {
            errno = EINVAL;
            return false;
        }
        const mode_t current = st.st_mode & 07777;
        const mode_t mode = wanted(current) & 07777;
        if (mode == current)
            return true;
        if (note && !note(current, &why)) {
            errno = EPERM;
            return false;
        }
        return setOpenFileMode(fd.get(), mode);
    }();
    if (ok)
        return true;
    const int errnum = errno;
    if (error)
        *error =
            QStringLiteral("Could not set the mode of '%1': %2").arg(path, why.isEmpty() ? errnoText(errnum) : why);
    errno = errnum;
    return false;
}

} // namespace

bool applyFileMode(int dir, const QByteArray& leaf, const QString& path, const WantedMode& wanted, const ModeNote& note,
                   QString* error)
{
    // O_NONBLOCK: a fifo put in the file's place must not hang the open.
    const UniqueFd fd(::openat(dir, leaf.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return applyToOpenFile(fd, path, wanted, note, error);
}

bool applyFileModeAt(const QString& path, const WantedMode& wanted, QString* error)
{
    const UniqueFd fd(openRetrying(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return applyToOpenFile(fd, path, wanted, nullptr, error);
}

bool applyFileModeBelow(const QString& root, const QString& path, const WantedMode& wanted, const ModeNote& note,
                        QString* error)
{
    InstallLocation at;
    if (openInstallLocation(root, path, &at))
        return applyFileMode(at.dir.get(), at.leaf, path, wanted, note, error);
    const int errnum = errno;
    if (error)
        *error = errnum == ELOOP ? outsideInstallDirText(path)
                                 : QStringLiteral("Could not set the mode of '%1': %2").arg(path, errnoText(errnum));
    errno = errnum;
    return false;
}

WantedMode exactMode(mode_t mode)
{
    return [mode](mode_t) { return mode; };
}

WantedMode treeBits(int base, int bits)
{
    const mode_t umask = processUmask();
    return [base, bits, umask](mode_t) { return treeFileMode(base, bits, umask); };
}
