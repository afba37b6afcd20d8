#include "sessiontempdir.h"

#include "fdio.h"
#include "installlock.h"
#include "productininames.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names are drawn at random from the nine digits the session record
// accepts, so that nobody can take them all beforehand; this many draws
// that all fail mean the temp path itself is unusable.
const int kCandidates = 64;
const quint32 kNumbers = 1000000000;

// Far more than a list of temp directories or a path ever needs; a longer
// file is not ours to read whole.
const qint64 kMaxListBytes = 64 * 1024;

QByteArray readAt(int fd)
{
    QByteArray bytes(int(kMaxListBytes), '\0');
    bytes.truncate(int(qMax<qint64>(readFullyAt(fd, bytes.data(), kMaxListBytes, 0), 0)));
    return bytes;
}

bool writeAllAt(int fd, const QByteArray& bytes, off_t at)
{
    return writeFullyAt(fd, bytes.constData(), bytes.size(), at);
}

// The marker, opened without following or blocking; -1 when it is no
// regular file of this user.
UniqueFd openMarker(const QString& tempDir)
{
    const QString path = QDir(tempDir).filePath(installLockFileName);
    UniqueFd fd(openRetrying(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (fd.isValid() && (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()))
        fd.reset();
    return fd;
}

// Removes dir itself once it is empty, by its name in the parent.
bool removeEmptyDir(const QString& dir)
{
    QDir d(dir);
    const QString name = QFileInfo(dir).fileName();
    return d.cdUp() && !name.isEmpty() && d.rmdir(name);
}

} // namespace

bool SessionTempDir::isName(const QString& name)
{
    static const QRegularExpression sessionName(QStringLiteral("^quendrail_temp_[0-9]{1,9}$"));
    return sessionName.match(name).hasMatch();
}

bool SessionTempDir::isSessionTempDir(const QString& dir)
{
    const QFileInfo info(dir);
    // A relative path would resolve against whatever the working directory
    // is, and a link could lead anywhere; neither is what we created.
    if (dir.isEmpty() || info.isRelative() || info.isSymLink() || !info.isDir())
        return false;
    if (!isName(info.fileName()))
        return false;
    const QString tempRoot = QFileInfo(QDir::tempPath()).canonicalFilePath();
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (tempRoot.isEmpty() || parent != tempRoot)
        return false;
    return info.ownerId() == static_cast<uint>(::geteuid());
}

QString SessionTempDir::create(const QString& tempPath, QString* tried, QString* why)
{
    QString base = tempPath;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QLatin1String("quendrail_temp_");
    for (int i = 0; i < kCandidates; ++i) {
        const QString candidate = base + QString::number(QRandomGenerator::system()->bounded(kNumbers));
        *tried = candidate;
        // Noted before it exists, so that no kill can leave a directory
        // that nothing names; tied to the installation once it does, and
        // held, so that no other run takes it for a dead one's.
        InstallLock* lock = InstallLock::held();
        if (lock && !note(*lock, candidate)) {
            *why = QStringLiteral("the installation lock cannot list it");
            break;
        }
        // The exclusive mkdir is what decides: a name that exists (a
        // directory, file or link someone else made) fails it and is
        // skipped, never adopted.
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) != 0) {
            *why = errnoText();
            continue;
        }
        if (lock && (!mark(candidate, lock->installDir()) || !hold(*lock, candidate))) {
            *why = QStringLiteral("it cannot be marked as this installation's");
            QFile::remove(QDir(candidate).filePath(installLockFileName));
            QDir().rmdir(candidate);
            continue;
        }
        return candidate;
    }
    return QString();
}

bool SessionTempDir::mark(const QString& tempDir, const QString& installDir)
{
    const QString path = QDir(tempDir).filePath(installLockFileName);
    const UniqueFd fd(
        openRetrying(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.isValid())
        return false;
    const QString canonical = QFileInfo(installDir).canonicalFilePath();
    return !canonical.isEmpty() && writeAllAt(fd.get(), QFile::encodeName(canonical), 0) && ::fsync(fd.get()) == 0;
}

QString SessionTempDir::installationOf(const QString& tempDir)
{
    const UniqueFd fd = openMarker(tempDir);
    return fd.isValid() ? QFile::decodeName(readAt(fd.get())) : QString();
}

bool SessionTempDir::hold(InstallLock& lock, const QString& tempDir)
{
    if (!lock.isHeld())
        return false;
    if (InstallLock::sameDirectory(tempDir, lock.m_UsedTempDir))
        return true;
    UniqueFd fd = openMarker(tempDir);
    // Shared: the first step of a self-update still holds it while the
    // second takes it over. Only a probe asks for it alone, and lets go
    // at once, so waiting here ends.
    if (!fd.isValid() || ::flock(fd.get(), LOCK_SH) != 0)
        return false;
    lock.m_TempFd = std::move(fd);
    lock.m_UsedTempDir = tempDir;
    return true;
}

bool SessionTempDir::inUse(const QString& tempDir)
{
    const UniqueFd fd = openMarker(tempDir);
    return fd.isValid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

bool SessionTempDir::mayRemove(const InstallLock& lock, const QString& tempDir)
{
    if (!lock.isHeld() || !InstallLock::sameDirectory(installationOf(tempDir), lock.installDir()))
        return false;
    return InstallLock::sameDirectory(tempDir, lock.m_UsedTempDir) || !inUse(tempDir);
}

QStringList SessionTempDir::listed(const InstallLock& lock)
{
    if (!lock.isHeld())
        return {};
    QStringList dirs;
    const QList<QByteArray> lines = readAt(lock.m_Fd.get()).split('\n');
    for (const QByteArray& line : lines) {
        if (!line.isEmpty())
            dirs << QFile::decodeName(line);
    }
    return dirs;
}

bool SessionTempDir::note(InstallLock& lock, const QString& dir)
{
    QStringList dirs = listed(lock);
    if (dirs.contains(dir))
        return true;
    dirs << dir;
    return setListed(lock, dirs);
}

bool SessionTempDir::setListed(InstallLock& lock, const QStringList& dirs)
{
    if (!lock.isHeld())
        return false;
    const int fd = lock.m_Fd.get();
    QByteArray text;
    for (const QString& dir : dirs)
        text += QFile::encodeName(dir) + '\n';
    const qint64 listed = text.size();
    // Written over the whole old list before it is cut, the rest of it
    // blanked: a kill before the cut leaves the new names and empty lines,
    // never the tail of an old name, which could name another directory.
    struct stat info;
    if (listed <= kMaxListBytes && ::fstat(fd, &info) == 0 && info.st_size > listed)
        text.append(QByteArray(int(qMin<qint64>(info.st_size, kMaxListBytes) - listed), '\n'));
    if (listed > kMaxListBytes || !writeAllAt(fd, text, 0) || ::fdatasync(fd) != 0
        || ::ftruncate(fd, off_t(listed)) != 0 || ::fdatasync(fd) != 0) {
        qWarning() << "Cannot write the installation's temp directories:" << errnoText();
        return false;
    }
    return true;
}

bool SessionTempDir::remove(const InstallLock* lock, const QString& dir)
{
    // QDir("") is the working directory: never the one meant.
    if (dir.isEmpty() || (lock && !mayRemove(*lock, dir)))
        return false;
    removeContents(dir);
    return removeEmptyDir(dir);
}

void SessionTempDir::removeContents(const QString& dir)
{
    if (dir.isEmpty())
        return;
    const QDir d(dir);
    const QDir::Filters common = QDir::NoSymLinks | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    const QFileInfoList files = d.entryInfoList(QDir::Files | common);
    for (const QFileInfo& f : files)
        QFile::remove(f.absoluteFilePath());
    const QFileInfoList dirs = d.entryInfoList(QDir::Dirs | common);
    for (const QFileInfo& sub : dirs) {
        removeContents(sub.absoluteFilePath());
        QDir(dir).rmdir(sub.fileName());
    }
}

void SessionTempDir::removeLeftBehind(InstallLock& lock, const QStringList& keep)
{
    QStringList kept;
    const QStringList noted = listed(lock);
    for (const QString& dir : noted) {
        if (!isSessionTempDir(dir))
            continue;
        const bool needed =
            std::any_of(keep.begin(), keep.end(), [&](const QString& k) { return InstallLock::sameDirectory(dir, k); });
        if (needed) {
            kept << dir;
            continue;
        }
        if (installationOf(dir).isEmpty()) {
            // Killed between its creation and its mark: still empty.
            QDir().rmdir(dir);
            continue;
        }
        if (!mayRemove(lock, dir))
            continue;
        qDebug() << "Removing a temp directory left by an earlier run" << dir;
        remove(&lock, dir);
    }
    if (kept != noted)
        setListed(lock, kept);
}
