#ifndef FDIO_H
#define FDIO_H

#include "uniquefd.h"

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <sys/types.h>

// The text of an errno value, for messages that tell the user why.
QString errnoText(int errnum = errno);

// Calls call until it is not interrupted by a signal: every system call the
// updater makes goes on after EINTR instead of failing a step for it.
template <typename Call> auto retryOnEintr(Call call) -> decltype(call())
{
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Opens path; -1 with errno on failure.
int openRetrying(const char* path, int flags, mode_t mode = 0);

// Reads up to size bytes from where fd stands (or from offset on, for the
// positioned form), going on after short reads until
// size or the end of the file: the count read, or -1 with errno.
qint64 readFully(int fd, char* data, qint64 size);
qint64 readFullyAt(int fd, char* data, qint64 size, qint64 offset);

// Reads at most limit bytes from offset on into *out; false with errno on a
// read error, and with EFBIG when the file holds more than limit bytes.
bool readAllAt(int fd, qint64 limit, QByteArray* out, qint64 offset = 0);

// Writes all of data to fd (at offset, or where it stands for the plain
// form), going on after short writes; errno tells why not.
bool writeFully(int fd, const char* data, qint64 size);
bool writeFullyAt(int fd, const char* data, qint64 size, qint64 offset);

// Whether path (not followed) still names the file open at fd.
bool pathNamesOpenFile(const char* path, int fd);

// The one place the updater writes a mode: fd gets mode. Which mode a file
// gets is filemode's (src/tasks) to say; the lock file, below it, only makes
// itself private. False with errno.
bool setOpenFileMode(int fd, mode_t mode);

#endif // FDIO_H
