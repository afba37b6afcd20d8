#ifndef QND_PUBLISH_PUBLISHFILES_H
#define QND_PUBLISH_PUBLISHFILES_H

// File helpers the publisher and its verifier share.

#include <QByteArray>
#include <QString>
#include <QStringList>

// Creates the directory that path lies in.
bool ensureParent(const QString& path);

// The whole file; *ok tells whether it could be read.
QByteArray readWholeFile(const QString& path, bool* ok);

// Lower-case hex SHA-512 of a file; empty when it cannot be read.
QString sha512HexOfFile(const QString& path);

// gzip file writer (zlib); false on any failure.
bool gzipFile(const QString& source, const QString& destination);

// Unpacks a gzip file into destination; false when it is not one, cannot be
// read to its end, or unpacks to more than maxBytes.
bool gunzipFile(const QString& source, const QString& destination, qint64 maxBytes);

// Whether name ("<prefix><pid>..." with the pid ending at a '-' or the name's
// end) was left by a run that is no longer running (or names no run): a
// killed run's leftovers are removed by the next one, a running one's kept.
bool leftByEndedRun(const QString& name, const QString& prefix);

#endif // QND_PUBLISH_PUBLISHFILES_H
