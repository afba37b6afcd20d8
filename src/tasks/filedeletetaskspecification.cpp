#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "replacejournal.h"

#include <cstring>
#include <dirent.h>

namespace {

// Moves path into the journal's folder, noted first; false with the reason
// in *error.
bool moveAside(ReplaceJournal* journal, const QString& path, QString* error)
{
    if (journal->moveAside(path, error))
        return true;
    *error = QStringLiteral("Could not delete '%1': %2").arg(path, *error);
    return false;
}

// As rmdir(2) would judge it: hidden entries count, and a folder that
// cannot be read is not known to be empty.
bool isEmptyDir(const QString& path)
{
    DIR* dir = ::opendir(QFile::encodeName(path).constData());
    if (!dir)
        return false;
    bool empty = true;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

} // namespace

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError, const QString& path, bool recursive,
                                                         QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight), m_FailOnError(failOnError), m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const QString& p = path();
    const QFileInfo info(p);
    bool removed;
    // An entry that is there but cannot be moved aside fails the deletion
    // whether or not a missing one would: it would stay in the new tree.
    QString failure;
    // A link is removed itself, never followed: a recursive delete through a
    // link to a directory would empty a directory outside the installation.
    if (info.isDir() && !info.isSymLink()) {
        if (m_Recursive) {
            removed = m_Journal ? moveAside(m_Journal, p, &failure) : QDir(p).removeRecursively();
            qDebug() << "Recursively deleted directory" << p << removed;
            if (removed)
                emit message(QStringLiteral("Recursively deleted directory '%1'").arg(p));
        } else {
            // Only this directory: removing its empty parents as well could
            // climb out of the installation.
            removed = m_Journal ? isEmptyDir(p) && moveAside(m_Journal, p, &failure) : QDir().rmdir(p);
            qDebug() << "Deleted directory" << p << removed;
            if (removed)
                emit message(QStringLiteral("Deleted directory '%1'").arg(p));
        }
    } else {
        removed = m_Journal ? info.exists() || info.isSymLink() ? moveAside(m_Journal, p, &failure) : false
                            : QFile::remove(p);
        qDebug() << "Deleted file" << p << removed;
        if (removed)
            emit message(QStringLiteral("Deleted file '%1'").arg(p));
    }

    if (!failure.isEmpty())
        return refuse(failure);
    if (!removed && m_FailOnError)
        return refuse(QStringLiteral("Could not delete '%1'").arg(p));
    return true;
}
