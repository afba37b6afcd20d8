#ifndef QND_PUBLISH_PUBLISHINI_H
#define QND_PUBLISH_PUBLISHINI_H

// The product ini's lines about the tree as a whole, and the finished ini:
// its version key, its size limit and its packed copy.

#include "publishtree.h"

#include <QList>
#include <QString>
#include <QStringList>

// "<bits>::<name>" for each file with an execute bit, and a note for each file
// whose mode a client does not get: clients take the execute bits from here
// and the rest from their own umask.
QStringList executablesRecord(const PublishTree& tree, const QString& root, QStringList* notes);

// What the old trees hold and the new one does not: files first, then
// folders deepest first, each with the value that removes a folder only when
// it is empty, so that nothing a user put there is deleted.
QStringList removedPaths(const PublishTree& newTree, const QList<PublishTree>& olds);

// Puts the version key ahead of the written ini at iniPath, refuses an ini
// larger than the updater reads (newDir names the tree in *error), and packs
// it beside itself.
bool finishIni(const QString& iniPath, int version, const QString& newDir, QString* error);

#endif // QND_PUBLISH_PUBLISHINI_H
