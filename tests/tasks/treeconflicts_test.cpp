#include "configuration.h"
#include "filereplace_testutil.h"
#include "filereplacelisttaskspecification.h"
#include "replacejournal.h"
#include "treeconflicts.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace replacetest;

namespace {

// Entries that stand where the new tree needs the other type are moved aside
// when the deletions remove all of them, and current files get the tree's
// execute bits; a failing entry afterwards puts every one of them back, and
// a user's file in the way stops the list before anything changes.
TEST_F(ReplaceListTest, TypeChangesAndExecuteBitsAreMadeAndUndoneWithTheList)
{
    struct Row
    {
        const char* name;
        QStringList installed; // files, "name/" for an empty folder
        QList<DeleteFileData> deletions;
        QString target; // a whole-file entry; ends with '/' for a folder of one file
        bool stops;     // a user's file is in the way
    };
    const Row rows[] = {
        {"file becomes folder", {"foo"}, {{"foo", false}}, "foo/bar", false},
        {"folder becomes file",
         {"docs/a.txt", "docs/sub/b.txt", "docs/empty/"},
         {{"docs/a.txt", false}, {"docs/sub/b.txt", false}, {"docs/sub", false}},
         "docs",
         false},
        {"folder deleted as a tree", {"docs/a.txt", "docs/sub/b.txt"}, {{"docs", true}}, "docs", false},
        {"user's file in the folder", {"docs/a.txt", "docs/mine.txt"}, {{"docs/a.txt", false}}, "docs", true},
        {"file becomes folder, not deleted", {"foo"}, {}, "foo/bar", false},
    };
    for (const Row& row : rows) {
        for (bool failing : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (failing ? ", then an entry fails" : ""));
            SetUp();
            for (const QString& f : row.installed) {
                if (f.endsWith('/'))
                    ASSERT_TRUE(QDir().mkpath(inInstall(f)));
                else
                    ASSERT_TRUE(writeAllMakingDirs(inInstall(f), "old " + f.toUtf8()));
            }
            ASSERT_TRUE(writeAllMakingDirs(inInstall("run.sh"), "#!/bin/sh\n"));
            ASSERT_TRUE(QFile::setPermissions(
                inInstall("run.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
            ASSERT_TRUE(writeAllMakingDirs(inTemp(row.target), "new"));
            list = {entry(row.target)};
            if (failing)
                list.append(entry("z.gz", "z", sha512Hex("z"))); // never downloaded
            const QList<ModeChangeData> modes = {{"run.sh", 0111}};
            const auto before = snapshot(installDir->path());
            FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
            task.setTreeChanges(&row.deletions, &modes);
            QStringList messages;
            QObject::connect(&task, &TaskSpecification::message, &task,
                             [&messages](const QString& m) { messages.append(m); });
            task.execute();
            // The tree is prepared before any entry is written, and the
            // mode change is in the journal by then: a crash now undoes it.
            if (!row.stops) {
                EXPECT_EQ(task.state(), TASK_RUNNING);
                EXPECT_TRUE(readAllOrMissing(ReplaceJournal::folderPath(installDir->path()) + "/journal")
                                .contains("\nM run.sh 644\n"));
            }
            ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING && task.state() != TASK_IDLE; }));
            const bool done = !failing && !row.stops;
            EXPECT_EQ(task.state(), done ? TASK_FINISHED : TASK_FAILED) << messages.join("\n").toStdString();
            EXPECT_TRUE(backups(installDir->path()).isEmpty());
            if (!done) {
                EXPECT_EQ(snapshot(installDir->path()), before);
                EXPECT_FALSE(messages.filter("warning: rollback").size()) << messages.join("\n").toStdString();
                if (row.stops) {
                    EXPECT_EQ(messages.filter("Move it elsewhere").size(), 1) << messages.join("\n").toStdString();
                }
                continue;
            }
            EXPECT_EQ(readAllOrMissing(inInstall(row.target)), "new");
            EXPECT_EQ(int(QFile::permissions(inInstall("run.sh")) & 0x0FFF), 0x0755);
            for (const QString& f : row.installed) {
                if (!row.target.startsWith(f)) {
                    EXPECT_FALSE(QFileInfo::exists(inInstall(f))) << f.toStdString();
                }
            }
        }
    }
}

} // namespace
