#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "rollback.h"
#include "taskspecification.h"

// A file operation quick enough to do in the GUI thread: the task has ended
// when execute() returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // list may be null; it is not owned.
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* list, QObject* parent, qreal weight);

    void execute() override;

    const QString& path() const { return m_Path; }

protected:
    // False when the operation failed, after refuse() has said why.
    virtual bool doOp() = 0;
    void addRollback(const RollbackData& record);
    // Shows one line of a failure; the first of a run is its cause. Returns
    // false for "return refuse(...)".
    bool refuse(const QString& text);

private:
    RollbackDataList* m_RollbackList;
    QString m_Path;
    QString m_Cause;
};

#endif // FASTFILEOPTASKSPECIFICATION_H
