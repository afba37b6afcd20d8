#ifndef QND_PUBLISH_PUBLISHEDVERSIONS_H
#define QND_PUBLISH_PUBLISHEDVERSIONS_H

// The versions already published in a file-server tree, read back from their
// product inis as the installed trees they describe, so that an old tree a
// publisher names can be matched against what clients really hold.

#include "publishtree.h"

#include <QHash>
#include <QList>
#include <QString>

// Installed name -> SHA-512 digest (lower case) of every file that the
// product ini at iniPath installs; empty when there is no such ini.
QHash<QString, QString> publishedDigests(const QString& iniPath);

// The versions of the target (1 client, 0 updater) in outDir whose tree was
// moved into place whole, newest first.
QList<int> publishedVersions(const QString& outDir, int targetKind);

// The first of the updater's files (name -> digest) that the client's files
// lack or hold with other bytes; empty when the client carries them all.
QString updaterFileNotCarried(const QHash<QString, QString>& updater, const QHash<QString, QString>& client);

// Why a version's client tree must carry its updater's files.
extern const char kCarryReason[];

// Which version published in outDir (the product ini of targetKind, 1 client
// or 0 updater) the old tree at root holds exactly: the same files with the
// same sizes and digests, the updater's own names aside. True when one does,
// or when outDir holds no version of that target yet (a first publish takes
// any old tree); otherwise false with the reason in *error.
bool matchesPublishedVersion(const QString& outDir, int targetKind, const QString& root, const PublishTree& tree,
                             QString* error);

#endif // QND_PUBLISH_PUBLISHEDVERSIONS_H
