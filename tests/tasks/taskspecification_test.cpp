#include "faketasks.h"
#include "support/tasktest.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

struct EndCase
{
    const char* name;
    std::function<void(FakeTask*)> end;
    int state;
    qreal progressAfter;
    QStringList signalsAfterProgress;
};

TEST(TaskSpecification, EndSettersSetStateProgressAndSignalOrder)
{
    const EndCase cases[] = {
        // The last reported fraction does not matter: finishing sets exactly the weight.
        {"finished", [](FakeTask* t) { t->finish(); }, TASK_FINISHED, 0.2, {"progress:0.2", "finished"}},
        {"failed", [](FakeTask* t) { t->fail(); }, TASK_FAILED, 0.06, {"canceled"}},
        {"canceled", [](FakeTask* t) { t->cancelNow(); }, TASK_CANCELED, 0.06, {"canceled"}},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTask task(nullptr, 0.2);
        task.execute();
        task.progressTo(0.3);
        QStringList log;
        QObject ctx;
        QObject::connect(&task, &TaskSpecification::updateProgress, &ctx,
                         [&log](qreal p) { log.append(QStringLiteral("progress:%1").arg(p)); });
        QObject::connect(&task, &TaskSpecification::finished, &ctx, [&](TaskSpecification* t) {
            EXPECT_EQ(t, &task);
            log.append("finished");
        });
        QObject::connect(&task, &TaskSpecification::canceled, &ctx, [&](TaskSpecification* t) {
            EXPECT_EQ(t, &task);
            log.append("canceled");
        });
        c.end(&task);
        EXPECT_EQ(task.state(), c.state);
        EXPECT_DOUBLE_EQ(task.progress(), c.progressAfter);
        EXPECT_EQ(log, c.signalsAfterProgress);
    }
    // Finishing above a fraction of 1 also lands on exactly the weight.
    FakeTask over(nullptr, 0.5);
    over.execute();
    over.progressTo(1.7);
    EXPECT_DOUBLE_EQ(over.progress(), 0.85); // not clamped
    over.finish();
    EXPECT_DOUBLE_EQ(over.progress(), 0.5);
}

TEST(TaskSpecification, ProgressIsWeightedAndResetReturnsToIdle)
{
    FakeTask task(nullptr, 0.2);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.execute();
    task.progressTo(0.5);
    ASSERT_EQ(progress.count(), 1);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toReal(), 0.1);
    EXPECT_DOUBLE_EQ(task.progress(), 0.1);

    task.cancel();
    task.fail();
    progress.clear();
    task.reset();
    EXPECT_EQ(task.state(), TASK_IDLE);
    EXPECT_DOUBLE_EQ(task.progress(), 0.0);
    EXPECT_FALSE(task.cancelRequested());
    ASSERT_EQ(progress.count(), 1);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toReal(), 0.0);
}

TEST(TaskSpecification, OtherTaskCancelledAbortsOnlyARunningTaskForAnotherTask)
{
    FakeTask task(nullptr);
    FakeTask other(nullptr);
    // Not running: nothing.
    QMetaObject::invokeMethod(&task, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, &other));
    EXPECT_TRUE(task.abortArgs.isEmpty());
    task.execute();
    // Itself: nothing.
    QMetaObject::invokeMethod(&task, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, &task));
    EXPECT_TRUE(task.abortArgs.isEmpty());
    QMetaObject::invokeMethod(&task, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, &other));
    ASSERT_EQ(task.abortArgs.size(), 1);
    EXPECT_EQ(task.abortArgs.at(0), &other);
}

TEST(TaskSpecification, BaseReportsNoDownloadAndCancelOnlySetsTheFlag)
{
    class Plain : public TaskSpecification
    {
    public:
        Plain() : TaskSpecification(nullptr, 1.0) {}
        void execute() override { setState(TASK_RUNNING); }
    } task;
    EXPECT_EQ(downloadFigures(task, {7, 8, 9, true}), DownloadFigures{});

    task.execute();
    QSignalSpy ended(&task, &TaskSpecification::canceled);
    task.cancel();
    EXPECT_TRUE(task.cancelRequested());
    EXPECT_EQ(task.state(), TASK_RUNNING);
    EXPECT_EQ(ended.count(), 0);
}

} // namespace
