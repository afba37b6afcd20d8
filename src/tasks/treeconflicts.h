#ifndef TREECONFLICTS_H
#define TREECONFLICTS_H

#include "deletefiledata.h"

#include <QList>
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

#endif // TREECONFLICTS_H
