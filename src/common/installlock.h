#ifndef INSTALLLOCK_H
#define INSTALLLOCK_H

#include <QString>
#include <QStringList>

#include <functional>

// The lock that lets exactly one updater work on an installation, whatever
// its program path: installLockFileName inside the install directory, a
// private regular file of this user held with flock for the whole run. The
// kernel drops it with the process, so a killed run never blocks the next.
//
// A lock file removed or replaced while it is being taken is taken again
// by its name; one made readable by others is made private again.
//
// The file also lists the session temp directories made for the
// installation, each noted before it is created, so that a later run can
// remove what a killed one left even when no session record names it.
class InstallLock
{
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

    // Runs start, which starts the program that continues this run's work
    // on the installation, with the held lock open in it and its descriptor
    // named by lockHandOverVariable, so that no other start can take the lock
    // in between; the lock is no longer inherited once start returns.
    bool handOver(const std::function<bool()>& start);
    // Takes the lock handed over by the program that started this one: the
    // descriptor named by lockHandOverVariable, when it is an open of
    // installDir's lock file (the same file as the path names now) that the
    // lock can be held on. False, with nothing held, otherwise; the variable
    // is cleared either way, so that nothing this run starts inherits it.
    bool adoptHandedOver(const QString& installDir);
    static const char* const lockHandOverVariable;
    bool isHeld() const { return m_Fd >= 0; }
    // Takes the lock's name again when the file held was removed or
    // replaced meanwhile (a clean-up of hidden files); false while the name
    // is held by another start, which then finds our session in use.
    bool reclaim();
    const QString& installDir() const { return m_InstallDir; }
    const QString& errorString() const { return m_Error; }

    // The temp directories noted for this installation.
    QStringList tempDirs() const;
    // Adds dir to the list, durably; true when it is listed.
    bool noteTempDir(const QString& dir);
    // Replaces the list.
    bool setTempDirs(const QStringList& dirs);

    // The installation this run works on: the install directory of the
    // session record beside the program when the program runs from that
    // session's temp directory (the second step of a self-update), else the
    // application directory.
    static QString installDirForRun();
    // The lock this process holds, or null. Not owned.
    static InstallLock* held();

    // Writes the file that ties a session temp directory to its
    // installation; the name is reserved, so no download can take it.
    static bool markTempDir(const QString& tempDir, const QString& installDir);
    // The installation a session temp directory was made for; empty when
    // it carries no mark.
    static QString tempDirInstallation(const QString& tempDir);
    // Holds tempDir (marked for this installation) as the one this run's
    // session works in, until release(): no other run removes it meanwhile.
    bool useTempDir(const QString& tempDir);
    // Whether a live run holds tempDir as its session's directory.
    static bool tempDirInUse(const QString& tempDir);
    // Whether this run may remove tempDir: its mark names this installation
    // and no other live run uses it.
    bool mayRemoveTempDir(const QString& tempDir) const;
    // Whether two paths lead to the same existing directory.
    static bool sameDirectory(const QString& a, const QString& b);

private:
    // Makes fd, a locked open of installDir's lock file, the lock this run holds.
    void hold(int fd, const QString& installDir);

    int m_Fd = -1;
    // The marker of the session temp directory in use, held shared.
    int m_TempFd = -1;
    QString m_UsedTempDir;
    QString m_InstallDir;
    QString m_Error;
};

#endif // INSTALLLOCK_H
