#ifndef REPLACEFILEDATA_H
#define REPLACEFILEDATA_H

#include <QString>
#include <QtGlobal>

// One installed file to bring up to date: copy the download `name` over the
// installed `name` (no target), unpack the download into the installed
// `target` (target, no patch), or apply `patchFile` to the installed `target`.
struct ReplaceFileData
{
    QString section;
    QString name;
    // Digest the installed file must have once unpacked or patched; empty for
    // a whole-file line.
    QString installedHash;
    quint64 installedSize = 0;
    QString target;
    QString patchFile;
    // Digest of a whole-file line's download, which is the installed file.
    QString fileHash;
    // The tree's execute bits for the installed file (mode & 0111), or -1
    // when the ini lists none: the fixed executable names then decide.
    int executeBits = -1;

    bool hasTargetName() const { return !target.isEmpty(); }
    bool hasPatch() const { return !patchFile.isEmpty(); }
    QString targetName() const { return target.isEmpty() ? name : target; }
    // The installed relative name with prefix put before its file-name part.
    QString targetPath(const QString& prefix) const;
};

#endif // REPLACEFILEDATA_H
