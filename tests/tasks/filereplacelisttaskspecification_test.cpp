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

// The journal's folder and anything written in parts, wherever it lies.
QStringList backups(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        if (p.contains(ReplaceJournal::folderName()) || p.contains(".qnd-part-"))
            out.append(p);
    }
    return out;
}

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

// A link anywhere in a target's path that leads out of the install
// directory refuses the whole list before anything is written, also a
// directory that would be created through it; a link that stays inside is
// followed as any directory.
TEST_F(ReplaceListTest, LinkLeadingOutOfTheInstallDirectoryRefusesTheList)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    ASSERT_TRUE(writeAllMakingDirs(outside.filePath("x"), "outside"));
    struct Row
    {
        const char* target;
        bool refused;
    };
    const Row rows[] = {
        {"linkdir/x", true}, {"linkdir/sub/deeper/x", true}, {"dangling/x", true},
        {"inner/x", false},  {"inner/sub/x", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.target);
        SetUp();
        ASSERT_TRUE(QDir().mkpath(inInstall("real")));
        ASSERT_TRUE(QFile::link(outside.path(), inInstall("linkdir")));
        ASSERT_TRUE(QFile::link(inInstall("real"), inInstall("inner")));
        ASSERT_TRUE(QFile::link(inInstall("gone"), inInstall("dangling")));
        ASSERT_TRUE(writeGzip(inTemp("n.gz"), "new"));
        list.append(entry("n.gz", row.target, sha512Hex("new")));
        const auto before = snapshot(installDir->path());
        const auto outsideBefore = snapshot(outside.path());
        FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        EXPECT_EQ(snapshot(outside.path()), outsideBefore);
        if (row.refused) {
            EXPECT_EQ(task.state(), TASK_FAILED);
            EXPECT_TRUE(task.allSubTasks().isEmpty());
            const QString refusal =
                QString("Refusing to write '%1': its real location is outside the install directory")
                    .arg(inInstall(row.target));
            EXPECT_TRUE(messages.contains(refusal)) << messages.join("\n").toStdString();
            EXPECT_EQ(task.failureReason(), refusal);
            EXPECT_EQ(snapshot(installDir->path()), before);
        } else {
            EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
            EXPECT_EQ(readAllOrMissing(inInstall(row.target)), "new");
        }
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

// On a full disk every kind of entry fails with the reason, naming the
// installed file, and the installation is left as it was. Needs a small
// tmpfs, which only root can mount.
TEST_F(ReplaceListTest, FullDiskSaysWhyAndLeavesTheInstallationAsItWas)
{
    QTemporaryDir mountPoint;
    ASSERT_TRUE(mountPoint.isValid());
    if (!runToSuccess("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", mountPoint.path()}))
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount
    {
        QString path;
        ~Unmount() { runToSuccess("umount", {path}); }
    } unmount{mountPoint.path()};

    const QByteArray big = randomBytes(1300000, 51);
    ASSERT_TRUE(writeAllMakingDirs(inTemp("big.dat"), big));
    ASSERT_TRUE(writeGzip(inTemp("big.gz"), big));
    ASSERT_TRUE(writePacked(inTemp("big._lzma2_"), big, scratch));
    ASSERT_TRUE(writePatch(inTemp("big_patch_"), oldLib, big, scratch));
    const QList<ReplaceFileData> rows = {
        [&] {
            auto e = entry("big.dat");
            e.fileHash = sha512Hex(big);
            return e;
        }(),
        entry("big.gz", "lib/a.so", sha512Hex(big)),
        entry("big._lzma2_", "lib/a.so", sha512Hex(big)),
        entry("big_patch_", "lib/a.so", sha512Hex(big), "big_patch_"),
    };
    config.m_InstallDir = mountPoint.path();
    ASSERT_TRUE(writeAllMakingDirs(mountPoint.filePath("lib/a.so"), oldLib));
    ASSERT_TRUE(writeAllMakingDirs(mountPoint.filePath("big.dat"), "old"));
    for (const ReplaceFileData& row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        const auto before = snapshot(mountPoint.path());
        const QList<ReplaceFileData> one{row};
        FileReplaceListTaskSpecification task(&one, &config, nullptr, 0.4);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        EXPECT_EQ(task.state(), TASK_FAILED);
        const QString installed = mountPoint.filePath(row.targetName());
        EXPECT_TRUE(messages.contains(QString("Could not write '%1': No space left on device").arg(installed)))
            << messages.join("\n").toStdString();
        // What the session fails of, ahead of the entry's own text.
        EXPECT_EQ(task.failureReason(), QString("Could not write '%1': No space left on device").arg(installed));
        EXPECT_EQ(snapshot(mountPoint.path()), before);
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
