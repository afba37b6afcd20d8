#include "singleinstancechecker.h"

#include "support/testfiles.h"
#include "support/waitfor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>

namespace {

const char* const kChildVar = "QND_SINGLE_INSTANCE_CHILD";

struct NameCase
{
    const char* name;
    QString appPath, home;
    QString otherAppPath, otherHome;
    bool same;
};

void PrintTo(const NameCase& c, std::ostream* os)
{
    *os << c.name;
}

class ServerNames : public ::testing::TestWithParam<NameCase>
{};

TEST(ServerName, KnownPathAndHomeGiveKnownName)
{
    EXPECT_EQ(SingleInstanceChecker::serverNameFor("/opt/app/update", "/home/user"), "QNDClientUpdatea524");
    // The path is lower-cased before the checksum, the home is not.
    EXPECT_EQ(SingleInstanceChecker::serverNameFor("/OPT/App/UPDATE", "/home/user"), "QNDClientUpdatea524");
}

TEST_P(ServerNames, InstancesMeetExactlyWhenPathAndUserMatch)
{
    const NameCase& c = GetParam();
    const QString a = SingleInstanceChecker::serverNameFor(c.appPath, c.home);
    const QString b = SingleInstanceChecker::serverNameFor(c.otherAppPath, c.otherHome);
    EXPECT_EQ(a == b, c.same) << a.toStdString() << " " << b.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ServerNames,
    ::testing::Values(NameCase{"PathCaseDiffers", "/opt/App/update", "/home/u", "/opt/app/UPDATE", "/home/u", true},
                      NameCase{"OtherDirectory", "/opt/app/update", "/home/u", "/opt/app2/update", "/home/u", false},
                      NameCase{"OtherUser", "/opt/app/update", "/home/u", "/opt/app/update", "/home/v", false},
                      NameCase{"HomeCaseMatters", "/opt/app/update", "/home/u", "/opt/app/update", "/home/U", false},
                      NameCase{"SlashesAndColonsIgnored", "/opt/a:pp/update", "/home/u", "/opt/app/update", "/ho/me/u",
                               true}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

// Every test has its own home, hence its own server name, and its own temp
// path, where the socket files live.
class SingleInstanceCheckerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        oldHome = qgetenv("HOME");
        oldTmp = qgetenv("TMPDIR");
        if (qEnvironmentVariableIsEmpty(kChildVar)) {
            QDir(root.path()).mkpath("home");
            QDir(root.path()).mkpath("tmp");
            qputenv("HOME", QFile::encodeName(root.path() + "/home"));
            qputenv("TMPDIR", QFile::encodeName(root.path() + "/tmp"));
        }
    }
    void TearDown() override
    {
        qputenv("HOME", oldHome);
        qputenv("TMPDIR", oldTmp);
    }

    QTemporaryDir root;
    QByteArray oldHome, oldTmp;
};

TEST_F(SingleInstanceCheckerTest, NobodyListeningMeansThisIsTheOnlyInstance)
{
    EXPECT_FALSE(SingleInstanceChecker::sendMessage("#"));
}

TEST_F(SingleInstanceCheckerTest, RunningInstanceReceivesMessagesUpToFirstNul)
{
    SingleInstanceChecker checker;
    ASSERT_TRUE(checker.isListening());
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);

    const QString withNul = QString("#") + QChar(0) + QString("more");
    const QString messages[] = {"#", withNul, QString::fromUtf8("r\xc3\xa9veil")};
    const QString expected[] = {"#", "#", QString::fromUtf8("r\xc3\xa9veil").toLatin1()};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(SingleInstanceChecker::sendMessage(messages[i]));
        ASSERT_TRUE(waitFor([&] { return spy.count() == i + 1; }));
        EXPECT_EQ(spy.at(i).at(0).toString(), expected[i]);
    }
    drainEvents();
    EXPECT_EQ(spy.count(), 3);
}

TEST_F(SingleInstanceCheckerTest, NewerConnectionReplacesUnreadOlderOne)
{
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket idle;
    idle.connectToServer(SingleInstanceChecker::serverName());
    ASSERT_TRUE(idle.waitForConnected(5000));
    // Let the checker take the idle connection before the next one arrives.
    ASSERT_TRUE(waitFor([&] { return checker.findChildren<QLocalSocket*>().size() == 1; }));
    ASSERT_TRUE(SingleInstanceChecker::sendMessage("#"));
    ASSERT_TRUE(waitFor([&] { return spy.count() == 1; }));
    EXPECT_EQ(spy.at(0).at(0).toString(), "#");

    idle.write("late");
    idle.flush();
    ASSERT_TRUE(waitFor([&] { return idle.state() == QLocalSocket::UnconnectedState; }));
    drainEvents();
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(SingleInstanceCheckerTest, StaleSocketOfCrashedRunDoesNotBlockNextStart)
{
    // What a killed instance leaves: a bound socket file nobody listens on.
    const QByteArray socketPath = QFile::encodeName(SingleInstanceChecker::serverName());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<size_t>(socketPath.size()), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, socketPath.constData(), static_cast<size_t>(socketPath.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(QString::fromLocal8Bit(socketPath)));
    EXPECT_FALSE(SingleInstanceChecker::sendMessage("#"));

    SingleInstanceChecker checker;
    EXPECT_TRUE(checker.isListening());
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    ASSERT_TRUE(SingleInstanceChecker::sendMessage("#"));
    EXPECT_TRUE(waitFor([&] { return spy.count() == 1; }));
}

// The socket lies in a directory that only this user may write, so that no
// other user can take or block its name; anything else there is refused.
TEST_F(SingleInstanceCheckerTest, SocketLivesOnlyInAPrivateDirectoryOfThisUser)
{
    const QString dir = QDir::tempPath() + "/qnd-update-" + QString::number(::geteuid());
    const QString elsewhere = root.path() + "/elsewhere";
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    struct Row
    {
        const char* name;
        std::function<bool()> make;
        bool usable;
    };
    const Row rows[] = {
        {"made when missing", [] { return true; }, true},
        {"open to others", [&] { return QDir().mkdir(dir) && ::chmod(QFile::encodeName(dir), 0777) == 0; }, false},
        {"a link", [&] { return QFile::link(elsewhere, dir); }, false},
        {"a file", [&] { return touch(dir); }, false},
    };
    const auto clear = [&] {
        if (QFileInfo(dir).isSymLink())
            QFile::remove(dir);
        removeFileOrTree(dir);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        clear();
        ASSERT_TRUE(row.make());
        const QString name = SingleInstanceChecker::serverName();
        EXPECT_EQ(name.startsWith(dir + "/QNDClientUpdate"), row.usable) << name.toStdString();
        EXPECT_EQ(name.isEmpty(), !row.usable);
        SingleInstanceChecker checker;
        EXPECT_EQ(checker.isListening(), row.usable);
        EXPECT_TRUE(QDir(elsewhere).isEmpty());
    }
    clear();
}

TEST_F(SingleInstanceCheckerTest, SecondCheckerNeverTakesOverLiveInstance)
{
    SingleInstanceChecker first;
    ASSERT_TRUE(first.isListening());
    QSignalSpy spy(&first, &SingleInstanceChecker::otherInstanceActivate);
    {
        SingleInstanceChecker second;
        EXPECT_FALSE(second.isListening());
    }
    ASSERT_TRUE(SingleInstanceChecker::sendMessage("#"));
    EXPECT_TRUE(waitFor([&] { return spy.count() == 1; }));
}

// A second start of the same program by the same user is a real process.
TEST_F(SingleInstanceCheckerTest, SecondProcessHandsOverToRunningInstance)
{
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildVar, "1");
    second.setProcessEnvironment(env);
    second.start(QCoreApplication::applicationFilePath(),
                 {"--gtest_filter=SingleInstanceChild.SendsHashToRunningInstance"});
    ASSERT_TRUE(waitFor([&] { return second.state() == QProcess::NotRunning; }));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardOutput().constData();
    ASSERT_TRUE(waitFor([&] { return spy.count() == 1; }));
    EXPECT_EQ(spy.at(0).at(0).toString(), "#");
}

// Runs only as the child of the test above.
TEST(SingleInstanceChild, SendsHashToRunningInstance)
{
    if (qEnvironmentVariableIsEmpty(kChildVar))
        GTEST_SKIP() << "started by SecondProcessHandsOverToRunningInstance";
    EXPECT_TRUE(SingleInstanceChecker::sendMessage("#"));
}

} // namespace
