#include "composedtaskspecification.h"

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject* parent, qreal weight)
    : TaskSpecification(parent, weight), m_MaxParallel(maxParallel < 1 ? 1 : maxParallel)
{
    // Queued on purpose: see the class comment.
    connect(this, &ComposedTaskSpecification::startNextTask, this, &ComposedTaskSpecification::onStartNextTask,
            Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* sub)
{
    m_All.append(sub);
    m_Pending.append(sub);
    connectSubTask(sub);
    updateProgressFromSubTasks();
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* sub)
{
    connect(sub, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(sub, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(sub, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(sub, &TaskSpecification::updateProgress, this, &ComposedTaskSpecification::onUpdateProgress);
    connect(sub, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, sub, &TaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::startSubTasks()
{
    // A fresh run starts with fresh flags; otherwise a task reset and executed
    // again would never start a subtask nor end.
    m_SiblingFailed = false;
    m_DoneCalled = false;
    setState(TASK_RUNNING);
    const int n = qMin(m_Pending.size(), m_MaxParallel);
    if (n == 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!m_Pending.isEmpty() && !m_SiblingFailed && !cancelRequested()) {
        TaskSpecification* sub = m_Pending.takeFirst();
        // In running before execute(): a subtask may end inside it.
        m_Running.append(sub);
        sub->execute();
        return;
    }
    finishIfIdle();
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* sub)
{
    m_Running.removeOne(sub);
    m_Done.append(sub);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* sub)
{
    if (sub->state() == TASK_FAILED)
        noteFailure(sub->failureReason());
    m_Running.removeOne(sub);
    m_Done.append(sub);
    if (!m_SiblingFailed) {
        m_SiblingFailed = true;
        // Aborted siblings may end right here and re-enter this slot, which can
        // end this task and its ancestors; after that nothing is left to do.
        emit otherTaskCancelled(sub);
        if (m_DoneCalled)
            return;
    }
    finishIfIdle();
}

void ComposedTaskSpecification::finishIfIdle()
{
    if (m_Running.isEmpty() && !m_DoneCalled) {
        m_DoneCalled = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal /*doneFrac*/)
{
    updateProgressFromSubTasks();
}

void ComposedTaskSpecification::updateProgressFromSubTasks()
{
    qreal sum = 0;
    for (const TaskSpecification* sub : qAsConst(m_All))
        sum += sub->progress();
    setProgress(sum);
}

int ComposedTaskSpecification::subtasksResult() const
{
    bool anyCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification* sub : m_All) {
        const int s = sub->state();
        if (s == TASK_FAILED)
            return TASK_FAILED;
        if (s == TASK_CANCELED)
            anyCanceled = true;
        if (s != TASK_FINISHED)
            allFinished = false;
    }
    if (anyCanceled)
        return TASK_CANCELED;
    if (allFinished)
        return TASK_FINISHED;
    if (cancelRequested())
        return TASK_CANCELED;
    if (!m_SiblingFailed)
        return TASK_RUNNING;
    return TASK_FAILED;
}

void ComposedTaskSpecification::subtasksDone()
{
    const int r = subtasksResult();
    if (r == TASK_CANCELED)
        setCanceled();
    else if (r == TASK_FINISHED)
        setFinished();
    else
        // Only a failed subtask fails this task, and its cause was noted
        // when it ended.
        setFailed(failureReason());
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state() != TASK_RUNNING)
        return;
    // A subtask's cancel can end it at once and, through the sibling abort, end
    // this task; the copy keeps the loop valid, the state test stops it there.
    const QList<TaskSpecification*> subs = m_All;
    for (TaskSpecification* sub : subs) {
        sub->cancel();
        if (state() != TASK_RUNNING)
            break;
    }
}

void ComposedTaskSpecification::abort(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal,
                                                    qulonglong& speed, bool& downloading)
{
    downloading = false;
    for (TaskSpecification* sub : qAsConst(m_All)) {
        qulonglong subDone = 0;
        qulonglong subTotal = 0;
        qulonglong subSpeed = 0;
        bool subDownloading = false;
        sub->getDownloadProgress(subDone, subTotal, subSpeed, subDownloading);
        if (subDownloading)
            downloading = true;
        speed += subSpeed;
        if (subTotal != 0) {
            downloadDone += subDone;
            downloadTotal += subTotal;
        }
    }
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification*> subs = m_All;
    for (TaskSpecification* sub : subs)
        sub->reset();
    m_Pending = m_All;
    m_Running.clear();
    m_Done.clear();
    m_SiblingFailed = false;
    m_DoneCalled = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasks()
{
    const QList<TaskSpecification*> subs = m_All;
    m_All.clear();
    m_Pending.clear();
    m_Running.clear();
    m_Done.clear();
    for (TaskSpecification* sub : subs) {
        QObject::disconnect(sub, nullptr, this, nullptr);
        // Nor may a released subtask still hear of a sibling's failure.
        QObject::disconnect(this, nullptr, sub, nullptr);
        sub->deleteLater();
    }
}
