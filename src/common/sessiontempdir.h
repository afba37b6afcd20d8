#ifndef SESSIONTEMPDIR_H
#define SESSIONTEMPDIR_H

#include <QString>
#include <QStringList>

class InstallLock;

// The session temp directory: "quendrail_temp_<n>" right in the system temp
// path, private to this user. Its name is noted in the installation lock's
// list before it exists, a marker inside (installLockFileName) names the
// installation it was made for, and the run working in it holds that marker
// shared, so that no other run takes it for a dead one's. Everything that
// names, makes, marks, holds, lists or removes one goes through here.
class SessionTempDir
{
public:
    SessionTempDir() = delete;

    // Whether a directory's file name is one a session temp directory gets.
    static bool isName(const QString& name);
    // Whether dir names a session temp directory this user owns: an existing
    // real directory of such a name directly in the system temp path.
    static bool isSessionTempDir(const QString& dir);

    // Makes a new one under a fresh name in tempPath: noted, made, marked
    // and held when this process holds an installation lock. Empty, with
    // *why, when none can be made; *tried is the last name tried.
    static QString create(const QString& tempPath, QString* tried, QString* why);

    // Writes the marker that ties tempDir to its installation; the name is
    // reserved, so no download can take it.
    static bool mark(const QString& tempDir, const QString& installDir);
    // The installation tempDir was made for; empty when it carries no mark.
    static QString installationOf(const QString& tempDir);
    // Holds tempDir (marked for lock's installation) as the one this run's
    // session works in, until the lock is released: no other run removes it
    // meanwhile.
    static bool hold(InstallLock& lock, const QString& tempDir);
    // Whether a live run holds tempDir as its session's directory.
    static bool inUse(const QString& tempDir);
    // Whether lock's run may remove tempDir: its mark names the lock's
    // installation and no other live run uses it.
    static bool mayRemove(const InstallLock& lock, const QString& tempDir);

    // The directories noted in lock's file.
    static QStringList listed(const InstallLock& lock);
    // Adds dir to the list, durably; true when it is listed.
    static bool note(InstallLock& lock, const QString& dir);
    // Replaces the list.
    static bool setListed(InstallLock& lock, const QStringList& dirs);

    // Removes dir when lock (if any) may, without following links: a link
    // inside stays, and so does dir then. True when dir is gone.
    static bool remove(const InstallLock* lock, const QString& dir);
    // Empties dir, sparing links and what they lead to, and dir itself.
    static void removeContents(const QString& dir);
    // Removes the listed directories that no kept session needs: those in
    // keep stay listed; another installation's (the name was reused after
    // ours went) and a live run's are left alone.
    static void removeLeftBehind(InstallLock& lock, const QStringList& keep);
};

#endif // SESSIONTEMPDIR_H
