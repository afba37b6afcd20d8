#include "filerenametaskspecification.h"
#include "support/tempdirtest.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using FileRenameTest = TempDirTest;

TEST_F(FileRenameTest, RenamesIntoNewDirectoryAndRollbackRestores)
{
    ASSERT_TRUE(writeAll(at("src"), "payload"));
    RollbackDataList list;
    FileRenameTaskSpecification task(at("src"), at("newdir/dst"), &list, nullptr, 1.0);
    task.execute();

    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(readAllOrMissing(at("newdir/dst")), "payload");
    ASSERT_EQ(list.records().size(), 1);
    EXPECT_EQ(list.records()[0].op(), FILE_RENAME);
    EXPECT_EQ(list.records()[0].oldPath(), at("src"));
    EXPECT_EQ(list.records()[0].path(), at("newdir/dst"));

    EXPECT_TRUE(list.rollback(nullptr));
    EXPECT_EQ(readAllOrMissing(at("src")), "payload");
    EXPECT_FALSE(QFileInfo::exists(at("newdir/dst")));
}

TEST_F(FileRenameTest, FailedRenameReportsAndChangesNothing)
{
    ASSERT_TRUE(writeAll(at("src"), "new"));
    ASSERT_TRUE(writeAll(at("taken"), "old"));
    const FileStepPaths rows[] = {
        {at("src"), at("taken")},          // never overwrites
        {at("missing"), at("target")},     // nothing to rename
        {at("src"), at("two/levels/dst")}, // only one missing level is created
    };
    for (const FileStepPaths& row : rows) {
        SCOPED_TRACE(row.destination.toStdString());
        RollbackDataList list;
        FileRenameTaskSpecification task(row.source, row.destination, &list, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();

        EXPECT_EQ(task.state(), TASK_FAILED);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_EQ(messages[0][0].toString(), QString("Could not rename '%1' to '%2'").arg(row.source, row.destination));
        EXPECT_TRUE(list.isEmpty());
    }
    EXPECT_EQ(readAllOrMissing(at("src")), "new");
    EXPECT_EQ(readAllOrMissing(at("taken")), "old");
}

} // namespace
