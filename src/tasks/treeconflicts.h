#ifndef TREECONFLICTS_H
#define TREECONFLICTS_H

#include "deletefiledata.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// An entry of the install directory that stands where the new tree needs the
// other type: a file (or link) where a folder must hold new files, or a real
// folder where a new file goes.
struct TreeConflict
{
    QString path;  // relative to the install directory
    bool isFolder; // a folder stands where a file goes
    // Something inside a folder that the ini does not delete: a user's
    // file, which blocks the update. Empty when the entry may be moved aside
    // (always for a file).
    QString kept;
};

// The conflicts for installing the relative names targets, each entry once,
// shallowest first. deletions are the ini's deletion lines: a folder may go
// only when they remove all it holds.
QList<TreeConflict> findTreeConflicts(const QString& installDir, const QStringList& targets,
                                      const QList<DeleteFileData>& deletions);

// The message that stops a session on a conflict with a kept entry.
QString keptEntryText(const QString& installDir, const TreeConflict& conflict);

// How the names an ini lists meet in the installation, found the way reads
// and writes reach them, before any of them.
struct InstalledNamesCheck
{
    // Why nothing may be read or changed: a folder link on the way to a
    // name that leads out of the installation or nowhere, or (when entries
    // count) two names that are one entry there. Empty when there is none.
    QString refusal;
    // Installed names whose file another name shares: a link, or (when
    // entries count) a hard link of another installed name. Such a name
    // needs a file of its own even when its bytes are current, or a change
    // of mode made for one name would reach the other.
    QSet<QString> sharedFiles;
};

// installed and deleted are cleaned names relative to installDir, in the
// ini's order. Entries count in a client run, whose writes go to the
// installation; an updater run writes each name to a file of its own.
InstalledNamesCheck checkInstalledNames(const QString& installDir, const QStringList& installed,
                                        const QStringList& deleted, bool entriesCount);

#endif // TREECONFLICTS_H
