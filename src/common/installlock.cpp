#include "installlock.h"

#include "fdio.h"
#include "globals.h"
#include "handedoverlock.h"
#include "lockhandover.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <utility>

#include <time.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far above the temp-folder list a lock file holds.
const qint64 kMaxCarriedBytes = 64 * 1024;

InstallLock* heldLock = nullptr;

// How long the first step waits for the second to ask for the lock, and
// then for its answer. A second step of this release asks as it starts; one
// that does not ask gets the lock file at once and the directory lock when
// this ends.
const int kHandOverWaitMs = 20000;
const int kStepTwoRetryMs = 100;

long long monotonicMs()
{
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// A lock file swapped this many times in a row while we take it is someone
// at work against us, not a clean-up that ran once.
const int kLockAttempts = 8;
// The kernel's table of locks, read to find who holds ours.
const qint64 kMaxLocksBytes = 4 * 1024 * 1024;

QString userName(uid_t uid)
{
    if (const passwd* pw = ::getpwuid(uid))
        return QStringLiteral("%1 (uid %2)").arg(QString::fromLocal8Bit(pw->pw_name)).arg(uid);
    return QStringLiteral("uid %1").arg(uid);
}

// The user of the process that holds a flock on fd's file, from the
// kernel's list of locks; -1 when it cannot be told.
qint64 flockHolderUid(int fd)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return -1;
    // Its size reads as 0: read to the end, within a bound.
    const UniqueFd locksFd(openRetrying("/proc/locks", O_RDONLY | O_CLOEXEC));
    if (!locksFd.isValid())
        return -1;
    QByteArray table(int(kMaxLocksBytes), '\0');
    table.truncate(int(qMax<qint64>(readFully(locksFd.get(), table.data(), kMaxLocksBytes), 0)));
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line
    // has "->" after the number and holds nothing.
    const QByteArray file = QByteArray::number(uint(major(info.st_dev)), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(uint(minor(info.st_dev)), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(qulonglong(info.st_ino));
    const QList<QByteArray> lines = table.split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 6 || f[1] != "FLOCK" || f[5] != file)
            continue;
        struct stat process;
        if (::stat(QByteArray("/proc/" + f[4]).constData(), &process) != 0)
            return -1;
        return qint64(process.st_uid);
    }
    return -1;
}

// Opens and flocks the lock file at path. Only a regular file of this user
// may be the lock; one left open to others by a routine chmod is made
// private again on what was opened, before anyone else may take it.
InstallLock::Result lockFile(const QString& path, UniqueFd* out, QString* error)
{
    // Never through a link, and never blocking on a fifo put in its place.
    UniqueFd lock(openRetrying(QFile::encodeName(path).constData(),
                               O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    const int fd = lock.get();
    if (fd < 0) {
        *error = QStringLiteral("Cannot open the installation lock %1: %2").arg(path, errnoText());
        return InstallLock::Failed;
    }
    struct stat info;
    QString refused;
    if (::fstat(fd, &info) != 0)
        refused = errnoText();
    else if (!S_ISREG(info.st_mode))
        refused = QStringLiteral("not a regular file");
    else if (info.st_uid != ::geteuid())
        refused = QStringLiteral("owned by another user, %1; remove it, or run the updater as that user")
                      .arg(userName(info.st_uid));
    // Whoever can open the file can hold the lock; only its owner may.
    else if ((info.st_mode & 077) != 0 && !setOpenFileMode(fd, 0600))
        refused = QStringLiteral("other users may open it (mode %1) and it cannot be made private: %2; "
                                 "make it private with chmod 600")
                      .arg(QString::number(info.st_mode & 0777, 8), errnoText());
    else if ((info.st_mode & 077) != 0)
        qWarning() << "Made the installation lock private again, it was of mode"
                   << QString::number(info.st_mode & 0777, 8);
    if (!refused.isEmpty()) {
        *error = QStringLiteral("Cannot use the installation lock %1: %2").arg(path, refused);
        return InstallLock::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        // Busy means "another updater of ours runs"; a process of another
        // user holding it (opened while the file was open to all) is not.
        const qint64 holder = err == EWOULDBLOCK ? flockHolderUid(fd) : -1;
        lock.reset();
        if (err == EWOULDBLOCK && (holder < 0 || uid_t(holder) == ::geteuid()))
            return InstallLock::Busy;
        errno = err;
        *error = holder >= 0 ? QStringLiteral("Cannot lock the installation lock %1: it is held by another user, %2")
                                   .arg(path, userName(uid_t(holder)))
                             : QStringLiteral("Cannot lock the installation lock %1: %2").arg(path, errnoText());
        return InstallLock::Failed;
    }
    *out = std::move(lock);
    return InstallLock::Held;
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
    bool dirTaken = false;
    Result result = lockDirectory(installDir, &dirTaken);
    if (result == Held)
        result = lockNamedFile(installDir);
    if (result != Held) {
        release();
        return result;
    }
    hold(installDir);
    return Held;
}

InstallLock::Result InstallLock::lockDirectory(const QString& installDir, bool* taken)
{
    *taken = false;
    UniqueFd fd(openRetrying(QFile::encodeName(installDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.isValid()) {
        m_Error = QStringLiteral("Cannot open the installation %1: %2").arg(installDir, errnoText());
        return Failed;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        m_DirFd = std::move(fd);
        *taken = true;
        return Held;
    }
    const int err = errno;
    const qint64 holder = err == EWOULDBLOCK ? flockHolderUid(fd.get()) : -1;
    fd.reset();
    if (err == EWOULDBLOCK && (holder < 0 || uid_t(holder) == ::geteuid()))
        return Busy;
    // Anyone who may read the folder can lock it, and a network filesystem
    // may not lock folders at all: neither may stop our updates. The lock
    // file, private to this user, still keeps our own runs apart.
    errno = err;
    qWarning().noquote() << "Going on without the installation folder's lock:"
                         << (holder >= 0 ? QStringLiteral("it is held by another user, %1").arg(userName(uid_t(holder)))
                                         : errnoText());
    return Held;
}

InstallLock::Result InstallLock::lockNamedFile(const QString& installDir)
{
    const QString path = QDir(installDir).filePath(installLockFileName);
    // A file unlinked (or replaced) between our open and our flock is a lock
    // nobody else will ever look at: take the one the name leads to now.
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        UniqueFd fd;
        const Result result = lockFile(path, &fd, &m_Error);
        if (result != Held)
            return result;
        if (pathNamesOpenFile(QFile::encodeName(path).constData(), fd.get())) {
            m_Fd = std::move(fd);
            qDebug() << "Holding the installation lock" << path;
            return Held;
        }
    }
    m_Error = QStringLiteral("Cannot lock the installation lock %1: it is replaced as soon as it is taken").arg(path);
    return Failed;
}

void InstallLock::hold(const QString& installDir)
{
    m_InstallDir = installDir;
    heldLock = this;
}

void InstallLock::release()
{
    m_Fd.reset();
    m_DirFd.reset();
    m_TempFd.reset();
    m_UsedTempDir.clear();
    if (heldLock == this)
        heldLock = nullptr;
}

bool InstallLock::reclaim()
{
    if (!m_Fd.isValid())
        return false;
    const QString path = QDir(m_InstallDir).filePath(installLockFileName);
    if (pathNamesOpenFile(QFile::encodeName(path).constData(), m_Fd.get()))
        return true;
    // Ours was removed or replaced: the name is the lock every later start
    // takes, so take it again, with the list that ours held.
    UniqueFd fd;
    QString error;
    if (lockFile(path, &fd, &error) != Held || !pathNamesOpenFile(QFile::encodeName(path).constData(), fd.get()))
        return false;
    // The new file gets the old one's bytes as they are: the temp-folder
    // list the lock file holds is written and read by SessionTempDir only.
    QByteArray list;
    if (!readAllAt(m_Fd.get(), kMaxCarriedBytes, &list) || !writeFullyAt(fd.get(), list.constData(), list.size(), 0)
        || ::fdatasync(fd.get()) != 0)
        qWarning() << "Cannot carry the installation's temp directories over:" << errnoText();
    m_Fd = std::move(fd);
    qWarning() << "The installation lock was removed while held; took" << path << "again";
    return true;
}

bool InstallLock::handOver(const std::function<bool(QString*)>& start, QString* error)
{
    // Let go first: a second step that takes the lock file by its name, as
    // every release does, must find it free, and holds no descriptor of it
    // that it does not know of.
    m_Fd.reset();
    int pair[2] = {-1, -1};
    const bool made = LockHandOver::makePair(pair);
    UniqueFd ours(pair[0]), theirs(pair[1]);
    const bool paired = made && ::fcntl(theirs.get(), F_SETFD, 0) == 0;
    if (paired)
        qputenv(LockHandOver::handOverVariable, QByteArray::number(theirs.get()));
    const bool started = start(error);
    qunsetenv(LockHandOver::handOverVariable);
    theirs.reset();
    if (!started) {
        ours.reset();
        // This run goes on to report the failure, still keeping other
        // starts away.
        const QString error = m_Error;
        if (!m_InstallDir.isEmpty() && lockNamedFile(m_InstallDir) != Held)
            qWarning() << "Cannot take the installation lock again:" << m_Error;
        m_Error = error;
        return false;
    }
    if (paired && m_DirFd.isValid()) {
        const bool kept = LockHandOver::serve(ours.get(), m_DirFd.get(), kHandOverWaitMs, HandedOverLock::answerMs);
        qDebug() << (kept ? "The new updater took the installation lock"
                          : "The new updater did not take the installation lock; letting it go");
    }
    ours.reset();
    release();
    return true;
}

InstallLock::Result InstallLock::acquireAsStepTwo(const QString& installDir, int waitMs)
{
    release();
    m_Error.clear();
    m_DirFd = HandedOverLock::takeDirectory(installDir);
    m_Fd = HandedOverLock::takeFile(installDir);
    bool haveDir = m_DirFd.isValid();
    bool haveFile = m_Fd.isValid();
    const long long deadline = monotonicMs() + waitMs;
    for (;;) {
        Result result = Held;
        if (!haveDir)
            result = lockDirectory(installDir, &haveDir);
        // Without this, a busy result would be tried again after a clean
        // "left out" answer.
        haveDir = haveDir || result == Held;
        if (result == Held && !haveFile) {
            result = lockNamedFile(installDir);
            haveFile = result == Held;
        }
        if (result == Held) {
            hold(installDir);
            return Held;
        }
        // Busy: the first step has not ended yet. What is held meanwhile
        // stays held, so no other start comes in between.
        if (result == Failed || monotonicMs() >= deadline) {
            release();
            return result;
        }
        ::usleep(kStepTwoRetryMs * 1000);
    }
}

InstallLock* InstallLock::held()
{
    return heldLock;
}

bool InstallLock::sameDirectory(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}
