#ifndef DOWNLOADREPLACELISTDATA_H
#define DOWNLOADREPLACELISTDATA_H

#include "deletefiledata.h"
#include "downloadfiledata.h"
#include "prepostinstalldata.h"
#include "replacefiledata.h"

#include <QList>
#include <QString>
#include <QStringList>

// An installed file whose bytes are current but whose execute bits are not
// the tree's.
struct ModeChangeData
{
    QString path; // relative to the install directory
    int executeBits = 0;
};

// The lists the product-ini reader writes and the later steps of a session
// read. Plain values; copies are cheap (implicitly shared lists).
struct DownloadReplaceListData
{
    QList<DownloadFileData> downloads;
    QList<ReplaceFileData> replacements;
    QList<DeleteFileData> deletions;
    QList<PrePostInstallData> preInstall;
    QList<PrePostInstallData> postInstall;
    // Whether the ini lists the tree's execute bits; modeChanges is filled
    // only then.
    bool executeBitsListed = false;
    QList<ModeChangeData> modeChanges;
    // Installed name of every file of the new tree, current or not: nothing
    // on these paths, or on the folders that hold them, is deleted.
    QStringList treeFiles;
};

#endif // DOWNLOADREPLACELISTDATA_H
