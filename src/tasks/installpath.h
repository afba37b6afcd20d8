#ifndef INSTALLPATH_H
#define INSTALLPATH_H

#include <QString>

// True when everything that already exists of path's directory chain really
// lies inside installDir, links resolved: a file written or a directory
// created at path then stays inside it. The last component itself is not
// followed: it is replaced by a rename, never written through.
bool staysInsideInstallDir(const QString& installDir, const QString& path);

// The message for a path that fails the test above.
QString outsideInstallDirText(const QString& path);

#endif // INSTALLPATH_H
