#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QList>

// A task that does its work through subtasks, running at most maxParallel of
// them at once. Each start goes through the queued startNextTask signal, so a
// subtask's execute() never runs inside another subtask's end and the stack does
// not grow with the number of subtasks.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallel, QObject* parent, qreal weight);
    ~ComposedTaskSpecification() override;

    void execute() override = 0;
    void reset() override;
    void getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal, qulonglong& speed,
                             bool& downloading) override;
    void cancel() override;
    void abort(TaskSpecification* other) override;

    int maxParallel() const { return m_MaxParallel; }
    const QList<TaskSpecification*>& allSubTasks() const { return m_All; }
    const QList<TaskSpecification*>& pendingSubTasks() const { return m_Pending; }
    const QList<TaskSpecification*>& runningSubTasks() const { return m_Running; }
    const QList<TaskSpecification*>& doneSubTasks() const { return m_Done; }

signals:
    void startNextTask();

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* sub);
    void onSubTaskCanceled(TaskSpecification* sub);

protected:
    virtual void subtasksDone();
    virtual void connectSubTask(TaskSpecification* sub);

    // sub must have been created with this task as its parent.
    void addSubTask(TaskSpecification* sub);
    void startSubTasks();
    int subtasksResult() const;
    // Releases every subtask with deleteLater: a subtask may still be on the
    // call stack, and message boxes run nested event loops.
    void clearSubTasks();

private:
    void updateProgressFromSubTasks();
    // Calls subtasksDone() once, when nothing runs and nothing more may start.
    void finishIfIdle();

    QList<TaskSpecification*> m_All;
    QList<TaskSpecification*> m_Pending;
    QList<TaskSpecification*> m_Running;
    QList<TaskSpecification*> m_Done;
    int m_MaxParallel;
    bool m_SiblingFailed = false;
    bool m_DoneCalled = false;
};

#endif // COMPOSEDTASKSPECIFICATION_H
