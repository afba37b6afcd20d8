#include "asynctaskspecification.h"
#include "faketasks.h"
#include "support/waitfor.h"

#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

// What the work saw, shared with the test; the work object itself holds only
// a pointer to it, as a work object holds only its inputs.
struct WorkLog
{
    QMutex mutex;
    QStringList events;
    Qt::HANDLE runThread = nullptr;
    Qt::HANDLE deleteThread = nullptr;
    QSemaphore* gate = nullptr;

    void add(const QString& e)
    {
        QMutexLocker lock(&mutex);
        events.append(e);
    }
};

class ScriptedFunc : public ASyncFunc
{
public:
    ScriptedFunc(std::shared_ptr<WorkLog> log, bool result, QString text, qreal fraction)
        : m_Log(std::move(log)), m_Result(result), m_Text(std::move(text)), m_Fraction(fraction)
    {
        // Emitting runResult happens after run() returns; record it from the
        // signal itself, on the emitting thread.
        connect(
            this, &ASyncFunc::runResult, this, [log = m_Log](bool) { log->add("runResult"); }, Qt::DirectConnection);
    }
    ~ScriptedFunc() override
    {
        m_Log->deleteThread = QThread::currentThreadId();
        m_Log->add("deleted");
    }
    bool run() override
    {
        m_Log->runThread = QThread::currentThreadId();
        if (m_Log->gate)
            m_Log->gate->acquire();
        if (!m_Text.isEmpty())
            emit message(m_Text);
        if (m_Fraction >= 0)
            emit progress(m_Fraction);
        m_Log->add("run");
        return m_Result;
    }

private:
    std::shared_ptr<WorkLog> m_Log;
    bool m_Result;
    QString m_Text;
    qreal m_Fraction;
};

class ScriptedTask : public ASyncTaskSpecification
{
public:
    ScriptedTask(QObject* parent, qreal weight, bool result, QString text = {}, qreal fraction = -1)
        : ASyncTaskSpecification(parent, weight), log(std::make_shared<WorkLog>()), m_Result(result),
          m_Text(std::move(text)), m_Fraction(fraction)
    {
    }

    std::shared_ptr<WorkLog> log;
    bool m_Result;

protected:
    ASyncFunc* createFunc() override { return new ScriptedFunc(log, m_Result, m_Text, m_Fraction); }

private:
    QString m_Text;
    qreal m_Fraction;
};

// The GUI thread sees, in emission order: the passed-on message, the weighted
// progress, then the end. The work ran in a pool thread and its object was
// deleted there, after runResult.
TEST(ASyncTask, WorkRunsInPoolAndReportsInOrderInTheGuiThread)
{
    for (bool result : {false, true}) {
        SCOPED_TRACE(result);
        ScriptedTask task(nullptr, 0.2, result, "working", 0.5);
        QStringList seen;
        QObject ctx;
        const Qt::HANDLE gui = QThread::currentThreadId();
        auto check = [&](const QString& what) {
            EXPECT_EQ(QThread::currentThreadId(), gui);
            seen.append(what);
        };
        QObject::connect(&task, &TaskSpecification::message, &ctx, [&](QString m) { check("message:" + m); });
        QObject::connect(&task, &TaskSpecification::updateProgress, &ctx,
                         [&](qreal p) { check(QStringLiteral("progress:%1").arg(p)); });
        QObject::connect(&task, &TaskSpecification::finished, &ctx, [&] { check("finished"); });
        QObject::connect(&task, &TaskSpecification::canceled, &ctx, [&] { check("canceled"); });

        task.execute();
        EXPECT_EQ(task.state(), TASK_RUNNING);
        ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
        QStringList expected{"message:working", "progress:0.1"};
        if (result)
            expected << "progress:0.2"
                     << "finished";
        else
            expected << "canceled";
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(task.state(), result ? TASK_FINISHED : TASK_FAILED);
        QThreadPool::globalInstance()->waitForDone();
        EXPECT_NE(task.log->runThread, gui);
        EXPECT_EQ(task.log->deleteThread, task.log->runThread);
        EXPECT_EQ(task.log->events, (QStringList{"run", "runResult", "deleted"}));
    }
}

// reset() waits for the pool, and a result still queued from the earlier run
// must neither end the reset task nor a later run of it.
TEST(ASyncTask, ResultArrivingAfterResetIsIgnored)
{
    ScriptedTask task(nullptr, 1.0, true, "stale", 0.9);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    task.reset(); // the work has run; its signals are still queued
    EXPECT_EQ(task.state(), TASK_IDLE);
    drainEvents();
    EXPECT_EQ(task.state(), TASK_IDLE);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(messages.count(), 0);
    EXPECT_DOUBLE_EQ(task.progress(), 0.0);

    // Run again with work held back: the first run's result, queued before the
    // reset, must not end the second run.
    task.execute();
    task.reset();
    QSemaphore gate;
    task.log->gate = &gate;
    task.m_Result = false;
    task.execute();
    drainEvents();
    EXPECT_EQ(task.state(), TASK_RUNNING);
    gate.release();
    ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_EQ(finished.count(), 0);
}

// Many pool tasks under a composed task: all results arrive, each once; the
// sanitizer build watches the hand-over between threads.
TEST(ASyncTask, ManyParallelTasksUnderAComposedTaskAllEndOnce)
{
    TestComposed parent(8);
    QList<ScriptedTask*> subs;
    for (int i = 0; i < 64; ++i)
        subs.append(parent.add(new ScriptedTask(&parent, 1.0 / 64, true, QString::number(i), 0.5)));
    QSignalSpy messages(&parent, &TaskSpecification::message);
    parent.execute();
    ASSERT_TRUE(waitFor([&] { return parent.state() != TASK_RUNNING; }));
    EXPECT_EQ(parent.state(), TASK_FINISHED);
    EXPECT_EQ(parent.doneCalls, 1);
    EXPECT_EQ(messages.count(), 64);
    EXPECT_NEAR(parent.progress(), 1.0, 1e-9);
    QThreadPool::globalInstance()->waitForDone();
    for (ScriptedTask* t : subs)
        EXPECT_EQ(t->log->events, (QStringList{"run", "runResult", "deleted"}));
}

} // namespace
