#ifndef INSTALLPATH_H
#define INSTALLPATH_H

#include "uniquefd.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

// Work below the install directory goes through directory descriptors: the
// install directory is opened as named (the user chose it, links and all),
// every component below it is opened on its own without following a link.
// A directory swapped for a link between a check and its use then makes the
// use fail instead of landing outside.

// The entry that a path below the install directory names: the directory
// that holds it, opened as above, and its name there (never followed).
struct InstallLocation
{
    UniqueFd dir;
    QByteArray leaf;
};

// Opens the install directory itself; -1 with errno on failure.
int openInstallDir(const QString& installDir);

// The install directory opened once, for work that must stay on the folder
// it opened: a name swapped for another folder or a link meanwhile cannot
// send a later step elsewhere, as opening it again by path would.
struct InstallRoot
{
    UniqueFd fd;
    QString path;      // as named, cleaned: what paths below it start with
    QStringList names; // the absolute names that reach it, for absolute link texts
};

// Opens installDir into *out without following a link at its own name (the
// folder named is the one worked on); false with errno on failure.
bool openInstallRoot(const QString& installDir, InstallRoot* out);
// The same opened as named, links and all, as openInstallDir() does: for a
// session's steps, which reach the folder the way the session found it.
bool openInstallRootAsNamed(const QString& installDir, InstallRoot* out);

// Opens the directory holding path. A link met on the way is read and
// resolved by hand when it leads to a directory inside the install
// directory; one that leads out (or nowhere) is refused with ELOOP. False
// with errno also when path is not below installDir or a directory is
// missing.
bool openInstallLocation(const QString& installDir, const QString& path, InstallLocation* out);
// The same below an opened install directory.
bool openInstallLocation(const InstallRoot& root, const QString& path, InstallLocation* out);

// Opens the regular file at path for reading. Links on the way, the file's
// own name included, are resolved by hand as above, so one that leads out
// is refused with ELOOP. Anything but a regular file (a fifo, a device) is
// refused with EISDIR without being opened, so the call never blocks. -1
// with errno on failure.
int openInstalledFile(const QString& installDir, const QString& path);

// How a name below the install directory is reached, found the way every
// read and write reaches it: for checks made before any of them.
struct InstalledName
{
    // A folder link on the way that leads out of the install directory or
    // nowhere (as a path below it), and its text; empty when there is none.
    QString linkOut;
    QString linkOutText;
    // The first folder link followed on the way and its text, empty when
    // there is none.
    QString firstLink;
    QString firstLinkText;
    // The folder that holds the name, and the name in it: two names with
    // the same ones are one entry.
    struct stat folder = {};
    QByteArray leaf;
    // The entry itself, not followed, when it exists.
    bool exists = false;
    struct stat entry = {};
};

// Fills *out for path; false (with linkOut set when a link is the reason)
// when the folder that holds it cannot be reached inside installDir.
bool locateInstalledName(const QString& installDir, const QString& path, InstalledName* out);

// True when everything that already exists of path's directory chain lies
// inside installDir by the rule above: a file written or a directory
// created at path then stays inside it.
bool staysInsideInstallDir(const QString& installDir, const QString& path);
bool staysInsideInstallDir(const InstallRoot& root, const QString& path);

// The message for a path that fails the test above.
QString outsideInstallDirText(const QString& path);

// Removes name in dir and, for a directory, all it holds, never following a
// link (a link is removed itself). True when it is gone.
bool removeTreeAt(int dir, const QByteArray& name);
// Removes all that the open directory dir holds but the entry except, as
// above. True when nothing else is left.
bool removeEntriesIn(int dir, const QByteArray& except = QByteArray());

// A path that reaches name inside the open directory dir whatever becomes of
// the directory's own path: for code that can only take a path.
QString pathThroughFd(int dir, const QString& name);

#endif // INSTALLPATH_H
