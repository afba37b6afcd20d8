#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

class ReplaceJournal;

// Deletes a file, a symbolic link, an empty directory or (recursive) a
// directory tree. Makes no rollback record. With a journal the entry is only
// moved into its private folder, noted first, so that the session can still
// be undone; it goes for good when the session ends.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool failOnError, const QString& path, bool recursive, QObject* parent, qreal weight);

    void setJournal(ReplaceJournal* journal) { m_Journal = journal; }

protected:
    bool doOp() override;

private:
    bool m_FailOnError;
    bool m_Recursive;
    ReplaceJournal* m_Journal = nullptr; // not owned
};

#endif // FILEDELETETASKSPECIFICATION_H
