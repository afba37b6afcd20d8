#include "maintaskspecification.h"

#include "configuration.h"
#include "waitfor.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct TreeRow
{
    const char* label;
    int kind;
    const char* startMessage;
    QStringList classes;
    qreal weightSum;
};

class MainTaskTreeTest : public ::testing::TestWithParam<TreeRow>
{};

QStringList subTaskClasses(const MainTaskSpecification& task)
{
    QStringList names;
    for (const TaskSpecification* sub : task.allSubTasks())
        names << QString::fromLatin1(sub->metaObject()->className());
    return names;
}

// The tree is inspected right after execute: the first step only starts from
// the event loop, which this test does not run until the task is cancelled.
TEST_P(MainTaskTreeTest, TargetKindChoosesStepsStartMessageAndWeights)
{
    const TreeRow& row = GetParam();
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    Configuration config;
    config.m_ClientUpdate = row.kind;
    config.m_TempDir = temp.path();
    config.m_InstallDir = temp.path();
    QNetworkAccessManager manager;
    MainTaskSpecification task(&manager, &config, nullptr, 1.0);
    QStringList messages;
    QObject::connect(&task, &TaskSpecification::message, [&messages](const QString& m) { messages << m; });

    task.execute();
    EXPECT_EQ(task.state(), TASK_RUNNING);
    EXPECT_EQ(messages, QStringList{row.startMessage});
    EXPECT_EQ(subTaskClasses(task), row.classes);
    EXPECT_EQ(task.maxParallel(), 1);
    qreal sum = 0;
    for (const TaskSpecification* sub : task.allSubTasks()) {
        EXPECT_EQ(sub->parent(), &task);
        sum += sub->weight();
    }
    EXPECT_NEAR(sum, row.weightSum, 1e-9);

    // A reset drops the tree and the lists; the next execute builds it anew.
    task.reset();
    EXPECT_EQ(task.state(), TASK_IDLE);
    EXPECT_TRUE(task.allSubTasks().isEmpty());
    EXPECT_TRUE(task.lists().downloads.isEmpty());
    task.execute();
    EXPECT_EQ(subTaskClasses(task), row.classes);
    // Nor does a second execute stack a second tree onto the first.
    task.execute();
    EXPECT_EQ(subTaskClasses(task), row.classes);

    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.cancel();
    ASSERT_TRUE(waitFor([&] { return canceled.count() > 0; }));
    drainEvents();
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(task.state(), TASK_CANCELED);
}

const QStringList clientSteps = {"IniDownloadTaskSpecification",       "MakeDownloadReplaceListTaskSpecification",
                                 "DownloadFileListTaskSpecification",  "PrePostInstallListTaskSpecification",
                                 "FileReplaceListTaskSpecification",   "FileDeleteListTaskSpecification",
                                 "PrePostInstallListTaskSpecification"};
const QStringList updaterSteps = {"IniDownloadTaskSpecification",      "MakeDownloadReplaceListTaskSpecification",
                                  "DownloadFileListTaskSpecification", "PrePostInstallListTaskSpecification",
                                  "UpdateSelfUnzipTaskSpecification",  "PrePostInstallListTaskSpecification"};

INSTANTIATE_TEST_SUITE_P(
    Rows, MainTaskTreeTest,
    ::testing::Values(TreeRow{"Client", 1, "Starting update process for client", clientSteps, 1.2},
                      TreeRow{"Updater", 0, "Starting update process for updater", updaterSteps, 1.15},
                      // Only kind 1 is a client run, in the steps and the message alike.
                      TreeRow{"UnknownKindIsUpdater", 2, "Starting update process for updater", updaterSteps, 1.15}),
    [](const ::testing::TestParamInfo<TreeRow>& info) { return std::string(info.param.label); });

} // namespace
