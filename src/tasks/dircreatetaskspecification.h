#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates a directory with its missing parents, recording each one it creates,
// outermost first.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* list, QObject* parent, qreal weight);

protected:
    bool doOp() override;

private:
    bool createDir(const QString& p);
};

#endif // DIRCREATETASKSPECIFICATION_H
