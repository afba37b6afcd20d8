#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, qreal weight) : QObject(parent), m_Weight(weight) {}

void TaskSpecification::reset()
{
    m_CancelRequest = false;
    m_State = TASK_IDLE;
    m_FailureReason.clear();
    m_Progress = 0 * m_Weight;
    emit updateProgress(m_Progress);
}

void TaskSpecification::getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal, qulonglong& speed,
                                            bool& downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::cancel()
{
    m_CancelRequest = true;
}

void TaskSpecification::abort(TaskSpecification* /*other*/) {}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && m_State == TASK_RUNNING)
        abort(other);
}

void TaskSpecification::setProgress(qreal fraction)
{
    m_Progress = fraction * m_Weight;
    emit updateProgress(m_Progress);
}

void TaskSpecification::setFinished()
{
    m_State = TASK_FINISHED;
    m_Progress = m_Weight;
    emit updateProgress(m_Progress);
    emit finished(this);
}

void TaskSpecification::setFailed(const QString& cause)
{
    noteFailure(cause);
    m_State = TASK_FAILED;
    emit canceled(this);
}

void TaskSpecification::noteFailure(const QString& cause)
{
    if (m_FailureReason.isEmpty())
        m_FailureReason = cause;
}

void TaskSpecification::failWith(const QString& cause)
{
    emit message(cause);
    setFailed(cause);
}

void TaskSpecification::setCanceled()
{
    m_State = TASK_CANCELED;
    emit canceled(this);
}
