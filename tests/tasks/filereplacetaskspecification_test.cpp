#include "filereplacetaskspecification.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filereplace_testutil.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "installpath.h"
#include "replacejournal.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

using namespace replacetest;

namespace {

class FileReplaceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp.isValid() && install.isValid() && scratch.isValid());
        config.m_TempDir = temp.path();
        config.m_InstallDir = install.path();
    }
    QString inTemp(const QString& rel) const { return temp.filePath(rel); }
    QString inInstall(const QString& rel) const { return install.filePath(rel); }

    QTemporaryDir temp;
    QTemporaryDir install;
    QTemporaryDir scratch;
    Configuration config;
};

// Each way of writing an installed file, over a file that was there and over
// none, under a short name and under one of 250 bytes (near the file-name
// limit, which no kept or part file may push it over): the result, the
// records handed to the list, and no backup lying about.
TEST_F(FileReplaceTest, EveryKindOfEntryPutsTheNewFileInPlace)
{
    const QByteArray oldData = textBytes(30000, 21);
    QByteArray newData = oldData;
    newData.replace(5000, 10, "0123456789");
    struct Row
    {
        const char* name;
        std::function<ReplaceFileData()> arrange;
        int subtasks;
    };
    QString target;
    const Row rows[] = {
        {"plain copy",
         [&] {
             writeAllMakingDirs(inTemp(target), newData);
             auto e = entry(target);
             e.fileHash = sha512Hex(newData);
             return e;
         },
         1},
        {"gzip",
         [&] {
             writeGzip(inTemp("lib/a.gz"), newData);
             return entry("lib/a.gz", target, sha512Hex(newData));
         },
         2},
        {"lzma2",
         [&] {
             writePacked(inTemp("lib/a._lzma2_"), newData, scratch);
             return entry("lib/a._lzma2_", target, sha512Hex(newData));
         },
         2},
        {"patch",
         [&] {
             writePatch(inTemp("lib/a_patch_"), oldData, newData, scratch);
             return entry("lib/a_patch_", target, sha512Hex(newData), "lib/a_patch_");
         },
         2},
    };
    for (const QString& name : {QString("a.so"), QString(247, 'n') + ".so"})
        for (const Row& row : rows) {
            target = "lib/" + name;
            for (bool existed : {true, false}) {
                if (!existed && QByteArray(row.name) == "patch")
                    continue; // a patch needs the installed file
                SCOPED_TRACE(std::string(row.name) + (existed ? " over the installed file " : " into a new file ")
                             + name.toStdString());
                QDir(inInstall("lib")).removeRecursively();
                QDir().mkpath(inInstall("lib"));
                if (existed) {
                    ASSERT_TRUE(writeAllMakingDirs(inInstall(target), oldData));
                }
                const ReplaceFileData e = row.arrange();
                RollbackDataList parentList;
                FileReplaceTaskSpecification task(e, &parentList, &config, nullptr, 1.0);
                QStringList messages;
                ASSERT_TRUE(runToEnd(task, &messages));
                EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
                EXPECT_EQ(task.allSubTasks().size(), row.subtasks);
                EXPECT_EQ(messages.value(0), "add/replace " + e.name);
                EXPECT_EQ(readAllOrMissing(inInstall(target)), newData);
                // lib/a.so matches the executable suffix "so"; others may not write it.
                EXPECT_EQ(int(QFile::permissions(inInstall(target)) & 0x0FFF), 0x0755);
                // The list receives how to undo it: the old file put back, or the
                // new one removed. Alone, the entry's change is final at its end.
                ASSERT_EQ(parentList.records().size(), 1);
                const RollbackData& undo = parentList.records()[0];
                EXPECT_EQ(undo.op(), existed ? FILE_RESTORE : FILE_CREATE);
                EXPECT_EQ(existed ? undo.oldPath() : undo.path(), inInstall(target));
                EXPECT_FALSE(QFileInfo::exists(ReplaceJournal::folderPath(install.path())));
            }
        }
}

// A failing entry undoes itself at once: the installed file is the one that
// was there, byte for byte, with its mode, and nothing else is left behind.
TEST_F(FileReplaceTest, FailedEntryLeavesTheInstalledFileUntouched)
{
    const QByteArray oldData = textBytes(20000, 4);
    const QByteArray newData = textBytes(21000, 5);
    struct Row
    {
        const char* name;
        std::function<ReplaceFileData()> arrange;
        const char* firstError; // the failing subtask's text, %1/%2 filled below
    };
    const Row rows[] = {
        {"corrupt gzip download",
         [&] {
             QByteArray gz;
             writeGzip(inTemp("b.gz"), newData);
             gz = readAllOrMissing(inTemp("b.gz"));
             writeAllMakingDirs(inTemp("b.gz"), gz.left(gz.size() - 20));
             return entry("b.gz", "bin/tool", sha512Hex(newData));
         },
         "Could not unzip '%1' to '%2'"},
        {"corrupt packed download",
         [&] {
             writePacked(inTemp("b._lzma2_"), newData, scratch);
             QByteArray p = readAllOrMissing(inTemp("b._lzma2_"));
             writeAllMakingDirs(inTemp("b._lzma2_"), p.left(p.size() - 5));
             return entry("b._lzma2_", "bin/tool", sha512Hex(newData));
         },
         "Could not unpack '%1' to '%2'"},
        {"packed download larger than its line declares",
         [&] {
             writePacked(inTemp("b._lzma2_"), newData, scratch);
             auto e = entry("b._lzma2_", "bin/tool", sha512Hex(newData));
             e.installedSize = quint64(newData.size() - 1);
             return e;
         },
         "Could not unpack '%1' to '%2'"},
        {"digest mismatch of the result",
         [&] {
             writePacked(inTemp("b._lzma2_"), newData, scratch);
             return entry("b._lzma2_", "bin/tool", sha512Hex(newData + "x"));
         },
         "Signature check failed for %2"},
        {"failing patch",
         [&] {
             writePatch(inTemp("b_patch_"), oldData + "other base", newData, scratch);
             return entry("b_patch_", "bin/tool", sha512Hex(newData), "b_patch_");
         },
         "Could not patch '%3' to '%2'"},
        {"missing download", [&] { return entry("nothere.gz", "bin/tool", sha512Hex(newData)); },
         "Could not unzip '%1' to '%2'"},
        {"patch base holding more than its line lists",
         [&] {
             writePatch(inTemp("b_patch_"), oldData, newData, scratch);
             auto e = entry("b_patch_", "bin/tool", sha512Hex(newData), "b_patch_");
             e.baseSize = quint64(oldData.size() - 1);
             return e;
         },
         "Refusing to read '%2': it is larger than the 19999 bytes listed for it"},
        {"whole file that is not the line's",
         [&] {
             writeAllMakingDirs(inTemp("bin/tool"), newData);
             auto e = entry("bin/tool");
             e.fileHash = sha512Hex(oldData);
             return e;
         },
         "Signature check failed for %2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(inInstall("bin")).removeRecursively();
        ASSERT_TRUE(writeAllMakingDirs(inInstall("bin/tool"), oldData));
        ASSERT_TRUE(QFile::setPermissions(inInstall("bin/tool"), QFile::ReadOwner | QFile::WriteOwner));
        const ReplaceFileData e = row.arrange();
        const auto before = snapshot(install.path());
        RollbackDataList parentList;
        FileReplaceTaskSpecification task(e, &parentList, &config, nullptr, 1.0);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_TRUE(parentList.isEmpty());
        EXPECT_EQ(snapshot(install.path()), before);
        const QString expected = QString(row.firstError)
                                     .replace("%1", inTemp(e.name))
                                     .replace("%2", inInstall("bin/tool"))
                                     .replace("%3", inTemp("bin/tool_old"));
        EXPECT_TRUE(messages.contains(expected)) << messages.join("\n").toStdString();
    }
}

// A directory where the file should go cannot be replaced; the entry fails
// before anything is written.
TEST_F(FileReplaceTest, DirectoryInTheWayFailsTheEntryWithoutChanges)
{
    ASSERT_TRUE(QDir().mkpath(inInstall("data/sub")));
    ASSERT_TRUE(writeAllMakingDirs(inInstall("data/sub/keep"), "kept"));
    ASSERT_TRUE(writeAllMakingDirs(inTemp("data/sub"), "whole new file"));
    const auto before = snapshot(install.path());
    RollbackDataList parentList;
    FileReplaceTaskSpecification task(entry("data/sub"), &parentList, &config, nullptr, 1.0);
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_TRUE(
        messages.contains(QString("Could not copy '%1' to '%2'").arg(inTemp("data/sub"), inInstall("data/sub"))));
    EXPECT_EQ(snapshot(install.path()), before);
    EXPECT_TRUE(parentList.isEmpty());
}

// The tree's execute bits: a new file gets them masked by the umask, a
// replaced one keeps its mode with the execute bits the tree's, each only
// where its read bit is set. Without them (-1) a file keeps the umask's or
// the old file's mode, whatever the bits of the tree were.
TEST_F(FileReplaceTest, InstalledModeFollowsTheTreesExecuteBits)
{
    struct Row
    {
        mode_t umask;
        int oldMode; // -1: a new file
        int bits;    // -1: the ini lists none
        int expected;
    };
    const Row rows[] = {
        {022, -1, 0111, 0755},   {022, -1, 0100, 0744},   {022, -1, 0, 0644},      {022, -1, -1, 0644},
        {022, 0644, 0111, 0755}, {022, 0644, 0100, 0744}, {022, 0644, 0, 0644},    {022, 0644, -1, 0644},
        {022, 0700, 0111, 0700}, {022, 0700, 0100, 0700}, {022, 0700, 0, 0600},    {022, 0700, -1, 0700},
        {022, 0755, 0, 0644},    {022, 0751, 0111, 0750}, {077, -1, 0111, 0700},   {077, -1, 0100, 0700},
        {077, -1, 0, 0600},      {077, -1, -1, 0600},     {077, 0644, 0111, 0755}, {077, 0644, 0100, 0744},
        {077, 0644, -1, 0644},   {077, 0700, 0111, 0700}, {077, 0700, 0, 0600},    {077, 0700, -1, 0700},
    };
    const mode_t saved = ::umask(022);
    ASSERT_TRUE(QDir().mkpath(inInstall("bin")));
    for (const Row& row : rows) {
        SCOPED_TRACE(QString("umask %1 old %2 bits %3")
                         .arg(row.umask, 3, 8, QChar('0'))
                         .arg(row.oldMode, 0, 8)
                         .arg(row.bits, 0, 8)
                         .toStdString());
        ::umask(row.umask);
        QFile::remove(inInstall("bin/run"));
        if (row.oldMode >= 0) {
            ASSERT_TRUE(writeAllMakingDirs(inInstall("bin/run"), "old"));
            ASSERT_EQ(::chmod(QFile::encodeName(inInstall("bin/run")).constData(), mode_t(row.oldMode)), 0);
        }
        ASSERT_TRUE(writeAllMakingDirs(inTemp("bin/run"), "#!/bin/sh\n"));
        ReplaceFileData e = entry("bin/run");
        e.executeBits = row.bits;
        FileReplaceTaskSpecification task(e, nullptr, &config, nullptr, 1.0);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        ASSERT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(inInstall("bin/run")).constData(), &st), 0);
        EXPECT_EQ(int(st.st_mode & 07777), row.expected) << QString::number(st.st_mode & 07777, 8).toStdString();
    }
    ::umask(saved);
}

// A directory of the installed path swapped for a link to a directory
// outside between the entry's check and the moment its file is put in place
// (while the new file is written): the entry fails with the outside text and
// nothing outside, nor the real directory, is touched.
TEST_F(FileReplaceTest, DirectorySwappedForALinkBeforeThePutIsRefused)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    struct Row
    {
        const char* name;
        std::function<ReplaceFileData()> arrange;
    };
    const Row rows[] = {
        {"whole file",
         [&] {
             writeAllMakingDirs(inTemp("sub/x"), "new");
             return entry("sub/x");
         }},
        {"unpacked file",
         [&] {
             writeGzip(inTemp("x.gz"), "new");
             return entry("x.gz", "sub/x", sha512Hex("new"));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(inInstall("sub")).removeRecursively();
        QDir(inInstall("sub.real")).removeRecursively();
        QFile::remove(inInstall("sub"));
        ASSERT_TRUE(writeAllMakingDirs(inInstall("sub/x"), "old"));
        ASSERT_TRUE(writeAllMakingDirs(outside.filePath("x"), "outside"));
        const ReplaceFileData e = row.arrange();
        RollbackDataList parentList;
        FileReplaceTaskSpecification task(e, &parentList, &config, nullptr, 1.0);
        QStringList messages;
        QObject::connect(&task, &TaskSpecification::message, [&messages](const QString& m) { messages << m; });
        task.execute();
        ASSERT_EQ(task.state(), TASK_RUNNING);
        // The write runs in the pool; its end comes through the event loop.
        ASSERT_TRUE(QFile::rename(inInstall("sub"), inInstall("sub.real")));
        ASSERT_TRUE(QFile::link(outside.path(), inInstall("sub")));
        const auto outsideBefore = snapshot(outside.path());
        ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_TRUE(messages.contains(outsideInstallDirText(inInstall("sub/x")))) << messages.join("\n").toStdString();
        EXPECT_EQ(snapshot(outside.path()), outsideBefore);
        EXPECT_EQ(readAllOrMissing(inInstall("sub.real/x")), "old");
        EXPECT_TRUE(parentList.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(ReplaceJournal::folderPath(install.path())));
    }
}

TEST_F(FileReplaceTest, PatchEntrySavesTheOldCopyAndAnnouncesThePatch)
{
    const QByteArray oldData = textBytes(8000, 8);
    const QByteArray newData = oldData + "more";
    ASSERT_TRUE(writeAllMakingDirs(inInstall("lib/x.bin"), oldData));
    ASSERT_TRUE(writeAllMakingDirs(inTemp("lib/x.bin_old"), "stale copy from an earlier run"));
    ASSERT_TRUE(writePatch(inTemp("x_patch_"), oldData, newData, scratch));
    RollbackDataList parentList;
    FileReplaceTaskSpecification task(entry("x_patch_", "lib/x.bin", sha512Hex(newData), "x_patch_"), &parentList,
                                      &config, nullptr, 1.0);
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(messages.mid(0, 2), (QStringList{"add/replace x_patch_", "Patching lib/x.bin"}));
    EXPECT_EQ(readAllOrMissing(inTemp("lib/x.bin_old")), oldData);
    EXPECT_EQ(readAllOrMissing(inInstall("lib/x.bin")), newData);
    // Not listed as executable: the replaced file keeps the old file's mode.
    EXPECT_EQ(QFile::permissions(inInstall("lib/x.bin")) & 0x0FFF,
              QFile::permissions(inTemp("lib/x.bin_old")) & 0x0FFF);
}

TEST_F(FileReplaceTest, SubtaskWeightsFollowTheEntryKind)
{
    writeAllMakingDirs(inTemp("c"), "c");
    FileReplaceTaskSpecification copy(entry("c"), nullptr, &config, nullptr, 1.0);
    ASSERT_TRUE(runToEnd(copy));
    ASSERT_EQ(copy.allSubTasks().size(), 1);
    EXPECT_DOUBLE_EQ(copy.allSubTasks()[0]->weight(), 1.0);

    writePacked(inTemp("d._lzma2_"), "d", scratch);
    FileReplaceTaskSpecification unpack(entry("d._lzma2_", "d", sha512Hex("d")), nullptr, &config, nullptr, 1.0);
    ASSERT_TRUE(runToEnd(unpack));
    EXPECT_EQ(unpack.state(), TASK_FINISHED);
    ASSERT_EQ(unpack.allSubTasks().size(), 2);
    EXPECT_DOUBLE_EQ(unpack.allSubTasks()[0]->weight(), 0.8);
    EXPECT_DOUBLE_EQ(unpack.allSubTasks()[1]->weight(), 0.2);
    EXPECT_NE(qobject_cast<CheckSignatureTaskSpecification*>(unpack.allSubTasks()[1]), nullptr);
}

// Only the exact suffix "_lzma2_" after the last dot picks the packed-file
// unpack; everything else with a target goes to the gzip unpack.
TEST_F(FileReplaceTest, DownloadSuffixChoosesTheUnpack)
{
    const struct
    {
        const char* name;
        bool lzma2;
    } rows[] = {
        {"x.so._lzma2_", true}, {"x.so._LZMA2_", false}, {"x_lzma2_", false}, {"dir._lzma2_/x", false}, {"x.gz", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FileReplaceTaskSpecification task(entry(row.name, "t", sha512Hex("t")), nullptr, &config, nullptr, 1.0);
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        ASSERT_FALSE(task.allSubTasks().isEmpty());
        EXPECT_EQ(qobject_cast<FileUnpackTaskSpecification_lzma2*>(task.allSubTasks()[0]) != nullptr, row.lzma2);
        EXPECT_EQ(qobject_cast<FileUnpackTaskSpecification_zip*>(task.allSubTasks()[0]) != nullptr, !row.lzma2);
        // The download is missing: the entry fails and writes nothing.
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_FALSE(QFileInfo::exists(inInstall("t")));
    }
}

TEST(MakeSingleFileExecutableTest, OnlyListedNamesAndCompleteSuffixesGetMode0755)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct
    {
        const char* name;
        bool executable;
    } rows[] = {
        {"update", true},
        {"libfoo.so.5", true},
        {"libfoo.so", true},
        {"libfoo.so.5.6.1", false},
        {"Update", false},
        {"readme.txt", false},
        {"qndclient_runscript.sh", true},
        {"update.sh", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = dir.filePath(row.name);
        ASSERT_TRUE(writeAllMakingDirs(path, "x"));
        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        QString error;
        EXPECT_TRUE(FileReplaceTaskSpecification::makeSingleFileExecutable(path, &error)) << error.toStdString();
        EXPECT_EQ(int(QFile::permissions(path) & 0x0FFF), row.executable ? 0x0755 : 0x0600);
    }
    // A link in a listed name's place is neither followed nor left as it
    // is silently.
    const QString target = dir.filePath("target");
    ASSERT_TRUE(writeAllMakingDirs(target, "x"));
    ASSERT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_TRUE(QFile::link(target, dir.filePath("linked/update"))
                || (QDir().mkpath(dir.filePath("linked")) && QFile::link(target, dir.filePath("linked/update"))));
    QString error;
    EXPECT_FALSE(FileReplaceTaskSpecification::makeSingleFileExecutable(dir.filePath("linked/update"), &error));
    EXPECT_TRUE(error.startsWith("Could not set the mode of '" + dir.filePath("linked/update") + "': "))
        << error.toStdString();
    EXPECT_EQ(int(QFile::permissions(target) & 0x0FFF), 0x0600);
}

} // namespace
