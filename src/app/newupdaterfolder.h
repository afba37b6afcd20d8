#ifndef NEWUPDATERFOLDER_H
#define NEWUPDATERFOLDER_H

#include <QString>

// Where the second step of a self-update runs from: the session's temp
// directory, which holds the new updater, or, when that directory lies on a
// mount where programs cannot run (a noexec /tmp), a copy of it in the
// installation under newUpdaterFolderName, on the filesystem the client
// itself runs from. Every start decides by the same check of the mount; a
// copy is removed by the run that finishes from it, or by the next start.
class NewUpdaterFolder
{
public:
    NewUpdaterFolder() = delete;

    // The folder to start the new updater from, ready; empty, with *error
    // saying why, when the copy cannot be made.
    static QString prepare(const QString& tempDir, const QString& installDir, QString* error);
    // Whether programs may run from dir's mount.
    static bool canRunPrograms(const QString& dir);
    // The copy's place in installDir.
    static QString copyIn(const QString& installDir);
    // Removes installDir's copy, if any; the run that finishes from it
    // takes it along (a running program's folder may go on this platform).
    static void removeCopy(const QString& installDir);
};

#endif // NEWUPDATERFOLDER_H
