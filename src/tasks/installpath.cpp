#include "installpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

bool staysInsideInstallDir(const QString& installDir, const QString& path)
{
    const QString base = QFileInfo(installDir).canonicalFilePath();
    if (base.isEmpty())
        return false;
    // The deepest ancestor that exists decides: whatever is missing below it
    // is created by us as real directories.
    QString dir = QFileInfo(path).absolutePath();
    struct stat st;
    while (::lstat(QFile::encodeName(dir).constData(), &st) != 0) {
        const QString up = QFileInfo(dir).absolutePath();
        if (up == dir)
            return false;
        dir = up;
    }
    // A dangling link has no canonical path and is refused with the rest.
    const QString real = QFileInfo(dir).canonicalFilePath();
    return !real.isEmpty() && (real == base || real.startsWith(base + QLatin1Char('/')));
}

QString outsideInstallDirText(const QString& path)
{
    return QStringLiteral("Refusing to write '%1': its real location is outside the install directory").arg(path);
}
