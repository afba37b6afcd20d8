#ifndef FILEMODE_H
#define FILEMODE_H

#include <QByteArray>
#include <QString>

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

// Sets the mode of the regular file at path through the opened file, never
// through a link; *oldMode (when given) gets the mode it had. False with the
// reason in *error.
bool setFileMode(const QString& path, mode_t mode, mode_t* oldMode, QString* error);
// The same for the entry leaf of the open directory dir; false with errno.
bool setFileModeAt(int dir, const QByteArray& leaf, mode_t mode, mode_t* oldMode);

#endif // FILEMODE_H
