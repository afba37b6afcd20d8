#ifndef DOWNLOADFILEDATA_H
#define DOWNLOADFILEDATA_H

#include <QString>
#include <QtGlobal>

// One file to fetch from the file server into the session's temp directory.
struct DownloadFileData
{
    // Product-ini group: the file's directory on the server, under the version.
    QString section;
    // Relative name on the server and under the temp directory.
    QString name;
    // SHA-512 hex digest of the fetched file; empty means "check its .sig".
    QString hash;
    quint64 size = 0;
};

#endif // DOWNLOADFILEDATA_H
