#include "updateselfunziptaskspecification.h"
#include "filereplace_testutil.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "support/openwatch.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

using namespace replacetest;

namespace {

QString lastIniDir;
bool writeIniOk(const QString& dir)
{
    lastIniDir = dir;
    return writeAllMakingDirs(dir + "/update.ini", "[current]\n");
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
        writeAllMakingDirs(translations.filePath("update_de.qm"), "de");
        writeAllMakingDirs(translations.filePath("update_fr.qm"), "fr");
        writeAllMakingDirs(translations.filePath("qt_de.qm"), "qt");
        writeAllMakingDirs(inTemp("translations/update_fr.qm"), "already there");
        writeAllMakingDirs(inTemp("update"), "#!/bin/sh\n");
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
    EXPECT_EQ(readAllOrMissing(inTemp("lib/a.so")), newLib);
    EXPECT_EQ(readAllOrMissing(inTemp("lib/a.so_old")), oldLib);
    EXPECT_EQ(readAllOrMissing(inTemp("bin/tool")), newTool);
    EXPECT_EQ(readAllOrMissing(inTemp("deep/er/x")), "new file");
    // The whole-file entry gets no subtask: its download is already in place.
    EXPECT_EQ(task.allSubTasks().size(), 3);
    EXPECT_NE(qobject_cast<FileTaskSpecification_patch*>(task.allSubTasks()[0]), nullptr);
    EXPECT_NE(qobject_cast<FileUnpackTaskSpecification_lzma2*>(task.allSubTasks()[1]), nullptr);
    EXPECT_NE(qobject_cast<FileUnpackTaskSpecification_zip*>(task.allSubTasks()[2]), nullptr);
    EXPECT_EQ(int(QFile::permissions(inTemp("update")) & 0x0FFF), 0x0755);
    EXPECT_EQ(lastIniDir, tempDir->path());
    EXPECT_EQ(readAllOrMissing(inTemp("translations/update_de.qm")), "de");
    EXPECT_EQ(readAllOrMissing(inTemp("translations/update_fr.qm")), "already there");
    EXPECT_FALSE(QFileInfo::exists(inTemp("translations/qt_de.qm")));
    EXPECT_DOUBLE_EQ(task.progress(), 0.4);
    EXPECT_LE(maxProgress, 0.4 + 1e-9);
}

// With the tree's execute bits every new updater file gets them as an
// installed file would: a replaced one keeps the installed file's mode with
// the tree's execute bits, a new one the umask's; "update" is no longer made
// a program by its name alone.
TEST_F(SelfUpdateTest, NewUpdaterFilesGetTheTreesExecuteBits)
{
    const mode_t saved = ::umask(022);
    const int bits[] = {0, 0111, 0100, 0111}; // lib/a.so, bin/tool (0700), share/data.txt, deep/er/x (new)
    for (int i = 0; i < list.size(); ++i)
        list[i].executeBits = bits[i];
    const bool listed = true;
    UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, 0.4, &writeIniOk);
    task.setTranslationsSource(translations.path());
    task.setExecuteBitsListed(&listed);
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    ::umask(saved);
    EXPECT_EQ(task.state(), TASK_FINISHED) << messages.join("\n").toStdString();
    const struct
    {
        const char* path;
        int mode;
    } rows[] = {
        {"lib/a.so", 0644}, {"bin/tool", 0700}, {"share/data.txt", 0744}, {"deep/er/x", 0755}, {"update", 0644}};
    for (const auto& row : rows) {
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(inTemp(row.path)).constData(), &st), 0) << row.path;
        EXPECT_EQ(int(st.st_mode & 07777), row.mode) << row.path;
    }
}

// A new updater whose execute bits cannot be set (here "update" is a link,
// which is never followed) fails the self-update with the reason, as an
// installed file would fail a client update; what the link leads to keeps
// its mode.
TEST_F(SelfUpdateTest, NewUpdaterThatCannotGetItsExecuteBitsFailsTheSelfUpdate)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    const QString target = outside.filePath("program");
    ASSERT_TRUE(writeAllMakingDirs(target, "#!/bin/sh\n"));
    ASSERT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_TRUE(QFile::remove(inTemp("update")));
    ASSERT_TRUE(QFile::link(target, inTemp("update")));
    UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, 0.4, &writeIniOk);
    task.setTranslationsSource(translations.path());
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_EQ(messages.filter("Could not set the mode of '" + inTemp("update") + "': ").size(), 1)
        << messages.join("\n").toStdString();
    EXPECT_TRUE(task.failureReason().startsWith("Could not set the mode of '" + inTemp("update") + "': "))
        << task.failureReason().toStdString();
    EXPECT_EQ(int(QFile::permissions(target) & 0x0FFF), 0x0600);
}

// The installed file a patch applies to is read as a client update reads
// its bases: one that lies outside the installation, is no regular file or
// holds more than its line lists fails the self-update with that cause,
// unread and before anything is patched.
TEST_F(SelfUpdateTest, PatchBaseThatIsNoListedFileOfTheInstallationFailsTheSelfUpdateUnread)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    const struct
    {
        const char* label;
        std::function<void()> arrange;
        const char* cause; // %1 the installed file
    } rows[] = {
        {"folder link out",
         [&] {
             ASSERT_TRUE(writeAllMakingDirs(outside.filePath("a.so"), oldLib));
             ASSERT_TRUE(QDir(inInstall("lib")).removeRecursively());
             ASSERT_TRUE(QFile::link(outside.path(), inInstall("lib")));
         },
         "Refusing to read '%1': its real location is outside the install directory"},
        {"fifo",
         [&] {
             ASSERT_TRUE(QFile::remove(inInstall("lib/a.so")));
             ASSERT_EQ(::mkfifo(QFile::encodeName(inInstall("lib/a.so")).constData(), 0644), 0);
         },
         "Refusing to read '%1': it is not a regular file"},
        {"more than listed", [&] { list[0].baseSize = quint64(oldLib.size() - 1); },
         "Refusing to read '%1': it is larger than the 39999 bytes listed for it"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        SetUp();
        ASSERT_NO_FATAL_FAILURE(row.arrange());
        OpenWatch watch(outside.path());
        const FifoDeadline deadline({inInstall("lib/a.so")}, 20000);
        UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, 0.4, &writeIniOk);
        task.setTranslationsSource(translations.path());
        QStringList messages;
        ASSERT_TRUE(runToEnd(task, &messages));
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_TRUE(messages.contains(QString(row.cause).arg(inInstall("lib/a.so"))))
            << messages.join("\n").toStdString();
        EXPECT_EQ(task.failureReason(), QString(row.cause).arg(inInstall("lib/a.so")));
        EXPECT_FALSE(QFileInfo::exists(inTemp("lib/a.so_old")));
        EXPECT_FALSE(QFileInfo::exists(inTemp("lib/a.so")));
        EXPECT_EQ(watch.opens(), 0);
    }
}

TEST_F(SelfUpdateTest, FailingUnpackStillWritesTheRecordAndFails)
{
    writeAllMakingDirs(inTemp("bin/tool._lzma2_"), "not packed");
    UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, 0.4, &writeIniOk);
    task.setTranslationsSource(translations.path());
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_TRUE(messages.contains(
        QString("Could not unpack '%1' to '%2'").arg(inTemp("bin/tool._lzma2_"), inTemp("bin/tool"))));
    // The unpack's cause, not what the finishing steps did after it.
    EXPECT_EQ(task.failureReason(),
              QString("Could not unpack '%1' to '%2'").arg(inTemp("bin/tool._lzma2_"), inTemp("bin/tool")));
    EXPECT_EQ(lastIniDir, tempDir->path());
    EXPECT_EQ(readAllOrMissing(inTemp("translations/update_de.qm")), "de");
    EXPECT_EQ(readAllOrMissing(inInstall("bin/tool")), "old tool");
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
        EXPECT_EQ(errors[0][0].toString(),
                  "Failed to write temp update.ini. The updater does not seem to have the "
                  "required write permissions.");
        EXPECT_EQ(task.failureReason(), errors[0][0].toString());
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
    EXPECT_EQ(readAllOrMissing(inTemp("translations/update_de.qm")), "de");
    EXPECT_EQ(int(QFile::permissions(inTemp("update")) & 0x0FFF), 0x0755);
}

} // namespace
