#include "filereplacelisttaskspecification.h"
#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplace_testutil.h"
#include "filereplacetaskspecification.h"
#include "replacejournal.h"
#include "support/childprocess.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace replacetest;

namespace {

TEST_F(ReplaceListTest, SuccessfulListInstallsEveryFileAndKeepsNoBackups)
{
    FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
    EXPECT_EQ(messages.value(0), "Starting file updates");
    EXPECT_FALSE(messages.contains("rolling back file updates"));
    EXPECT_EQ(readAllOrMissing(inInstall("lib/a.so")), newLib);
    EXPECT_EQ(readAllOrMissing(inInstall("bin/tool")), newTool);
    EXPECT_EQ(readAllOrMissing(inInstall("share/data.txt")), newData);
    EXPECT_EQ(readAllOrMissing(inInstall("deep/er/x")), "new file");
    EXPECT_EQ(readAllOrMissing(inInstall("untouched")), "stays");
    EXPECT_TRUE(backups(installDir->path()).isEmpty()) << backups(installDir->path()).join(" ").toStdString();
    // The one missing directory text, created outermost first.
    ASSERT_EQ(task.allSubTasks().size(), 5);
    EXPECT_NE(qobject_cast<DirCreateTaskSpecification*>(task.allSubTasks()[0]), nullptr);
    EXPECT_DOUBLE_EQ(task.allSubTasks()[0]->weight(), 0.1);
    EXPECT_DOUBLE_EQ(task.allSubTasks()[1]->weight(), 0.9 / 4);
    EXPECT_DOUBLE_EQ(task.progress(), 0.4);
    // A committed replacement has nothing left to undo.
    EXPECT_TRUE(task.rollbackList().isEmpty());
}

// Any failure anywhere in the list leaves the installation byte-identical to
// what it was, including modes and directories the list created.
TEST_F(ReplaceListTest, AnyFailureRollsTheWholeInstallationBack)
{
    struct Row
    {
        const char* name;
        std::function<void()> inject;
    };
    const Row rows[] = {
        {"corrupt packed download",
         [&] {
             QByteArray p = readAllOrMissing(inTemp("bin/tool._lzma2_"));
             p[p.size() / 2] = char(p[p.size() / 2] ^ 0x10);
             writeAllMakingDirs(inTemp("bin/tool._lzma2_"), p);
         }},
        {"corrupt gzip download",
         [&] { writeAllMakingDirs(inTemp("x.gz"), readAllOrMissing(inTemp("x.gz")).left(12)); }},
        {"digest mismatch of the result", [&] { list[3].installedHash = sha512Hex("something else"); }},
        {"failing patch", [&] { writeAllMakingDirs(inInstall("lib/a.so"), oldLib + "locally changed"); }},
        {"unwritable target",
         [&] {
             list.append(entry("y.gz", "untouched/y", sha512Hex("y")));
             writeGzip(inTemp("y.gz"), "y");
         }},
        {"directory in the way",
         [&] {
             QDir().mkpath(inInstall("dir/in/way"));
             list.append(entry("dir/in"));
             writeAllMakingDirs(inTemp("dir/in"), "f");
         }},
        {"missing download", [&] { list.append(entry("z.gz", "z", sha512Hex("z"))); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.inject();
        const auto before = snapshot(installDir->path());
        FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_TRUE(messages.contains("rolling back file updates")) << messages.join("\n").toStdString();
        EXPECT_FALSE(messages.filter("warning: rollback").size()) << messages.join("\n").toStdString();
        EXPECT_EQ(snapshot(installDir->path()), before);
        EXPECT_TRUE(task.rollbackList().isEmpty());
    }
}

// Names that are links to lib/a.so (sorting before and after it, in another
// folder, a link to a link, a name in a folder that is a link to lib) are
// patched from the library's old bytes
// whichever entry runs first, and end as files of their own with the new
// bytes; a link whose bytes stay becomes a file with them. A failure later
// in the list puts every link back as the link it was; a link that leads
// out of the installation stops the list before any change.
TEST_F(ReplaceListTest, LinksArePatchedFromTheirTargetsOldBytesAndUndoneAsLinks)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    ASSERT_TRUE(writeAllMakingDirs(outside.filePath("a.so"), oldLib));
    struct Row
    {
        const char* name;
        std::function<void()> inject;
        const char* failure; // null when the list succeeds
    };
    const Row rows[] = {
        {"links become files", [] {}, nullptr},
        {"failure after the links", [&] { list.append(entry("z.gz", "z", sha512Hex("z"))); },
         "rolling back file updates"},
        {"link leading out",
         [&] {
             ASSERT_TRUE(QFile::link(outside.filePath("a.so"), inInstall("lib/out.so")));
             list.append(entry("a.so_patch_", "lib/out.so", sha512Hex(newLib), "a.so_patch_"));
         },
         "Refusing to read '%1/lib/out.so': its real location is outside the install directory"},
    };
    const QMap<QString, QString> links = {{"lib/0.so", "a.so"},
                                          {"lib/a.so.1", "a.so"},
                                          {"other/a.so", "../lib/a.so"},
                                          {"lib/chain.so", "a.so.1"},
                                          {"lib/same.so", "a.so"}};
    const auto linkTexts = [&] {
        QMap<QString, QString> texts;
        for (const QString& name : links.keys() + QStringList{"libdir"})
            texts.insert(name, QFileInfo(inInstall(name)).symLinkTarget());
        return texts;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        ASSERT_TRUE(QDir().mkpath(inInstall("other")));
        for (auto it = links.begin(); it != links.end(); ++it)
            ASSERT_TRUE(QFile::link(it.value(), inInstall(it.key())));
        list.prepend(entry("a.so_patch_", "lib/0.so", sha512Hex(newLib), "a.so_patch_"));
        ASSERT_TRUE(QFile::link("lib", inInstall("libdir")));
        for (const char* name : {"lib/a.so.1", "other/a.so", "lib/chain.so", "libdir/a.so"})
            list.append(entry("a.so_patch_", name, sha512Hex(newLib), "a.so_patch_"));
        ReplaceFileData same = entry("same._lzma2_", "lib/same.so", sha512Hex(oldLib));
        same.keepsBytes = true;
        list.append(same);
        row.inject();
        const auto before = snapshot(installDir->path());
        const auto textsBefore = linkTexts();
        FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        if (!row.failure) {
            EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
            EXPECT_TRUE(QFileInfo(inInstall("libdir")).isSymLink());
            for (const QString& name : links.keys() + QStringList{"lib/a.so", "libdir/a.so"}) {
                EXPECT_FALSE(QFileInfo(inInstall(name)).isSymLink()) << name.toStdString();
                EXPECT_EQ(readAllOrMissing(inInstall(name)), name == "lib/same.so" ? oldLib : newLib)
                    << name.toStdString();
            }
            continue;
        }
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_TRUE(messages.contains(QString(row.failure).replace("%1", installDir->path())))
            << messages.join("\n").toStdString();
        EXPECT_FALSE(messages.filter("warning: rollback").size()) << messages.join("\n").toStdString();
        EXPECT_EQ(linkTexts(), textsBefore);
        EXPECT_EQ(snapshot(installDir->path()), before);
        EXPECT_EQ(readAllOrMissing(outside.filePath("a.so")), oldLib);
    }
}

// A journal folder that is a link (to a directory outside holding files) or
// a file, or one whose journal this updater cannot undo: the list fails with
// a message saying so, which is its cause, and the link, what it leads to
// and the installation are left exactly as they were.
TEST_F(ReplaceListTest, JournalFolderThatIsNoFolderOfThisUserRefusesTheList)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    ASSERT_TRUE(writeAllMakingDirs(outside.filePath("precious"), "outside"));
    ASSERT_TRUE(writeAllMakingDirs(outside.filePath("sub/deeper"), "outside"));
    const QString notOurs = "Refusing to use '%1': it is not a folder of this user; remove it to update";
    const struct
    {
        std::function<bool(const QString&)> arrange;
        QString refusal; // %1 is the folder
    } rows[] = {
        {[&](const QString& folder) { return QFile::link(outside.path(), folder); }, notOurs},
        {[&](const QString& folder) { return writeAll(folder, "a file"); }, notOurs},
        {[&](const QString& folder) { return writeAllMakingDirs(folder + "/journal", "V 99\nT /nowhere\n"); },
         "Could not undo the unfinished update in '%1': its journal is of version 99, this updater knows up to 3"},
    };
    for (const auto& row : rows) {
        SetUp();
        const QString folder = ReplaceJournal::folderPath(installDir->path());
        ASSERT_TRUE(row.arrange(folder));
        const QFileInfo before(folder);
        const auto installBefore = snapshot(installDir->path()), outsideBefore = snapshot(outside.path());
        FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_TRUE(messages.contains(row.refusal.arg(folder))) << messages.join("\n").toStdString();
        EXPECT_EQ(task.failureReason(), row.refusal.arg(folder));
        EXPECT_EQ(snapshot(installDir->path()), installBefore);
        EXPECT_EQ(snapshot(outside.path()), outsideBefore);
        EXPECT_EQ(QFileInfo(folder).isSymLink(), before.isSymLink());
        if (before.isSymLink() || before.isFile()) {
            EXPECT_EQ(readAllOrMissing(folder + (before.isSymLink() ? "/precious" : "")),
                      before.isSymLink() ? "outside" : "a file");
        }
    }
}

TEST_F(ReplaceListTest, CancelRollsBackWhatWasDone)
{
    FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
    const auto before = snapshot(installDir->path());
    QStringList messages;
    // The first entry's start is queued: cancel right after the list starts.
    QObject::connect(&task, &TaskSpecification::message, &task, [&](const QString& m) {
        if (m.startsWith("add/replace"))
            task.cancel();
    });
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_CANCELED) << messages.join("\n").toStdString();
    EXPECT_TRUE(messages.contains("rolling back file updates"));
    EXPECT_EQ(snapshot(installDir->path()), before);
}

TEST_F(ReplaceListTest, EmptyListFinishesAtOnceWithoutSubtasks)
{
    const QList<ReplaceFileData> empty;
    FileReplaceListTaskSpecification task(&empty, &config, nullptr, 0.4);
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(messages, QStringList{"Starting file updates"});
    EXPECT_TRUE(task.allSubTasks().isEmpty());
}

TEST_F(ReplaceListTest, MissingDirectoriesAreCreatedOncePerTextInCaseSensitiveOrder)
{
    for (const char* f : {"1", "2", "3", "4"})
        writeAllMakingDirs(inTemp(f), f);
    const QList<ReplaceFileData> entries = {
        {"client", "1", QString(), 0, "a/f1", QString(), QString()},
        {"client", "2", QString(), 0, "B/f2", QString(), QString()},
        {"client", "3", QString(), 0, "a/f3", QString(), QString()},
        {"client", "4", QString(), 0, "top", QString(), QString()},
    };
    QList<ReplaceFileData> copies;
    for (ReplaceFileData e : entries) {
        // Plain copies under the target names.
        writeAllMakingDirs(inTemp(e.target), e.name.toUtf8());
        e.name = e.target;
        e.target.clear();
        copies.append(e);
    }
    FileReplaceListTaskSpecification task(&copies, &config, nullptr, 1.0);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    QStringList dirs;
    QList<qreal> weights;
    for (TaskSpecification* sub : task.allSubTasks()) {
        if (auto* d = qobject_cast<DirCreateTaskSpecification*>(sub)) {
            dirs.append(QDir(installDir->path()).relativeFilePath(d->path()));
            weights.append(d->weight());
        }
    }
    EXPECT_EQ(dirs, (QStringList{"B", "a"}));
    EXPECT_EQ(weights, (QList<qreal>{0.05, 0.05}));
    EXPECT_EQ(readAllOrMissing(inInstall("a/f3")), "3");

    // All directories present: the entries share the whole weight.
    FileReplaceListTaskSpecification again(&copies, &config, nullptr, 1.0);
    for (const ReplaceFileData& e : copies)
        QFile::remove(inInstall(e.name));
    ASSERT_TRUE(runToEnd(again));
    EXPECT_EQ(again.state(), TASK_FINISHED);
    ASSERT_EQ(again.allSubTasks().size(), 4);
    EXPECT_DOUBLE_EQ(again.allSubTasks()[0]->weight(), 0.25);
}

} // namespace
