#include "installlock.h"

#include "handedoverlock.h"
#include "lockhandover.h"
#include "sessiontempdir.h"

#include "globals.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
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

// Whether a process of another release, which knows only the lock file,
// could take it now.
bool lockFileFree(const QString& installDir)
{
    const int fd = ::open(QFile::encodeName(QDir(installDir).filePath(installLockFileName)), O_RDWR | O_CLOEXEC);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return free;
}

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

// What fd is open on, so that a number closed and opened again for
// something else is not taken for the same open.
std::pair<dev_t, ino_t> openFile(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) == 0 ? std::make_pair(info.st_dev, info.st_ino) : std::make_pair(dev_t(0), ino_t(0));
}

// The first step of a self-update lets the lock file go before it starts the
// second, so that a second step of any release can take it by its name, and
// leaves it only a socket. The folder's lock passes when the second step
// asks for it, without a moment in which another start could take it.
TEST(InstallLock, HandedOverLockIsHeldWithoutAGapByTheProgramStarted)
{
    QTemporaryDir install;
    InstallLock starter, started, other;
    ASSERT_EQ(starter.acquire(install.path()), InstallLock::Held);
    ASSERT_TRUE(SessionTempDir::note(starter, install.filePath(QStringLiteral("t"))));
    InstallLock::Result result = InstallLock::Failed;
    std::thread stepTwo;
    QString error;
    EXPECT_TRUE(starter.handOver(
        [&](QString*) {
            const int fd = qEnvironmentVariableIntValue(LockHandOver::handOverVariable);
            EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
            EXPECT_TRUE(lockFileFree(install.path()));
            // What the started program sees: its own number of the same
            // socket, named in its environment.
            qputenv(LockHandOver::handOverVariable, QByteArray::number(::dup(fd)));
            HandedOverLock::takeFromEnvironment();
            stepTwo = std::thread([&] { result = started.acquireAsStepTwo(install.path(), 0); });
            return true;
        },
        &error));
    stepTwo.join();
    EXPECT_FALSE(qEnvironmentVariableIsSet(LockHandOver::handOverVariable));
    EXPECT_FALSE(starter.isHeld());
    EXPECT_FALSE(starter.holdsDirectory());
    ASSERT_EQ(result, InstallLock::Held);
    EXPECT_TRUE(started.holdsDirectory());
    EXPECT_EQ(other.acquire(install.path()), InstallLock::Busy);
    EXPECT_EQ(SessionTempDir::listed(started), QStringList{install.filePath(QStringLiteral("t"))});
    started.release();
    EXPECT_EQ(other.acquire(install.path()), InstallLock::Held);
}

// A second step that knows nothing of the hand-over (another release, or a
// script) holds no descriptor of either lock: it takes the lock file at
// once, and the folder is free as soon as the first step has ended. A start
// that fails leaves the first step holding both, to report the failure.
TEST(InstallLock, StepTwoThatDoesNotAskTakesTheLockItsOwnWay)
{
    QTemporaryDir install;
    InstallLock starter, other;
    ASSERT_EQ(starter.acquire(install.path()), InstallLock::Held);
    QString error;
    EXPECT_FALSE(starter.handOver(
        [](QString* why) {
            *why = QStringLiteral("no such program");
            return false;
        },
        &error));
    EXPECT_EQ(error, QStringLiteral("no such program"));
    EXPECT_TRUE(starter.isHeld());
    EXPECT_TRUE(starter.holdsDirectory());
    EXPECT_FALSE(lockFileFree(install.path()));

    int foreign = -1;
    EXPECT_TRUE(starter.handOver(
        [&](QString*) {
            foreign = ::open(QFile::encodeName(install.filePath(installLockFileName)), O_RDWR | O_CLOEXEC);
            EXPECT_EQ(::flock(foreign, LOCK_EX | LOCK_NB), 0);
            // Our own starts stay away meanwhile.
            EXPECT_EQ(other.acquire(install.path()), InstallLock::Busy);
            return true;
        },
        &error));
    EXPECT_FALSE(starter.holdsDirectory());
    ::close(foreign);
    EXPECT_EQ(other.acquire(install.path()), InstallLock::Held);
}

// Only a program started as the second step reads the hand-over, and only
// this installation's lock is taken from it: any other number is left open
// as it was, a lock file that cannot be taken is closed (it would hold the
// lock against the run itself), and the lock is then taken as at any start.
TEST(InstallLock, HandedOverDescriptorIsTakenOnlyWhenItIsThisInstallationsLock)
{
    QTemporaryDir install, elsewhere;
    const QString lockPath = install.filePath(installLockFileName);
    const auto openAt = [](const QString& path, int flags) {
        return ::open(QFile::encodeName(path), flags | O_CREAT, 0600);
    };
    // The other end of a socket pair, answering a request with a descriptor.
    const auto answering = [](int type, int fd) {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, pair), 0);
        std::thread([end = pair[0], fd]() {
            LockHandOver::serve(end, fd, 5000, 5000);
            ::close(end);
            ::close(fd);
        }).detach();
        return pair[1];
    };
    InstallLock holder;
    struct Row
    {
        const char* name;
        const char* variable;
        std::function<int()> descriptor; // -1: the text below
        QByteArray text;
        bool leftOpen;
        InstallLock::Result afterwards;
        bool handedOver = false;
    };
    const Row rows[] = {
        {"not a number", HandedOverLock::lockFileVariable, [] { return -1; }, "lock", false, InstallLock::Held},
        {"a standard stream", HandedOverLock::lockFileVariable, [] { return -1; }, "2", false, InstallLock::Held},
        {"not open", HandedOverLock::lockFileVariable, [] { return -1; }, "100000", false, InstallLock::Held},
        {"another file of the installation", HandedOverLock::lockFileVariable,
         [&] { return openAt(install.filePath(QStringLiteral("data")), O_RDWR); }, "", true, InstallLock::Held},
        {"another installation's lock", HandedOverLock::lockFileVariable,
         [&] { return openAt(elsewhere.filePath(installLockFileName), O_RDWR); }, "", true, InstallLock::Held},
        {"the file the lock's name named before it was replaced", HandedOverLock::lockFileVariable,
         [&] {
             const int fd = openAt(lockPath, O_RDWR);
             const QString fresh = install.filePath(QStringLiteral("fresh"));
             writeAll(fresh, "");
             QFile::setPermissions(fresh, QFile::ReadOwner | QFile::WriteOwner);
             ::rename(QFile::encodeName(fresh), QFile::encodeName(lockPath));
             return fd;
         },
         "", true, InstallLock::Held},
        {"the lock file opened for reading only", HandedOverLock::lockFileVariable,
         [&] { return openAt(lockPath, O_RDONLY); }, "", false, InstallLock::Held},
        {"the lock file while another run holds the lock", HandedOverLock::lockFileVariable,
         [&] {
             EXPECT_EQ(holder.acquire(install.path()), InstallLock::Held);
             return openAt(lockPath, O_RDWR);
         },
         "", false, InstallLock::Busy},
        {"the lock file, as earlier releases hand it over", HandedOverLock::lockFileVariable,
         [&] { return openAt(lockPath, O_RDWR); }, "", true, InstallLock::Held, true},
        {"a pipe", LockHandOver::handOverVariable,
         [] {
             int pipe[2];
             EXPECT_EQ(::pipe(pipe), 0);
             return pipe[0];
         },
         "", true, InstallLock::Held},
        {"a stream socket", LockHandOver::handOverVariable,
         [] {
             int pair[2];
             EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
             return pair[1];
         },
         "", true, InstallLock::Held},
        {"a hand-over whose other end has gone", LockHandOver::handOverVariable,
         [] {
             int pair[2];
             EXPECT_TRUE(LockHandOver::makePair(pair));
             ::close(pair[0]);
             return pair[1];
         },
         "", false, InstallLock::Held},
        {"a hand-over of another folder", LockHandOver::handOverVariable,
         [&] { return answering(SOCK_SEQPACKET, ::open(QFile::encodeName(elsewhere.path()), O_RDONLY)); }, "", false,
         InstallLock::Held},
        {"a hand-over of a file", LockHandOver::handOverVariable,
         [&] { return answering(SOCK_SEQPACKET, openAt(lockPath, O_RDWR)); }, "", false, InstallLock::Held},
        {"a hand-over of this installation's folder", LockHandOver::handOverVariable,
         [&] { return answering(SOCK_SEQPACKET, ::open(QFile::encodeName(install.path()), O_RDONLY)); }, "", false,
         InstallLock::Held, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(lockPath);
        const int fd = row.descriptor();
        const auto before = openFile(fd);
        qputenv(row.variable, fd >= 0 ? QByteArray::number(fd) : row.text);
        HandedOverLock::takeFromEnvironment();
        EXPECT_FALSE(qEnvironmentVariableIsSet(row.variable));
        InstallLock lock;
        EXPECT_EQ(lock.acquireAsStepTwo(install.path(), 0), row.afterwards);
        if (fd >= 0) {
            EXPECT_EQ(isOpen(fd) && openFile(fd) == before, row.leftOpen);
        }
        if (row.handedOver && row.variable == HandedOverLock::lockFileVariable) {
            EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        }
        if (fd >= 0 && row.leftOpen && !row.handedOver)
            ::close(fd);
        holder.release();
    }
}

// One open of the lock file handed to two programs (an earlier release's
// hand-over, inherited twice) lets only one of them take the installation.
TEST(InstallLock, OneOpenHandedToTwoProgramsIsTakenByOne)
{
    QTemporaryDir install;
    const int fd = ::open(QFile::encodeName(install.filePath(installLockFileName)), O_RDWR | O_CREAT, 0600);
    const int copy = ::dup(fd);
    InstallLock first, second;
    qputenv(HandedOverLock::lockFileVariable, QByteArray::number(fd));
    HandedOverLock::takeFromEnvironment();
    EXPECT_EQ(first.acquireAsStepTwo(install.path(), 0), InstallLock::Held);
    qputenv(HandedOverLock::lockFileVariable, QByteArray::number(copy));
    HandedOverLock::takeFromEnvironment();
    EXPECT_EQ(second.acquireAsStepTwo(install.path(), 0), InstallLock::Busy);
    EXPECT_TRUE(first.isHeld());
}

// A program that was not started as the second step never reads the
// hand-over: the environment of an ordinary start is only cleared.
TEST(InstallLock, OrdinaryStartLeavesAHandedOverNumberAlone)
{
    QTemporaryDir install;
    const int fd = ::open(QFile::encodeName(install.filePath(installLockFileName)), O_RDWR | O_CREAT, 0600);
    qputenv(HandedOverLock::lockFileVariable, QByteArray::number(fd));
    HandedOverLock::takeFromEnvironment();
    InstallLock lock;
    EXPECT_EQ(lock.acquire(install.path()), InstallLock::Held);
    EXPECT_TRUE(isOpen(fd));
    ::close(fd);
}

// A process of the user nobody (uid 65534) that holds a flock on path,
// opened read-only, until it is destroyed.
class NobodyHolding
{
public:
    explicit NobodyHolding(const QString& path)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        m_Child = ::fork();
        if (m_Child == 0) {
            const int fd =
                ::setgid(65534) == 0 && ::setuid(65534) == 0 ? ::open(QFile::encodeName(path), O_RDONLY) : -1;
            const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        char ok = 0;
        m_Holds = m_Child > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~NobodyHolding()
    {
        if (m_Child > 0) {
            ::kill(m_Child, SIGKILL);
            ::waitpid(m_Child, nullptr, 0);
        }
    }
    bool holds() const { return m_Holds; }

private:
    pid_t m_Child = -1;
    bool m_Holds = false;
};

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
    InstallLock lock;
    {
        NobodyHolding other(lockPath);
        ASSERT_TRUE(other.holds());
        EXPECT_EQ(lock.acquire(install.path()), InstallLock::Failed);
        EXPECT_TRUE(lock.errorString().contains("held by another user, nobody (uid 65534)"))
            << lock.errorString().toStdString();
        struct stat info;
        ASSERT_EQ(::stat(QFile::encodeName(lockPath), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(lock.acquire(install.path()), InstallLock::Held);
}

// Anyone who may read the installation's folder can lock it; another user
// doing so stops no update of ours, which goes on with its lock file.
TEST(InstallLock, FolderLockedByAnotherUserStopsNoUpdate)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    QTemporaryDir install;
    ASSERT_EQ(::chmod(QFile::encodeName(install.path()), 0755), 0);
    NobodyHolding other(install.path());
    ASSERT_TRUE(other.holds());
    InstallLock lock, second;
    EXPECT_EQ(lock.acquire(install.path()), InstallLock::Held);
    EXPECT_FALSE(lock.holdsDirectory());
    EXPECT_EQ(second.acquire(install.path()), InstallLock::Busy);
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
        InstallLock lock;
        ASSERT_EQ(lock.acquire(install.path()), InstallLock::Held);
        ASSERT_TRUE(SessionTempDir::note(lock, "/tmp/quendrail_temp_42"));
        if (row.removed) {
            ASSERT_TRUE(QFile::remove(lockPath));
        }
        if (row.replaced) {
            ASSERT_TRUE(writeAll(lockPath, "")
                        && QFile::setPermissions(lockPath, QFile::ReadOwner | QFile::WriteOwner));
        }
        // A start of an earlier release, which knows only the file.
        int other = -1;
        if (row.newOneHeld) {
            other = ::open(QFile::encodeName(lockPath), O_RDWR | O_CLOEXEC);
            ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        }
        // Whatever became of the file, no start of ours comes in.
        InstallLock later;
        EXPECT_EQ(later.acquire(install.path()), InstallLock::Busy);
        EXPECT_EQ(lock.reclaim(), row.reclaimed);
        EXPECT_TRUE(lock.isHeld());
        EXPECT_EQ(SessionTempDir::listed(lock), QStringList{"/tmp/quendrail_temp_42"});
        if (other >= 0)
            ::close(other);
        EXPECT_EQ(lockFileFree(install.path()), !row.reclaimed);
        if (row.reclaimed) {
            EXPECT_EQ(readAll(lockPath), "/tmp/quendrail_temp_42\n");
        }
    }
}

} // namespace
