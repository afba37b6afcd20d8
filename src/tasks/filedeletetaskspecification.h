#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes a file, a symbolic link, an empty directory or (recursive) a
// directory tree. Makes no rollback record.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool failOnError, const QString& path, bool recursive, QObject* parent, qreal weight);

protected:
    bool doOp() override;

private:
    bool m_FailOnError;
    bool m_Recursive;
};

#endif // FILEDELETETASKSPECIFICATION_H
