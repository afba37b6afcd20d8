#include "prepostinstalllisttaskspecification.h"
#include "configuration.h"
#include "support/testfiles.h"
#include "support/waitfor.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Each command leaves a marker named after itself, then exits with code.
bool writeCommand(const QString& dir, const QString& name, int code)
{
    return writeScript(dir + "/" + name,
                       QString("touch \"$(dirname \"$0\")/ran_%1\"\nexit %2").arg(name).arg(code).toUtf8());
}

// The commands as the product-ini reader gives them when file lines install
// the programs that lie in dir.
QList<PrePostInstallData> pinned(QList<PrePostInstallData> commands, const QString& dir)
{
    for (PrePostInstallData& c : commands)
        c.sha512 = sha512Hex(readAllOrMissing(dir + "/" + c.program));
    return commands;
}

class PrePostInstallListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        config.m_TempDir = tmp.path();
    }
    bool ran(const QString& name) const { return QFileInfo::exists(tmp.filePath("ran_" + name)); }

    // Runs the list to its end, collecting texts and progress values.
    void run(PrePostInstallListTaskSpecification& list)
    {
        QObject::connect(&list, &TaskSpecification::message, &list, [this](const QString& m) { texts.append(m); });
        QObject::connect(&list, &TaskSpecification::updateProgress, &list, [this](qreal p) { progress.append(p); });
        list.execute();
        ASSERT_TRUE(waitFor([&] { return list.state() != TASK_RUNNING; }));
    }

    QTemporaryDir tmp;
    Configuration config;
    QStringList texts;
    QList<qreal> progress;
};

TEST_F(PrePostInstallListTest, EmptyListFinishesAtOnceWithoutMessage)
{
    QList<PrePostInstallData> commands;
    PrePostInstallListTaskSpecification list(&commands, &config, nullptr, 0.05);
    run(list);
    EXPECT_EQ(list.state(), TASK_FINISHED);
    EXPECT_TRUE(texts.isEmpty());
}

TEST_F(PrePostInstallListTest, CommandsRunInOrderAndProgressAddsUpPerCommand)
{
    QList<PrePostInstallData> commands;
    for (const char* name : {"a.sh", "b.sh", "c.sh"}) {
        ASSERT_TRUE(writeCommand(tmp.path(), name, 0));
        commands.append({name, {}, true});
    }
    commands = pinned(commands, tmp.path());
    PrePostInstallListTaskSpecification list(&commands, &config, nullptr, 0.5);
    run(list);

    EXPECT_EQ(list.state(), TASK_FINISHED);
    EXPECT_EQ(texts,
              (QStringList{"Starting install condition", "Starting a.sh", "a.sh completed sucessfully", "Starting b.sh",
                           "b.sh completed sucessfully", "Starting c.sh", "c.sh completed sucessfully"}));
    // Every command weighs 0.1 whatever their number: 0.3 of the list's
    // weight before the list's own end sets the whole weight.
    ASSERT_GE(progress.size(), 2);
    EXPECT_DOUBLE_EQ(progress[progress.size() - 2], 0.3 * 0.5);
    EXPECT_DOUBLE_EQ(progress.last(), 0.5);
}

TEST_F(PrePostInstallListTest, FailedRequiredCommandStopsTheListOptionalOneDoesNot)
{
    struct Row
    {
        bool required;
        int listState;
        bool thirdRuns;
    };
    for (const Row& row : {Row{true, TASK_FAILED, false}, Row{false, TASK_FINISHED, true}}) {
        SCOPED_TRACE(row.required);
        QTemporaryDir dir;
        config.m_TempDir = dir.path();
        ASSERT_TRUE(writeCommand(dir.path(), "first.sh", 0));
        ASSERT_TRUE(writeCommand(dir.path(), "second.sh", 1));
        ASSERT_TRUE(writeCommand(dir.path(), "third.sh", 0));
        QList<PrePostInstallData> commands =
            pinned({{"first.sh", {}, true}, {"second.sh", {}, row.required}, {"third.sh", {}, true}}, dir.path());
        texts.clear();
        PrePostInstallListTaskSpecification list(&commands, &config, nullptr, 1.0);
        run(list);

        EXPECT_EQ(list.state(), row.listState);
        EXPECT_TRUE(texts.contains("Failed to complete second.sh, exit code: 1"));
        EXPECT_EQ(QFileInfo::exists(dir.filePath("ran_third.sh")), row.thirdRuns);
        EXPECT_EQ(texts.contains("Starting third.sh"), row.thirdRuns);
    }
}

TEST_F(PrePostInstallListTest, CancelLetsTheRunningCommandEndAndStartsNoMore)
{
    QFile slow(tmp.filePath("slow.sh"));
    ASSERT_TRUE(slow.open(QIODevice::WriteOnly));
    slow.write("#!/bin/sh\nd=\"$(dirname \"$0\")\"\ntouch \"$d/started\"\n"
               "while [ ! -e \"$d/go\" ]; do sleep 0.02; done\ntouch \"$d/ran_slow.sh\"\n");
    slow.close();
    ASSERT_TRUE(slow.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(writeCommand(tmp.path(), "after.sh", 0));
    QList<PrePostInstallData> commands = pinned({{"slow.sh", {}, true}, {"after.sh", {}, true}}, tmp.path());

    PrePostInstallListTaskSpecification list(&commands, &config, nullptr, 1.0);
    list.execute();
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(tmp.filePath("started")); }));
    list.cancel();
    // The running command is not cut short; the list ends with it.
    EXPECT_FALSE(waitFor([&] { return list.state() != TASK_RUNNING; }, 1000));
    QFile go(tmp.filePath("go"));
    ASSERT_TRUE(go.open(QIODevice::WriteOnly));
    go.close();
    ASSERT_TRUE(waitFor([&] { return list.state() != TASK_RUNNING; }));

    EXPECT_EQ(list.state(), TASK_CANCELED);
    EXPECT_TRUE(ran("slow.sh"));
    drainEvents();
    EXPECT_FALSE(ran("after.sh"));
}

TEST_F(PrePostInstallListTest, ResetAllowsASecondRun)
{
    ASSERT_TRUE(writeCommand(tmp.path(), "a.sh", 0));
    QList<PrePostInstallData> commands = pinned({{"a.sh", {}, true}}, tmp.path());
    PrePostInstallListTaskSpecification list(&commands, &config, nullptr, 1.0);
    run(list);
    ASSERT_EQ(list.state(), TASK_FINISHED);
    QFile::remove(tmp.filePath("ran_a.sh"));

    list.reset();
    EXPECT_EQ(list.state(), TASK_IDLE);
    EXPECT_TRUE(list.allSubTasks().isEmpty());
    run(list);
    EXPECT_EQ(list.state(), TASK_FINISHED);
    EXPECT_TRUE(ran("a.sh"));
    EXPECT_EQ(list.allSubTasks().size(), 1);
}

} // namespace
