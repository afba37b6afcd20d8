#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    bool run() override;
};

// Copies a file; an existing destination is never overwritten (the copy fails).
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList* list, const QString& source, const QString& destination,
                              QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
};

#endif // FILECOPYTASKSPECIFICATION_H
