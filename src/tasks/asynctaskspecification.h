#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QRunnable>

// Blocking work done in a pool thread. A work object holds copies of its
// inputs (or pointers to data nothing changes while it runs) and talks to its
// task only through queued signals. It is deleted in the pool thread, so it
// must have no slots, timers or incoming connections.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc() : QObject(nullptr) {}
    ~ASyncFunc() override = default;

    // Runs in a pool thread; true on success.
    virtual bool run() = 0;

signals:
    // Why run() is about to return false, in the words of its message; see
    // failWith().
    void failure(QString reason);
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    void progress(qreal progress);

protected:
    // Shows the reason and hands it to the task, which fails with it when
    // run() returns false. Returns false for "return failWith(...)".
    bool failWith(const QString& reason)
    {
        emit message(reason);
        emit failure(reason);
        return false;
    }
};

// Owns its work object and deletes it in the pool thread after run().
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func) : m_Func(func) {}
    ~ASyncRun() override;
    void run() override;

private:
    ASyncFunc* m_Func;
};

class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject* parent, qreal weight);

    void execute() override;
    // Blocks until the global pool has run dry; results of earlier runs that
    // are still queued are dropped.
    void reset() override;

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);

protected:
    virtual ASyncFunc* createFunc() = 0;
    virtual void connectFunc(ASyncFunc* func);
    // Ends the task; a failure with the work object's cause.
    virtual void runDone(bool res);

    // True while the queued signals of the work started by the current run may
    // still reach this task; subclasses connecting signals of their own check it.
    bool isCurrentRun(quint64 run) const { return run == m_Run; }
    // Why the current run's work object said it failed; empty when it did not.
    const QString& workFailure() const { return m_WorkFailure; }

private:
    // Bumped by every execute() and reset(), so that a result queued by an
    // earlier run cannot end a later one.
    quint64 m_Run = 0;
    QString m_WorkFailure;
};

#endif // ASYNCTASKSPECIFICATION_H
