#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, RollbackDataList* list, QObject* parent,
                                                         qreal weight)
    : TaskSpecification(parent, weight), m_RollbackList(list), m_Path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    setState(TASK_RUNNING);
    if (doOp())
        setFinished();
    else
        setFailed();
}

void FastFileOpTaskSpecification::addRollback(const RollbackData& record)
{
    if (m_RollbackList)
        m_RollbackList->append(record);
}
