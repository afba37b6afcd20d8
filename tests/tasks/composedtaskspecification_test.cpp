#include "faketasks.h"
#include "support/tasktest.h"
#include "support/waitfor.h"

#include <QPointer>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

int countRunning(const QList<FakeTask*>& subs)
{
    return int(std::count_if(subs.begin(), subs.end(), [](FakeTask* t) { return t->state() == TASK_RUNNING; }));
}

TEST(ComposedTask, EmptyComposedTaskFinishesAtOnce)
{
    TestComposed task(3);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(task.doneCalls, 1);
    EXPECT_DOUBLE_EQ(task.progress(), 1.0);
}

// Subtasks end in a scrambled order; at no moment do more than maxParallel run,
// starts keep the order of adding, and each end lets exactly one more start, on
// a later turn of the event loop.
TEST(ComposedTask, SchedulingKeepsTheLimitAndTheOrder)
{
    for (int maxParallel : {1, 2, 3, 7}) {
        SCOPED_TRACE(maxParallel);
        TestComposed task(maxParallel);
        QList<FakeTask*> subs;
        QList<FakeTask*> startOrder;
        int maxSeen = 0;
        for (int i = 0; i < 5; ++i) {
            FakeTask* sub = task.addFake();
            sub->onExecute = [&](FakeTask* t) {
                startOrder.append(t);
                maxSeen = std::max(maxSeen, countRunning(subs));
            };
            subs.append(sub);
        }
        task.execute();
        EXPECT_EQ(countRunning(subs), 0) << "starts are deferred to the event loop";
        drainEvents();
        EXPECT_EQ(countRunning(subs), std::min(maxParallel, 5));

        int step = 0;
        while (task.state() == TASK_RUNNING) {
            QList<FakeTask*> running;
            for (FakeTask* t : subs)
                if (t->state() == TASK_RUNNING)
                    running.append(t);
            ASSERT_FALSE(running.isEmpty());
            FakeTask* next = running.at(step++ % running.size());
            const int before = countRunning(subs);
            next->finish();
            EXPECT_EQ(countRunning(subs), before - 1) << "no start inside an end signal";
            drainEvents();
        }
        EXPECT_EQ(maxSeen, std::min(maxParallel, 5));
        EXPECT_EQ(startOrder, subs);
        EXPECT_EQ(task.state(), TASK_FINISHED);
        EXPECT_EQ(task.doneCalls, 1);
        for (FakeTask* t : subs)
            EXPECT_EQ(t->executeCount, 1);
    }
}

// Every subtask ends inside its own execute(); starting through the queued
// signal keeps the stack flat and never nests one execute() in another's end.
TEST(ComposedTask, TenThousandSynchronousSubtasksDoNotNest)
{
    TestComposed task(4);
    int depth = 0;
    int maxDepth = 0;
    const char* lowest = nullptr;
    const char* highest = nullptr;
    for (int i = 0; i < 10000; ++i) {
        FakeTask* sub = task.addFake(FakeTask::FinishInExecute, 0.0001);
        sub->onExecute = [&](FakeTask*) {
            // The frame address, not a local's: sanitizers may move locals to the heap.
            const char* here = static_cast<const char*>(__builtin_frame_address(0));
            if (!lowest || here < lowest)
                lowest = here;
            if (!highest || here > highest)
                highest = here;
            maxDepth = std::max(maxDepth, ++depth);
        };
        QObject::connect(sub, &TaskSpecification::finished, &task, [&] { --depth; });
    }
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(task.doneCalls, 1);
    EXPECT_EQ(maxDepth, 1);
    EXPECT_LT(highest - lowest, 64 * 1024) << "stack grew with the number of subtasks";
    EXPECT_EQ(task.doneSubTasks().size(), 10000);
    EXPECT_TRUE(task.runningSubTasks().isEmpty());
}

TEST(ComposedTask, FirstFailureAbortsRunningSiblingsOnceAndStartsNoMore)
{
    TestComposed task(3);
    FakeTask* failing = task.addFake();
    FakeTask* download = task.addFake();
    download->failOnAbort = true;       // a download stops and fails when aborted
    FakeTask* copying = task.addFake(); // runs to its end regardless
    FakeTask* pending1 = task.addFake();
    FakeTask* pending2 = task.addFake();
    QSignalSpy others(&task, &TaskSpecification::otherTaskCancelled);
    QSignalSpy ended(&task, &TaskSpecification::canceled);
    task.execute();
    drainEvents();

    failing->fail();
    ASSERT_EQ(others.count(), 1);
    EXPECT_EQ(others.at(0).at(0).value<TaskSpecification*>(), failing);
    EXPECT_EQ(download->state(), TASK_FAILED);
    EXPECT_EQ(download->abortArgs, QList<TaskSpecification*>{failing});
    EXPECT_EQ(copying->abortArgs, QList<TaskSpecification*>{failing});
    EXPECT_TRUE(failing->abortArgs.isEmpty());
    EXPECT_EQ(task.state(), TASK_RUNNING) << "waits for the sibling still running";

    drainEvents();
    copying->finish();
    drainEvents();
    EXPECT_EQ(others.count(), 1);
    EXPECT_EQ(task.doneCalls, 1);
    EXPECT_EQ(ended.count(), 1);
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_EQ(pending1->executeCount, 0);
    EXPECT_EQ(pending2->executeCount, 0);
    EXPECT_EQ(pending1->state(), TASK_IDLE);
    EXPECT_EQ(task.pendingSubTasks().size(), 2);
}

// End state by precedence: failed over cancelled over finished. The subtasks
// run side by side and end in the given order with the given states; subtask
// i fails because "i broke". A failed task names the first of them, any
// other end names none.
TEST(ComposedTask, EndStateFollowsPrecedenceOfSubtaskStates)
{
    struct Row
    {
        QList<int> ends;
        int expected;
        QString cause = QString();
    };
    const Row rows[] = {
        {{TASK_FINISHED, TASK_FINISHED}, TASK_FINISHED},
        {{TASK_CANCELED, TASK_FINISHED}, TASK_CANCELED},
        {{TASK_FINISHED, TASK_CANCELED}, TASK_CANCELED},
        {{TASK_CANCELED, TASK_FAILED}, TASK_FAILED, "1 broke"},
        {{TASK_FAILED, TASK_CANCELED}, TASK_FAILED, "0 broke"},
        {{TASK_FINISHED, TASK_FAILED, TASK_CANCELED}, TASK_FAILED, "1 broke"},
        {{TASK_FAILED, TASK_FAILED}, TASK_FAILED, "0 broke"},
        {{TASK_CANCELED, TASK_CANCELED}, TASK_CANCELED},
    };
    for (const Row& row : rows) {
        TestComposed task(int(row.ends.size()));
        QList<FakeTask*> subs;
        for (int i = 0; i < row.ends.size(); ++i)
            subs.append(task.addFake());
        task.execute();
        drainEvents();
        for (int i = 0; i < row.ends.size(); ++i) {
            switch (row.ends[i]) {
            case TASK_FINISHED: subs[i]->finish(); break;
            case TASK_FAILED: subs[i]->failBecause(QStringLiteral("%1 broke").arg(i)); break;
            default: subs[i]->cancelNow(); break;
            }
        }
        drainEvents();
        EXPECT_EQ(task.state(), row.expected) << "row ending with " << row.ends.last();
        EXPECT_EQ(task.failureReason(), row.cause) << "row ending with " << row.ends.last();
        EXPECT_EQ(task.doneCalls, 1);
    }
}

// Three levels with maxParallel 2 everywhere; a leaf deep in one branch fails,
// download-like leaves elsewhere abort. Every task ends exactly once.
TEST(ComposedTask, ThreeLevelTreeEndsEveryTaskExactlyOnce)
{
    TestComposed root(2);
    auto* left = root.add(new TestComposed(2, &root, 0.5));
    auto* right = root.add(new TestComposed(2, &root, 0.5));
    FakeTask* leftA = left->addFake(FakeTask::Stay, 0.5);
    FakeTask* leftB = left->addFake(FakeTask::Stay, 0.5);
    FakeTask* rightA = right->addFake(FakeTask::Stay, 0.5);
    FakeTask* rightB = right->addFake(FakeTask::Stay, 0.5);
    FakeTask* rightC = right->addFake(FakeTask::Stay, 0.5);
    leftB->failOnAbort = true;
    rightA->failOnAbort = true;
    leftB->abortReason = rightA->abortReason = QStringLiteral("aborted");

    QList<TaskSpecification*> all{&root, left, right, leftA, leftB, rightA, rightB, rightC};
    QHash<TaskSpecification*, int> ends;
    QObject ctx;
    for (TaskSpecification* t : all) {
        QObject::connect(t, &TaskSpecification::finished, &ctx, [&ends, t] { ++ends[t]; });
        QObject::connect(t, &TaskSpecification::canceled, &ctx, [&ends, t] { ++ends[t]; });
    }
    root.execute();
    drainEvents();
    ASSERT_EQ(leftA->state(), TASK_RUNNING);
    ASSERT_EQ(rightA->state(), TASK_RUNNING);
    ASSERT_EQ(rightB->state(), TASK_RUNNING);

    leftA->failBecause(QStringLiteral("left A broke"));
    // leftB aborted by its parent; right aborted by the root, so rightA fails.
    EXPECT_EQ(leftB->state(), TASK_FAILED);
    EXPECT_EQ(left->state(), TASK_FAILED);
    EXPECT_EQ(rightA->state(), TASK_FAILED);
    EXPECT_EQ(rightB->state(), TASK_RUNNING);
    rightB->finish();
    drainEvents();
    for (TaskSpecification* t : QList<TaskSpecification*>{&root, left, right, leftA, leftB, rightA, rightB}) {
        EXPECT_EQ(ends.value(t), 1) << t;
    }
    EXPECT_EQ(ends.value(rightC), 0);
    EXPECT_EQ(rightC->executeCount, 0);
    EXPECT_EQ(root.state(), TASK_FAILED);
    EXPECT_EQ(right->state(), TASK_FAILED);
    EXPECT_EQ(root.doneCalls, 1);
    EXPECT_EQ(left->doneCalls, 1);
    EXPECT_EQ(right->doneCalls, 1);
    // Each task names the first failure below it; the root, the one that
    // started it all, not the aborts that followed.
    EXPECT_EQ(root.failureReason(), "left A broke");
    EXPECT_EQ(left->failureReason(), "left A broke");
    EXPECT_EQ(right->failureReason(), "aborted");
    EXPECT_TRUE(rightB->failureReason().isEmpty());
}

TEST(ComposedTask, CancelWhileIdleOnlySetsTheFlagAndNothingStarts)
{
    TestComposed task(2);
    FakeTask* a = task.addFake();
    FakeTask* b = task.addFake();
    task.cancel();
    EXPECT_TRUE(task.cancelRequested());
    EXPECT_EQ(a->cancelCount, 0);
    task.execute();
    drainEvents();
    EXPECT_EQ(a->executeCount + b->executeCount, 0);
    EXPECT_EQ(task.state(), TASK_CANCELED);
    EXPECT_EQ(task.doneCalls, 1);
}

// The user's cancel reaches two downloads running side by side: the first ends
// cancelled, the second is aborted by the sibling signal and fails, so the tree
// ends failed. The cancel loop stops once the composed task has ended.
TEST(ComposedTask, CancelWhileRunningReachesSubtasksAndEndsByPrecedence)
{
    TestComposed root(1);
    auto* downloads = root.add(new TestComposed(2, &root, 1.0));
    FakeTask* first = downloads->addFake();
    FakeTask* second = downloads->addFake();
    FakeTask* later = downloads->addFake();
    for (FakeTask* t : {first, second, later}) {
        t->endOnCancel = true;
        t->failOnAbort = true;
    }
    root.execute();
    drainEvents();
    drainEvents();
    ASSERT_EQ(first->state(), TASK_RUNNING);
    ASSERT_EQ(second->state(), TASK_RUNNING);

    root.cancel();
    EXPECT_EQ(first->state(), TASK_CANCELED);
    EXPECT_EQ(second->state(), TASK_FAILED);
    EXPECT_EQ(second->cancelCount, 0) << "the loop stops once the task has ended";
    EXPECT_EQ(later->executeCount, 0);
    EXPECT_EQ(downloads->state(), TASK_FAILED);
    EXPECT_EQ(root.state(), TASK_FAILED);
    drainEvents();
    EXPECT_EQ(later->executeCount, 0);
    EXPECT_EQ(root.doneCalls, 1);
    EXPECT_EQ(downloads->doneCalls, 1);

    // A cancel that running subtasks ignore: none start afterwards, result 4.
    TestComposed plain(1);
    FakeTask* runningOne = plain.addFake();
    FakeTask* waiting = plain.addFake();
    plain.execute();
    drainEvents();
    plain.cancel();
    EXPECT_EQ(runningOne->cancelCount, 1);
    EXPECT_EQ(waiting->cancelCount, 1) << "not-yet-started subtasks hear the cancel too";
    runningOne->finish();
    drainEvents();
    EXPECT_EQ(waiting->executeCount, 0);
    EXPECT_EQ(plain.state(), TASK_CANCELED);
}

TEST(ComposedTask, ProgressIsWeightTimesSumOfSubtaskProgress)
{
    TestComposed task(2, nullptr, 0.5);
    FakeTask* a = task.addFake(FakeTask::Stay, 0.25);
    FakeTask* b = task.addFake(FakeTask::Stay, 0.5);
    task.execute();
    drainEvents();
    a->progressTo(1.0);
    b->progressTo(0.5);
    EXPECT_DOUBLE_EQ(task.progress(), 0.5 * (0.25 + 0.25));
    // Whatever argument the slot gets, it recomputes from all subtasks.
    QMetaObject::invokeMethod(&task, "onUpdateProgress", Q_ARG(qreal, 123.0));
    EXPECT_DOUBLE_EQ(task.progress(), 0.25);
    // Weights below 1 in sum: finishing still reaches exactly the weight.
    a->finish();
    b->finish();
    drainEvents();
    EXPECT_DOUBLE_EQ(task.progress(), 0.5);
}

TEST(ComposedTask, DownloadCountersAddUpFinishedOnesAndSkipZeroTotals)
{
    TestComposed task(3);
    FakeTask* done = task.addFake();
    done->dlDone = 100;
    done->dlTotal = 100;
    FakeTask* active = task.addFake();
    active->dlDone = 10;
    active->dlTotal = 50;
    active->dlSpeed = 7;
    active->dlActive = true;
    FakeTask* noTotal = task.addFake();
    noTotal->dlDone = 999;
    noTotal->dlSpeed = 3;
    EXPECT_EQ(downloadFigures(task), (DownloadFigures{110, 150, 10, true}));
}

TEST(ComposedTask, ClearingReleasesSubtasksLaterAndAResetTaskRunsAgain)
{
    TestComposed task(1);
    QPointer<FakeTask> first = task.addFake(FakeTask::FailInExecute);
    task.execute();
    drainEvents();
    ASSERT_EQ(task.state(), TASK_FAILED);

    task.reset();
    EXPECT_FALSE(first.isNull()) << "released with deleteLater, not delete";
    EXPECT_TRUE(task.allSubTasks().isEmpty());
    drainEvents();
    EXPECT_TRUE(first.isNull());

    FakeTask* again = task.addFake(FakeTask::FinishInExecute);
    task.execute();
    drainEvents();
    EXPECT_EQ(again->executeCount, 1);
    EXPECT_EQ(task.state(), TASK_FINISHED);

    // The default reset keeps the subtasks and runs them again.
    task.defaultReset();
    EXPECT_EQ(again->state(), TASK_IDLE);
    EXPECT_EQ(task.pendingSubTasks().size(), 1);
    task.execute();
    drainEvents();
    EXPECT_EQ(again->executeCount, 2);
    EXPECT_EQ(task.state(), TASK_FINISHED);
}

} // namespace
