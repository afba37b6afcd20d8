#include "asynctaskspecification.h"

#include <QThread>
#include <QThreadPool>

ASyncRun::~ASyncRun()
{
    delete m_Func;
}

void ASyncRun::run()
{
    // The work object was released from the GUI thread in execute(); adopting it
    // here makes its deletion in this thread legitimate.
    m_Func->moveToThread(QThread::currentThread());
    const bool res = m_Func->run();
    emit m_Func->runResult(res);
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, qreal weight) : TaskSpecification(parent, weight) {}

void ASyncTaskSpecification::execute()
{
    ++m_Run;
    m_WorkFailure.clear();
    ASyncFunc* func = createFunc();
    connectFunc(func);
    func->moveToThread(nullptr);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    setState(TASK_RUNNING);
}

void ASyncTaskSpecification::connectFunc(ASyncFunc* func)
{
    const quint64 run = m_Run;
    connect(
        func, &ASyncFunc::runResult, this,
        [this, run](bool res) {
            if (isCurrentRun(run))
                onRunResult(res);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::message, this,
        [this, run](const QString& text) {
            if (isCurrentRun(run))
                emit message(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::error, this,
        [this, run](const QString& text) {
            if (isCurrentRun(run))
                emit error(text);
        },
        Qt::QueuedConnection);
    // Queued like the result, and sent before it: known when the task ends.
    // Kept aside until then: a work object whose failure does not fail it
    // (an optional command) leaves its task without a cause.
    connect(
        func, &ASyncFunc::failure, this,
        [this, run](const QString& text) {
            if (isCurrentRun(run) && m_WorkFailure.isEmpty())
                m_WorkFailure = text;
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::progress, this,
        [this, run](qreal fraction) {
            if (isCurrentRun(run))
                onProgress(fraction);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (state() != TASK_RUNNING)
        return;
    if (res)
        setFinished();
    else
        setFailed(m_WorkFailure);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone(-1);
    ++m_Run;
    m_WorkFailure.clear();
    TaskSpecification::reset();
}
