#ifndef DELETEFILEDATA_H
#define DELETEFILEDATA_H

#include <QString>

// One installed file or directory to remove after the files are in place.
struct DeleteFileData
{
    // Relative to the install directory.
    QString path;
    // Remove a whole directory tree.
    bool recursive = false;
};

#endif // DELETEFILEDATA_H
