#include "configuration.h"
#include "filereplace_testutil.h"
#include "filereplacelisttaskspecification.h"
#include "replacejournal.h"
#include "durablefile.h"
#include "support/childprocess.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace replacetest;

namespace {

// A durable copy makes a new file with exactly the source's bytes, never
// writes over what stands at its destination, and leaves no partial file
// when the source falls short of the size it was listed with.
TEST(DurableFileTest, CopyMakesOnlyANewCompleteFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray bytes = randomBytes(200000, 7);
    ASSERT_TRUE(writeAll(dir.filePath("source"), bytes));
    QString reason;
    EXPECT_TRUE(copyFileDurably(dir.filePath("source"), dir.filePath("copy"), &reason)) << reason.toStdString();
    EXPECT_EQ(readAllOrMissing(dir.filePath("copy")), bytes);

    ASSERT_TRUE(writeAll(dir.filePath("taken"), "mine"));
    EXPECT_FALSE(copyFileDurably(dir.filePath("source"), dir.filePath("taken"), &reason));
    EXPECT_EQ(reason, QString("File exists"));
    EXPECT_EQ(readAllOrMissing(dir.filePath("taken")), "mine");

    QFile source(dir.filePath("source"));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    EXPECT_TRUE(copyOpenFileDurably(source.handle(), 1000, dir.filePath("head"), &reason));
    EXPECT_EQ(readAllOrMissing(dir.filePath("head")), bytes.left(1000));
    EXPECT_FALSE(copyOpenFileDurably(source.handle(), bytes.size() + 1, dir.filePath("short"), &reason));
    EXPECT_EQ(reason, QString("it ended before its listed size"));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("short")));
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

} // namespace
