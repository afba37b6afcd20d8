#include "installlock.h"

#include "configuration.h"
#include "globals.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

InstallLock* heldLock = nullptr;

// Far more than a list of temp directories or a path ever needs; a longer
// file is not ours to read whole.
const qint64 kMaxListBytes = 64 * 1024;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray readAt(int fd)
{
    QByteArray bytes(int(kMaxListBytes), '\0');
    qint64 have = 0;
    while (have < kMaxListBytes) {
        const ssize_t n = ::pread(fd, bytes.data() + have, size_t(kMaxListBytes - have), off_t(have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += n;
    }
    bytes.truncate(int(have));
    return bytes;
}

bool writeAllAt(int fd, const QByteArray& bytes, off_t at)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.constData() + done, size_t(bytes.size() - done), at + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

InstallLock::~InstallLock()
{
    release();
}

InstallLock::Result InstallLock::acquire(const QString& installDir)
{
    release();
    m_Error.clear();
    const QString path = QDir(installDir).filePath(installLockFileName);
    // Never through a link, and never blocking on a fifo put in its place.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        m_Error = QStringLiteral("Cannot open the installation lock %1: %2").arg(path, errnoText());
        return Failed;
    }
    struct stat info;
    QString refused;
    if (::fstat(fd, &info) != 0)
        refused = errnoText();
    else if (!S_ISREG(info.st_mode))
        refused = QStringLiteral("not a regular file");
    else if (info.st_uid != ::geteuid())
        refused = QStringLiteral("owned by another user");
    // Whoever can open the file can hold the lock; only its owner may.
    else if ((info.st_mode & 077) != 0)
        refused = QStringLiteral("other users may open it (mode %1)").arg(info.st_mode & 0777, 0, 8);
    if (!refused.isEmpty()) {
        ::close(fd);
        m_Error = QStringLiteral("Cannot use the installation lock %1: %2").arg(path, refused);
        return Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return Busy;
        errno = err;
        m_Error = QStringLiteral("Cannot lock the installation lock %1: %2").arg(path, errnoText());
        return Failed;
    }
    m_Fd = fd;
    m_InstallDir = installDir;
    heldLock = this;
    qDebug() << "Holding the installation lock" << path;
    return Held;
}

void InstallLock::release()
{
    if (m_Fd < 0)
        return;
    ::close(m_Fd);
    m_Fd = -1;
    if (heldLock == this)
        heldLock = nullptr;
}

const char* const InstallLock::lockHandOverVariable = "QND_INSTALL_LOCK_FD";

bool InstallLock::handOver(const std::function<bool()>& start)
{
    if (m_Fd < 0 || ::fcntl(m_Fd, F_SETFD, 0) != 0)
        return start();
    qputenv(lockHandOverVariable, QByteArray::number(m_Fd));
    const bool started = start();
    qunsetenv(lockHandOverVariable);
    ::fcntl(m_Fd, F_SETFD, FD_CLOEXEC);
    return started;
}

bool InstallLock::adoptHandedOver(const QString& installDir)
{
    const QByteArray text = qgetenv(lockHandOverVariable);
    qunsetenv(lockHandOverVariable);
    if (text.isEmpty() || m_Fd >= 0)
        return false;
    bool number = false;
    const int fd = text.toInt(&number);
    struct stat info;
    // 0 to 2 are the standard streams, never a lock of ours.
    if (!number || fd <= STDERR_FILENO || ::fstat(fd, &info) != 0)
        return false;
    const QString path = QDir(installDir).filePath(installLockFileName);
    struct stat named;
    const bool ours = S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0
        && ::lstat(QFile::encodeName(path).constData(), &named) == 0 && named.st_dev == info.st_dev
        && named.st_ino == info.st_ino && (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR;
    // Held already when it is the open our starter locked; otherwise free
    // to take, or another process's, and then not ours.
    if (!ours || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        qDebug() << "Not taking the handed-over descriptor" << fd << "as the installation lock" << path;
        // A file handed over (a lock file swapped since, say) must not stay
        // open, holding a lock, in what this run starts.
        if (S_ISREG(info.st_mode))
            ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    m_Error.clear();
    m_Fd = fd;
    m_InstallDir = installDir;
    heldLock = this;
    qDebug() << "Holding the installation lock handed over" << path;
    return true;
}

QStringList InstallLock::tempDirs() const
{
    if (m_Fd < 0)
        return {};
    QStringList dirs;
    const QList<QByteArray> lines = readAt(m_Fd).split('\n');
    for (const QByteArray& line : lines) {
        if (!line.isEmpty())
            dirs << QFile::decodeName(line);
    }
    return dirs;
}

bool InstallLock::noteTempDir(const QString& dir)
{
    QStringList dirs = tempDirs();
    if (dirs.contains(dir))
        return true;
    dirs << dir;
    return setTempDirs(dirs);
}

bool InstallLock::setTempDirs(const QStringList& dirs)
{
    if (m_Fd < 0)
        return false;
    QByteArray text;
    for (const QString& dir : dirs)
        text += QFile::encodeName(dir) + '\n';
    // Written over the old list before it is cut: a kill in between leaves
    // every new name whole, and at worst a torn old one, which names no
    // directory of ours.
    if (text.size() > kMaxListBytes || !writeAllAt(m_Fd, text, 0) || ::ftruncate(m_Fd, off_t(text.size())) != 0
        || ::fdatasync(m_Fd) != 0) {
        qWarning() << "Cannot write the installation's temp directories:" << errnoText();
        return false;
    }
    return true;
}

QString InstallLock::installDirForRun()
{
    const QString appDir = applicationDirPath();
    QSettings record(QDir(appDir).filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    const QString dir = record.value(QStringLiteral("current/dir")).toString();
    const QString qnddir = record.value(QStringLiteral("current/qnddir")).toString();
    if (!qnddir.isEmpty() && QFileInfo(qnddir).isAbsolute() && sameDirectory(dir, appDir))
        return qnddir;
    return appDir;
}

InstallLock* InstallLock::held()
{
    return heldLock;
}

bool InstallLock::markTempDir(const QString& tempDir, const QString& installDir)
{
    const QString path = QDir(tempDir).filePath(installLockFileName);
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const QString canonical = QFileInfo(installDir).canonicalFilePath();
    const bool ok = !canonical.isEmpty() && writeAllAt(fd, QFile::encodeName(canonical), 0) && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

QString InstallLock::tempDirInstallation(const QString& tempDir)
{
    const QString path = QDir(tempDir).filePath(installLockFileName);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return QString();
    struct stat info;
    QString owner;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
        owner = QFile::decodeName(readAt(fd));
    ::close(fd);
    return owner;
}

bool InstallLock::sameDirectory(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}
