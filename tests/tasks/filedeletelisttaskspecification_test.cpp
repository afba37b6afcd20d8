#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "replacejournal.h"
#include "support/testfiles.h"
#include "support/waitfor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class DeleteListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        installDir = root.filePath(QStringLiteral("install"));
        ASSERT_TRUE(QDir().mkpath(installDir));
        config.m_InstallDir = installDir;
    }
    int run()
    {
        FileDeleteListTaskSpecification task(&list, &config, nullptr, 0.05);
        QObject::connect(&task, &TaskSpecification::message, [this](const QString& m) { messages << m; });
        task.execute();
        waitFor([&] { return task.state() != TASK_RUNNING; });
        const int state = task.state();
        drainEvents();
        return state;
    }
    bool exists(const QString& rel) const { return QFileInfo::exists(installDir + "/" + rel); }

    QTemporaryDir root;
    QString installDir;
    Configuration config;
    QList<DeleteFileData> list;
    QStringList messages;
};

TEST_F(DeleteListTest, DeletesInOrderAndMissingOrStubbornEntriesDoNotFail)
{
    ASSERT_TRUE(writeAllMakingDirs(installDir + "/old.so", "x"));
    ASSERT_TRUE(writeAllMakingDirs(installDir + "/tree/a/b", "x"));
    ASSERT_TRUE(writeAllMakingDirs(installDir + "/full/keep", "x"));
    ASSERT_TRUE(writeAllMakingDirs(installDir + "/kept.txt", "x"));
    list = {{QStringLiteral("old.so"), false},
            {QStringLiteral("missing"), false},
            {QStringLiteral("tree"), true},
            {QStringLiteral("full"), false}};
    EXPECT_EQ(run(), TASK_FINISHED);
    EXPECT_EQ(messages.value(0), QStringLiteral("Starting deleting files"));
    EXPECT_FALSE(exists("old.so"));
    EXPECT_FALSE(exists("tree"));
    // Not recursive: a directory with contents stays, and the list goes on.
    EXPECT_TRUE(exists("full/keep"));
    EXPECT_TRUE(exists("kept.txt"));
}

// A removed folder tree listed parents first, as the ini lists it, still
// goes whole with plain deletions; a folder holding a user's (hidden) file
// stays with it, and nothing the new tree holds is deleted, whatever the
// line. Alike when deletions are final and when the journal keeps them.
TEST_F(DeleteListTest, RemovedFoldersGoDeepestFirstOnlyWhenEmptyAndNeverWhatTheTreeHolds)
{
    for (bool journaled : {false, true}) {
        SCOPED_TRACE(journaled ? "journaled" : "final");
        QDir(installDir).removeRecursively();
        for (const char* f : {"plugins/b.so", "plugins/sub/a.so", "docs/old.txt", "docs/.mine", "foo/bar", "keep.txt"})
            ASSERT_TRUE(writeAllMakingDirs(installDir + "/" + f, "x"));
        list = {{"docs", false},    {"docs/old.txt", false}, {"foo", true},          {"keep.txt", false},
                {"plugins", false}, {"plugins/b.so", false}, {"plugins/sub", false}, {"plugins/sub/a.so", false}};
        const QStringList treeFiles{"foo/bar", "keep.txt"};
        ReplaceJournal journal(installDir, root.filePath("tmp"));
        FileDeleteListTaskSpecification task(&list, &config, nullptr, 0.05, journaled ? &journal : nullptr);
        task.setTreeFiles(&treeFiles);
        task.execute();
        waitFor([&] { return task.state() != TASK_RUNNING; });
        EXPECT_EQ(task.state(), TASK_FINISHED);
        QString error;
        ASSERT_TRUE(journal.finish(&error)) << error.toStdString();
        EXPECT_FALSE(exists("plugins"));
        EXPECT_FALSE(exists("docs/old.txt"));
        EXPECT_TRUE(exists("docs/.mine"));
        EXPECT_TRUE(exists("foo/bar"));
        EXPECT_TRUE(exists("keep.txt"));
        EXPECT_FALSE(exists(ReplaceJournal::folderName()));
    }
}

TEST_F(DeleteListTest, EmptyListFinishesAtOnce)
{
    EXPECT_EQ(run(), TASK_FINISHED);
    EXPECT_EQ(messages, QStringList({"Starting deleting files"}));
}

TEST_F(DeleteListTest, EntriesLeavingTheInstallDirectoryAreRefused)
{
    ASSERT_TRUE(writeAllMakingDirs(root.filePath("outside/precious"), "x"));
    ASSERT_TRUE(writeAllMakingDirs(installDir + "/inside", "x"));
    list = {{QStringLiteral("../outside"), true},
            {QStringLiteral("."), true},
            {root.filePath("outside"), true},
            {QStringLiteral("inside"), false}};
    EXPECT_EQ(run(), TASK_FINISHED);
    EXPECT_TRUE(QFileInfo::exists(root.filePath("outside/precious")));
    EXPECT_TRUE(QFileInfo(installDir).isDir());
    EXPECT_FALSE(exists("inside"));
    EXPECT_TRUE(messages.contains("Refusing to delete ../outside outside the install directory"));
    EXPECT_TRUE(messages.contains("Refusing to delete . outside the install directory"));
}

TEST_F(DeleteListTest, LinkedDirectoryIsNotFollowedOutOfTheInstallDirectory)
{
    ASSERT_TRUE(writeAllMakingDirs(root.filePath("outside/precious"), "x"));
    ASSERT_TRUE(QFile::link(root.filePath("outside"), installDir + "/link"));
    ASSERT_TRUE(QFile::link(root.filePath("outside"), installDir + "/link2"));
    list = {{QStringLiteral("link/precious"), false}, {QStringLiteral("link2"), true}};
    EXPECT_EQ(run(), TASK_FINISHED);
    EXPECT_TRUE(QFileInfo::exists(root.filePath("outside/precious")));
    EXPECT_TRUE(messages.contains("Refusing to delete link/precious outside the install directory"));
    // The link itself is the installation's and goes.
    EXPECT_FALSE(QFileInfo(installDir + "/link2").isSymLink());
    EXPECT_TRUE(QFileInfo(installDir + "/link").isSymLink());
}

} // namespace
