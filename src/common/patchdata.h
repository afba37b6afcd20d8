#ifndef PATCHDATA_H
#define PATCHDATA_H

#include <QString>
#include <QtGlobal>

// A patch line of the product ini, kept only while its group is read. The
// line's fifth part (target) is stored before its third and fourth.
struct PatchData
{
    QString section;
    // The patch's name on the server and under the temp directory.
    QString name;
    // SHA-512 hex digest and size of the patch file.
    QString hash;
    quint64 size = 0;
    // Installed relative name the patch applies to.
    QString target;
    // Digest the installed file must have for this patch to be chosen.
    QString baseHash;
    quint64 baseSize = 0;
};

#endif // PATCHDATA_H
