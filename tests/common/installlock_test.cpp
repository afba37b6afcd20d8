#include "installlock.h"

#include "globals.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Whatever lies at the lock's name, the lock is held only through a private
// regular file of this user that nobody else holds; everything else is
// refused without following, blocking or changing anything.
TEST(InstallLock, HeldOnlyThroughAPrivateRegularFileNobodyElseHolds)
{
    struct Row
    {
        const char* name;
        std::function<bool(const QString& lockPath, const QString& outside)> make;
        InstallLock::Result result;
        const char* error;
        bool needsRoot;
    };
    const Row rows[] = {
        {"missing", [](const QString&, const QString&) { return true; }, InstallLock::Held, "", false},
        {"left by a killed run",
         [](const QString& p, const QString&) {
             return writeAll(p, "") && QFile::setPermissions(p, QFile::ReadOwner | QFile::WriteOwner);
         },
         InstallLock::Held, "", false},
        {"a link", [](const QString& p, const QString& o) { return QFile::link(o, p); }, InstallLock::Failed,
         "Cannot open the installation lock", false},
        {"a directory", [](const QString& p, const QString&) { return QDir().mkdir(p); }, InstallLock::Failed,
         "Cannot open the installation lock", false},
        {"a fifo", [](const QString& p, const QString&) { return ::mkfifo(QFile::encodeName(p), 0600) == 0; },
         InstallLock::Failed, "not a regular file", false},
        // A routine "chmod -R a+rX" or "chmod -R 755" on the installation:
        // made private again and held.
        {"open to others",
         [](const QString& p, const QString&) { return writeAll(p, "") && ::chmod(QFile::encodeName(p), 0644) == 0; },
         InstallLock::Held, "", false},
        {"executable and open to others",
         [](const QString& p, const QString&) { return writeAll(p, "") && ::chmod(QFile::encodeName(p), 0755) == 0; },
         InstallLock::Held, "", false},
        {"another user's",
         [](const QString& p, const QString&) {
             return writeAll(p, "") && ::chmod(QFile::encodeName(p), 0600) == 0
                 && ::chown(QFile::encodeName(p), 65534, 65534) == 0;
         },
         InstallLock::Failed, "owned by another user, nobody (uid 65534)", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsRoot && ::geteuid() != 0)
            continue;
        QTemporaryDir install, outside;
        const QString lockPath = install.filePath(installLockFileName);
        const QString outsideFile = outside.filePath("victim");
        ASSERT_TRUE(writeAll(outsideFile, "keep"));
        ASSERT_TRUE(row.make(lockPath, outsideFile));
        InstallLock lock;
        EXPECT_EQ(lock.acquire(install.path()), row.result);
        EXPECT_EQ(lock.isHeld(), row.result == InstallLock::Held);
        EXPECT_TRUE(lock.errorString().contains(row.error)) << lock.errorString().toStdString();
        EXPECT_EQ(readAll(outsideFile), "keep");
        if (row.result == InstallLock::Held) {
            EXPECT_EQ(InstallLock::held(), &lock);
            struct stat info;
            ASSERT_EQ(::stat(QFile::encodeName(lockPath), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
        }
    }
    EXPECT_EQ(InstallLock::held(), nullptr);
}

// flock belongs to an open file: a second holder, in this process or
// another, finds the lock busy until the first lets go, and a killed holder
// lets go with its process.
TEST(InstallLock, SecondHolderIsBusyUntilTheFirstLetsGo)
{
    QTemporaryDir install;
    InstallLock first, second;
    ASSERT_EQ(first.acquire(install.path()), InstallLock::Held);
    EXPECT_EQ(second.acquire(install.path()), InstallLock::Busy);
    EXPECT_TRUE(second.errorString().isEmpty());
    first.release();
    EXPECT_EQ(InstallLock::held(), nullptr);
    EXPECT_EQ(second.acquire(install.path()), InstallLock::Held);
    second.release();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(QFile::encodeName(install.filePath(installLockFileName)), O_RDWR);
        ::flock(fd, LOCK_EX);
        ::pause();
        ::_exit(0);
    }
    InstallLock third;
    for (int i = 0; i < 500 && third.acquire(install.path()) == InstallLock::Held; ++i) {
        third.release();
        ::usleep(10000);
    }
    EXPECT_EQ(third.acquire(install.path()), InstallLock::Busy);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(third.acquire(install.path()), InstallLock::Held);
}

// The program a run starts to go on with its work (the second step of a
// self-update) goes on holding the lock through the inherited descriptor,
// so no start in between can take it; only that program's descriptor is
// inherited, and only while it is started.
TEST(InstallLock, HandedOverLockIsHeldWithoutAGapByTheProgramStarted)
{
    QTemporaryDir install;
    const char* const variable = InstallLock::lockHandOverVariable;
    InstallLock starter, started, other;
    ASSERT_EQ(starter.acquire(install.path()), InstallLock::Held);
    int inherited = -1;
    EXPECT_TRUE(starter.handOver([&]() {
        const int fd = qEnvironmentVariableIntValue(variable);
        EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        // What the started program sees: its own number of the same open.
        inherited = ::dup(fd);
        return true;
    }));
    EXPECT_FALSE(qEnvironmentVariableIsSet(variable));
    qputenv(variable, QByteArray::number(inherited));
    ASSERT_TRUE(started.adoptHandedOver(install.path()));
    EXPECT_FALSE(qEnvironmentVariableIsSet(variable));
    EXPECT_NE(::fcntl(inherited, F_GETFD) & FD_CLOEXEC, 0);
    starter.release();
    EXPECT_EQ(other.acquire(install.path()), InstallLock::Busy);
    EXPECT_TRUE(started.noteTempDir(install.filePath(QStringLiteral("t"))));
    started.release();
    EXPECT_EQ(other.acquire(install.path()), InstallLock::Held);
}

// A descriptor named by the hand-over variable is taken only when it is an
// open for writing of this installation's lock file, as the path names it
// now, and the lock can be held on it; otherwise nothing is held, the
// variable is gone, and the lock is taken as at any start.
TEST(InstallLock, HandedOverDescriptorIsTakenOnlyWhenItIsThisInstallationsLock)
{
    QTemporaryDir install, elsewhere;
    const QString lockPath = install.filePath(installLockFileName);
    const auto openAt = [](const QString& path, int flags) {
        return QByteArray::number(::open(QFile::encodeName(path), flags | O_CREAT, 0600));
    };
    InstallLock holder;
    const struct
    {
        const char* name;
        std::function<QByteArray()> descriptor; // the variable's value
        InstallLock::Result afterwards;         // the lock taken as at any start
    } rows[] = {
        {"not a number", [] { return QByteArray("lock"); }, InstallLock::Held},
        {"a standard stream", [] { return QByteArray("2"); }, InstallLock::Held},
        {"not open", [] { return QByteArray("100000"); }, InstallLock::Held},
        {"another file of the installation", [&] { return openAt(install.filePath(QStringLiteral("data")), O_RDWR); },
         InstallLock::Held},
        {"another installation's lock", [&] { return openAt(elsewhere.filePath(installLockFileName), O_RDWR); },
         InstallLock::Held},
        {"the lock file opened for reading only", [&] { return openAt(lockPath, O_RDONLY); }, InstallLock::Held},
        {"the file the lock's name named before it was replaced",
         [&] {
             const QByteArray fd = openAt(lockPath, O_RDWR);
             const QString fresh = install.filePath(QStringLiteral("fresh"));
             writeAll(fresh, "");
             QFile::setPermissions(fresh, QFile::ReadOwner | QFile::WriteOwner);
             ::rename(QFile::encodeName(fresh), QFile::encodeName(lockPath));
             return fd;
         },
         InstallLock::Held},
        {"the lock file while another run holds the lock",
         [&] {
             EXPECT_EQ(holder.acquire(install.path()), InstallLock::Held);
             return openAt(lockPath, O_RDWR);
         },
         InstallLock::Busy},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(lockPath);
        qputenv(InstallLock::lockHandOverVariable, row.descriptor());
        InstallLock lock;
        EXPECT_FALSE(lock.adoptHandedOver(install.path()));
        EXPECT_FALSE(lock.isHeld());
        EXPECT_FALSE(qEnvironmentVariableIsSet(InstallLock::lockHandOverVariable));
        EXPECT_EQ(lock.acquire(install.path()), row.afterwards);
        holder.release();
    }
}

// The list of temp directories outlives the run that wrote it, and a temp
// directory's mark names the installation it was made for.
TEST(InstallLock, TempDirectoriesAreListedAndMarkedForTheNextRun)
{
    QTemporaryDir install, temp;
    {
        InstallLock lock;
        ASSERT_EQ(lock.acquire(install.path()), InstallLock::Held);
        EXPECT_TRUE(lock.tempDirs().isEmpty());
        EXPECT_TRUE(lock.noteTempDir("/tmp/quendrail_temp_0"));
        EXPECT_TRUE(lock.noteTempDir("/tmp/quendrail_temp_1"));
        EXPECT_TRUE(lock.noteTempDir("/tmp/quendrail_temp_0"));
    }
    InstallLock next;
    ASSERT_EQ(next.acquire(install.path()), InstallLock::Held);
    EXPECT_EQ(next.tempDirs(), (QStringList{"/tmp/quendrail_temp_0", "/tmp/quendrail_temp_1"}));
    EXPECT_TRUE(next.setTempDirs({"/tmp/quendrail_temp_1"}));
    EXPECT_EQ(next.tempDirs(), QStringList{"/tmp/quendrail_temp_1"});

    EXPECT_TRUE(InstallLock::tempDirInstallation(temp.path()).isEmpty());
    ASSERT_TRUE(InstallLock::markTempDir(temp.path(), install.path()));
    EXPECT_TRUE(InstallLock::sameDirectory(InstallLock::tempDirInstallation(temp.path()), install.path()));
    EXPECT_FALSE(InstallLock::sameDirectory(temp.path(), install.path()));
}

// A lock held by a process of another user (it opened the file while it
// was open to all) is reported as such, not taken for an updater of ours;
// the file is made private all the same.
TEST(InstallLock, LockHeldByAnotherUserIsReportedAsSuch)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    QTemporaryDir install;
    const QString lockPath = install.filePath(installLockFileName);
    ASSERT_TRUE(writeAll(lockPath, ""));
    ASSERT_EQ(::chmod(QFile::encodeName(lockPath), 0644), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(install.path()), 0755), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd =
            ::setgid(65534) == 0 && ::setuid(65534) == 0 ? ::open(QFile::encodeName(lockPath), O_RDONLY) : -1;
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    EXPECT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    InstallLock lock;
    EXPECT_EQ(lock.acquire(install.path()), InstallLock::Failed);
    EXPECT_TRUE(lock.errorString().contains("held by another user, nobody (uid 65534)"))
        << lock.errorString().toStdString();
    struct stat info;
    ASSERT_EQ(::stat(QFile::encodeName(lockPath), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(lock.acquire(install.path()), InstallLock::Held);
}

// A session temp directory may be removed only by a run holding the lock of
// the installation its mark names, and only while no other live run uses
// it; the run using it may remove its own.
TEST(InstallLock, TempDirectoryIsRemovableOnlyByItsInstallationWhenNoLiveRunUsesIt)
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
            ASSERT_TRUE(InstallLock::markTempDir(temp.path(), markedFor));
        }
        if (QString(row.usedBy) == "us") {
            ASSERT_TRUE(lock.useTempDir(temp.path()));
        }
        if (QString(row.usedBy) == "another run") {
            // A run whose lock file was removed and made anew meanwhile.
            QFile::remove(QDir(markedFor).filePath(installLockFileName));
            ASSERT_EQ(otherRun.acquire(markedFor), InstallLock::Held);
            ASSERT_TRUE(otherRun.useTempDir(temp.path()));
        }
        EXPECT_EQ(InstallLock::tempDirInUse(temp.path()), *row.usedBy != '\0');
        EXPECT_EQ(lock.mayRemoveTempDir(temp.path()), row.removable);
        otherRun.release();
        lock.release();
        EXPECT_FALSE(InstallLock::tempDirInUse(temp.path()));
    }
}

// A held lock whose file was removed or replaced takes its name again, with
// its list of temp directories, unless another start holds the new file.
TEST(InstallLock, RemovedLockFileIsTakenAgainByItsHolder)
{
    struct Row
    {
        const char* name;
        bool removed, replaced, newOneHeld;
        bool reclaimed;
    };
    const Row rows[] = {
        {"untouched", false, false, false, true},
        {"removed", true, false, false, true},
        {"replaced by a free file", true, true, false, true},
        {"replaced by a file another start holds", true, true, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir install;
        const QString lockPath = install.filePath(installLockFileName);
        InstallLock lock, other;
        ASSERT_EQ(lock.acquire(install.path()), InstallLock::Held);
        ASSERT_TRUE(lock.noteTempDir("/tmp/quendrail_temp_42"));
        if (row.removed) {
            ASSERT_TRUE(QFile::remove(lockPath));
        }
        if (row.replaced) {
            ASSERT_TRUE(writeAll(lockPath, "")
                        && QFile::setPermissions(lockPath, QFile::ReadOwner | QFile::WriteOwner));
        }
        if (row.newOneHeld) {
            ASSERT_EQ(other.acquire(install.path()), InstallLock::Held);
        }
        EXPECT_EQ(lock.reclaim(), row.reclaimed);
        EXPECT_TRUE(lock.isHeld());
        EXPECT_EQ(lock.tempDirs(), QStringList{"/tmp/quendrail_temp_42"});
        other.release();
        InstallLock later;
        EXPECT_EQ(later.acquire(install.path()), row.reclaimed ? InstallLock::Busy : InstallLock::Held);
        if (row.reclaimed) {
            EXPECT_EQ(readAll(lockPath), "/tmp/quendrail_temp_42\n");
        }
    }
}

} // namespace
