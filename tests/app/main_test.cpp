// Start-up and shut-down of the updater program, run as a child process from
// a temp install directory with its own config, temp and home directories.
#include "support/childprocess.h"
#include "support/tempdirtest.h"
#include "support/testfiles.h"
#include "support/waitfor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

class UpdaterProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(placeFolders(dir, FolderMode::Make,
                                 {{&install, "install"}, {&config, "config"}, {&tmp, "tmp"}, {&home, "home"}}));
        program = QDir(install).filePath(QStringLiteral("update"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), program));

        // The file server: takes every request and never answers, so a
        // session that has started stays in progress until it is killed.
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        QObject::connect(&server, &QTcpServer::newConnection, [this]() {
            while (QTcpSocket* s = server.nextPendingConnection())
                held << s;
        });
        QFile ini(QDir(config).filePath(QStringLiteral("update.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Channel]\nalpha=http://127.0.0.1:" + QByteArray::number(server.serverPort()) + "/\nalphaRevno=5\n");
    }

    void TearDown() override
    {
        for (auto& p : running) {
            p->kill();
            p->waitForFinished(20000);
        }
    }

    std::unique_ptr<QProcess> start(const QStringList& args)
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(updaterEnvironment(config, tmp, home));
        p->setWorkingDirectory(install);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(program, args);
        EXPECT_TRUE(p->waitForStarted(20000));
        return p;
    }

    // Starts an updater whose session has begun: it has asked the file
    // server for something, so its window and instance socket are up.
    QProcess* startRunningSession(const QStringList& args)
    {
        running.push_back(start(args));
        const bool asked = waitFor([this]() { return !held.isEmpty(); }, 60000);
        EXPECT_TRUE(asked);
        EXPECT_EQ(running.back()->state(), QProcess::Running);
        return running.back().get();
    }

    // Exit code of a run expected to end by itself.
    int runToEnd(const QStringList& args)
    {
        std::unique_ptr<QProcess> p = start(args);
        if (!p->waitForFinished(60000)) {
            p->kill();
            p->waitForFinished(20000);
            return -1;
        }
        return p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -2;
    }

    QTemporaryDir dir;
    QString install;
    QString config;
    QString tmp;
    QString home;
    QString program;
    QTcpServer server;
    QList<QTcpSocket*> held;
    std::vector<std::unique_ptr<QProcess>> running;
};

TEST_F(UpdaterProgramTest, UpdaterRunRemovesForceUpdateMarkersAndClientRunKeepsThem)
{
    const struct
    {
        QStringList args;
        bool markersStay;
    } rows[] = {
        {{}, false},
        {{QStringLiteral("--nouser")}, false},
        {{QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("5")}, true},
    };
    for (const auto& row : rows) {
        for (const char* name : {"qnd_force_update", "qnd_force_update_check"})
            ASSERT_TRUE(touch(QDir(tmp).filePath(QLatin1String(name))));
        held.clear();
        QProcess* p = startRunningSession(row.args);
        for (const char* name : {"qnd_force_update", "qnd_force_update_check"})
            EXPECT_EQ(QFileInfo::exists(QDir(tmp).filePath(QLatin1String(name))), row.markersStay)
                << name << " " << row.args.join(QLatin1Char(' ')).toStdString();
        p->kill();
        p->waitForFinished(20000);
    }
}

TEST_F(UpdaterProgramTest, SecondStartHandsOverAndExitsAfterRemovingOldFiles)
{
    QProcess* first = startRunningSession({});
    const int requestsBefore = held.size();

    const QDir app(install);
    ASSERT_TRUE(app.mkpath(QStringLiteral("old")));
    ASSERT_TRUE(app.mkpath(QStringLiteral("imageformats")));
    const QStringList leftOvers = {QStringLiteral("_old_update"), QStringLiteral("libQtCore.so.4"),
                                   QStringLiteral("old/_old_libQt5Core.so.5"),
                                   QStringLiteral("imageformats/_old_libqgif.so")};
    for (const QString& name : leftOvers)
        ASSERT_TRUE(touch(app.filePath(name)));
    const QString kept = app.filePath(QStringLiteral("old/notes.txt"));
    ASSERT_TRUE(touch(kept));

    // A non-empty "old" stays; once only left-overs were in it, it goes.
    EXPECT_EQ(runToEnd({}), 0);
    for (const QString& name : leftOvers)
        EXPECT_FALSE(QFileInfo::exists(app.filePath(name))) << name.toStdString();
    EXPECT_TRUE(QFileInfo::exists(kept));

    ASSERT_TRUE(QFile::remove(kept));
    ASSERT_TRUE(touch(app.filePath(QStringLiteral("old/_old_update"))));
    EXPECT_EQ(runToEnd({QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("5")}),
              0);
    EXPECT_FALSE(QFileInfo::exists(app.filePath(QStringLiteral("old"))));
    EXPECT_TRUE(QFileInfo::exists(app.filePath(QStringLiteral("imageformats"))));

    // The first instance carries on; the second never started a session.
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_EQ(held.size(), requestsBefore);
}

// Without a display there is neither a window nor a box, and no log file
// unless asked for: what ends the program still reaches standard error.
TEST_F(UpdaterProgramTest, FatalErrorWithoutADisplayReachesStandardError)
{
    QProcess p;
    QProcessEnvironment env = updaterEnvironment(config, tmp, home);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-display"));
    p.setProcessEnvironment(env);
    p.start(program, QStringList());
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_FALSE(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);
    const QByteArray errors = p.readAllStandardError();
    EXPECT_TRUE(errors.contains("no Qt platform plugin could be initialized")) << errors.constData();
    EXPECT_TRUE(held.isEmpty());
}

} // namespace
