#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, RollbackDataList* list, QObject* parent,
                                                         qreal weight)
    : TaskSpecification(parent, weight), m_RollbackList(list), m_Path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    setState(TASK_RUNNING);
    m_Cause.clear();
    if (doOp())
        setFinished();
    else
        setFailed(m_Cause);
}

bool FastFileOpTaskSpecification::refuse(const QString& text)
{
    emit message(text);
    if (m_Cause.isEmpty())
        m_Cause = text;
    return false;
}

void FastFileOpTaskSpecification::addRollback(const RollbackData& record)
{
    if (m_RollbackList)
        m_RollbackList->append(record);
}
