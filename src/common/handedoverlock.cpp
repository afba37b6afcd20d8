#include "handedoverlock.h"

#include "fdio.h"
#include "lockhandover.h"
#include "productininames.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the first step of a self-update handed over, as found at start-up:
// the number, and what it was open on then, so that a file opened later
// under a number that was free is never taken for it.
struct HandedOver
{
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};
HandedOver handedSocket, handedLockFile;

HandedOver readHandedOver(const char* variable)
{
    HandedOver handed;
    const QByteArray text = qgetenv(variable);
    qunsetenv(variable);
    bool number = false;
    const int fd = text.toInt(&number);
    struct stat info;
    // 0 to 2 are the standard streams, never a lock of ours.
    if (number && fd > STDERR_FILENO && ::fstat(fd, &info) == 0)
        handed = {fd, info.st_dev, info.st_ino};
    return handed;
}

// Whether the number handed over still names what it named at start-up.
bool stillHanded(const HandedOver& handed)
{
    struct stat info;
    return handed.fd >= 0 && ::fstat(handed.fd, &info) == 0 && info.st_dev == handed.dev && info.st_ino == handed.ino;
}

} // namespace

const char* const HandedOverLock::lockFileVariable = "QND_INSTALL_LOCK_FD";

void HandedOverLock::takeFromEnvironment()
{
    handedSocket = readHandedOver(LockHandOver::handOverVariable);
    handedLockFile = readHandedOver(lockFileVariable);
}

UniqueFd HandedOverLock::takeDirectory(const QString& installDir)
{
    const HandedOver handed = handedSocket;
    handedSocket = HandedOver();
    if (!stillHanded(handed) || !LockHandOver::isHandOverSocket(handed.fd))
        return UniqueFd();
    // Ours, and done with once answered: the client this run starts must not
    // hold it.
    const UniqueFd socket(handed.fd);
    UniqueFd received(LockHandOver::request(handed.fd, answerMs));
    const int fd = received.get();
    struct stat open, named;
    const bool kept = fd >= 0 && ::fstat(fd, &open) == 0 && S_ISDIR(open.st_mode)
        && ::stat(QFile::encodeName(installDir).constData(), &named) == 0 && open.st_dev == named.st_dev
        && open.st_ino == named.st_ino && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    LockHandOver::answer(handed.fd, kept);
    if (kept) {
        qDebug() << "Holding the installation lock handed over" << installDir;
        return received;
    }
    if (fd >= 0)
        qDebug() << "Not taking the handed-over descriptor as the lock of" << installDir;
    return UniqueFd();
}

UniqueFd HandedOverLock::takeFile(const QString& installDir)
{
    const HandedOver handed = handedLockFile;
    handedLockFile = HandedOver();
    const QString path = QDir(installDir).filePath(installLockFileName);
    // Only this installation's lock file is ours to take or to close; any
    // other number is left as it is.
    if (!stillHanded(handed) || !pathNamesOpenFile(QFile::encodeName(path).constData(), handed.fd))
        return UniqueFd();
    UniqueFd file(handed.fd);
    struct stat info;
    const bool usable = ::fstat(handed.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & 077) == 0 && (::fcntl(handed.fd, F_GETFL) & O_ACCMODE) == O_RDWR
        && ::flock(handed.fd, LOCK_EX | LOCK_NB) == 0;
    if (!usable) {
        // Left open, it would hold the lock against this very run: closed
        // with file.
        return UniqueFd();
    }
    ::fcntl(handed.fd, F_SETFD, FD_CLOEXEC);
    qDebug() << "Holding the installation lock file handed over" << path;
    return file;
}
