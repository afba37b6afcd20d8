#ifndef RELATIVEPATH_H
#define RELATIVEPATH_H

#include <QString>

// True when path, taken relative to some directory, names something strictly
// inside it: not absolute, no ".." component, no NUL, and not the directory
// itself. Names from the product ini pass this before any file is touched, so
// a hostile ini cannot reach outside the temp or install directory.
bool isContainedRelativePath(const QString& path);

// Stricter, for names that become a directory on the file server and a URL
// path: relative, and every component a real name (none empty, "." or "..").
bool isPlainRelativePath(const QString& path);

// The path that relative names below folder, cleaned; empty when it is
// absolute or its ".." components lead to folder itself or out of it.
QString pathInsideFolder(const QString& folder, const QString& relative);

#endif // RELATIVEPATH_H
