#include "dircreatetaskspecification.h"

#include "durablefile.h"
#include "installpath.h"
#include "replacejournal.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, RollbackDataList* list, QObject* parent,
                                                       qreal weight)
    : FastFileOpTaskSpecification(path, list, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDir(path());
}

bool DirCreateTaskSpecification::makeInside(const QString& p)
{
    // Made in the parent as opened from the install directory, never through
    // a link; the new entry is on the disk before anything is put in it.
    InstallLocation at;
    return openInstallLocation(m_Journal->installDir(), p, &at)
        && ::mkdirat(at.dir.get(), at.leaf.constData(), 0777) == 0 && ::fsync(at.dir.get()) == 0;
}

bool DirCreateTaskSpecification::createDir(const QString& p)
{
    const QFileInfo info(p);
    if (info.exists()) {
        if (info.isDir())
            return true;
        return refuse(QStringLiteral("Could not create dir '%1' because it already exists and is not a dir").arg(p));
    }

    QDir parent = info.dir();
    // Without a directory part there is no parent to create it in; this also
    // ends the recursion.
    if (parent.path() == QLatin1String(".") || info.isRoot() || QDir(p).isRoot())
        return refuse(QStringLiteral("Could not create dir %1").arg(path()));
    if (!parent.exists() && !createDir(parent.path()))
        return false;

    QString error;
    if (m_Journal && !m_Journal->note(RollbackData(DIR_CREATE, p), &error)) {
        refuse(error);
        return refuse(QStringLiteral("unable to create dir %1").arg(p));
    }
    if (m_Journal ? makeInside(p) : parent.mkdir(QDir(p).dirName()) && syncDir(parent.path())) {
        addRollback(m_Journal ? RollbackData(DIR_CREATE, p).inside(m_Journal->installDir())
                              : RollbackData(DIR_CREATE, p));
        return true;
    }
    return refuse(QStringLiteral("unable to create dir %1").arg(p));
}
