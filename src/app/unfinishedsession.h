#ifndef UNFINISHEDSESSION_H
#define UNFINISHEDSESSION_H

class InstallLock;

// Start-up, with the installation's lock held: undoes the changes of a
// client session that ended without finishing (a crash, a kill, a power cut)
// in the locked install directory, and removes what earlier runs of this
// installation left: journal, kept files, part files and the temp
// directories that no session record names any more.
void recoverUnfinishedSession(InstallLock& lock);

// Whether a live updater of this installation still works on the session
// the record names although we hold the lock: its lock file was removed
// while it ran, and ours is a new one. Such a start must leave it alone.
bool sessionRunsWithoutLock(const InstallLock& lock);

#endif // UNFINISHEDSESSION_H
