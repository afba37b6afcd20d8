#ifndef FILEMODE_H
#define FILEMODE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "fdio.h"

#include <functional>
#include <sys/types.h>

// Execute bits that follow the published tree. bits is the tree file's
// mode & 0111. A new file (oldMode < 0) gets the usual read and write bits
// and the tree's execute bits, all masked by the umask; a replaced file keeps
// oldMode except that its execute bits become the tree's. Either way an
// execute bit is only set where its read bit is: nobody is let run what they
// may not read.
mode_t treeFileMode(int oldMode, int bits, mode_t umask);

// The process's umask, read without changing it (umask(2) would let another
// thread create files with the wrong mode in between); 077 when it cannot be
// read, which errs towards files only their owner can use.
mode_t processUmask();

// The mode a file is to get, from the mode it has now.
using WantedMode = std::function<mode_t(mode_t current)>;
// Called with a file's mode just before it changes, to note the change
// where a crash can undo it; false (with the reason in *error) leaves the
// file as it is.
using ModeNote = std::function<bool(mode_t current, QString* error)>;

// The one way the updater sets a file's mode: the regular file leaf of the
// open directory dir is opened without following a link and gets
// wanted(its mode now) through that descriptor; note (when given) is called
// first whenever the mode changes. path names the file in messages. False
// with "Could not set the mode of '<path>': <why>" in *error (when given)
// and errno set.
bool applyFileMode(int dir, const QByteArray& leaf, const QString& path, const WantedMode& wanted, const ModeNote& note,
                   QString* error);
// The same for path below root: every folder on the way is opened through
// the one before it, and a link that leads out of root is refused.
bool applyFileModeBelow(const QString& root, const QString& path, const WantedMode& wanted, const ModeNote& note,
                        QString* error);

// The same for the regular file at path, followed where it is a link: for a
// file of the updater's own temp directory.
bool applyFileModeAt(const QString& path, const WantedMode& wanted, QString* error);

// Without the tree's bits, a replaced file whose file name, or complete
// suffix, is listed here (case-sensitive) is made a program of
// kExecutableMode: owner may write, everyone may read and run, so other users
// cannot swap a program for their own.
extern const QStringList executableFileNames;
extern const QStringList executableSuffixes;
constexpr mode_t kExecutableMode = 0755;
bool isExecutableName(const QString& path);

// Exactly mode, whatever the file's mode now.
WantedMode exactMode(mode_t mode);
// The tree's execute bits over base (the installed file's mode, -1 for a
// file new to the installation), masked by the process's umask.
WantedMode treeBits(int base, int bits);

#endif // FILEMODE_H
