#include "filereplacelisttaskspecification.h"
#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplace_testutil.h"
#include "filereplacetaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "replacejournal.h"

#include <QSignalSpy>
#include "support/childprocess.h"
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace replacetest;

namespace {

ReplaceFileData entry(const QString& name, const QString& target = QString(), const QString& installedHash = QString(),
                      const QString& patchFile = QString())
{
    ReplaceFileData e;
    e.section = "client";
    e.name = name;
    e.target = target;
    e.installedHash = installedHash;
    e.patchFile = patchFile;
    return e;
}

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

class ReplaceListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        tempDir.reset(new QTemporaryDir);
        installDir.reset(new QTemporaryDir);
        ASSERT_TRUE(tempDir->isValid() && installDir->isValid() && scratch.isValid());
        config.m_TempDir = tempDir->path();
        config.m_InstallDir = installDir->path();
        oldLib = textBytes(40000, 31);
        newLib = oldLib;
        newLib.replace(100, 4, "NEW!");
        newTool = textBytes(9000, 32);
        newData = randomBytes(3000, 33);
        // An installation: lib/a.so will be patched, bin/tool replaced by an
        // unpack, share/data.txt by a whole-file copy; deep/er/x is new.
        writeAll(inInstall("lib/a.so"), oldLib);
        writeAll(inInstall("bin/tool"), "old tool");
        QFile::setPermissions(inInstall("bin/tool"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        writeAll(inInstall("share/data.txt"), "old data");
        writeAll(inInstall("untouched"), "stays");
        writePatch(inTemp("a.so_patch_"), oldLib, newLib, scratch);
        writePacked(inTemp("bin/tool._lzma2_"), newTool, scratch);
        writeAll(inTemp("share/data.txt"), newData);
        writeGzip(inTemp("x.gz"), "new file");
        list = {
            entry("a.so_patch_", "lib/a.so", sha512Hex(newLib), "a.so_patch_"),
            entry("bin/tool._lzma2_", "bin/tool", sha512Hex(newTool)),
            entry("share/data.txt"),
            entry("x.gz", "deep/er/x", sha512Hex("new file")),
        };
    }
    QString inTemp(const QString& rel) const { return tempDir->filePath(rel); }
    QString inInstall(const QString& rel) const { return installDir->filePath(rel); }

    std::unique_ptr<QTemporaryDir> tempDir, installDir;
    QTemporaryDir scratch;
    Configuration config;
    QByteArray oldLib, newLib, newTool, newData;
    QList<ReplaceFileData> list;
};

TEST_F(ReplaceListTest, SuccessfulListInstallsEveryFileAndKeepsNoBackups)
{
    FileReplaceListTaskSpecification task(&list, &config, nullptr, 0.4);
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
    EXPECT_EQ(messages.value(0), "Starting file updates");
    EXPECT_FALSE(messages.contains("rolling back file updates"));
    EXPECT_EQ(readAll(inInstall("lib/a.so")), newLib);
    EXPECT_EQ(readAll(inInstall("bin/tool")), newTool);
    EXPECT_EQ(readAll(inInstall("share/data.txt")), newData);
    EXPECT_EQ(readAll(inInstall("deep/er/x")), "new file");
    EXPECT_EQ(readAll(inInstall("untouched")), "stays");
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
    struct Row {
        const char* name;
        std::function<void()> inject;
    };
    const Row rows[] = {
        {"corrupt packed download", [&] { QByteArray p = readAll(inTemp("bin/tool._lzma2_")); p[p.size() / 2] = char(p[p.size() / 2] ^ 0x10); writeAll(inTemp("bin/tool._lzma2_"), p); }},
        {"corrupt gzip download", [&] { writeAll(inTemp("x.gz"), readAll(inTemp("x.gz")).left(12)); }},
        {"digest mismatch of the result", [&] { list[3].installedHash = sha512Hex("something else"); }},
        {"failing patch", [&] { writeAll(inInstall("lib/a.so"), oldLib + "locally changed"); }},
        {"unwritable target", [&] { list.append(entry("y.gz", "untouched/y", sha512Hex("y"))); writeGzip(inTemp("y.gz"), "y"); }},
        {"directory in the way", [&] { QDir().mkpath(inInstall("dir/in/way")); list.append(entry("dir/in")); writeAll(inTemp("dir/in"), "f"); }},
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

// A link anywhere in a target's path that leads out of the install
// directory refuses the whole list before anything is written, also a
// directory that would be created through it; a link that stays inside is
// followed as any directory.
TEST_F(ReplaceListTest, LinkLeadingOutOfTheInstallDirectoryRefusesTheList)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    ASSERT_TRUE(writeAll(outside.filePath("x"), "outside"));
    struct Row {
        const char* target;
        bool refused;
    };
    const Row rows[] = {
        {"linkdir/x", true}, {"linkdir/sub/deeper/x", true}, {"dangling/x", true},
        {"inner/x", false}, {"inner/sub/x", false},
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
            EXPECT_TRUE(messages.contains(QString("Refusing to write '%1': its real location is outside the install "
                                                  "directory").arg(inInstall(row.target))))
                << messages.join("\n").toStdString();
            EXPECT_EQ(snapshot(installDir->path()), before);
        } else {
            EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
            EXPECT_EQ(readAll(inInstall(row.target)), "new");
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
    struct Unmount {
        QString path;
        ~Unmount() { runToSuccess("umount", {path}); }
    } unmount{mountPoint.path()};

    const QByteArray big = randomBytes(1300000, 51);
    ASSERT_TRUE(writeAll(inTemp("big.dat"), big));
    ASSERT_TRUE(writeGzip(inTemp("big.gz"), big));
    ASSERT_TRUE(writePacked(inTemp("big._lzma2_"), big, scratch));
    ASSERT_TRUE(writePatch(inTemp("big_patch_"), oldLib, big, scratch));
    const QList<ReplaceFileData> rows = {
        [&] { auto e = entry("big.dat"); e.fileHash = sha512Hex(big); return e; }(),
        entry("big.gz", "lib/a.so", sha512Hex(big)),
        entry("big._lzma2_", "lib/a.so", sha512Hex(big)),
        entry("big_patch_", "lib/a.so", sha512Hex(big), "big_patch_"),
    };
    config.m_InstallDir = mountPoint.path();
    ASSERT_TRUE(writeAll(mountPoint.filePath("lib/a.so"), oldLib));
    ASSERT_TRUE(writeAll(mountPoint.filePath("big.dat"), "old"));
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
        writeAll(inTemp(f), f);
    const QList<ReplaceFileData> entries = {
        {"client", "1", QString(), 0, "a/f1", QString(), QString()},
        {"client", "2", QString(), 0, "B/f2", QString(), QString()},
        {"client", "3", QString(), 0, "a/f3", QString(), QString()},
        {"client", "4", QString(), 0, "top", QString(), QString()},
    };
    QList<ReplaceFileData> copies;
    for (ReplaceFileData e : entries) {
        // Plain copies under the target names.
        writeAll(inTemp(e.target), e.name.toUtf8());
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
    EXPECT_EQ(readAll(inInstall("a/f3")), "3");

    // All directories present: the entries share the whole weight.
    FileReplaceListTaskSpecification again(&copies, &config, nullptr, 1.0);
    for (const ReplaceFileData& e : copies)
        QFile::remove(inInstall(e.name));
    ASSERT_TRUE(runToEnd(again));
    EXPECT_EQ(again.state(), TASK_FINISHED);
    ASSERT_EQ(again.allSubTasks().size(), 4);
    EXPECT_DOUBLE_EQ(again.allSubTasks()[0]->weight(), 0.25);
}

// ---- self-update ----


QString lastIniDir;
bool writeIniOk(const QString& dir)
{
    lastIniDir = dir;
    return writeAll(dir + "/update.ini", "[current]\n");
}
bool writeIniFails(const QString& dir)
{
    lastIniDir = dir;
    return false;
}

class SelfUpdateTest : public ReplaceListTest
{
protected:
    void SetUp() override
    {
        ReplaceListTest::SetUp();
        ASSERT_TRUE(translations.isValid());
        writeAll(translations.filePath("update_de.qm"), "de");
        writeAll(translations.filePath("update_fr.qm"), "fr");
        writeAll(translations.filePath("qt_de.qm"), "qt");
        writeAll(inTemp("translations/update_fr.qm"), "already there");
        writeAll(inTemp("update"), "#!/bin/sh\n");
        lastIniDir.clear();
    }
    QTemporaryDir translations;
};

TEST_F(SelfUpdateTest, BuildsTheNewUpdaterInTheTempDirectoryOnly)
{
    const auto installBefore = snapshot(installDir->path());
    UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, 0.4, &writeIniOk);
    task.setTranslationsSource(translations.path());
    qreal maxProgress = 0;
    QObject::connect(&task, &TaskSpecification::updateProgress, &task,
                     [&](qreal) { maxProgress = qMax(maxProgress, task.progress()); });
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
    EXPECT_EQ(messages, QStringList{"Patching lib/a.so"});
    EXPECT_EQ(snapshot(installDir->path()), installBefore);
    EXPECT_EQ(readAll(inTemp("lib/a.so")), newLib);
    EXPECT_EQ(readAll(inTemp("lib/a.so_old")), oldLib);
    EXPECT_EQ(readAll(inTemp("bin/tool")), newTool);
    EXPECT_EQ(readAll(inTemp("deep/er/x")), "new file");
    // The whole-file entry gets no subtask: its download is already in place.
    EXPECT_EQ(task.allSubTasks().size(), 3);
    EXPECT_NE(qobject_cast<FileTaskSpecification_patch*>(task.allSubTasks()[0]), nullptr);
    EXPECT_NE(qobject_cast<FileUnpackTaskSpecification_lzma2*>(task.allSubTasks()[1]), nullptr);
    EXPECT_NE(qobject_cast<FileUnpackTaskSpecification_zip*>(task.allSubTasks()[2]), nullptr);
    EXPECT_EQ(int(QFile::permissions(inTemp("update")) & 0x0FFF), 0x0755);
    EXPECT_EQ(lastIniDir, tempDir->path());
    EXPECT_EQ(readAll(inTemp("translations/update_de.qm")), "de");
    EXPECT_EQ(readAll(inTemp("translations/update_fr.qm")), "already there");
    EXPECT_FALSE(QFileInfo::exists(inTemp("translations/qt_de.qm")));
    EXPECT_DOUBLE_EQ(task.progress(), 0.4);
    EXPECT_LE(maxProgress, 0.4 + 1e-9);
}

TEST_F(SelfUpdateTest, FailingUnpackStillWritesTheRecordAndFails)
{
    writeAll(inTemp("bin/tool._lzma2_"), "not packed");
    UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, 0.4, &writeIniOk);
    task.setTranslationsSource(translations.path());
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_TRUE(messages.contains(QString("Could not unpack '%1' to '%2'").arg(inTemp("bin/tool._lzma2_"), inTemp("bin/tool"))));
    EXPECT_EQ(lastIniDir, tempDir->path());
    EXPECT_EQ(readAll(inTemp("translations/update_de.qm")), "de");
    EXPECT_EQ(readAll(inInstall("bin/tool")), "old tool");
}

TEST_F(SelfUpdateTest, UnwrittenSessionRecordFailsWithTheErrorText)
{
    for (auto writer : {&writeIniFails, static_cast<bool (*)(const QString&)>(nullptr)}) {
        const QList<ReplaceFileData> empty;
        UpdateSelfUnzipTaskSpecification task(&empty, &config, nullptr, 0.4, writer);
        task.setTranslationsSource(translations.path());
        QSignalSpy errors(&task, &TaskSpecification::error);
        ASSERT_TRUE(runToEnd(task));
        EXPECT_EQ(task.state(), TASK_FAILED);
        ASSERT_EQ(errors.size(), 1);
        EXPECT_EQ(errors[0][0].toString(), "Failed to write temp update.ini. The updater does not seem to have the "
                                           "required write permissions.");
        // The translations are not copied after the failed record.
        EXPECT_FALSE(QFileInfo::exists(inTemp("translations/update_de.qm")));
    }
}

TEST_F(SelfUpdateTest, EmptyListFinishesAtOnceWithTheFinishingSteps)
{
    const QList<ReplaceFileData> empty;
    UpdateSelfUnzipTaskSpecification task(&empty, &config, nullptr, 0.4, &writeIniOk);
    task.setTranslationsSource(translations.path());
    task.execute();
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(lastIniDir, tempDir->path());
    EXPECT_EQ(readAll(inTemp("translations/update_de.qm")), "de");
    EXPECT_EQ(int(QFile::permissions(inTemp("update")) & 0x0FFF), 0x0755);
}

}  // namespace
