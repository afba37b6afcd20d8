#include "filecopytaskspecification.h"
#include "support/tasktest.h"
#include "support/tempdirtest.h"
#include "support/testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class FileCopyTest : public TempDirTest
{
protected:
    void run(TaskSpecification& task) { runRecordingEvents(task, &events); }

    QStringList events;
};

TEST_F(FileCopyTest, CopyRecordsCreatedFileOnlyWithList)
{
    const QByteArray payload(70000, 'q');
    ASSERT_TRUE(writeAll(at("src"), payload));
    for (bool withList : {true, false}) {
        SCOPED_TRACE(withList);
        events.clear();
        const QString dst = at(withList ? "with" : "without");
        RollbackDataList list;
        FileCopyTaskSpecification task(withList ? &list : nullptr, at("src"), dst, nullptr, 0.5);
        run(task);

        EXPECT_EQ(task.state(), TASK_FINISHED);
        EXPECT_EQ(task.progress(), 0.5);
        EXPECT_EQ(events, QStringList{"finished"});
        EXPECT_EQ(readAllOrMissing(dst), payload);
        if (withList) {
            ASSERT_EQ(list.records().size(), 1);
            EXPECT_EQ(list.records()[0].op(), FILE_CREATE);
            EXPECT_EQ(list.records()[0].path(), dst);
        }
    }
}

TEST_F(FileCopyTest, FailedCopyReportsErrorTextAndRecordsNothing)
{
    ASSERT_TRUE(writeAll(at("src"), "new"));
    ASSERT_TRUE(writeAll(at("existing"), "installed"));
    const FileStepPaths rows[] = {
        {at("src"), at("existing")},          // never overwrites
        {at("missing"), at("fresh")},         // nothing to copy
        {at("src"), at("no_such_dir/fresh")}, // nowhere to put it
    };
    for (const FileStepPaths& row : rows) {
        SCOPED_TRACE(row.destination.toStdString());
        events.clear();
        RollbackDataList list;
        FileCopyTaskSpecification task(&list, row.source, row.destination, nullptr, 1.0);
        run(task);

        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_EQ(events,
                  (QStringList{"message: " + QString("Could not copy '%1' to '%2'").arg(row.source, row.destination),
                               "canceled"}));
        EXPECT_TRUE(list.isEmpty());
    }
    EXPECT_EQ(readAllOrMissing(at("existing")), "installed");
    EXPECT_FALSE(QFileInfo::exists(at("fresh")));
}

} // namespace
