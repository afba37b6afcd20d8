#include "logfile.h"
#include "support/testfiles.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

const char* const kRootVar = "QND_LOGFILE_TEST_ROOT";

// Each test has its own system temp path. Process-wide behaviour is checked
// in a child (a death test re-running this test); the child finds the
// parent's temp path through the environment.
class LogFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        oldTmp = qgetenv("TMPDIR");
        const QString inherited = qEnvironmentVariable(kRootVar);
        if (inherited.isEmpty()) {
            root = std::make_unique<QTemporaryDir>();
            ASSERT_TRUE(root->isValid());
            rootPath = root->path();
            qputenv(kRootVar, QFile::encodeName(rootPath));
        } else {
            rootPath = inherited;
        }
        qputenv("TMPDIR", QFile::encodeName(rootPath));
    }
    void TearDown() override
    {
        qputenv("TMPDIR", oldTmp);
        if (root)
            qunsetenv(kRootVar);
    }
    QString logDir() const { return rootPath + "/quendrail_update_log"; }
    void enableMarker() const { ASSERT_TRUE(touch(rootPath + "/qnd_update_log")); }
    QStringList logFiles() const { return QDir(logDir()).entryList(QDir::Files); }
    QByteArray onlyLog() const
    {
        const QStringList files = logFiles();
        return files.size() == 1 ? readAll(logDir() + "/" + files.first()) : QByteArray("<not one file>");
    }

    std::unique_ptr<QTemporaryDir> root;
    QString rootPath;
    QByteArray oldTmp;
};

TEST_F(LogFileTest, FileNameFollowsStartTime)
{
    const QDateTime start(QDate(2016, 6, 1), QTime(12, 34, 56));
    EXPECT_EQ(LogFile::fileNameFor(start), "update__2016-06-01__12_34_56.log");
    EXPECT_EQ(LogFile::directoryPath(), rootPath + "/quendrail_update_log/");
}

TEST_F(LogFileTest, WithoutMarkerNothingIsCreatedOrWritten)
{
    LogFile log;
    EXPECT_FALSE(logEnabled);
    log.open();
    log.write(QtWarningMsg, "x");
    EXPECT_EQ(log.m_OutFile, nullptr);
    EXPECT_FALSE(QFileInfo::exists(logDir()));
}

struct LevelCase
{
    QtMsgType type;
    const char* line; // empty: nothing written
};

TEST_F(LogFileTest, EachLevelWritesOneTimestampedLine)
{
    enableMarker();
    LogFile log;
    ASSERT_TRUE(logEnabled);
    log.open();
    ASSERT_NE(log.m_OutFile, nullptr);
    EXPECT_EQ(QFileInfo(log.filePath()).absolutePath(), logDir());
    EXPECT_TRUE(QRegularExpression("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$")
                    .match(QFileInfo(log.filePath()).fileName())
                    .hasMatch());

    const QDateTime when(QDate(2016, 6, 1), QTime(12, 34, 56, 789));
    const LevelCase cases[] = {
        {QtDebugMsg, "2016-06-01 12:34:56:789\t|\tDebug\t|\tx\n"},
        {QtWarningMsg, "2016-06-01 12:34:56:789\t|\tWarning\t|\tx\n"},
        {QtCriticalMsg, "2016-06-01 12:34:56:789\t|\tCritical\t|\tx\n"},
        {QtInfoMsg, "2016-06-01 12:34:56:789\t|\tInfo\t|\tx\n"},
        {QtFatalMsg, "2016-06-01 12:34:56:789\t|\tFatal\t|\tx\n"},
        {static_cast<QtMsgType>(7), ""},
    };
    QByteArray expected;
    for (const LevelCase& c : cases) {
        log.write(c.type, "x", when);
        expected += c.line;
        // Flushed line by line: the file holds it before the next write.
        EXPECT_EQ(readAll(log.filePath()), expected) << "type " << c.type;
    }
    log.write(QtDebugMsg, QString::fromUtf8("gr\xc3\xbc\xc3\x9f"), when);
    EXPECT_TRUE(readAll(log.filePath()).endsWith(QString::fromUtf8("gr\xc3\xbc\xc3\x9f\n").toLocal8Bit()));
}

TEST_F(LogFileTest, SameSecondStartTruncatesAndDirectoryIsReused)
{
    enableMarker();
    ASSERT_TRUE(QDir(rootPath).mkdir("quendrail_update_log"));
    ASSERT_TRUE(writeAll(logDir() + "/keep.txt", "mine"));
    // Whichever second open() lands in, its file already holds older lines.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 3; ++s)
        ASSERT_TRUE(writeAll(logDir() + "/" + LogFile::fileNameFor(now.addSecs(s)), "older run\n"));

    LogFile log;
    log.open();
    ASSERT_NE(log.m_OutFile, nullptr);
    EXPECT_EQ(readAll(log.filePath()), "");
    log.write(QtInfoMsg, "new");
    EXPECT_TRUE(readAll(log.filePath()).endsWith("\t|\tInfo\t|\tnew\n"));
    EXPECT_EQ(readAll(logDir() + "/keep.txt"), "mine");
}

TEST_F(LogFileTest, ConcurrentWritersNeverInterleaveLines)
{
    enableMarker();
    LogFile log;
    log.open();
    const int threads = 8, perThread = 400;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&log, t] {
            for (int i = 0; i < perThread; ++i)
                log.write(QtDebugMsg, QString("worker %1 line %2 %3").arg(t).arg(i).arg(QString(40, QChar('a' + t))));
        });
    for (auto& w : workers)
        w.join();

    const QList<QByteArray> lines = readAll(log.filePath()).split('\n');
    ASSERT_EQ(lines.size(), threads * perThread + 1);
    EXPECT_TRUE(lines.last().isEmpty());
    const QRegularExpression shape("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\t\\|\\tDebug\\t\\|\\t"
                                   "worker (\\d) line (\\d+) ([a-h])\\3{39}$");
    std::vector<int> next(threads, 0);
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const auto m = shape.match(QString::fromLocal8Bit(lines[i]));
        ASSERT_TRUE(m.hasMatch()) << lines[i].constData();
        const int t = m.captured(1).toInt();
        // Each worker's lines arrive whole and in its own order.
        EXPECT_EQ(m.captured(2).toInt(), next[t]++);
    }
}

TEST_F(LogFileTest, CloseFlushesAndLaterLinesAreDropped)
{
    enableMarker();
    LogFile log;
    log.open();
    const QString path = log.filePath();
    log.write(QtWarningMsg, "before");
    log.close();
    EXPECT_EQ(log.m_OutFile, nullptr);
    log.write(QtWarningMsg, "after");
    const QByteArray content = readAll(path);
    EXPECT_TRUE(content.endsWith("\t|\tWarning\t|\tbefore\n"));
    EXPECT_FALSE(content.contains("after"));
}

// The temp path is shared; what another user could plant there must not
// turn our log lines into writes to someone else's file.
TEST_F(LogFileTest, PlantedLinksAreNotFollowed)
{
    enableMarker();
    ASSERT_TRUE(QDir(rootPath).mkdir("victimdir"));
    ASSERT_TRUE(writeAll(rootPath + "/victim", "precious"));
    struct Plant
    {
        const char* name;
        std::function<void()> plant;
    };
    const QDateTime now = QDateTime::currentDateTime();
    const Plant plants[] = {
        {"DirectoryIsLink", [&] { QFile::link(rootPath + "/victimdir", logDir()); }},
        {"FileNameIsLink",
         [&] {
             QDir(rootPath).mkdir("quendrail_update_log");
             for (int s = 0; s < 3; ++s)
                 QFile::link(rootPath + "/victim", logDir() + "/" + LogFile::fileNameFor(now.addSecs(s)));
         }},
    };
    for (const Plant& p : plants) {
        SCOPED_TRACE(p.name);
        QFile::remove(logDir());
        QDir(logDir()).removeRecursively();
        p.plant();
        LogFile log;
        log.open();
        log.write(QtCriticalMsg, "secret");
        EXPECT_EQ(readAll(rootPath + "/victim"), "precious");
        EXPECT_TRUE(QDir(rootPath + "/victimdir").isEmpty());
    }
}

// The process-wide path: the handler installed the way start-up does it.

TEST_F(LogFileTest, HandlerWritesEveryThreadsMessagesToProcessLog)
{
    enableMarker();
    EXPECT_EXIT(
        {
            LogFile::instance();
            qInstallMessageHandler(logMessageHandler);
            std::vector<std::thread> workers;
            for (int t = 0; t < 4; ++t)
                workers.emplace_back([t] {
                    for (int i = 0; i < 100; ++i)
                        qDebug("thread %d message %d", t, i);
                });
            for (auto& w : workers)
                w.join();
            qWarning() << "done";
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const QByteArray content = onlyLog();
    EXPECT_EQ(content.count('\n'), 401);
    EXPECT_TRUE(content.endsWith("\t|\tWarning\t|\tdone\n"));
    EXPECT_TRUE(content.contains("\t|\tDebug\t|\tthread 3 message 99\n"));
}

TEST_F(LogFileTest, FatalMessageIsOnDiskWhenProcessAborts)
{
    enableMarker();
    EXPECT_EXIT(
        {
            LogFile::instance();
            qInstallMessageHandler(logMessageHandler);
            qDebug() << "first";
            qFatal("disk on fire");
        },
        ::testing::KilledBySignal(SIGABRT), "");
    const QByteArray content = onlyLog();
    EXPECT_TRUE(content.contains("\t|\tDebug\t|\tfirst\n"));
    EXPECT_TRUE(content.endsWith("\t|\tFatal\t|\tdisk on fire\n")) << content.constData();
}

// Without a log file (and without a display for a box) what fails or ends
// the program is still seen: critical and fatal lines go to standard error.
TEST_F(LogFileTest, HandlerWithoutMarkerWritesOnlyCriticalAndFatalToStandardError)
{
    EXPECT_EXIT(
        {
            LogFile::instance();
            qInstallMessageHandler(logMessageHandler);
            qDebug() << "lost";
            qWarning() << "lost too";
            qCritical() << "session failed";
            qFatal("no display");
        },
        ::testing::KilledBySignal(SIGABRT), "^session failed\nno display\n$");
    EXPECT_FALSE(QFileInfo::exists(logDir()));
}

TEST_F(LogFileTest, UnwritableLogLocationLosesLinesWithoutHanging)
{
    enableMarker();
    // A plain file where the directory belongs: neither the directory nor the
    // log file can be made; lines are lost quietly, nothing goes to stderr.
    ASSERT_TRUE(writeAll(logDir(), "not a directory"));
    EXPECT_EXIT(
        {
            LogFile::instance();
            qInstallMessageHandler(logMessageHandler);
            for (int i = 0; i < 10; ++i)
                qWarning() << "nowhere" << i;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
    EXPECT_EQ(readAll(logDir()), "not a directory");
}

} // namespace
