#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// Held as a plain int: other code compares against the numbers.
enum TaskState { TASK_IDLE = 0, TASK_RUNNING = 1, TASK_FINISHED = 2, TASK_FAILED = 3, TASK_CANCELED = 4 };

// Base of every piece of update work. Lives in the GUI thread, is started once
// by execute() and ends in exactly one of TASK_FINISHED, TASK_FAILED or
// TASK_CANCELED, announced by finished() or canceled().
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    TaskSpecification(QObject* parent, qreal weight);
    ~TaskSpecification() override = default;

    virtual void execute() = 0;
    virtual void reset();
    // The caller zeroes the counters first: composed tasks add into them.
    virtual void getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal, qulonglong& speed,
                                     bool& downloading);
    virtual void cancel();
    virtual void abort(TaskSpecification* other);

    int state() const { return m_State; }
    qreal weight() const { return m_Weight; }
    qreal progress() const { return m_Progress; }
    bool cancelRequested() const { return m_CancelRequest; }
    // Why this task failed, in the words its message gave: the first failure
    // noted in it or in a subtask. Empty when nothing named one.
    const QString& failureReason() const { return m_FailureReason; }

    void setWeight(qreal weight) { m_Weight = weight; }

signals:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* task);

protected slots:
    // Connected by the composed task that owns this one.
    void onOtherTaskCancelled(TaskSpecification* other);

protected:
    void setState(int state) { m_State = state; }
    // fraction is not clamped; the stored progress is fraction * weight.
    void setProgress(qreal fraction);
    void setFinished();
    // The one way a task fails. cause is why, in the words the user was
    // shown; a cause noted before it (a subtask's, a work object's) stands
    // instead.
    void setFailed(const QString& cause);
    void setCanceled();
    // Shows the cause, then fails with it.
    void failWith(const QString& cause);

private:
    friend class ComposedTaskSpecification;

    // Keeps the first cause only: what failed first is what made the task
    // fail, later failures are its consequences (aborted siblings, say).
    void noteFailure(const QString& cause);

    bool m_CancelRequest = false;
    qreal m_Weight;
    qreal m_Progress = 0;
    int m_State = TASK_IDLE;
    QString m_FailureReason;
};

#endif // TASKSPECIFICATION_H
