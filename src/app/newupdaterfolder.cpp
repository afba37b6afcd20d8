#include "newupdaterfolder.h"

#include "fdio.h"
#include "globals.h"
#include "installlock.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Whatever stands at path goes, never followed: a link there is removed as
// the link it is.
bool removeEntry(const QString& path)
{
    struct stat info;
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &info) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return ::unlink(native.constData()) == 0;
    return QDir(path).removeRecursively();
}

// Copies the folders and regular files below from into to, with their
// modes; links and other entries are not part of a new updater.
bool copyTree(const QString& from, const QString& to, QString* error)
{
    const QDir source(from);
    QDirIterator it(from, QDir::Dirs | QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = source.relativeFilePath(path);
        // The source's mark ties it to its installation; the copy needs none.
        if (relative == installLockFileName)
            continue;
        const QString target = QDir(to).filePath(relative);
        const QFileInfo info = it.fileInfo();
        if (info.isDir()) {
            if (::mkdir(QFile::encodeName(target).constData(), 0700) != 0) {
                *error = QStringLiteral("Could not create %1: %2").arg(target, errnoText());
                return false;
            }
        } else if (info.isFile()) {
            QFile in(path);
            if (!in.copy(target)) {
                *error = QStringLiteral("Could not copy %1 to %2: %3").arg(path, target, in.errorString());
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool NewUpdaterFolder::canRunPrograms(const QString& dir)
{
    struct statvfs info;
    // A mount that cannot be asked is tried as it is; its start then says why.
    return ::statvfs(QFile::encodeName(dir).constData(), &info) != 0 || (info.f_flag & ST_NOEXEC) == 0;
}

QString NewUpdaterFolder::copyIn(const QString& installDir)
{
    return QDir(installDir).filePath(newUpdaterFolderName);
}

QString NewUpdaterFolder::prepare(const QString& tempDir, const QString& installDir, QString* error)
{
    if (canRunPrograms(tempDir))
        return tempDir;
    const QString copy = copyIn(installDir);
    qDebug() << "The temp directory" << tempDir << "cannot run programs; the new updater runs from" << copy;
    if (!removeEntry(copy)) {
        *error = QStringLiteral("Could not remove %1: %2").arg(copy, errnoText());
        return QString();
    }
    if (::mkdir(QFile::encodeName(copy).constData(), 0700) != 0) {
        *error = QStringLiteral("Could not create %1: %2").arg(copy, errnoText());
        return QString();
    }
    if (!copyTree(tempDir, copy, error)) {
        removeEntry(copy);
        return QString();
    }
    return copy;
}

void NewUpdaterFolder::removeCopy(const QString& installDir)
{
    const QString copy = copyIn(installDir);
    if (!removeEntry(copy))
        qWarning() << "Could not remove" << copy << errnoText();
}
