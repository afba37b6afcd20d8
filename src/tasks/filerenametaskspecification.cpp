#include "filerenametaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& sourcePath, const QString& path,
                                                         RollbackDataList* list, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, list, parent, weight), m_SourcePath(sourcePath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QString& p = path();
    const QDir dir = QFileInfo(p).dir();
    if (!dir.exists())
        QDir().mkdir(dir.path());

    // QFile::rename never replaces an existing file, so the rename is always
    // undoable.
    if (QFile::rename(m_SourcePath, p)) {
        addRollback(RollbackData(FILE_RENAME, m_SourcePath, p));
        return true;
    }
    return refuse(QStringLiteral("Could not rename '%1' to '%2'").arg(m_SourcePath, p));
}
