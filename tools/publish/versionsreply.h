#ifndef QND_PUBLISH_VERSIONSREPLY_H
#define QND_PUBLISH_VERSIONSREPLY_H

// The version-query reply the updater fetches from "/qnd-client-2" when it is
// not told which version to install: one serialised Versions message.

#include <QString>
#include <QStringList>

// Whether the reply in dir can take these channels: known channel names,
// and an existing reply that parses (it is never overwritten blindly).
bool checkVersionsReply(const QString& dir, const QStringList& channels, QString* error);

// Sets the channels to version/text in the reply file at path, keeping every
// other channel and the licence numbers of an existing reply; written whole
// or not at all.
bool writeVersionsReply(const QString& path, const QStringList& channels, int version, const QString& text,
                        QString* error);

#endif // QND_PUBLISH_VERSIONSREPLY_H
