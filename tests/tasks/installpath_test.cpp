#include "configuration.h"
#include "filereplace_testutil.h"
#include "filereplacelisttaskspecification.h"
#include "replacejournal.h"
#include "installpath.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>

using namespace replacetest;

namespace {

// Each way a name below the install directory is reached: through a folder
// link that stays inside, never through one that leads out or nowhere, and
// never by opening something that is no regular file (a fifo would block).
TEST(InstallPathTest, NamesAreReachedOnlyInsideTheInstallDirectory)
{
    QTemporaryDir install, outside;
    ASSERT_TRUE(install.isValid() && outside.isValid());
    ASSERT_TRUE(writeAllMakingDirs(install.filePath("real/f"), "inside"));
    ASSERT_TRUE(writeAll(outside.filePath("x"), "outside"));
    ASSERT_TRUE(QFile::link(install.filePath("real"), install.filePath("inner")));
    ASSERT_TRUE(QFile::link(outside.path(), install.filePath("linkdir")));
    ASSERT_TRUE(QFile::link(outside.filePath("x"), install.filePath("linkfile")));
    ASSERT_TRUE(QFile::link(install.filePath("gone"), install.filePath("dangling")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(install.filePath("fifo")).constData(), 0600), 0);
    const struct
    {
        const char* name;
        bool inside;   // staysInsideInstallDir
        int openError; // openInstalledFile's errno, 0 when it opens
    } rows[] = {
        {"real/f", true, 0},         {"inner/f", true, 0},         {"missing/deeper/x", true, ENOENT},
        {"linkdir/x", false, ELOOP}, {"dangling/x", false, ELOOP}, {"linkfile", true, ELOOP},
        {"fifo", true, EISDIR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = install.filePath(QString::fromLatin1(row.name));
        EXPECT_EQ(staysInsideInstallDir(install.path(), path), row.inside);
        errno = 0;
        const UniqueFd fd(openInstalledFile(install.path(), path));
        EXPECT_EQ(fd.isValid() ? 0 : errno, row.openError);
    }
    EXPECT_FALSE(staysInsideInstallDir(install.path(), outside.filePath("x")));
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

} // namespace
