#ifndef QND_TESTS_FAKETASKS_H
#define QND_TESTS_FAKETASKS_H

#include "composedtaskspecification.h"

#include <functional>

// A leaf task driven by the test: it ends inside execute(), or stays running
// until told; optionally it fails when aborted (as a download does) or ends
// cancelled on cancel().
class FakeTask : public TaskSpecification
{
public:
    enum Mode { Stay, FinishInExecute, FailInExecute, CancelInExecute };

    explicit FakeTask(QObject* parent, qreal weight = 1.0, Mode mode = Stay)
        : TaskSpecification(parent, weight), mode(mode)
    {
    }

    void execute() override
    {
        ++executeCount;
        setState(TASK_RUNNING);
        if (onExecute)
            onExecute(this);
        switch (mode) {
        case FinishInExecute: setFinished(); break;
        case FailInExecute: setFailed(QString()); break;
        case CancelInExecute: setCanceled(); break;
        case Stay: break;
        }
    }
    void abort(TaskSpecification* other) override
    {
        abortArgs.append(other);
        if (failOnAbort && state() == TASK_RUNNING)
            setFailed(abortReason);
    }
    void cancel() override
    {
        ++cancelCount;
        TaskSpecification::cancel();
        if (endOnCancel && state() == TASK_RUNNING)
            setCanceled();
    }
    void getDownloadProgress(qulonglong& done, qulonglong& total, qulonglong& speed, bool& downloading) override
    {
        done = dlDone;
        total = dlTotal;
        speed = dlSpeed;
        downloading = dlActive;
    }

    void finish() { setFinished(); }
    void fail() { setFailed(QString()); }
    void failBecause(const QString& reason) { failWith(reason); }
    void cancelNow() { setCanceled(); }
    void progressTo(qreal fraction) { setProgress(fraction); }

    Mode mode;
    bool failOnAbort = false;
    QString abortReason; // the reason an aborted task fails with
    bool endOnCancel = false;
    int executeCount = 0;
    int cancelCount = 0;
    QList<TaskSpecification*> abortArgs;
    std::function<void(FakeTask*)> onExecute;
    qulonglong dlDone = 0, dlTotal = 0, dlSpeed = 0;
    bool dlActive = false;
};

// The smallest concrete composed task: its subtasks are added by the test.
class TestComposed : public ComposedTaskSpecification
{
public:
    TestComposed(int maxParallel, QObject* parent = nullptr, qreal weight = 1.0)
        : ComposedTaskSpecification(maxParallel, parent, weight)
    {
    }

    void execute() override { startSubTasks(); }
    // As the concrete tasks do: each execute() builds afresh.
    void reset() override
    {
        clearSubTasks();
        TaskSpecification::reset();
    }
    void defaultReset() { ComposedTaskSpecification::reset(); }

    template <class T> T* add(T* sub)
    {
        addSubTask(sub);
        return sub;
    }
    FakeTask* addFake(FakeTask::Mode mode = FakeTask::Stay, qreal weight = 1.0)
    {
        return add(new FakeTask(this, weight, mode));
    }
    int result() const { return subtasksResult(); }

    int doneCalls = 0;

protected:
    void subtasksDone() override
    {
        ++doneCalls;
        ComposedTaskSpecification::subtasksDone();
    }
};

#endif
