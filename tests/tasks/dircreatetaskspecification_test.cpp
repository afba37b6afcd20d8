#include "dircreatetaskspecification.h"
#include "support/tasktest.h"
#include "support/tempdirtest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QStringList recordPaths(const RollbackDataList& list, int op)
{
    QStringList out;
    for (const RollbackData& r : list.records()) {
        EXPECT_EQ(r.op(), op);
        out.append(r.path());
    }
    return out;
}

struct Outcome
{
    int state;
    QStringList messages;
    int finishedSignals;
    int canceledSignals;
    QString cause;
};

// The task ends inside execute(); nothing needs the event loop.
Outcome runDirCreate(const QString& path, RollbackDataList* list)
{
    DirCreateTaskSpecification task(path, list, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    return {task.state(), spyTexts(messages), int(finished.size()), int(canceled.size()), task.failureReason()};
}

using DirCreateTest = TempDirTest;

TEST_F(DirCreateTest, CreatesMissingLevelsOutermostFirstAndRecordsEach)
{
    RollbackDataList list;
    const Outcome o = runDirCreate(at("mid/leaf"), &list);

    EXPECT_EQ(o.state, TASK_FINISHED);
    EXPECT_EQ(o.finishedSignals, 1);
    EXPECT_TRUE(o.messages.isEmpty());
    EXPECT_TRUE(QFileInfo(at("mid/leaf")).isDir());
    EXPECT_EQ(recordPaths(list, DIR_CREATE), (QStringList{at("mid"), at("mid/leaf")}));

    // Undoing removes the inner directory first, so both go.
    EXPECT_TRUE(list.rollback(nullptr));
    EXPECT_FALSE(QFileInfo::exists(at("mid")));
}

TEST_F(DirCreateTest, ExistingDirectorySucceedsWithoutRecord)
{
    ASSERT_TRUE(QDir(tmp.path()).mkdir("there"));
    RollbackDataList list;
    const Outcome o = runDirCreate(at("there"), &list);
    EXPECT_EQ(o.state, TASK_FINISHED);
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(DirCreateTest, WithoutListCreatesAndRecordsNothing)
{
    const Outcome o = runDirCreate(at("a/b/c"), nullptr);
    EXPECT_EQ(o.state, TASK_FINISHED);
    EXPECT_TRUE(QFileInfo(at("a/b/c")).isDir());
}

TEST_F(DirCreateTest, FailuresReportTheirTextAndFail)
{
    QFile file(at("plain"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    // A dangling link looks missing, but the directory cannot be made there.
    ASSERT_TRUE(QFile::link(at("nowhere"), at("dangling")));
    struct Row
    {
        QString path;
        QString text;
    };
    const Row rows[] = {
        {at("plain"), QString("Could not create dir '%1' because it already exists and is not a dir").arg(at("plain"))},
        {"bare_relative_name", "Could not create dir bare_relative_name"},
        // A file in the way of a missing parent is named as the culprit.
        {at("plain/sub"),
         QString("Could not create dir '%1' because it already exists and is not a dir").arg(at("plain"))},
        {at("plain/sub/deeper"),
         QString("Could not create dir '%1' because it already exists and is not a dir").arg(at("plain"))},
        {at("dangling"), QString("unable to create dir %1").arg(at("dangling"))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        RollbackDataList list;
        const Outcome o = runDirCreate(row.path, &list);
        EXPECT_EQ(o.state, TASK_FAILED);
        EXPECT_EQ(o.canceledSignals, 1);
        EXPECT_EQ(o.finishedSignals, 0);
        EXPECT_EQ(o.messages, QStringList{row.text});
        EXPECT_EQ(o.cause, row.text);
        EXPECT_TRUE(list.isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists("bare_relative_name"));
}

} // namespace
