#include "relativepath.h"

#include <QDir>
#include <QStringList>

bool isContainedRelativePath(const QString& path)
{
    if (path.isEmpty() || path.contains(QChar(0)) || QDir::isAbsolutePath(path))
        return false;
    int parts = 0;
    const QStringList components = path.split(QLatin1Char('/'));
    for (const QString& c : components) {
        if (c.isEmpty() || c == QLatin1String("."))
            continue;
        if (c == QLatin1String(".."))
            return false;
        ++parts;
    }
    return parts > 0;
}

bool isPlainRelativePath(const QString& path)
{
    if (path.isEmpty() || path.contains(QChar(0)) || QDir::isAbsolutePath(path))
        return false;
    const QStringList components = path.split(QLatin1Char('/'));
    for (const QString& c : components) {
        if (c.isEmpty() || c == QLatin1String(".") || c == QLatin1String(".."))
            return false;
    }
    return true;
}

QString pathInsideFolder(const QString& folder, const QString& relative)
{
    if (folder.isEmpty() || relative.isEmpty() || QDir::isAbsolutePath(relative))
        return QString();
    const QString base = QDir::cleanPath(folder);
    const QString path = QDir::cleanPath(folder + QLatin1Char('/') + relative);
    return path.startsWith(base + QLatin1Char('/')) ? path : QString();
}
