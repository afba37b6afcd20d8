#ifndef DURABLEFILE_H
#define DURABLEFILE_H

#include "fdio.h"

#include <QString>

// File steps whose result must survive a crash or a power cut: data flushed
// to the disk before a rename makes it visible, and the directory entry
// flushed after.

// Flushes a written file's data to the disk.
bool syncFile(const QString& path);
// Flushes a directory's entries (a rename, link or removal in it) to the disk.
bool syncDir(const QString& path);

// Copies source to a new file destination (never overwriting) and flushes it;
// a failure removes the partial destination and gives the reason in *reason.
bool copyFileDurably(const QString& source, const QString& destination, QString* reason);

// The same for the first size bytes of the file open at source, read from
// its start and no further; a source that ends before size fails.
bool copyOpenFileDurably(int source, qint64 size, const QString& destination, QString* reason);

// Why a write at path failed, when the cause lies with the disk (full, read
// only, failing): errnum when it says so, else a look at the file system.
// Empty for any other cause.
QString diskFailureReason(const QString& path, int errnum);
// The same, falling back to errnum's own text.
QString writeFailureReason(const QString& path, int errnum);

#endif // DURABLEFILE_H
