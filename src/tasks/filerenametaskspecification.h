#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames sourcePath to path, creating path's directory (one level) if needed.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString& sourcePath, const QString& path, RollbackDataList* list, QObject* parent,
                                qreal weight);

protected:
    bool doOp() override;

private:
    QString m_SourcePath;
};

#endif // FILERENAMETASKSPECIFICATION_H
