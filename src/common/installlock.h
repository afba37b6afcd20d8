#ifndef INSTALLLOCK_H
#define INSTALLLOCK_H

#include "uniquefd.h"

#include <QString>
#include <QStringList>

#include <functional>

// The lock that lets exactly one updater work on an installation, whatever
// its program path. Two locks, both taken with flock without waiting and
// held for the whole run; the kernel drops them with the process, so a
// killed run never blocks the next:
// - the install directory itself, which removing a file cannot undo: a
//   start finds it busy in every phase of a running one;
// - installLockFileName inside it, a private regular file of this user,
//   which is what updaters of every release take. One removed or replaced
//   while it is held is taken again by its name; one made readable by
//   others is made private again.
//
// The file also lists the session temp directories made for the
// installation (SessionTempDir), each noted before it is created, so that a
// later run can remove what a killed one left even when no session record
// names it.
class InstallLock
{
    // Keeps the list in the lock file and the marker held with the lock.
    friend class SessionTempDir;

public:
    enum Result { Held, Busy, Failed };

    InstallLock() = default;
    ~InstallLock();
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;

    // Takes the lock of installDir without waiting. Busy: another process
    // holds it. Failed: the file cannot be used (errorString() says why).
    Result acquire(const QString& installDir);
    // Lets go, so that a program started next can take it.
    void release();

    // The first step of a self-update: lets the lock file go, so that a
    // second step of any release can take it by its name, then runs start,
    // which starts the second step with the hand-over's socket open in it
    // (LockHandOver). The directory lock passes only when the second step
    // asks for it; until then, or until it gives up waiting, this run
    // keeps it, so no start in between takes the installation. Nothing is
    // held afterwards. False, with start's error and the lock file taken
    // again, when start fails.
    bool handOver(const std::function<bool(QString*)>& start, QString* error);
    // The second step of a self-update: takes what was handed over
    // (HandedOverLock, read from the environment at start-up) when it
    // is this installation's lock, never closing a number that is not, and
    // the rest as at any start, waiting up to waitMs for the first step to
    // end while it is busy.
    Result acquireAsStepTwo(const QString& installDir, int waitMs);
    bool isHeld() const { return m_Fd.isValid(); }
    bool holdsDirectory() const { return m_DirFd.isValid(); }
    // Takes the lock's name again when the file held was removed or
    // replaced meanwhile (a clean-up of hidden files); false while the name
    // is held by another start, which then finds our session in use.
    bool reclaim();
    const QString& installDir() const { return m_InstallDir; }
    const QString& errorString() const { return m_Error; }

    // The lock this process holds, or null. Not owned.
    static InstallLock* held();

    // Whether two paths lead to the same existing directory.
    static bool sameDirectory(const QString& a, const QString& b);

private:
    // Takes the directory lock; Held also when it is left out because
    // another user holds it or the filesystem cannot lock folders.
    Result lockDirectory(const QString& installDir, bool* taken);
    // Takes the lock file by its name.
    Result lockNamedFile(const QString& installDir);
    // Makes the locks taken this run's.
    void hold(const QString& installDir);

    // The lock file.
    UniqueFd m_Fd;
    // The install directory, locked.
    UniqueFd m_DirFd;
    // The marker of the session temp directory in use, held shared until
    // release().
    UniqueFd m_TempFd;
    QString m_UsedTempDir;
    QString m_InstallDir;
    QString m_Error;
};

#endif // INSTALLLOCK_H
