#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

class ReplaceJournal;

// Creates a directory with its missing parents, recording each one it creates,
// outermost first.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* list, QObject* parent, qreal weight);

    // Each directory is noted there before it is created (not owned).
    void setJournal(ReplaceJournal* journal) { m_Journal = journal; }

protected:
    bool doOp() override;

private:
    bool createDir(const QString& p);
    bool makeInside(const QString& p);

    ReplaceJournal* m_Journal = nullptr;
};

#endif // DIRCREATETASKSPECIFICATION_H
