#include "maintaskspecification.h"

#include "configuration.h"
#include "crypt.h"
#include "waitfor.h"
#include "support/testfiles.h"
#include "support/testsigning.h"

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

struct EndRow
{
    const char* label;
    QByteArray ini; // the product ini already in the temp directory
    bool signedIni; // with the test key, else with garbage
    bool cancel;    // by the user, right after the start
    int state;
    const char* cause;
};

void PrintTo(const EndRow& row, std::ostream* os)
{
    *os << row.label;
}

class MainTaskEndTest : public ::testing::TestWithParam<EndRow>
{};

// What failed first deep in the tree is what the whole session failed of,
// in the words the user was shown; a cancel names nothing.
TEST_P(MainTaskEndTest, FirstCauseOfAFailureReachesTheMainTask)
{
    const EndRow& row = GetParam();
    if (row.signedIni && !builtInKeyIsTestKey())
        GTEST_SKIP() << "built with a key other than the test key";
    crypt_init();
    QTemporaryDir temp, install;
    ASSERT_TRUE(temp.isValid() && install.isValid());
    const QString ini = temp.filePath(QStringLiteral("qnd_client_linux_amd64.ini"));
    ASSERT_TRUE(writeAll(ini, row.ini));
    ASSERT_TRUE(
        writeAll(ini + QStringLiteral(".sig"), row.signedIni ? signWithTestKey(row.ini) : QByteArray(128, 'x')));
    Configuration config;
    config.m_ClientUpdate = 1;
    config.m_Version = 7;
    config.m_TempDir = temp.path();
    config.m_InstallDir = install.path();
    QNetworkAccessManager manager;
    MainTaskSpecification task(&manager, &config, nullptr, 1.0);
    QStringList messages;
    QObject::connect(&task, &TaskSpecification::message, [&messages](const QString& m) { messages << m; });
    task.execute();
    if (row.cancel)
        task.cancel();
    ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }, 30000));
    EXPECT_EQ(task.state(), row.state);
    EXPECT_EQ(task.failureReason(), QLatin1String(row.cause));
    if (row.state == TASK_FAILED) {
        EXPECT_TRUE(messages.contains(QLatin1String(row.cause))) << messages.join('\n').toStdString();
    }
}

const QByteArray kIni = "[files]\nhello.txt=" + QByteArray(128, 'a') + "::6\n";

INSTANTIATE_TEST_SUITE_P(Rows, MainTaskEndTest,
                         ::testing::Values(EndRow{"UnsignedIni", kIni, false, false, TASK_FAILED,
                                                  "Could not verify the product ini file. Aborting"},
                                           EndRow{"IniOfAnotherVersion", "version=8\n" + kIni, true, false, TASK_FAILED,
                                                  "The product ini is for version 8, not for the requested version 7"},
                                           EndRow{"CancelledByTheUser", kIni, false, true, TASK_CANCELED, ""}),
                         [](const ::testing::TestParamInfo<EndRow>& info) { return std::string(info.param.label); });

} // namespace
