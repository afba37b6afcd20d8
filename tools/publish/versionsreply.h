#ifndef QND_PUBLISH_VERSIONSREPLY_H
#define QND_PUBLISH_VERSIONSREPLY_H

// The version-query reply the updater fetches from "/qnd-client-2" when it is
// not told which version to install: one serialised Versions message.

#include <QString>
#include <QStringList>

// Why a channel name is not one the updater asks for, or empty.
QString channelProblem(const QString& channel);

// Whether the reply in dir can take these channels at version: known channel
// names, an existing reply that parses (it is never overwritten blindly), and
// no channel moved to an older version than it names unless allowOlder.
bool checkVersionsReply(const QString& dir, const QStringList& channels, int version, bool allowOlder, QString* error);

// Sets the channels to version/text in the reply file at path, keeping every
// other channel and the licence numbers of an existing reply; written whole
// or not at all, readable by every user (a web server's too).
bool writeVersionsReply(const QString& path, const QStringList& channels, int version, const QString& text,
                        QString* error);

// Whether the client and the updater tree of the version in versionDir are
// both published, as a reply that names the version needs; the tree of
// targetKind (1 client, 0 updater, -1 neither) is taken as about to be.
bool bothTreesPublished(const QString& versionDir, int targetKind, QString* error);

#endif // QND_PUBLISH_VERSIONSREPLY_H
