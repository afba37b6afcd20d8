#include "replacefiledata.h"

#include <QDir>
#include <QFileInfo>

QString ReplaceFileData::targetPath(const QString& prefix) const
{
    const QString n = targetName();
    if (prefix.isEmpty())
        return n;
    const QFileInfo info(n);
    const QString dir = info.path();
    // A bare name keeps no "./" in front.
    if (dir == QLatin1String("."))
        return prefix + info.fileName();
    return dir + QLatin1Char('/') + prefix + info.fileName();
}

QString ReplaceFileData::savedBasePath(const QString& tempDir) const
{
    return QDir(tempDir).filePath(targetPath(QString()) + QLatin1String("_old"));
}
