#ifndef REPLACEFILEDATA_H
#define REPLACEFILEDATA_H

#include <QString>
#include <QtGlobal>

// One installed file to bring up to date: copy the download `name` over the
// installed `name` (no target), unpack the download into the installed
// `target` (target, no patch), apply `patchFile` to the installed `target`,
// or give a link whose bytes are current a file of its own (keepsBytes).
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
    // The installed name is a link to another file of the installation
    // whose bytes are already the new tree's: they are copied into a file
    // of its own, nothing is fetched.
    bool keepsBytes = false;
    // The size the product ini lists for the installed bytes the entry reads
    // (a patch's base, or the bytes it keeps): no more of them are read.
    quint64 baseSize = 0;

    bool hasTargetName() const { return !target.isEmpty(); }
    bool hasPatch() const { return !patchFile.isEmpty(); }
    QString targetName() const { return target.isEmpty() ? name : target; }
    // Whether the new file is made from the installed one's bytes, which are
    // then copied aside first (savedBasePath).
    bool readsInstalledBytes() const { return hasPatch() || keepsBytes; }
    // The digest the installed file has once the entry is in place.
    QString expectedHash() const { return hasTargetName() ? installedHash : fileHash; }
    // Where the installed bytes an entry reads are copied: beside the
    // downloads in tempDir.
    QString savedBasePath(const QString& tempDir) const;
    // The installed relative name with prefix put before its file-name part.
    QString targetPath(const QString& prefix) const;
};

#endif // REPLACEFILEDATA_H
