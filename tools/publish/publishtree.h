#ifndef QND_PUBLISH_PUBLISHTREE_H
#define QND_PUBLISH_PUBLISHTREE_H

// What a tree of installed files holds, read the way a client will end up
// with it: files by their UTF-8 relative names, the folders they sit in, and
// each file's execute bits.

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

struct PublishTree
{
    QStringList files;         // relative paths, sorted
    QSet<QString> dirs;        // every folder below the root, relative
    QHash<QString, int> modes; // a file's permission bits (of its target for a link)
    QHash<QString, qint64> sizes;
};

// A tree to publish: whatever a client cannot be given exactly is refused,
// one line in *refused for each path, naming it (unreadable files and
// folders, names that are not UTF-8, links that leave the tree, broken links,
// links to folders, empty folders and folders that only hold refused
// entries, anything but files, folders and links). A link to a file inside
// the tree is read as that file's content, with a note.
bool scanNewTree(const QString& root, PublishTree* tree, QStringList* notes, QStringList* refused);

// A tree a client may hold: only an unreadable folder is refused (its files
// would be missed); entries no client can have been given are skipped.
bool scanOldTree(const QString& root, PublishTree* tree, QStringList* notes, QString* error);

// The path for messages: the bytes as they are, invalid UTF-8 as \xNN.
QString printablePath(const QByteArray& path);

#endif // QND_PUBLISH_PUBLISHTREE_H
