#include "sessiontempdir.h"

#include "installlock.h"
#include "productininames.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <cstddef>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

namespace {

// The list of temp directories outlives the run that wrote it, and a temp
// directory's mark names the installation it was made for.
TEST(SessionTempDir, TempDirectoriesAreListedAndMarkedForTheNextRun)
{
    QTemporaryDir install, temp;
    {
        InstallLock lock;
        ASSERT_EQ(lock.acquire(install.path()), InstallLock::Held);
        EXPECT_TRUE(SessionTempDir::listed(lock).isEmpty());
        EXPECT_TRUE(SessionTempDir::note(lock, "/tmp/quendrail_temp_0"));
        EXPECT_TRUE(SessionTempDir::note(lock, "/tmp/quendrail_temp_1"));
        EXPECT_TRUE(SessionTempDir::note(lock, "/tmp/quendrail_temp_0"));
    }
    InstallLock next;
    ASSERT_EQ(next.acquire(install.path()), InstallLock::Held);
    EXPECT_EQ(SessionTempDir::listed(next), (QStringList{"/tmp/quendrail_temp_0", "/tmp/quendrail_temp_1"}));
    EXPECT_TRUE(SessionTempDir::setListed(next, {"/tmp/quendrail_temp_1"}));
    EXPECT_EQ(SessionTempDir::listed(next), QStringList{"/tmp/quendrail_temp_1"});

    EXPECT_TRUE(SessionTempDir::installationOf(temp.path()).isEmpty());
    ASSERT_TRUE(SessionTempDir::mark(temp.path(), install.path()));
    EXPECT_TRUE(InstallLock::sameDirectory(SessionTempDir::installationOf(temp.path()), install.path()));
    EXPECT_FALSE(InstallLock::sameDirectory(temp.path(), install.path()));
}

// Runs work in a thread of its own in which the system call nr fails, as a
// kill right before it would: the filter goes with the thread. False when
// no filter can be set.
bool runWithFailingCall(long nr, const std::function<void()>& work)
{
    bool filtered = false;
    std::thread thread([&] {
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __u32(nr), 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{sizeof code / sizeof code[0], code};
        filtered = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
            && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
        if (filtered)
            work();
    });
    thread.join();
    return filtered;
}

// A shorter list written over a longer one and stopped before the file is
// cut to it (the sync or the cut itself fails, as a kill there would leave
// it): the next reader finds the new names and nothing of the old tail,
// which would name a folder that is no longer ours.
TEST(SessionTempDir, ShorterTempListStoppedBeforeTheCutLeavesNoTailOfTheLongerOne)
{
    const struct
    {
        const char* name;
        long call;
    } rows[] = {
        {"the sync before the cut fails", SYS_fdatasync},
        {"the cut fails", SYS_ftruncate},
    };
    const QStringList longer{"/tmp/quendrail_temp_123456", "/tmp/quendrail_temp_7"};
    const QStringList shorter{"/tmp/quendrail_temp_1"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir install;
        InstallLock lock;
        ASSERT_EQ(lock.acquire(install.path()), InstallLock::Held);
        ASSERT_TRUE(SessionTempDir::setListed(lock, longer));
        bool written = true;
        ASSERT_TRUE(runWithFailingCall(row.call, [&] { written = SessionTempDir::setListed(lock, shorter); }));
        EXPECT_FALSE(written);
        EXPECT_EQ(SessionTempDir::listed(lock), shorter);
        const QByteArray bytes = readAll(install.filePath(installLockFileName));
        EXPECT_TRUE(bytes.startsWith("/tmp/quendrail_temp_1\n")) << bytes.constData();
        EXPECT_EQ(bytes.mid(22).count('\n'), bytes.size() - 22) << bytes.constData();
    }
}

// A session temp directory may be removed only by a run holding the lock of
// the installation its mark names, and only while no other live run uses
// it; the run using it may remove its own.
TEST(SessionTempDir, TempDirectoryIsRemovableOnlyByItsInstallationWhenNoLiveRunUsesIt)
{
    struct Row
    {
        const char* name;
        const char* markedFor; // "ours", "other" or "" (no mark)
        const char* usedBy;    // "us", "another run" or "" (nobody)
        bool removable;
    };
    const Row rows[] = {
        {"ours, left by a dead run", "ours", "", true},
        {"ours, used by a live run", "ours", "another run", false},
        {"ours, this run's own", "ours", "us", true},
        {"another installation's", "other", "", false},
        {"another installation's, live", "other", "another run", false},
        {"without a mark", "", "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir install, otherInstall, temp;
        InstallLock lock, otherRun;
        ASSERT_EQ(lock.acquire(install.path()), InstallLock::Held);
        const QString markedFor = QString(row.markedFor) == "ours" ? install.path() : otherInstall.path();
        if (*row.markedFor) {
            ASSERT_TRUE(SessionTempDir::mark(temp.path(), markedFor));
        }
        if (QString(row.usedBy) == "us") {
            ASSERT_TRUE(SessionTempDir::hold(lock, temp.path()));
        }
        if (QString(row.usedBy) == "another run") {
            // A run whose lock file was removed and made anew meanwhile;
            // the folder's lock keeps a run of ours out, so it is a run of
            // another installation, or of an earlier release.
            QTemporaryDir itsInstall;
            ASSERT_EQ(otherRun.acquire(itsInstall.path()), InstallLock::Held);
            ASSERT_TRUE(SessionTempDir::hold(otherRun, temp.path()));
        }
        EXPECT_EQ(SessionTempDir::inUse(temp.path()), *row.usedBy != '\0');
        EXPECT_EQ(SessionTempDir::mayRemove(lock, temp.path()), row.removable);
        // The one way of removal asks the same, and takes the whole folder.
        ASSERT_TRUE(writeAllMakingDirs(temp.filePath("sub/file"), "x"));
        EXPECT_EQ(SessionTempDir::remove(&lock, temp.path()), row.removable);
        EXPECT_EQ(QFileInfo::exists(temp.path()), !row.removable);
        otherRun.release();
        lock.release();
        EXPECT_FALSE(SessionTempDir::inUse(temp.path()));
    }
}

TEST(SessionTempDir, RemovingContentsEmptiesTreeButSparesLinkTargetsAndItself)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString top = root.filePath("top");
    ASSERT_TRUE(writeAllMakingDirs(top + "/a", "x"));
    ASSERT_TRUE(writeAllMakingDirs(top + "/.hidden", "x"));
    ASSERT_TRUE(writeAllMakingDirs(top + "/d/e/f", "x"));
    ASSERT_TRUE(writeAllMakingDirs(top + "/.hd/g", "x"));
    ASSERT_TRUE(writeAllMakingDirs(top + "/keep/held", "x"));
    ASSERT_TRUE(writeAllMakingDirs(root.filePath("outside/file"), "outside"));
    ASSERT_TRUE(QFile::link(root.filePath("outside"), top + "/keep/dirlink"));
    ASSERT_TRUE(QFile::link(root.filePath("outside/file"), top + "/filelink"));

    SessionTempDir::removeContents(top);
    EXPECT_TRUE(QFileInfo(top).isDir());
    EXPECT_EQ(QDir(top).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              (QStringList{"filelink", "keep"}));
    EXPECT_EQ(QDir(top + "/keep").entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList{"dirlink"});
    EXPECT_EQ(readAll(root.filePath("outside/file")), "outside");

    // An empty path would be the working directory.
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(root.filePath("outside")));
    SessionTempDir::removeContents(QString());
    EXPECT_EQ(readAll(root.filePath("outside/file")), "outside");
    QDir::setCurrent(cwd);
}

} // namespace
