// Whole update sessions against a signed repository on a local HTTP server:
// version 1 of the demo client is installed, version 2 is published with
// patches against it, and a session (the windowless session driver, or the
// updater program itself) updates the installation. A repository with a
// tampered file must fail the session and leave version 1 untouched.
#include "globals.h"
#include "installlock.h"
#include "sessiontempdir.h"
#include "publisher.h"

#include "lzmaioout.h"
#include "streams.h"
#include "unpacklzmafile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QLocalSocket>

#include <cstdio>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/childprocess.h"
#include "support/democlient.h"
#include "support/openwatch.h"
#include "support/publishcache.h"
#include "support/testfiles.h"
#include "support/testsigning.h"
#include "support/waitfor.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The alpha channel at the served repository, version 2.
const QByteArray kServedChannel = "[Channel]\nalpha=@SERVER@/\nalphaRevno=2\n";

// Relative path -> bytes of every file below root, minus the given names
// and the installation's lock, which stays once made.
QMap<QString, QByteArray> tree(const QString& root, QStringList skip = {})
{
    skip << QStringLiteral(".qnd-lock");
    QMap<QString, QByteArray> files;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = base.relativeFilePath(it.next());
        if (!skip.contains(rel))
            files.insert(rel, readAllOrMissing(it.filePath()));
    }
    return files;
}

// The updater's child environment for a demo session, where the demo
// client leaves its mark.
QProcessEnvironment demoEnvironment(const QString& config, const QString& tmp, const QString& home, const QString& mark)
{
    QProcessEnvironment env = updaterEnvironment(config, tmp, home);
    env.insert(QStringLiteral("QND_DEMO_MARK"), mark);
    return env;
}

void flipByte(const QString& path, qint64 at)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite)) << path.toStdString();
    ASSERT_LT(at, f.size()) << path.toStdString();
    f.seek(at);
    char c = 0;
    ASSERT_TRUE(f.getChar(&c));
    f.seek(at);
    ASSERT_TRUE(f.putChar(char(c ^ 0x5A)));
}

class DemoUpdateTest : public DemoVersionsTest
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(DemoVersionsTest::SetUp());
        client = dir.filePath(QStringLiteral("client"));
        config = dir.filePath(QStringLiteral("config"));
        tmp = dir.filePath(QStringLiteral("tmp"));
        home = dir.filePath(QStringLiteral("home"));
        for (const QString& d : {config, tmp, home})
            ASSERT_TRUE(QDir().mkpath(d));
        clientOptions = versionTwo();
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(clientOptions, &report, &error)) << error.toStdString();
        ASSERT_EQ(report.patched.size(), 3) << report.notes.join(QLatin1Char('\n')).toStdString();
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, client}));
    }

    // One installation of version 1 with the built updater beside it, among
    // several that run side by side, each with its own settings (naming the
    // served channel), temp and home directories below root.
    struct Installation
    {
        QString root, client, config, tmp, home;
    };
    void installVersionOne(Installation* s, const QString& name)
    {
        s->root = dir.filePath(name);
        s->client = s->root + QStringLiteral("/client");
        s->config = s->root + QStringLiteral("/config");
        s->tmp = s->root + QStringLiteral("/tmp");
        s->home = s->root + QStringLiteral("/home");
        for (const QString& d : {s->config, s->tmp, s->home})
            ASSERT_TRUE(QDir().mkpath(d));
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, s->client}));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), s->client + QStringLiteral("/update")));
        writeUpdateIni(s->config, kServedChannel);
    }

    // Version 2 published over version 1 into the repository, signed.
    PublishOptions versionTwo() const { return versionTwoOf(v1, v2, repo); }
    static PublishOptions versionTwoOf(const QString& oldDir, const QString& newDir, const QString& outDir)
    {
        PublishOptions o;
        o.oldDir = oldDir;
        o.newDir = newDir;
        o.outDir = outDir;
        o.version = 2;
        o.keyPath = testPrivateKeyPath();
        return o;
    }

    void TearDown() override
    {
        if (server.state() != QProcess::NotRunning) {
            server.kill();
            server.waitForFinished(10000);
        }
    }

    // Serves root on 127.0.0.1 and writes updateIni (the config directory's
    // "update.ini" unless named).
    void serve(const QString& root, const QByteArray& updateIni, const QString& iniDir = QString())
    {
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start(QStringLiteral(QND_TEST_HTTPD), serverOptions + QStringList{root});
        ASSERT_TRUE(server.waitForStarted(20000));
        ASSERT_TRUE(waitFor([&] { return server.canReadLine(); }, 30000));
        const QByteArray line = server.readLine().trimmed();
        ASSERT_TRUE(line.startsWith("port ")) << line.constData();
        serverUrl = "http://127.0.0.1:" + line.mid(5);
        writeUpdateIni(iniDir.isEmpty() ? config : iniDir, updateIni);
    }

    void writeUpdateIni(const QString& iniDir, const QByteArray& text)
    {
        QFile ini(QDir(iniDir).filePath(QStringLiteral("update.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QByteArray(text).replace("@SERVER@", serverUrl));
    }

    // Serves the repository and points the alpha channel at it, with version
    // 2 as the alpha revision.
    void serveRepository() { serve(repo, kServedChannel); }

    // Publishes version 2 of the updater itself: the built program with a
    // few bytes more, which leave it runnable. Version 2 of the client
    // carries it, as every client tree carries its version's updater, so it
    // is published again with it (and so is what v2 stands for). The
    // updater's tree holds the program in the given form, the client's
    // plain: packing 22 MB takes longer than any session.
    void publishUpdater(PublishOptions::Form form = PublishOptions::Plain)
    {
        publishUpdaterMadeBy(
            [](const QString& program) {
                QFile f(program);
                ASSERT_TRUE(f.open(QIODevice::Append));
                f.write("updater version 2");
            },
            form);
    }
    // The same with version 2's program given: a script standing in for
    // the updater of another release, or one that cannot start.
    void publishUpdaterProgram(const QByteArray& bytes)
    {
        publishUpdaterMadeBy([&](const QString& program) {
            ASSERT_TRUE(writeAll(program, bytes)
                        && QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        });
    }
    void publishUpdaterMadeBy(const std::function<void(const QString& program)>& make,
                              PublishOptions::Form form = PublishOptions::Plain)
    {
        const QString u1 = dir.filePath(QStringLiteral("u1")), u2 = dir.filePath(QStringLiteral("u2"));
        removeFileOrTree(u1);
        removeFileOrTree(u2);
        ASSERT_TRUE(QDir().mkpath(u1));
        ASSERT_TRUE(QDir().mkpath(u2));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), u1 + QStringLiteral("/update")));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), u2 + QStringLiteral("/update")));
        ASSERT_NO_FATAL_FAILURE(make(u2 + QStringLiteral("/update")));
        QFile::remove(v2 + QStringLiteral("/update"));
        ASSERT_TRUE(QFile::copy(u2 + QStringLiteral("/update"), v2 + QStringLiteral("/update")));
        PublishOptions clientTree = clientOptions;
        clientTree.form = PublishOptions::Plain;
        PublishOptions o;
        o.oldDir = u1;
        o.newDir = u2;
        o.outDir = repo;
        o.version = 2;
        o.targetKind = 0;
        o.keyPath = testPrivateKeyPath();
        o.form = form;
        o.patches = false; // the updater is large; client files cover the patches
        QCryptographicHash key(QCryptographicHash::Sha256);
        PublishCache::addPublish(&key, clientTree);
        PublishCache::addPublish(&key, o);
        QString error;
        const auto publishBoth = [&] {
            PublishReport clientReport, report;
            return publish(clientTree, &clientReport, &error) && publish(o, &report, &error);
        };
        ASSERT_TRUE(PublishCache(QStringLiteral(QND_PUBLISH_CACHE))
                        .fill(key.result(), repo + QStringLiteral("/2"), publishBoth))
            << error.toStdString();
    }

    // Installs the updater program in the client directory and starts it there.
    void startUpdater(QProcess& p, const QStringList& args)
    {
        const QString installed = QDir(client).filePath(QStringLiteral("update"));
        QFile::remove(installed);
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), installed));
        p.setProcessEnvironment(demoEnvironment(config, tmp, home, mark()));
        p.setWorkingDirectory(client);
        p.start(installed, args);
    }

    // Standard error of a session until it says that it failed (the window
    // then waits for the user); the test fails when it never does.
    static QByteArray standardErrorUntilFailed(QProcess& p)
    {
        QByteArray err;
        EXPECT_TRUE(waitFor(
            [&] {
                err += p.readAllStandardError();
                return err.contains("Update failed");
            },
            120000))
            << err.constData();
        return err;
    }
    // All a failed session wrote to standard error: it is stopped once it
    // has said that it failed, as the window would wait for the user.
    static QByteArray standardErrorOfFailedSession(QProcess& p)
    {
        QByteArray err = standardErrorUntilFailed(p);
        p.kill();
        p.waitForFinished(20000);
        return err + p.readAllStandardError();
    }
    // The lines of standard error that say the update failed.
    static QList<QByteArray> failureLines(const QByteArray& err)
    {
        QList<QByteArray> lines = err.split('\n');
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const QByteArray& line) { return !line.contains("Update failed"); }),
                    lines.end());
        return lines;
    }

    QString mark() const { return dir.filePath(QStringLiteral("client-ran.txt")); }

    // Runs the installed updater without arguments: it updates itself, and
    // the new updater, detached, the client, which it starts at the end.
    void runSelfUpdate()
    {
        QProcess p;
        startUpdater(p, QStringList());
        ASSERT_TRUE(p.waitForFinished(300000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
        ASSERT_TRUE(waitFor([&] { return readAllOrMissing(mark()).contains("version 2"); }, 300000))
            << readAllOrMissing(mark()).constData();
        expectClientHoldsNothingOfTheLock();
    }

    // The descriptors the started client was given (its run script lists
    // them): neither the lock file nor the installation folder, whose lock
    // would keep every later start out for as long as the game runs.
    void expectClientHoldsNothingOfTheLock() const
    {
        const QByteArray fds = readAllOrMissing(mark() + QStringLiteral(".fds"));
        EXPECT_TRUE(fds.contains(" -> ")) << fds.constData();
        EXPECT_FALSE(fds.contains(installLockFileName.latin1())) << fds.constData();
        EXPECT_FALSE(fds.contains("-> " + QFile::encodeName(QFileInfo(client).canonicalFilePath()) + "\n"))
            << fds.constData();
    }

    // Every diagnostic log the runs wrote; they write one when the marker
    // is in their temp directory.
    void enableLogs() { ASSERT_TRUE(writeAll(QDir(tmp).filePath(QStringLiteral("qnd_update_log")), "")); }
    QMap<QString, QByteArray> logs() const { return tree(QDir(tmp).filePath(QStringLiteral("quendrail_update_log"))); }

    // Copies program into the client directory (its install directory is its
    // own) and runs it, by default for a client update to version 2.
    int runSession(const QString& program, QByteArray* output,
                   const QStringList& args = {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"),
                                              QStringLiteral("2")},
                   const QString& clientDir = QString(), const QByteArray& httpProxy = QByteArray())
    {
        const QString target = clientDir.isEmpty() ? client : clientDir;
        const QString installed = QDir(target).filePath(QFileInfo(program).fileName());
        QFile::remove(installed);
        if (!QFile::copy(program, installed))
            return -100;
        QProcess p;
        QProcessEnvironment env = demoEnvironment(config, tmp, home, dir.filePath(QStringLiteral("client-ran.txt")));
        if (!httpProxy.isEmpty())
            env.insert(QStringLiteral("http_proxy"), QString::fromLatin1(httpProxy));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(target);
        p.start(installed, args);
        if (!p.waitForFinished(300000)) {
            p.kill();
            p.waitForFinished(10000);
            return -101;
        }
        *output = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -102;
    }

    QByteArray runScriptOutput()
    {
        QProcess p;
        p.start(QDir(client).filePath(QStringLiteral("qndclient_runscript.sh")), QStringList());
        p.waitForFinished(60000);
        return p.readAllStandardOutput();
    }

    QString pristine() const { return dir.filePath(QStringLiteral("pristine")); }
    void keepPristineRepository()
    {
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), repo, pristine()}));
    }
    // The repository as kept by keepPristineRepository(), and no trace of an
    // earlier session.
    void restoreRepository()
    {
        QDir(repo).removeRecursively();
        QDir(tmp).removeRecursively();
        QDir().mkpath(tmp);
        QFile::remove(QDir(client).filePath(QStringLiteral("update.ini")));
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), pristine(), repo}));
    }

    QStringList leftTempDirs() const { return QDir(tmp).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs); }

    // Publishes version 2 again with install commands: each script becomes
    // tools/<name> of version 2 (so the client stays exactly version 2) and
    // is given the install directory, as "$dir".
    void publishWithCommands(const QMap<QString, QByteArray>& scripts, const QStringList& pre, const QStringList& post)
    {
        for (auto it = scripts.begin(); it != scripts.end(); ++it) {
            const QString path = v2 + QStringLiteral("/tools/") + it.key();
            ASSERT_TRUE(writeAllMakingDirs(path, "#!/bin/sh\ndir=\"${1#--}\"\n" + it.value() + "\nexit 0\n"));
            ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        }
        QDir(repo).removeRecursively();
        PublishOptions& o = clientOptions;
        o = versionTwo();
        for (const QString& name : pre)
            o.preInstall.append({QStringLiteral("tools/") + name, {QStringLiteral("__QND_DIR__")}, false});
        for (const QString& name : post)
            o.postInstall.append({QStringLiteral("tools/") + name, {QStringLiteral("__QND_DIR__")}, false});
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
    }

    // A command that keeps its session running while the file "hold" lies
    // beside the client, after saying so with "hold-running".
    static QByteArray holdScript()
    {
        return "touch \"$dir/../hold-running\"\nwhile [ -e \"$dir/../hold\" ]; do sleep 0.05; done";
    }
    QString beside(const char* name) const { return dir.filePath(QLatin1String(name)); }

    // Starts the client's installed updater as it stands.
    void startInstalled(QProcess& p, const QStringList& args)
    {
        p.setProcessEnvironment(demoEnvironment(config, tmp, home, mark()));
        p.setWorkingDirectory(client);
        p.start(QDir(client).filePath(QStringLiteral("update")), args);
    }

    // How many logs hold text.
    int logsWith(const QByteArray& text) const
    {
        const QMap<QString, QByteArray> all = logs();
        return int(std::count_if(all.begin(), all.end(), [&](const QByteArray& log) { return log.contains(text); }));
    }

    // How version 2 of the client was last published.
    PublishOptions clientOptions;
    QString client, config, tmp, home;
    QProcess server;
    QStringList serverOptions; // given to the next serve()
    QByteArray serverUrl;
};

TEST_F(DemoUpdateTest, SessionUpdatesVersionOneToVersionTwoAndCleansUp)
{
    serveRepository();
    QByteArray output;
    ASSERT_EQ(runSession(QStringLiteral(QND_SESSION_DRIVER), &output), 0) << output.constData();
    EXPECT_TRUE(output.contains("session: finished")) << output.constData();

    EXPECT_TRUE(tree(client, {QStringLiteral("qnd_session_driver")}) == tree(v2));
    EXPECT_FALSE(QFileInfo::exists(QDir(client).filePath(QStringLiteral("update.ini"))));
    EXPECT_TRUE(leftTempDirs().isEmpty()) << leftTempDirs().join(QLatin1Char(' ')).toStdString();
    for (const char* exe : {"qndclient_runscript.sh", "qndclient_linux_amd64"})
        EXPECT_TRUE(QFileInfo(QDir(client).filePath(QString::fromLatin1(exe))).isExecutable()) << exe;
    const QString mark = dir.filePath(QStringLiteral("client-ran.txt"));
    EXPECT_TRUE(waitFor([&] { return readAllOrMissing(mark).contains("version 2"); }, 60000))
        << readAllOrMissing(mark).constData();
    const QByteArray ran = runScriptOutput();
    EXPECT_TRUE(ran.contains("Quendrail 3 demo client version 2")) << ran.constData();
    EXPECT_TRUE(ran.contains("demo client program 2")) << ran.constData();
}

// Each row spoils one file that the session fetches; whichever check meets
// it first, the session fails and every installed byte stays as version 1.
TEST_F(DemoUpdateTest, TamperedRepositoryFailsTheSessionAndLeavesVersionOne)
{
    struct Row
    {
        const char* file;
        const char* expect;
    };
    const Row rows[] = {
        {"client/qndclient_linux_amd64.*_patch_", "Signature check failed for"},
        {"client/data/map.bin.gz", "Signature check failed for"},
        {"client/data/news.txt", "Signature check failed for"},
        // A plain file is never checked once copied into place, so its
        // download's check is the only one that can stop it.
        {"client/data/extra.dat", "Signature check failed for"},
        {"qnd_client_linux_amd64.ini.sig", "Could not verify the product ini file. Aborting"},
        {"qnd_client_linux_amd64.ini._lzma2_", "session: cancelled"},
    };
    ASSERT_NO_FATAL_FAILURE(keepPristineRepository());
    const QMap<QString, QByteArray> before = tree(client);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_NO_FATAL_FAILURE(restoreRepository());
        const QFileInfo pattern(QDir(repo).filePath(QStringLiteral("2/") + QString::fromLatin1(row.file)));
        const QStringList hits = pattern.dir().entryList({pattern.fileName()}, QDir::Files);
        ASSERT_EQ(hits.size(), 1);
        const QString victim = pattern.dir().filePath(hits[0]);
        flipByte(victim, QFileInfo(victim).size() / 2);

        serveRepository();
        QByteArray output;
        EXPECT_EQ(runSession(QStringLiteral(QND_SESSION_DRIVER), &output), 3) << output.constData();
        EXPECT_TRUE(output.contains(row.expect)) << output.constData();
        EXPECT_TRUE(tree(client, {QStringLiteral("qnd_session_driver"), QStringLiteral("update.ini")}) == before);
        server.kill();
        server.waitForFinished(10000);
    }
}

// The updater program itself, as the demo runs it: after the session it
// starts the client's run script and exits.
TEST_F(DemoUpdateTest, UpdaterProgramUpdatesTheClientAndStartsIt)
{
    const QString updater = QStringLiteral(QND_UPDATER);
    serveRepository();
    QByteArray output;
    ASSERT_EQ(runSession(updater, &output), 0) << output.constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
    const QString mark = dir.filePath(QStringLiteral("client-ran.txt"));
    ASSERT_TRUE(waitFor([&] { return readAllOrMissing(mark).contains("version 2"); }, 60000))
        << readAllOrMissing(mark).constData();
}

// A healthy session says nothing on standard error: neither the first start,
// which patches version 1, nor the second, which finds every file current
// and no installed file the base of a patch.
TEST_F(DemoUpdateTest, HealthyStartsPrintNothingOnStandardError)
{
    serveRepository();
    for (const char* start : {"first", "second"}) {
        SCOPED_TRACE(start);
        QProcess p;
        startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
        ASSERT_TRUE(p.waitForFinished(300000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 0);
        const QByteArray errText = p.readAllStandardError();
        EXPECT_EQ(errText, QByteArray()) << errText.constData();
        EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
    }
}

// A release laid out as a real server holds it: version 3 published with
// patches from versions 1 and 2 under "updater-images/client/", and the
// version reply naming it the stable channel's newest. Told no version, the
// updater asks the version query (through the system proxy) and fetches the
// files (through the "proxy" of the "update.ini" beside it); a client at
// either old version ends with exactly version 3, its changed files patched
// from its own version.
TEST_F(DemoUpdateTest, ClientsAtEitherOldVersionFollowTheVersionReplyToTheSameNewTree)
{
    const QString v3 = dir.filePath(QStringLiteral("v3")), root = dir.filePath(QStringLiteral("root"));
    const QString u3 = dir.filePath(QStringLiteral("u3"));
    ASSERT_TRUE(makeDemoClient(v3, 3));
    ASSERT_TRUE(QDir().mkpath(u3));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), u3 + QStringLiteral("/update")));
    // The client tree carries its version's updater.
    ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), v3 + QStringLiteral("/update")));
    // Whole files plain: packing the 22 MB updater is not what this checks.
    const QStringList common{QStringLiteral("--version"), QStringLiteral("3"),
                             QStringLiteral("--out"),     root + QStringLiteral("/updater-images/client"),
                             QStringLiteral("--key"),     testPrivateKeyPath(),
                             QStringLiteral("--form"),    QStringLiteral("plain")};
    ASSERT_TRUE(runToSuccess(
        QStringLiteral(QND_PUBLISH),
        common + QStringList{QStringLiteral("--old"), v1, QStringLiteral("--old"), v2, QStringLiteral("--new"), v3}));
    // The reply comes with the second tree of the version.
    ASSERT_TRUE(runToSuccess(QStringLiteral(QND_PUBLISH),
                             common
                                 + QStringList{QStringLiteral("--updater"), QStringLiteral("--new"), u3,
                                               QStringLiteral("--no-patches"), QStringLiteral("--channel"),
                                               QStringLiteral("stable"), QStringLiteral("--versions-dir"), root}));
    serve(root, "");
    for (const QString& old : {v1, v2}) {
        SCOPED_TRACE(old.toStdString());
        const QString installed = dir.filePath(QStringLiteral("client-from-") + QFileInfo(old).fileName());
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), old, installed}));
        writeUpdateIni(installed, "[update]\nproxy=@SERVER@\n");
        QFile::remove(dir.filePath(QStringLiteral("client-ran.txt")));
        QByteArray output;
        ASSERT_EQ(
            runSession(QStringLiteral(QND_UPDATER), &output, {QStringLiteral("--clientupdate")}, installed, serverUrl),
            0)
            << output.constData();
        EXPECT_TRUE(tree(installed, {QStringLiteral("update.ini")}) == tree(v3));
        const QString mark = dir.filePath(QStringLiteral("client-ran.txt"));
        EXPECT_TRUE(waitFor([&] { return readAllOrMissing(mark).contains("version 3"); }, 60000))
            << readAllOrMissing(mark).constData();
        // The executable came as a patch from this client's own version.
        const QByteArray base =
            sha512HexOfFile(QDir(old).filePath(QStringLiteral("qndclient_linux_amd64"))).left(16).toLatin1();
        QByteArray requests;
        EXPECT_TRUE(waitFor(
            [&] {
                requests += server.readAllStandardError();
                return requests.contains("qndclient_linux_amd64." + base + "_patch_");
            },
            10000))
            << requests.constData();
    }
}

// A version query that the server cannot answer (it has no version reply):
// the run ends with one line naming the query's address and why it failed,
// and nothing is installed.
TEST_F(DemoUpdateTest, FailedVersionQueryEndsInOneLineSayingWhy)
{
    serve(repo, "");
    const QMap<QString, QByteArray> before = tree(client);
    const QString installed = QDir(client).filePath(QStringLiteral("update"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), installed));
    QProcessEnvironment env = demoEnvironment(config, tmp, home, mark());
    // The query goes to the local server, as every request of these tests.
    env.insert(QStringLiteral("http_proxy"), serverUrl);
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(client);
    p.start(installed, {QStringLiteral("--clientupdate")});
    const QByteArray err = standardErrorOfFailedSession(p);
    const QList<QByteArray> failed = failureLines(err);
    ASSERT_EQ(failed.size(), 1) << err.constData();
    EXPECT_TRUE(failed.first().startsWith("Update failed: Request of http")) << err.constData();
    EXPECT_TRUE(failed.first().contains("/qnd-client-2 failed: ")) << err.constData();
    EXPECT_TRUE(failed.first().contains("Not Found")) << err.constData();
    EXPECT_TRUE(err.trimmed().endsWith(failed.first())) << err.constData();
    EXPECT_TRUE(server.readAllStandardError().contains("/qnd-client-2"));
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == before);
}

// An updater run: the installed updater fetches its own product ini, builds
// the new updater in the session's temp directory and starts it, and that one
// carries the same session on with the client update and starts the client.
// The one self-update whose updater comes packed as the publisher picks by
// default (the others take it plain).
TEST_F(DemoUpdateTest, UpdaterRunUpdatesItselfThenTheClient)
{
    publishUpdater(PublishOptions::Auto);
    ASSERT_TRUE(QFileInfo::exists(repo + QStringLiteral("/2/update/update._lzma2_")));
    serveRepository();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    // The installed updater too is version 2's.
    EXPECT_TRUE(tree(client) == tree(v2));
}

// What a user keeps in the install directory's "update.ini" (here the alpha
// channel on a host reached only through the configured proxy, and two
// streams) holds for both steps of a self-update, and stays afterwards; only
// the session record goes.
TEST_F(DemoUpdateTest, SelfUpdateUsesAndKeepsTheInstallDirectorysSettings)
{
    publishUpdater();
    serve(repo,
          "[Channel]\nalpha=http://updates.quendrail.invalid/\nalphaRevno=2\n[update]\nproxy=@SERVER@\nstreams=2\n",
          client);
    enableLogs();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    EXPECT_TRUE(tree(client, {QStringLiteral("update.ini")}) == tree(v2));

    QSettings kept(QDir(client).filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    EXPECT_EQ(kept.childGroups(), (QStringList{QStringLiteral("Channel"), QStringLiteral("update")}));
    EXPECT_EQ(kept.value(QStringLiteral("update/streams")).toInt(), 2);
    EXPECT_EQ(kept.value(QStringLiteral("Channel/alpha")).toString(),
              QStringLiteral("http://updates.quendrail.invalid/"));

    // Both steps asked the proxy for the alpha host: the updater's files,
    // then the client's.
    const QList<QByteArray> requests = server.readAllStandardError().trimmed().split('\n');
    for (const QByteArray& line : requests)
        EXPECT_TRUE(line.startsWith("GET http://updates.quendrail.invalid/2/")) << line.constData();
    const auto requested = [&](const char* name) {
        return std::any_of(requests.begin(), requests.end(),
                           [&](const QByteArray& line) { return line.contains(name); });
    };
    EXPECT_TRUE(requested("/2/update_linux_amd64.ini._lzma2_"));
    EXPECT_TRUE(requested("/2/qnd_client_linux_amd64.ini._lzma2_"));
    // Each step read the same settings, and says so in its log.
    ASSERT_TRUE(waitFor(
        [&] {
            const QMap<QString, QByteArray> l = logs();
            return l.size() == 2 && l.last().contains("Update successfully finished");
        },
        60000))
        << logs().keys().join(QLatin1Char(' ')).toStdString();
    for (const QByteArray& log : logs())
        EXPECT_TRUE(log.contains("\t|\tInfo\t|\tUpdate settings from")
                    && log.contains("proxy \"" + serverUrl + "\" streams 2"))
            << log.constData();
}

// A server that answers the request for version 3 with the genuine, signed
// repository of version 2 (a replay) fails the session, which says why in its
// log; the client stays as it was.
TEST_F(DemoUpdateTest, RepositoryOfAnotherVersionFailsTheSession)
{
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"),
                             {QStringLiteral("-a"), repo + QStringLiteral("/2"), repo + QStringLiteral("/3")}));
    serve(repo, "[Channel]\nalpha=@SERVER@/\nalphaRevno=3\n");
    enableLogs();
    const QMap<QString, QByteArray> before = tree(client);
    QProcess p;
    startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("3")});
    const auto logged = [&](const QByteArray& text) {
        const QMap<QString, QByteArray> all = logs();
        return std::any_of(all.begin(), all.end(), [&](const QByteArray& log) { return log.contains(text); });
    };
    EXPECT_TRUE(waitFor([&] { return logged("\t|\tWarning\t|\tUpdate failed"); }, 120000));
    EXPECT_TRUE(logged("The product ini is for version 2, not for the requested version 3"));
    // The failed session waits in its window for the user; nothing more is coming.
    p.kill();
    p.waitForFinished(20000);
    EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == before);
    EXPECT_FALSE(readAllOrMissing(mark()).contains("version"));
}

// A packed product ini of a few KiB that declares 4 GiB of content: without a
// bound it would be unpacked, into memory and the temp directory, before its
// signature could refuse it.
QByteArray packedIniDeclaring4GiB()
{
    const QByteArray zeros(1 << 20, '\0');
    deltapatch::WriteStream block;
    EXPECT_TRUE(deltapatch::CompressBufferLzma2(reinterpret_cast<const uint8_t*>(zeros.constData()),
                                                size_t(zeros.size()), &block));
    deltapatch::ReadStream stream(block.Data(), size_t(block.Size()));
    uint8_t property = 0;
    uint32_t size = 0;
    EXPECT_TRUE(stream.Read(&property, 1) && stream.ReadVarint32(&size));
    deltapatch::WriteStream packed;
    packed.WriteVarint32(deltapatch::kLzmaFileMagic);
    packed.WriteVarint32(0);
    packed.WriteVarint32(deltapatch::kLzmaDirectivePlain);
    packed.Write(&property, 1);
    packed.WriteVarint32(0xFFFFFFFFu);
    packed.Write(stream.Current(), stream.Remaining());
    return QByteArray(reinterpret_cast<const char*>(packed.Data()), int(packed.Size()));
}

qint64 bytesBelow(const QString& root)
{
    qint64 total = 0;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

// Rewrites a published product ini as a hostile or broken publishing
// pipeline would, and signs and packs it again with the test key: the
// updater fetches and trusts it like the one it replaces.
void resignIni(const QString& iniPath, const std::function<void(QByteArray&)>& edit)
{
    QByteArray text = readAllOrMissing(iniPath);
    const QByteArray before = text;
    edit(text);
    ASSERT_NE(text, before) << "the edit found nothing to change";
    ASSERT_TRUE(writeAll(iniPath, text));
    ASSERT_TRUE(writeAll(iniPath + QStringLiteral(".sig"), signWithTestKey(text)));
    ASSERT_TRUE(deltapatch::GenerateLzmaFile(QFile::encodeName(iniPath).constData(),
                                             QFile::encodeName(iniPath + QStringLiteral("._lzma2_")).constData(),
                                             false));
}

void replaceOnce(QByteArray& text, const QByteArray& from, const QByteArray& to)
{
    const int at = text.indexOf(from);
    if (at >= 0)
        text.replace(at, from.size(), to);
}

// What a user who started the updater from a terminal sees when a server
// spoils a session: the cause and the outcome on standard error (and in the
// log), a temp directory without anything large, the client as it was.
TEST_F(DemoUpdateTest, FailedSessionTellsItsCauseOnStandardError)
{
    struct Row
    {
        const char* file;
        std::function<void(const QString& path)> spoil;
        std::function<QByteArray()> cause;
        QStringList serverOptions = {};
        // How the one line saying the session failed starts, where the cause
        // above is a line of its own.
        std::function<QByteArray()> failed = nullptr;
    };
    // Where the session's own files lie: a temp directory of a random name.
    const QByteArray session = QFile::encodeName(tmp) + "/quendrail_temp_";
    const QString extra = QDir(repo).filePath(QStringLiteral("2/client/data/extra.dat"));
    const QByteArray extraDigest = sha512HexOfFile(extra).left(16).toLatin1();
    const QByteArray ini = "qnd_client_linux_amd64.ini";
    const auto edited = [](std::function<void(QByteArray&)> edit) {
        return [edit](const QString& path) { ASSERT_NO_FATAL_FAILURE(resignIni(path, edit)); };
    };
    const Row rows[] = {
        // The session's last line names what failed first, as the window did.
        {ini,
         edited([](QByteArray& t) { replaceOnce(t, "111::qndclient_runscript.sh", "4755::qndclient_runscript.sh"); }),
         [] { return QByteArray("Update failed: Rejected product ini execute bits 4755::qndclient_runscript.sh"); }},
        {ini, edited([](QByteArray& t) {
             replaceOnce(t, "[client]\n", "[client]\ndata/levels.dat/b=" + QByteArray(128, 'a') + "::1\n");
         }),
         [] {
             return QByteArray(
                 "Update failed: Rejected product ini lines: [client] data/levels.dat._lzma2_ installs the file "
                 "data/levels.dat, which [client] data/levels.dat/b needs as a folder");
         }},
        {ini, edited([](QByteArray& t) {
             replaceOnce(t, "111::qndclient_runscript.sh", "111::qndclient_runscript.sh, 000::qndclient_runscript.sh");
         }),
         [] {
             return QByteArray("Update failed: Rejected product ini lines: executables items "
                               "111::qndclient_runscript.sh and 000::qndclient_runscript.sh both name "
                               "qndclient_runscript.sh");
         }},
        {ini, edited([](QByteArray& t) { t += "[preinstall]\ntools/nofile.sh=linux64\n"; }),
         [] {
             return QByteArray(
                 "Update failed: Failed to start tools/nofile.sh: no file line of the product ini installs it");
         }},
        // Every request of the product ini refused: its name, address and the
        // last attempt's reason.
        {"client/data/news.txt",
         [](const QString&) {},
         [&] {
             return "Update failed: Unable to download " + ini + "._lzma2_ from " + serverUrl + "/2/" + ini
                 + "._lzma2_: " + ini + "._lzma2_ returned 503";
         },
         {QStringLiteral("--fail-first"), QStringLiteral("99")}},
        {"qnd_client_linux_amd64.ini._lzma2_",
         [](const QString& path) { ASSERT_TRUE(writeAll(path, packedIniDeclaring4GiB())); },
         [] { return QByteArray("LZMA2 block of 4294967295 bytes would pass the output limit of 33554432 bytes"); },
         {},
         [&] { return "Update failed: Could not unpack '" + session; }},
        {"client/data/extra.dat",
         [](const QString& path) { flipByte(path, QFileInfo(path).size() / 2); },
         [&] {
             return "/data/extra.dat from " + serverUrl + "/2/client/data/extra.dat does not match: expected "
                 + extraDigest + "..., got ";
         },
         {},
         [&] { return "Update failed: Signature check failed for " + session; }},
    };
    ASSERT_NO_FATAL_FAILURE(keepPristineRepository());
    const QMap<QString, QByteArray> before = tree(client);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_NO_FATAL_FAILURE(restoreRepository());
        row.spoil(QDir(repo).filePath(QStringLiteral("2/") + QString::fromLatin1(row.file)));
        serverOptions = row.serverOptions;
        serveRepository();
        enableLogs();
        QProcess p;
        startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
        QByteArray err = standardErrorUntilFailed(p);
        // Standard error is written first, the log right after.
        QMap<QString, QByteArray> all;
        EXPECT_TRUE(waitFor(
            [&] {
                all = logs();
                return all.size() == 1 && all.first().contains("\t|\tWarning\t|\tUpdate failed");
            },
            30000));
        ASSERT_EQ(all.size(), 1);
        EXPECT_TRUE(all.first().contains(row.cause())) << all.first().constData();
        // The failed session waits in its window for the user.
        p.kill();
        p.waitForFinished(20000);
        err += p.readAllStandardError();
        EXPECT_EQ(err.count(row.cause()), 1) << err.constData();
        EXPECT_FALSE(err.contains("libprotobuf")) << err.constData();
        // One line says that the session failed, and it names the cause.
        EXPECT_EQ(err.count("Update failed"), 1) << err.constData();
        const QList<QByteArray> failed = failureLines(err);
        ASSERT_EQ(failed.size(), 1) << err.constData();
        EXPECT_TRUE(failed.first().startsWith(row.failed ? row.failed() : row.cause())) << err.constData();
        // Nothing large was written: the bomb was refused on its declaration.
        EXPECT_LT(bytesBelow(tmp), qint64(16) << 20);
        EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == before);
        server.kill();
        server.waitForFinished(10000);
    }
}

// Install commands delivered by the product ini really run: the pre-install
// program sees version 1 of the client, the post-install one version 2,
// both started from their downloads (which carry no execute bit) with the
// install directory as their argument.
TEST_F(DemoUpdateTest, InstallCommandsFromTheProductIniRunBeforeAndAfterTheFiles)
{
    // Each program notes how many revised lines the readme has when it runs,
    // beside the client so that the client stays exactly version 2.
    const QByteArray script = "#!/bin/sh\ndir=\"${1#--}\"\n"
                              "grep -c 'revised for version 2' \"$dir/data/readme.txt\" > \"$dir/../%1-saw\"\nexit 0\n";
    for (const char* name : {"pre", "post"}) {
        const QString path = v2 + QStringLiteral("/tools/%1.sh").arg(QLatin1String(name));
        ASSERT_TRUE(writeAllMakingDirs(path, QByteArray(script).replace("%1", name)));
        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    }
    QDir(repo).removeRecursively();
    PublishOptions o = versionTwo();
    o.preInstall = {{QStringLiteral("tools/pre.sh"), {QStringLiteral("__QND_DIR__")}, false}};
    o.postInstall = {{QStringLiteral("tools/post.sh"), {QStringLiteral("__QND_DIR__")}, false}};
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();

    serveRepository();
    QByteArray output;
    ASSERT_EQ(runSession(QStringLiteral(QND_UPDATER), &output), 0) << output.constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
    EXPECT_EQ(readAllOrMissing(dir.filePath(QStringLiteral("pre-saw"))), "0\n");
    EXPECT_EQ(readAllOrMissing(dir.filePath(QStringLiteral("post-saw"))), "6\n");

    // A second run at the same version downloads nothing, so both programs
    // are current in the installation: they run again, from checked copies.
    ASSERT_EQ(runSession(QStringLiteral(QND_UPDATER), &output), 0) << output.constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
    EXPECT_EQ(readAllOrMissing(dir.filePath(QStringLiteral("pre-saw"))), "6\n");
    EXPECT_EQ(readAllOrMissing(dir.filePath(QStringLiteral("post-saw"))), "6\n");
    EXPECT_TRUE(leftTempDirs().isEmpty()) << leftTempDirs().join(QLatin1Char(' ')).toStdString();
}

// A kill that lands after a post-install command has run (here while a
// second one holds the session) is undone at the next start, which runs the
// session, commands included, to its end.
TEST_F(DemoUpdateTest, KillAfterAPostInstallCommandEndsWellAtTheNextStart)
{
    publishWithCommands(
        {{QStringLiteral("post.sh"), "echo ran >> \"$dir/../post-ran\""}, {QStringLiteral("wait.sh"), holdScript()}},
        {}, {QStringLiteral("post.sh"), QStringLiteral("wait.sh")});
    serveRepository();
    ASSERT_TRUE(touch(beside("hold")));
    QProcess p;
    startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(beside("hold-running")); }, 120000));
    EXPECT_EQ(readAllOrMissing(beside("post-ran")), "ran\n");
    p.kill();
    p.waitForFinished(30000);
    // The orphaned command ends, and no later run waits.
    ASSERT_TRUE(QFile::remove(beside("hold")));

    QByteArray output;
    ASSERT_EQ(runSession(QStringLiteral(QND_UPDATER), &output), 0) << output.constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
    EXPECT_EQ(readAllOrMissing(beside("post-ran")), "ran\nran\n");
    EXPECT_TRUE(leftTempDirs().isEmpty()) << leftTempDirs().join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(QFileInfo::exists(QDir(client).filePath(QStringLiteral(".qnd-replace"))));
    EXPECT_TRUE(waitFor([&] { return readAllOrMissing(mark()).contains("version 2"); }, 60000));
}

// While the new updater of a self-update works from the temp directory (held
// in its post-install command), a start of the installed updater finds the
// installation taken and hands over; the session ends exactly at version 2.
TEST_F(DemoUpdateTest, SecondStartDuringTheSelfUpdatesSecondStepIsHandedOver)
{
    publishWithCommands({{QStringLiteral("hold.sh"), holdScript()}}, {}, {QStringLiteral("hold.sh")});
    publishUpdater();
    serveRepository();
    enableLogs();
    ASSERT_TRUE(touch(beside("hold")));
    QProcess stepOne;
    startUpdater(stepOne, {});
    ASSERT_TRUE(stepOne.waitForFinished(300000));
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(beside("hold-running")); }, 300000));

    QProcess second;
    startInstalled(second, {});
    ASSERT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_TRUE(QFile::remove(beside("hold")));

    ASSERT_TRUE(waitFor([&] { return readAllOrMissing(mark()).contains("version 2"); }, 300000));
    EXPECT_TRUE(tree(client) == tree(v2));
    EXPECT_TRUE(waitFor([&] { return leftTempDirs().isEmpty(); }, 60000))
        << leftTempDirs().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(logs().size(), 3);
    EXPECT_EQ(logsWith("Detected other instance running, aborting"), 1);
    // Step two went on with the lock step one held.
    EXPECT_EQ(logsWith("Holding the installation lock handed over"), 1);
    EXPECT_EQ(logsWith("Starting update"), 2);
    EXPECT_EQ(logsWith("Update successfully finished"), 2);
}

// Two updaters started at the same moment on one installation, three times
// over: one hands over to the other and exits, exactly one session runs,
// the client ends at version 2 and no temp directory is left behind. Each
// start keeps a log of its own, though both began in the same second.
TEST_F(DemoUpdateTest, TwoUpdatersStartedTogetherRunOneSession)
{
    serveRepository();
    struct Pair
    {
        QString root, client, tmp;
        QProcess a, b;
    };
    std::vector<std::unique_ptr<Pair>> pairs;
    for (int i = 0; i < 3; ++i) {
        auto pair = std::make_unique<Pair>();
        pair->root = dir.filePath(QStringLiteral("pair%1").arg(i));
        pair->client = pair->root + QStringLiteral("/client");
        pair->tmp = pair->root + QStringLiteral("/tmp");
        ASSERT_TRUE(QDir().mkpath(pair->tmp));
        ASSERT_TRUE(writeAllMakingDirs(pair->tmp + QStringLiteral("/qnd_update_log"), QByteArray()));
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, pair->client}));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), pair->client + QStringLiteral("/update")));
        for (QProcess* p : {&pair->a, &pair->b}) {
            p->setProcessEnvironment(demoEnvironment(config, pair->tmp, home, pair->root + QStringLiteral("/ran")));
            p->setWorkingDirectory(pair->client);
            p->setStandardOutputFile(QProcess::nullDevice());
        }
        pairs.push_back(std::move(pair));
    }
    const QStringList args{QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")};
    for (auto& pair : pairs) {
        pair->a.start(pair->client + QStringLiteral("/update"), args);
        pair->b.start(pair->client + QStringLiteral("/update"), args);
    }
    for (auto& pair : pairs) {
        SCOPED_TRACE(pair->root.toStdString());
        ASSERT_TRUE(pair->a.waitForFinished(300000) && pair->b.waitForFinished(300000));
        EXPECT_EQ(pair->a.exitCode(), 0);
        EXPECT_EQ(pair->b.exitCode(), 0);
        EXPECT_TRUE(tree(pair->client, {QStringLiteral("update")}) == tree(v2));
        EXPECT_TRUE(QDir(pair->tmp).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs).isEmpty());
        EXPECT_FALSE(QFileInfo::exists(pair->client + QStringLiteral("/.qnd-replace")));
        const QMap<QString, QByteArray> logs = tree(pair->tmp + QStringLiteral("/quendrail_update_log"));
        EXPECT_EQ(logs.size(), 2);
        int sessions = 0;
        for (const QByteArray& log : logs) {
            EXPECT_TRUE(log.contains("Quendrail updater started"));
            sessions += log.contains("Starting update") ? 1 : 0;
        }
        EXPECT_EQ(sessions, 1);
    }
}

// A throwaway user, made with useradd and removed again; invalid where
// users cannot be made (not root, no useradd).
struct ThrowawayUser
{
    ThrowawayUser()
    {
        name = QStringLiteral("qndt%1").arg(::getpid());
        if (::geteuid() != 0
            || QProcess::execute(QStringLiteral("useradd"),
                                 {QStringLiteral("-M"), QStringLiteral("-N"), QStringLiteral("-s"),
                                  QStringLiteral("/bin/false"), name})
                != 0)
            return;
        if (const passwd* pw = ::getpwnam(name.toLocal8Bit().constData())) {
            uid = pw->pw_uid;
            gid = pw->pw_gid;
        }
    }
    ~ThrowawayUser()
    {
        if (uid != 0)
            QProcess::execute(QStringLiteral("userdel"), {name});
    }
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Another user listening on the socket name older updaters derived from the
// program path and home, in the shared temp directory, can neither stop a
// start from handing over nor let a second session run: of two starts of
// the victim, exactly one runs a session, and the other hands over to it.
TEST_F(DemoUpdateTest, ListenerOfAnotherUserCannotSwitchTheInstanceCheckOff)
{
    ThrowawayUser other;
    if (other.uid == 0)
        GTEST_SKIP() << "no throwaway user can be made here";
    publishWithCommands({{QStringLiteral("hold.sh"), holdScript()}}, {}, {QStringLiteral("hold.sh")});
    serveRepository();
    enableLogs();
    // A shared temp directory, as /tmp is.
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(tmp).constData(), 01777), 0);
    QString joined = (client + QStringLiteral("/update")).toLower() + home;
    joined.remove(QLatin1Char('/')).remove(QLatin1Char(':'));
    const QByteArray bytes = joined.toUtf8();
    const QByteArray oldName =
        QFile::encodeName(tmp + QStringLiteral("/QNDClientUpdate")
                          + QString::number(qChecksum(bytes.constData(), uint(bytes.size())), 16));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(size_t(oldName.size()), sizeof(address.sun_path));
    std::memcpy(address.sun_path, oldName.constData(), size_t(oldName.size()));
    const pid_t listener = ::fork();
    ASSERT_GE(listener, 0);
    if (listener == 0) {
        // Only system calls here: the parent has threads.
        if (::setgid(other.gid) != 0 || ::setuid(other.uid) != 0)
            ::_exit(1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 16) != 0)
            ::_exit(1);
        for (;;)
            ::accept(fd, nullptr, nullptr);
    }
    const bool listening = waitFor([&] {
        QLocalSocket probe;
        probe.connectToServer(QFile::decodeName(oldName));
        return probe.waitForConnected(1000);
    });
    EXPECT_TRUE(listening);

    ASSERT_TRUE(touch(beside("hold")));
    QProcess first, second;
    const QStringList args{QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")};
    startUpdater(first, args);
    const bool held = waitFor([&] { return QFileInfo::exists(beside("hold-running")); }, 120000);
    EXPECT_TRUE(held);
    if (held) {
        startInstalled(second, args);
        EXPECT_TRUE(second.waitForFinished(60000));
        EXPECT_EQ(second.exitCode(), 0);
    }
    QFile::remove(beside("hold"));
    EXPECT_TRUE(first.waitForFinished(120000));
    EXPECT_EQ(first.exitCode(), 0);
    ::kill(listener, SIGKILL);
    ::waitpid(listener, nullptr, 0);

    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
    EXPECT_EQ(logs().size(), 2);
    EXPECT_EQ(logsWith("Starting update"), 1);
    EXPECT_EQ(logsWith("Detected other instance running, aborting"), 1);
    EXPECT_EQ(logsWith("Not handing over to an instance of another user"), 0);
}

// Bytes of a client file: text-like runs that compress and patch as real
// files do, different for every seed.
QByteArray clientBytes(int size, quint32 seed)
{
    QByteArray b;
    b.reserve(size + 64);
    QRandomGenerator gen(seed);
    while (b.size() < size)
        b += "record " + QByteArray::number(gen.generate() % 100000) + " of file " + QByteArray::number(seed) + "\n";
    b.truncate(size);
    return b;
}

// A client of many files, some of several MB, whose update from version 1 to
// 2 takes every form: patches for changed files, LZMA2, gzip and plain for
// new ones (the publisher picks the smallest), new directories and a
// deletion.
void makeLargeClient(const QString& v1, const QString& v2)
{
    const int mb = 1 << 20;
    for (int version : {1, 2}) {
        const QString root = version == 1 ? v1 : v2;
        auto changed = [&](const QString& rel, int size, quint32 seed) {
            QByteArray data = clientBytes(size, seed);
            if (version == 2) {
                for (int at = size / 7; at < size - 16; at += size / 5 + 1)
                    data.replace(at, 16, "version 2 bytes!");
            }
            ASSERT_TRUE(writeAllMakingDirs(QDir(root).filePath(rel), data));
        };
        changed(QStringLiteral("qndclient_linux_amd64"), 2 * mb, 1);
        changed(QStringLiteral("lib/libcore.so"), mb, 2);
        changed(QStringLiteral("data/levels.txt"), 300000, 3);
        for (int i = 0; i < 12; ++i)
            changed(QStringLiteral("data/s%1.txt").arg(i), 2000 + 500 * i, 10 + i);
        for (int i = 0; i < 6; ++i)
            ASSERT_TRUE(writeAllMakingDirs(QDir(root).filePath(QStringLiteral("data/u%1.dat").arg(i)),
                                           clientBytes(3000, 30 + i)));
        if (version == 1) {
            ASSERT_TRUE(
                writeAllMakingDirs(QDir(root).filePath(QStringLiteral("data/old.txt")), "dropped in version 2"));
        } else {
            ASSERT_TRUE(
                writeAllMakingDirs(QDir(root).filePath(QStringLiteral("maps/big.bin")), clientBytes(2 * mb, 40)));
            ASSERT_TRUE(
                writeAllMakingDirs(QDir(root).filePath(QStringLiteral("maps/deep/x.bin")), clientBytes(5000, 41)));
            ASSERT_TRUE(
                writeAllMakingDirs(QDir(root).filePath(QStringLiteral("media/intro.txt")), clientBytes(2 * mb, 42)));
            // Random bytes come whole, a short text gzip-packed.
            QByteArray movie(2 * mb, '\0');
            QRandomGenerator(43).fillRange(reinterpret_cast<quint32*>(movie.data()), movie.size() / 4);
            ASSERT_TRUE(writeAllMakingDirs(QDir(root).filePath(QStringLiteral("media/movie.dat")), movie));
            ASSERT_TRUE(writeAllMakingDirs(QDir(root).filePath(QStringLiteral("data/notes.txt")),
                                           QByteArray("note\n").repeated(200)));
        }
    }
}

// What breaks the promise that every file is exactly its old or its new
// version: a file of neither, a file missing from both, or a file of no
// version outside the journal's folder. Empty when the promise holds.
QStringList notOldOrNew(const QString& client, const QMap<QString, QByteArray>& oldTree,
                        const QMap<QString, QByteArray>& newTree)
{
    const QString journal = QStringLiteral(".qnd-replace");
    QMap<QString, QByteArray> now = tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")});
    QStringList bad;
    QStringList names = oldTree.keys() + newTree.keys();
    names.removeDuplicates();
    for (const QString& name : qAsConst(names)) {
        const bool present = now.contains(name);
        const QByteArray bytes = now.take(name);
        const bool isOld = oldTree.contains(name) ? present && bytes == oldTree[name] : !present;
        const bool isNew = newTree.contains(name) ? present && bytes == newTree[name] : !present;
        if (!isOld && !isNew)
            bad << (present ? name + QStringLiteral(" has bytes of neither version")
                            : name + QStringLiteral(" is missing"));
    }
    for (const QString& name : now.keys()) {
        if (!name.startsWith(journal + QLatin1Char('/')))
            bad << name + QStringLiteral(" belongs to no version");
    }
    return bad;
}

// Names whose bytes differ between two trees, for failure messages.
std::string differences(const QMap<QString, QByteArray>& a, const QMap<QString, QByteArray>& b)
{
    QStringList names = a.keys() + b.keys();
    names.removeDuplicates();
    QStringList out;
    for (const QString& n : qAsConst(names)) {
        if (a.value(n, "<none>") != b.value(n, "<none>"))
            out << n;
    }
    return out.join(QStringLiteral(", ")).toStdString();
}

int journalLines(const QString& client)
{
    QFile f(QDir(client).filePath(QStringLiteral(".qnd-replace/journal")));
    return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
}

// The journal folder's name taken by a link to a directory outside (holding
// files, and a journal that would undo into it) or by a file: the real
// updater says why at start-up and when the session would write, fails the
// session, and leaves the link, what it leads to and version 1 untouched.
TEST_F(DemoUpdateTest, JournalFolderThatIsNoFolderOfThisUserFailsTheSessionAndTouchesNothingOutside)
{
    serveRepository();
    const QString outside = dir.filePath(QStringLiteral("outside"));
    const QString folder = QDir(client).filePath(QStringLiteral(".qnd-replace"));
    ASSERT_TRUE(writeAllMakingDirs(outside + QStringLiteral("/precious"), "outside"));
    ASSERT_TRUE(writeAllMakingDirs(outside + QStringLiteral("/sub/deeper"), "outside"));
    ASSERT_TRUE(writeAll(outside + QStringLiteral("/journal"), "T %2Ft\nC data%2Fnews.txt\n"));
    const std::function<bool()> rows[] = {
        [&] { return QFile::link(outside, folder); },
        [&] { return writeAll(folder, "a file"); },
    };
    const QStringList skipped{QStringLiteral("update"), QStringLiteral("update.ini"), QStringLiteral(".qnd-replace")};
    for (const auto& arrange : rows) {
        QDir(client).removeRecursively();
        QDir(tmp).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(tmp));
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, client}));
        enableLogs();
        ASSERT_TRUE(arrange());
        const bool link = QFileInfo(folder).isSymLink();
        SCOPED_TRACE(link ? "link" : "file");
        const QMap<QString, QByteArray> outsideBefore = tree(outside);
        QProcess p;
        startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
        const QByteArray refusal =
            "Refusing to use '" + QFile::encodeName(folder) + "': it is not a folder of this user; remove it to update";
        // A failed session waits at its message box: the files are settled
        // once the list has given up.
        const bool failed = waitFor(
            [&] {
                const QByteArray log = logs().values().join();
                return log.count(refusal) >= 2 && log.contains("rolling back file updates");
            },
            120000);
        p.kill();
        p.waitForFinished(30000);
        EXPECT_TRUE(failed) << logs().values().join().constData();
        EXPECT_TRUE(tree(outside) == outsideBefore);
        EXPECT_TRUE(tree(client, skipped) == tree(v1)) << differences(tree(client, skipped), tree(v1));
        EXPECT_EQ(QFileInfo(folder).isSymLink(), link);
        EXPECT_EQ(readAllOrMissing(link ? folder + QStringLiteral("/precious") : folder),
                  link ? QByteArray("outside") : QByteArray("a file"));
    }
}

// Fills the file system of path with a file there, until only about
// leftFree bytes are free.
bool fillLeaving(const QString& path, qint64 leftFree)
{
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &fs) != 0)
        return false;
    qint64 left = qint64(fs.f_bavail) * qint64(fs.f_frsize) - leftFree;
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray chunk(1 << 20, 'f');
    while (left > 0) {
        const qint64 n = qMin(left, qint64(chunk.size()));
        if (filler.write(chunk.constData(), n) != n)
            return false;
        left -= n;
    }
    return filler.flush();
}

// A client on a nearly full file system: the replacement cannot write its
// files, the session says so in one line naming a file and the reason, and
// the client stays byte for byte as it was. Needs a small tmpfs, which only
// root can mount.
TEST_F(DemoUpdateTest, FullFileSystemFailsTheReplacementInOneLineSayingWhy)
{
    const QString fs = dir.filePath(QStringLiteral("fs"));
    ASSERT_TRUE(QDir().mkpath(fs));
    // Room for the updater and the client, most of it filled up below.
    const qint64 size = QFileInfo(QStringLiteral(QND_UPDATER)).size() + (qint64(4) << 20);
    if (QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                           QStringLiteral("size=%1").arg(size), QStringLiteral("tmpfs"), fs})
        != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    struct Unmount
    {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path}); }
    } unmount{fs};
    client = fs + QStringLiteral("/client");
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, client}));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), client + QStringLiteral("/update")));
    // Enough for the session record, the lock and the journal; not for the
    // new files (one of them alone is 64 KiB).
    ASSERT_TRUE(fillLeaving(fs + QStringLiteral("/filler"), 48 * 1024));
    serveRepository();
    const QStringList skipped{QStringLiteral("update"), QStringLiteral("update.ini")};
    const QMap<QString, QByteArray> before = tree(client, skipped);
    QProcess p;
    startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
    const QByteArray err = standardErrorOfFailedSession(p);
    const QList<QByteArray> failed = failureLines(err);
    ASSERT_EQ(failed.size(), 1) << err.constData();
    const QRegularExpression line(QStringLiteral("^Update failed: Could not write '%1/[^']+': No space left on device$")
                                      .arg(QRegularExpression::escape(client)));
    EXPECT_TRUE(line.match(QString::fromLocal8Bit(failed.first())).hasMatch()) << err.constData();
    EXPECT_TRUE(tree(client, skipped) == before) << differences(tree(client, skipped), before);
}

// A journal of a later updater (version 99) in the client: this updater can
// neither undo it nor begin its own, so the session fails in one line naming
// the journal and why, and the client, the journal included, stays byte for
// byte as it was (the journal's change is not undone either).
TEST_F(DemoUpdateTest, JournalOfAnUnknownVersionFailsTheSessionInOneLineSayingWhy)
{
    serveRepository();
    const QString folder = QDir(client).filePath(QStringLiteral(".qnd-replace"));
    ASSERT_TRUE(writeAllMakingDirs(folder + QStringLiteral("/journal"), "V 99\nT %2Fnowhere\nC data%2Freadme.txt\n"));
    const QStringList skipped{QStringLiteral("update"), QStringLiteral("update.ini")};
    const QMap<QString, QByteArray> before = tree(client, skipped);
    QProcess p;
    startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
    const QByteArray err = standardErrorOfFailedSession(p);
    EXPECT_EQ(failureLines(err),
              QList<QByteArray>{"Update failed: Could not undo the unfinished update in '" + QFile::encodeName(folder)
                                + "': its journal is of version 99, this updater knows up to 3"})
        << err.constData();
    EXPECT_TRUE(tree(client, skipped) == before) << differences(tree(client, skipped), before);
    EXPECT_TRUE(QFileInfo::exists(client + QStringLiteral("/data/readme.txt")));
}

// A client directory swapped for a link to a directory outside, and back,
// over and over (an exchange in one step) while the real updater replaces,
// adds and deletes the small files in it: whatever each session ends in, no
// file outside is ever written, renamed over or deleted. The outside
// directory holds every name the session touches, each with bytes of its
// own. QND_SWAP_TRIALS (tests only) asks for more trials, for a stress run.
TEST_F(DemoUpdateTest, DirectorySwappedForALinkDuringTheSessionIsNeverWrittenThrough)
{
    serveRepository();
    const int trials = qMax(4, qEnvironmentVariableIntValue("QND_SWAP_TRIALS"));
    const int batch = 4;
    struct Trial
    {
        QString root, client, outside, tmp;
        QProcess p;
        std::thread swapper;
        std::atomic<bool> stop{false};
        std::atomic<int> swaps{0};
        QMap<QString, QByteArray> outsideBefore;
    };
    int writtenOutside = 0, finished = 0, failed = 0;
    long totalSwaps = 0;
    const QStringList args{QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")};
    for (int first = 0; first < trials; first += batch) {
        std::vector<std::unique_ptr<Trial>> runs;
        for (int n = first; n < qMin(trials, first + batch); ++n) {
            auto t = std::make_unique<Trial>();
            t->root = dir.filePath(QStringLiteral("swap%1").arg(n));
            t->client = t->root + QStringLiteral("/client");
            t->outside = t->root + QStringLiteral("/outside");
            t->tmp = t->root + QStringLiteral("/tmp");
            ASSERT_TRUE(writeAllMakingDirs(t->tmp + QStringLiteral("/qnd_update_log"), QByteArray()));
            ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, t->client}));
            ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), t->client + QStringLiteral("/update")));
            for (const QString& d : {v1, v2}) {
                for (const QString& name : QDir(d + QStringLiteral("/data")).entryList(QDir::Files))
                    ASSERT_TRUE(writeAllMakingDirs(t->outside + QLatin1Char('/') + name, "outside " + name.toUtf8()));
            }
            ASSERT_TRUE(QFile::link(t->outside, t->client + QStringLiteral("/data_link")));
            t->outsideBefore = tree(t->outside);
            t->p.setProcessEnvironment(demoEnvironment(config, t->tmp, home, t->root + QStringLiteral("/ran")));
            t->p.setWorkingDirectory(t->client);
            t->p.setStandardOutputFile(QProcess::nullDevice());
            t->p.start(t->client + QStringLiteral("/update"), args);
            const QByteArray a = QFile::encodeName(t->client + QStringLiteral("/data"));
            const QByteArray b = QFile::encodeName(t->client + QStringLiteral("/data_link"));
            Trial* trial = t.get();
            // Random pauses spread the swaps over every step of the session;
            // the link stays only briefly, so that sessions also get through.
            t->swapper = std::thread([trial, a, b, n] {
                quint32 seed = quint32(n) * 2654435761u + 1;
                while (!trial->stop) {
                    if (::syscall(SYS_renameat2, AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE)
                        == 0)
                        ++trial->swaps;
                    seed = seed * 1103515245u + 12345u;
                    ::usleep(trial->swaps % 2 ? seed >> 26 : seed >> 20);
                }
            });
            runs.push_back(std::move(t));
        }
        for (auto& t : runs) {
            // A failed session waits at its message box; its files are
            // settled once it has said so.
            const QString logs = t->tmp + QStringLiteral("/quendrail_update_log");
            const bool ended = waitFor(
                [&] {
                    return t->p.state() == QProcess::NotRunning || tree(logs).values().join().contains("Update failed");
                },
                120000);
            EXPECT_TRUE(ended);
            const bool ok = t->p.state() == QProcess::NotRunning && t->p.exitCode() == 0;
            t->p.kill();
            t->p.waitForFinished(30000);
            t->stop = true;
            t->swapper.join();
            totalSwaps += t->swaps;
            ++(ok ? finished : failed);
            if (tree(t->outside) != t->outsideBefore || !QFileInfo(t->outside).isDir()) {
                ++writtenOutside;
                ADD_FAILURE() << "written outside: " << differences(tree(t->outside), t->outsideBefore);
            }
            QDir(t->root).removeRecursively();
        }
    }
    std::printf("swap race: %d trials, %ld swaps, %d sessions finished, %d failed; %d with writes outside\n", trials,
                totalSwaps, finished, failed, writtenOutside);
    EXPECT_EQ(writtenOutside, 0);
}

// Steps each of the scenarios that run side by side until every one has
// reached its last phase (2); false when that takes longer than ms.
template <typename Scenario, typename Step> bool stepAllToTheEnd(std::vector<Scenario>& runs, Step step, int ms)
{
    return waitFor(
        [&] {
            bool all = true;
            for (Scenario& s : runs) {
                step(s);
                all = all && s.phase == 2;
            }
            return all;
        },
        ms);
}

// The updater program is killed at points spread over the replacement
// phase, picked by watching its journal grow. After every kill each file is
// exactly old or new; a rerun ends at exactly version 2 with nothing left
// over, or, with the server unreachable, at exactly version 1. The scenarios
// run side by side, each in its own directories. QND_CRASH_KILLS (tests
// only) asks for more kills, for a soak run.
TEST_F(DemoUpdateTest, KilledUpdaterLeavesEveryFileOldOrNewAndTheNextStartRecovers)
{
    for (const QString& d : {v1, v2, repo, client})
        QDir(d).removeRecursively();
    makeLargeClient(v1, v2);
    const PublishOptions o = versionTwo();
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
    ASSERT_GE(report.patched.size(), 3) << report.notes.join(QLatin1Char('\n')).toStdString();
    ASSERT_FALSE(report.lzma2.isEmpty() || report.gzip.isEmpty() || report.plain.isEmpty())
        << (report.lzma2 + report.gzip + report.plain).join(QLatin1Char(' ')).toStdString();
    std::printf("crash test client: %d patched, %d LZMA2, %d gzip, %d plain\n", int(report.patched.size()),
                int(report.lzma2.size()), int(report.gzip.size()), int(report.plain.size()));
    serveRepository();
    const QMap<QString, QByteArray> oldTree = tree(v1), newTree = tree(v2);

    // Version and temp lines, three new directories, every changed or new
    // file, the deletion.
    QStringList written = report.plain + report.gzip + report.lzma2;
    written.removeDuplicates();
    for (const QString& current : qAsConst(report.unchanged))
        written.removeAll(current);
    const int lines = 2 + 3 + written.size() + report.deleted.size();
    const int kills = qMax(6, qEnvironmentVariableIntValue("QND_CRASH_KILLS"));
    const int batch = 6;

    struct Scenario : Installation
    {
        int killAt = 0;
        bool reachable = false;
        QString killedTemp;
        std::unique_ptr<QProcess> p;
        int phase = 0;          // 0 running, 1 rerunning, 2 done
        bool completed = false; // the session was done when the kill landed
    };
    int killedMidSession = 0, finishedFirst = 0, toNew = 0, toOld = 0;
    for (int first = 0; first < kills; first += batch) {
        std::vector<Scenario> runs(size_t(qMin(batch, kills - first)));
        for (size_t i = 0; i < runs.size(); ++i) {
            Scenario& s = runs[i];
            const int n = first + int(i);
            ASSERT_NO_FATAL_FAILURE(installVersionOne(&s, QStringLiteral("crash%1").arg(n)));
            ASSERT_TRUE(writeAll(s.tmp + QStringLiteral("/qnd_update_log"), ""));
            // From the journal's first line to its last, in even steps; a
            // soak run shifts them by one line per batch.
            s.killAt = 1 + ((n * (lines - 1)) / (batch - 1) + n / batch) % lines;
            s.reachable = n % 2 == 0;
            s.p = std::make_unique<QProcess>();
            s.p->setProcessEnvironment(demoEnvironment(s.config, s.tmp, s.home, s.root + QStringLiteral("/ran")));
            s.p->setWorkingDirectory(s.client);
            s.p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            s.p->setStandardOutputFile(QProcess::nullDevice());
            s.p->start(s.client + QStringLiteral("/update"),
                       {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
        }
        auto step = [&](Scenario& s) {
            if (s.phase == 0) {
                if (s.p->state() != QProcess::NotRunning && journalLines(s.client) < s.killAt)
                    return;
                s.p->kill();
                s.p->waitForFinished(30000);
                // A slow look at the journal may let the session reach its
                // end first: its last line, or the folder gone with it.
                const QByteArray journal = readAllOrMissing(s.client + QStringLiteral("/.qnd-replace/journal"));
                s.completed = journal == "<missing>" || journal.endsWith("\nF\n");
                ++(s.completed ? finishedFirst : killedMidSession);
                const QStringList bad = notOldOrNew(s.client, oldTree, newTree);
                EXPECT_TRUE(bad.isEmpty()) << "kill at line " << s.killAt << ": " << bad.join(", ").toStdString();
                QSettings record(s.client + QStringLiteral("/update.ini"), QSettings::IniFormat);
                s.killedTemp = record.value(QStringLiteral("current/dir")).toString();
                // Marks the killed session's temp directory, which the next
                // start must remove.
                if (!s.killedTemp.isEmpty()) {
                    EXPECT_TRUE(writeAllMakingDirs(s.killedTemp + QStringLiteral("/killed-session"), "x"));
                }
                // Nobody listens on port 1.
                if (!s.reachable)
                    writeUpdateIni(s.config, "[Channel]\nalpha=http://127.0.0.1:1/\nalphaRevno=2\n");
                s.p->start(
                    s.client + QStringLiteral("/update"),
                    {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
                s.phase = 1;
                return;
            }
            if (s.phase != 1)
                return;
            if (s.reachable) {
                // A finished session closes the window and ends the program.
                if (s.p->state() != QProcess::NotRunning)
                    return;
                EXPECT_EQ(s.p->exitCode(), 0);
                const QMap<QString, QByteArray> files = tree(s.client, {QStringLiteral("update")});
                EXPECT_TRUE(files == newTree) << "kill at line " << s.killAt << ": " << differences(files, newTree);
                EXPECT_TRUE(QDir(s.tmp).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs).isEmpty());
                ++toNew;
            } else {
                // The failed session then waits at its message box, where
                // nothing more can change the files; its log says when. A
                // look at the record alone could land while it is written.
                const QMap<QString, QByteArray> runLogs = tree(s.tmp + QStringLiteral("/quendrail_update_log"));
                const bool failed = std::any_of(runLogs.begin(), runLogs.end(), [](const QByteArray& log) {
                    return log.contains("\t|\tWarning\t|\tUpdate failed");
                });
                if (s.p->state() != QProcess::NotRunning && !failed)
                    return;
                // It made a session temp directory of its own (which may take
                // the killed one's name).
                QSettings record(s.client + QStringLiteral("/update.ini"), QSettings::IniFormat);
                const QString now = record.value(QStringLiteral("current/dir")).toString();
                const bool ownSession = !now.isEmpty() && QFileInfo::exists(now)
                    && !QFileInfo::exists(now + QStringLiteral("/killed-session"));
                s.p->kill();
                s.p->waitForFinished(30000);
                const QMap<QString, QByteArray> files =
                    tree(s.client, {QStringLiteral("update"), QStringLiteral("update.ini")});
                const QMap<QString, QByteArray>& expected = s.completed ? newTree : oldTree;
                EXPECT_TRUE(files == expected) << "kill at line " << s.killAt << ": " << differences(files, expected);
                EXPECT_TRUE(ownSession);
                if (!s.killedTemp.isEmpty()) {
                    EXPECT_FALSE(QFileInfo::exists(s.killedTemp + QStringLiteral("/killed-session")));
                }
                ++(s.completed ? toNew : toOld);
            }
            EXPECT_FALSE(QFileInfo::exists(s.client + QStringLiteral("/.qnd-replace")));
            s.phase = 2;
        };
        const bool ended = stepAllToTheEnd(runs, step, 240000);
        EXPECT_TRUE(ended);
        for (Scenario& s : runs) {
            s.p->kill();
            s.p->waitForFinished(30000);
            QDir(s.root).removeRecursively();
        }
    }
    std::printf("crash test: %d kills, %d mid-session, %d after the session was done; "
                "%d reruns ended at version 2, %d (server unreachable) at version 1\n",
                kills, killedMidSession, finishedFirst, toNew, toOld);
    // A run where no kill landed mid-session would prove nothing.
    EXPECT_GE(killedMidSession, 1);
}

// The ids of the running updaters whose program lies below root: the
// installed one and a self-update's new one in its temp directory.
QList<pid_t> updatersBelow(const QString& root)
{
    QList<pid_t> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/") + entry + QStringLiteral("/exe"));
        if (number && exe.startsWith(root + QLatin1Char('/')) && QFileInfo(exe).fileName().startsWith("update"))
            pids << pid;
    }
    return pids;
}

// Whether the journal of a client step notes that it put the installed
// updater aside, and whether that step had ended.
struct UpdaterReplacement
{
    bool noted = false, finished = false;
};
UpdaterReplacement updaterReplacementIn(const QString& client)
{
    UpdaterReplacement r;
    const QList<QByteArray> lines = readAllOrMissing(client + QStringLiteral("/.qnd-replace/journal")).split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        r.noted = r.noted || (fields.size() == 3 && fields[0] == "R" && fields[1] == "update");
        r.finished = r.finished || line == "F";
    }
    return r;
}

// A self-update killed at points spread over its whole length, step one or
// step two, or while the client step replaces the installed updater, leaves
// a runnable updater (executable, the old program or the new one) and no
// temp directory once the next self-update has ended, and that one ends at
// exactly version 2, installed updater included. The scenarios run side by
// side, each in its own directories; QND_SELF_UPDATE_KILLS (tests only) asks
// for more kills, for a soak run.
TEST_F(DemoUpdateTest, KilledSelfUpdateLeavesNoTempDirectoryOnceTheNextRunEnds)
{
    publishUpdater();
    serveRepository();
    const QByteArray oldUpdater = readAllOrMissing(QStringLiteral(QND_UPDATER));
    const QByteArray newUpdater = readAllOrMissing(v2 + QStringLiteral("/update"));
    ASSERT_NE(oldUpdater, newUpdater);
    // One undisturbed self-update gives the length the kills spread over.
    QElapsedTimer clock;
    clock.start();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    const qint64 whole = clock.elapsed();
    const QMap<QString, QByteArray> newTree = tree(v2);
    const int kills = qMax(3, qEnvironmentVariableIntValue("QND_SELF_UPDATE_KILLS"));
    const int batch = 6;

    struct Scenario : Installation
    {
        qint64 killAt = 0;
        bool inStepTwo = false;     // killAt counts from step two's start
        bool atReplacement = false; // killed once the journal notes the updater's replacement
        QElapsedTimer clock;
        std::unique_ptr<QProcess> p;
        int phase = 0; // 0 running, 1 rerunning, 2 done
    };
    int inStepOne = 0, inStepTwo = 0, afterBoth = 0, leftBehind = 0;
    int inReplacement = 0, runnable = 0, replaced = 0;
    for (int first = 0; first < kills; first += batch) {
        std::vector<Scenario> runs(size_t(qMin(batch, kills - first)));
        auto start = [&](Scenario& s) {
            QFile::remove(s.root + QStringLiteral("/ran"));
            s.p = std::make_unique<QProcess>();
            s.p->setProcessEnvironment(demoEnvironment(s.config, s.tmp, s.home, s.root + QStringLiteral("/ran")));
            s.p->setWorkingDirectory(s.client);
            s.p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            s.p->setStandardOutputFile(QProcess::nullDevice());
            s.p->start(s.client + QStringLiteral("/update"), QStringList());
            s.clock.start();
        };
        for (size_t i = 0; i < runs.size(); ++i) {
            Scenario& s = runs[i];
            const int n = first + int(i);
            ASSERT_NO_FATAL_FAILURE(installVersionOne(&s, QStringLiteral("selfkill%1").arg(n)));
            // A third of the kills spread over the whole, a third over step
            // two, which is the shorter, and a third where step two replaces
            // the installed updater.
            s.inStepTwo = n % 3 == 1;
            s.atReplacement = n % 3 == 2;
            const qint64 share = kills / 3 + 1, at = n / 3 + 1;
            s.killAt = s.inStepTwo ? whole / 2 * at / share : whole * at / share;
            start(s);
        }
        auto step = [&](Scenario& s) {
            if (s.phase == 0) {
                const QList<pid_t> pids = updatersBelow(s.root);
                // The client step's replacements take milliseconds: once its
                // journal is there it is watched without pause until the
                // updater's line appears or the session ends.
                const QString journal = s.client + QStringLiteral("/.qnd-replace/journal");
                for (int looks = 0; s.atReplacement && looks < 1000000 && QFileInfo::exists(journal)
                     && !updaterReplacementIn(s.client).noted;)
                    ++looks;
                const auto isStepTwo = [&](pid_t pid) {
                    return QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).startsWith(s.tmp);
                };
                if (s.inStepTwo) {
                    if (std::none_of(pids.begin(), pids.end(), isStepTwo) && !pids.isEmpty())
                        return;
                    s.inStepTwo = false;
                    s.clock.restart();
                }
                if (s.atReplacement ? !updaterReplacementIn(s.client).noted
                            && !readAllOrMissing(s.root + QStringLiteral("/ran")).contains("version 2")
                                    : s.clock.elapsed() < s.killAt)
                    return;
                bool stepTwo = false;
                for (pid_t pid : pids) {
                    stepTwo = stepTwo || isStepTwo(pid);
                    ::kill(pid, SIGKILL);
                }
                s.p->waitForFinished(30000);
                ++(pids.isEmpty() ? afterBoth : stepTwo ? inStepTwo : inStepOne);
                const UpdaterReplacement noted = updaterReplacementIn(s.client);
                inReplacement += !pids.isEmpty() && noted.noted && !noted.finished ? 1 : 0;
                EXPECT_TRUE(waitFor([&] { return updatersBelow(s.root).isEmpty(); }, 30000));
                // Whatever the instant, the installation can still be updated.
                const QString program = s.client + QStringLiteral("/update");
                const QByteArray bytes = readAllOrMissing(program);
                const bool canRun = QFileInfo(program).isExecutable() && (bytes == oldUpdater || bytes == newUpdater);
                EXPECT_TRUE(canRun) << "kill at " << s.killAt << " ms left " << bytes.size() << " bytes";
                runnable += canRun ? 1 : 0;
                replaced += bytes == newUpdater ? 1 : 0;
                start(s);
                s.phase = 1;
                return;
            }
            if (s.phase != 1 || s.p->state() != QProcess::NotRunning || !updatersBelow(s.root).isEmpty()
                || !readAllOrMissing(s.root + QStringLiteral("/ran")).contains("version 2"))
                return;
            const QMap<QString, QByteArray> files = tree(s.client);
            EXPECT_TRUE(files == newTree) << "kill at " << s.killAt << " ms: " << differences(files, newTree);
            EXPECT_TRUE(QFileInfo(s.client + QStringLiteral("/update")).isExecutable());
            const QStringList left = QDir(s.tmp).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs);
            EXPECT_TRUE(left.isEmpty()) << "kill at " << s.killAt << " ms: " << left.join(' ').toStdString();
            leftBehind += left.isEmpty() ? 0 : 1;
            s.phase = 2;
        };
        const bool ended = stepAllToTheEnd(runs, step, 300000);
        EXPECT_TRUE(ended);
        for (Scenario& s : runs) {
            for (pid_t pid : updatersBelow(s.root))
                ::kill(pid, SIGKILL);
            s.p->kill();
            s.p->waitForFinished(30000);
            QDir(s.root).removeRecursively();
        }
    }
    std::printf("self-update kill test: %d kills over %lld ms, %d in step one, %d in step two (%d while the "
                "installed updater's replacement was noted and unfinished), %d after both; %d left a runnable "
                "updater (%d the new one); %d left a temp directory after the next self-update\n",
                kills, static_cast<long long>(whole), inStepOne, inStepTwo, inReplacement, afterBoth, runnable,
                replaced, leftBehind);
}

// One entry of a hand-made tree: a file with its bytes and mode, a link
// (link set; "=name" a hard link of the tree's name) or, with neither bytes
// nor link, an empty folder. Bytes "@elf" and "@elf2" stand for two real ELF
// programs, "@fifo" for a fifo.
struct TreeEntry
{
    const char* path;
    const char* bytes;
    int mode;
    const char* link;
};

QByteArray treeBytes(const char* bytes)
{
    if (QByteArray(bytes) == "@elf")
        return readAllOrMissing(QStringLiteral(QND_FIXTURES_DIR "/elf/x64-pie"));
    if (QByteArray(bytes) == "@elf2")
        return readAllOrMissing(QStringLiteral(QND_FIXTURES_DIR "/elf/x86-static"));
    return QByteArray(bytes);
}

bool makeTree(const QString& root, const std::vector<TreeEntry>& entries)
{
    if (!QDir().mkpath(root))
        return false;
    for (const TreeEntry& e : entries) {
        const QString path = QDir(root).filePath(QString::fromUtf8(e.path));
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        const bool hardLink = e.link && e.link[0] == '=';
        const bool made = hardLink
            ? ::link(QFile::encodeName(QDir(root).filePath(QString::fromUtf8(e.link + 1))), QFile::encodeName(path))
                == 0
            : e.link                                    ? QFile::link(QString::fromUtf8(e.link), path)
            : e.bytes && QByteArray(e.bytes) == "@fifo" ? ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0
            : e.bytes                                   ? writeAllMakingDirs(path, treeBytes(e.bytes))
                && ::chmod(QFile::encodeName(path).constData(), mode_t(e.mode)) == 0
                      : QDir().mkpath(path);
        if (!made)
            return false;
    }
    return true;
}

// What a client must match: every folder, and every file (a link as what it
// leads to, or with keepLinks as the link it is) with its bytes and execute
// bits.
QMap<QString, QByteArray> treeState(const QString& root, const QStringList& skip = {}, bool keepLinks = false)
{
    QMap<QString, QByteArray> state;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = base.relativeFilePath(it.next());
        if (skip.contains(rel))
            continue;
        struct stat st;
        if (keepLinks && it.fileInfo().isSymLink())
            state.insert(rel, "-> " + QFile::encodeName(it.fileInfo().symLinkTarget()));
        else if (::stat(QFile::encodeName(it.filePath()).constData(), &st) != 0)
            state.insert(rel, "<broken>");
        else if (S_ISDIR(st.st_mode))
            state.insert(rel, "<dir>");
        else if (!S_ISREG(st.st_mode))
            state.insert(rel, "<special>"); // a fifo would block the read
        else
            state.insert(rel, "x" + QByteArray::number(st.st_mode & 0111, 8) + " " + readAllOrMissing(it.filePath()));
    }
    return state;
}

// Trees published by the publisher and installed by the updater program:
// whatever changes between two versions (new and changed programs and
// scripts, their execute bits alone, data files of any mode, a file that
// becomes a folder and the reverse, a removed folder tree, a link inside the
// tree) a client at the old version ends with exactly the new tree. A user's
// file stays where a removed folder was; one in a folder that must become a
// file stops the update before anything changes.
TEST_F(DemoUpdateTest, ClientEndsWithExactlyThePublishedTree)
{
    struct Row
    {
        const char* name;
        std::vector<TreeEntry> oldTree, newTree;
        std::vector<TreeEntry> users; // put in the client only
        // The names (joined by '|') that the failed session's cause names;
        // null when it succeeds.
        const char* stops;
        // How the client holds some of the old tree's names instead: what
        // stood there is replaced.
        std::vector<TreeEntry> heldAs = {};
    };
    const std::vector<TreeEntry> base = {{"data/readme.txt", "read me\n", 0644, nullptr}};
    const Row rows[] = {
        {"new programs and scripts",
         {},
         {{"bin/newtool", "@elf", 0755, nullptr},
          {"bin/helper.sh", "#!/bin/sh\necho helper\n", 0755, nullptr},
          {"scripts/pre.sh", "#!/bin/sh\nexit 0\n", 0744, nullptr}},
         {},
         nullptr},
        {"changed programs and execute bits",
         {{"bin/tool", "@elf", 0755, nullptr},
          {"bin/run.sh", "#!/bin/sh\necho 1\n", 0644, nullptr},
          {"bin/same.sh", "#!/bin/sh\necho same\n", 0644, nullptr},
          {"lib/data.so.1", "not a library 1\n", 0755, nullptr}},
         {{"bin/tool", "@elf2", 0755, nullptr},
          {"bin/run.sh", "#!/bin/sh\necho 2\n", 0755, nullptr},
          {"bin/same.sh", "#!/bin/sh\necho same\n", 0755, nullptr},
          {"lib/data.so.1", "not a library 2\n", 0644, nullptr}},
         {},
         nullptr},
        {"data files of mode 0600 and 0644",
         {{"data/a.dat", "a1", 0644, nullptr}},
         {{"data/a.dat", "a2", 0600, nullptr}, {"data/b.dat", "b", 0644, nullptr}, {"data/c.dat", "c", 0600, nullptr}},
         {},
         nullptr},
        {"file becomes folder and folder becomes file",
         {{"foo", "a file", 0644, nullptr},
          {"docs/old.txt", "old", 0644, nullptr},
          {"docs/sub/deep.txt", "deep", 0644, nullptr}},
         {{"foo/bar", "now in a folder", 0644, nullptr}, {"docs", "now a file", 0644, nullptr}},
         {},
         nullptr},
        {"removed folder tree",
         {{"plugins/a.so", "a", 0755, nullptr},
          {"plugins/sub/b.so", "b", 0755, nullptr},
          {"plugins/empty", nullptr, 0, nullptr}},
         {},
         {},
         nullptr},
        {"link inside the tree",
         {},
         {{"lib/libz.so.1.2.13", "zlib", 0755, nullptr}, {"lib/libz.so.1", nullptr, 0, "libz.so.1.2.13"}},
         {},
         nullptr},
        {"user's file in a removed folder",
         {{"plugins/a.so", "a", 0755, nullptr}},
         {},
         {{"plugins/mine.txt", "the user's", 0644, nullptr}},
         nullptr},
        {"user's file in a folder that becomes a file",
         {{"docs/old.txt", "old", 0644, nullptr}},
         {{"docs", "now a file", 0644, nullptr}},
         {{"docs/mine.txt", "the user's", 0644, nullptr}},
         "docs/mine.txt"},
        // Names of one file each end as a file of its own, with its own
        // bits: a mode change made for one must not reach the other.
        {"hard links whose execute bits part",
         {{"lib/x", "same\n", 0644, nullptr}, {"plugins/x", "same\n", 0644, nullptr}},
         {{"lib/x", "same\n", 0755, nullptr}, {"plugins/x", "same\n", 0644, nullptr}},
         {},
         nullptr,
         {{"plugins/x", nullptr, 0, "=lib/x"}}},
        {"hard links whose bytes part",
         {{"lib/y", "y1\n", 0644, nullptr}, {"plugins/y", "y1\n", 0644, nullptr}},
         {{"lib/y", "y2 of lib\n", 0644, nullptr}, {"plugins/y", "y2 of plugins\n", 0644, nullptr}},
         {},
         nullptr,
         {{"plugins/y", nullptr, 0, "=lib/y"}}},
        // An open would block, a read never end: the names get their files
        // whole within the session's bound.
        {"fifos at a changed and at an unchanged name",
         {{"data/a.dat", "a1", 0644, nullptr}, {"data/b.dat", "b", 0644, nullptr}},
         {{"data/a.dat", "a2", 0644, nullptr}, {"data/b.dat", "b", 0644, nullptr}},
         {},
         nullptr,
         {{"data/a.dat", "@fifo", 0, nullptr}, {"data/b.dat", "@fifo", 0, nullptr}}},
        // Both would be written to one file, and one name would end with
        // the other's bytes.
        {"two names of one file through a folder link",
         {{"lib/libaux.so.2.0", "aux 1\n", 0644, nullptr}},
         {{"lib/libaux.so.2.0", "aux 2 of lib\n", 0644, nullptr},
          {"plugins/libaux.so.2.0", "aux 2 of plugins\n", 0644, nullptr}},
         {},
         "lib/libaux.so.2.0|plugins/libaux.so.2.0",
         {{"plugins", nullptr, 0, "lib"}}},
    };
    // The execute bits a client gets are masked by its umask.
    struct Umask
    {
        mode_t saved = ::umask(022);
        ~Umask() { ::umask(saved); }
    } umask;
    const QString rowsRoot = dir.filePath(QStringLiteral("rows"));
    ASSERT_TRUE(QDir().mkpath(rowsRoot));
    serve(rowsRoot, "");
    enableLogs();
    const QStringList updaterFiles{QStringLiteral("update"), QStringLiteral("update.ini"), installLockFileName};
    // Each row is an installation of its own, with its own settings: their
    // sessions run side by side, and are checked once all have started.
    struct Session
    {
        const Row* row;
        QString installed, newDir;
        QMap<QString, QByteArray> before;
        std::unique_ptr<QProcess> p = std::make_unique<QProcess>();
    };
    std::vector<Session> sessions;
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString at = QDir(rowsRoot).filePath(QString::number(++n));
        const QString oldDir = at + QStringLiteral("-old"), newDir = at + QStringLiteral("-new");
        const QString installed = at + QStringLiteral("-client"), rowConfig = at + QStringLiteral("-config");
        std::vector<TreeEntry> oldTree = base, newTree = base;
        oldTree.insert(oldTree.end(), row.oldTree.begin(), row.oldTree.end());
        newTree.insert(newTree.end(), row.newTree.begin(), row.newTree.end());
        ASSERT_TRUE(makeTree(oldDir, oldTree) && makeTree(newDir, newTree));
        const PublishOptions o = versionTwoOf(oldDir, newDir, at);
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), oldDir, installed}));
        for (const TreeEntry& e : row.heldAs)
            removeFileOrTree(QDir(installed).filePath(QString::fromUtf8(e.path)));
        ASSERT_TRUE(makeTree(installed, row.heldAs));
        ASSERT_TRUE(makeTree(installed, row.users));
        ASSERT_TRUE(QDir().mkpath(rowConfig));
        writeUpdateIni(rowConfig, "[Channel]\nalpha=@SERVER@/" + QByteArray::number(n) + "/\nalphaRevno=2\n");
        sessions.push_back({&row, installed, newDir, treeState(installed)});
        const QString program = QDir(installed).filePath(QStringLiteral("update"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), program));
        QProcess& p = *sessions.back().p;
        p.setProcessEnvironment(demoEnvironment(rowConfig, tmp, home, mark()));
        p.setWorkingDirectory(installed);
        p.start(program, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
    }
    for (Session& s : sessions) {
        const Row& row = *s.row;
        const QString& installed = s.installed;
        QProcess& p = *s.p;
        SCOPED_TRACE(row.name);
        if (!row.stops) {
            ASSERT_TRUE(p.waitForFinished(300000));
            EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardOutput().constData() << p.readAllStandardError().constData();
            QMap<QString, QByteArray> expected = treeState(s.newDir);
            // The user's files stay, and with them their folders.
            for (const TreeEntry& e : row.users) {
                const QString rel = QString::fromUtf8(e.path);
                expected.insert(rel, "x0 " + QByteArray(e.bytes));
                for (QString d = QFileInfo(rel).path(); d != QLatin1String("."); d = QFileInfo(d).path())
                    expected.insert(d, "<dir>");
            }
            const QMap<QString, QByteArray> now = treeState(installed, updaterFiles);
            EXPECT_TRUE(now == expected) << differences(now, expected);
            continue;
        }
        QByteArrayList quoted;
        for (const QString& name : QString::fromUtf8(row.stops).split(QLatin1Char('|')))
            quoted << "'" + QFile::encodeName(QDir(installed).filePath(name)) + "'";
        const QByteArray named = quoted.join(" and ");
        const auto logged = [&] {
            const QMap<QString, QByteArray> all = logs();
            return std::any_of(all.begin(), all.end(), [&](const QByteArray& log) { return log.contains(named); });
        };
        EXPECT_TRUE(waitFor(logged, 120000)) << named.constData();
        // The failed session waits in its window for the user.
        p.kill();
        p.waitForFinished(20000);
        const QMap<QString, QByteArray> now = treeState(installed, updaterFiles);
        EXPECT_TRUE(now == s.before) << differences(now, s.before);
    }
}

// An installation with a folder that is a link leading out of it (its data
// moved to another disk, or a link to /dev where the client ships a folder)
// is refused before any of its files is read or changed: standard error
// names the link and what to do, nothing outside is opened (a fifo there
// would hold the session; the watch sees any open) and the client stays as
// it was.
TEST_F(DemoUpdateTest, FolderLinkOutOfTheInstallationStopsTheSessionBeforeAnythingIsRead)
{
    const QString outside = dir.filePath(QStringLiteral("other-disk"));
    ASSERT_TRUE(QDir().mkpath(outside));
    const QString withDev = dir.filePath(QStringLiteral("v2-dev"));
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v2, withDev}));
    ASSERT_TRUE(writeAllMakingDirs(withDev + QStringLiteral("/dev/zero"), "a file of the client\n"));
    {
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(versionTwoOf(v1, withDev, dir.filePath(QStringLiteral("repo-dev"))), &report, &error))
            << error.toStdString();
    }
    const struct
    {
        const char* name;
        const char* folder; // the link in the client
        QString leadsTo;
        const char* repository;
    } rows[] = {
        {"data moved to another disk", "data", outside + QStringLiteral("/data"), "repo"},
        {"a folder leading to /dev", "dev", QStringLiteral("/dev"), "repo-dev"},
    };
    serve(dir.path(), "");
    const QStringList updaterFiles{QStringLiteral("update"), QStringLiteral("update.ini"), installLockFileName};
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString installed = dir.filePath(QStringLiteral("linked-out-%1").arg(++n));
        const QString link = QDir(installed).filePath(QLatin1String(row.folder));
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, installed}));
        if (row.leadsTo.startsWith(outside)) {
            ASSERT_TRUE(runToSuccess(QStringLiteral("mv"), {link, row.leadsTo}));
            const QString listed = row.leadsTo + QStringLiteral("/readme.txt");
            ASSERT_TRUE(QFile::remove(listed));
            ASSERT_EQ(::mkfifo(QFile::encodeName(listed).constData(), 0644), 0);
        }
        ASSERT_TRUE(QFile::link(row.leadsTo, link));
        writeUpdateIni(config, "[Channel]\nalpha=@SERVER@/" + QByteArray(row.repository) + "/\nalphaRevno=2\n");
        const QMap<QString, QByteArray> before = treeState(installed, {}, true);
        const QMap<QString, QByteArray> outsideBefore = treeState(outside, {}, true);
        std::unique_ptr<OpenWatch> watch;
        if (row.leadsTo.startsWith(outside)) {
            watch.reset(new OpenWatch(row.leadsTo));
            ASSERT_TRUE(watch->isValid());
        }
        QProcess p;
        const QString program = QDir(installed).filePath(QStringLiteral("update"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), program));
        p.setProcessEnvironment(demoEnvironment(config, tmp, home, mark()));
        p.setWorkingDirectory(installed);
        p.start(program, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
        const QByteArray err = standardErrorUntilFailed(p);
        const QByteArray cause = "Update failed: '" + QFile::encodeName(link) + "' is a folder link to '"
            + QFile::encodeName(row.leadsTo)
            + "', which is not a folder inside the installation. Put the folder itself in place of the link and "
              "start the update again.";
        EXPECT_EQ(err.count(cause), 1) << err.constData();
        // The failed session waits in its window for the user.
        p.kill();
        p.waitForFinished(20000);
        if (watch) {
            EXPECT_EQ(watch->opens(), 0);
        }
        const QMap<QString, QByteArray> now = treeState(installed, updaterFiles, true);
        EXPECT_TRUE(now == before) << differences(now, before);
        EXPECT_TRUE(treeState(outside, {}, true) == outsideBefore);
        EXPECT_FALSE(readAllOrMissing(mark()).contains("version"));
    }
}

// What breaks the promise that every file (with its bytes and execute bits)
// is exactly as in the old or in the new tree, or missing where one of them
// lacks it, the updater's own files aside; folders count by the files in
// them.
// Empty when the promise holds.
QStringList notOldOrNewState(const QMap<QString, QByteArray>& now, const QMap<QString, QByteArray>& oldState,
                             const QMap<QString, QByteArray>& newState)
{
    QStringList names = oldState.keys() + newState.keys() + now.keys();
    names.removeDuplicates();
    const auto file = [](const QMap<QString, QByteArray>& state, const QString& name) {
        const QByteArray is = state.value(name, "<none>");
        return is == "<dir>" ? QByteArray("<none>") : is;
    };
    QStringList bad;
    for (const QString& name : qAsConst(names)) {
        const QByteArray is = file(now, name);
        // The updater's own record and what its writer leaves when killed.
        const bool updaters =
            name.startsWith(QLatin1String(".qnd-replace")) || name.startsWith(QLatin1String("update.ini"));
        if (!updaters && is != file(oldState, name) && is != file(newState, name))
            bad << name;
    }
    return bad;
}

// The real updater is killed after a session with type changes (a file
// becomes a folder and the reverse), execute-bit changes, a removed folder
// tree and changed files made all or most of its steps; then the recovery
// at each next start is killed again, three times, between two of its steps
// (once right before the journal itself goes, in every third scenario).
// After every kill each entry is exactly old or new, and the run after the
// last kill recovers and ends at exactly the new tree. A preloaded library
// kills the program just before its Nth change below the client, so the
// kills land exactly where asked. QND_RECOVERY_KILLS (tests only) asks for
// more kills, for a soak run.
TEST_F(DemoUpdateTest, KilledRecoveryEndsAtTheNewVersionAfterTheNextStart)
{
    const std::vector<TreeEntry> oldTree = {
        {"foo", "a file", 0644, nullptr},
        {"docs/old.txt", "old", 0644, nullptr},
        {"docs/sub/deep.txt", "deep", 0644, nullptr},
        {"plugins/a.so", "a", 0755, nullptr},
        {"plugins/sub/b.so", "b", 0755, nullptr},
        {"plugins/empty", nullptr, 0, nullptr},
        {"bin/run.sh", "#!/bin/sh\necho 1\n", 0644, nullptr},
        {"bin/same.sh", "#!/bin/sh\necho same\n", 0644, nullptr},
        {"bin/tool", "@elf", 0755, nullptr},
        {"data/a.dat", "a1", 0644, nullptr},
        {"data/b.dat", "b1", 0644, nullptr},
        {"data/c.dat", "c1", 0755, nullptr},
    };
    const std::vector<TreeEntry> newTree = {
        {"foo/bar", "now in a folder", 0644, nullptr},
        {"docs", "now a file", 0644, nullptr},
        {"bin/run.sh", "#!/bin/sh\necho 2\n", 0755, nullptr},
        {"bin/same.sh", "#!/bin/sh\necho same\n", 0755, nullptr},
        {"bin/tool", "@elf2", 0755, nullptr},
        {"data/a.dat", "a2", 0644, nullptr},
        {"data/b.dat", "b1", 0600, nullptr},
        {"data/c.dat", "c1", 0644, nullptr},
        {"data/d.dat", "d", 0644, nullptr},
    };
    struct Umask
    {
        mode_t saved = ::umask(022);
        ~Umask() { ::umask(saved); }
    } umask;
    const QString oldDir = dir.filePath(QStringLiteral("rk-old")), newDir = dir.filePath(QStringLiteral("rk-new"));
    const QString served = dir.filePath(QStringLiteral("rk-repo"));
    ASSERT_TRUE(makeTree(oldDir, oldTree) && makeTree(newDir, newTree));
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(versionTwoOf(oldDir, newDir, served), &report, &error)) << error.toStdString();
    serve(served, kServedChannel);
    const QStringList updaterFiles{QStringLiteral("update"), QStringLiteral("update.ini"), installLockFileName};
    const QMap<QString, QByteArray> oldState = treeState(oldDir), newState = treeState(newDir);
    const QStringList args{QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")};

    // One run of the updater in installed, killed at its killAt-th change
    // (or at the first change of killName) when it gets there; the log of
    // its changes in *log. The exit code, -1 when it was killed.
    auto run = [&](const QString& installed, int killAt, const QByteArray& killName, QByteArray* log) {
        const QString logPath = installed + QStringLiteral("-calls");
        QFile::remove(logPath);
        QProcessEnvironment env = demoEnvironment(config, tmp, home, mark());
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QND_KILL_SHIM));
        // A sanitizer build's runtime would refuse a library preloaded
        // ahead of it.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
        env.insert(QStringLiteral("QND_KILL_BELOW"), QFileInfo(installed).canonicalFilePath());
        env.insert(QStringLiteral("QND_KILL_LOG"), logPath);
        env.insert(QStringLiteral("QND_KILL_AT"), QString::number(killAt));
        env.insert(QStringLiteral("QND_KILL_NAME"), QString::fromLatin1(killName));
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(installed);
        p.setStandardOutputFile(QProcess::nullDevice());
        p.start(installed + QStringLiteral("/update"), args);
        const bool ended = p.waitForFinished(120000);
        EXPECT_TRUE(ended);
        if (!ended) {
            p.kill();
            p.waitForFinished(10000);
        }
        *log = readAllOrMissing(logPath);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    };
    auto install = [&](const QString& installed) {
        QDir(installed).removeRecursively();
        return runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), oldDir, installed})
            && QFile::copy(QStringLiteral(QND_UPDATER), installed + QStringLiteral("/update"));
    };

    // A session left alone, to learn how many changes it makes before its
    // finish line: after it, the first removal is of a backup it kept.
    const QString calibration = dir.filePath(QStringLiteral("rk-calibration"));
    ASSERT_TRUE(install(calibration));
    QByteArray log;
    ASSERT_EQ(run(calibration, 0, QByteArray(), &log), 0) << log.constData();
    int finishLine = 0;
    for (const QByteArray& call : log.split('\n')) {
        if (call.contains(" unlinkat ") && !finishLine)
            finishLine = call.split(' ').value(0).toInt();
    }
    ASSERT_GT(finishLine, 10) << log.constData();
    const int kills = qMax(8, qEnvironmentVariableIntValue("QND_RECOVERY_KILLS"));
    int sessions = 0, finishedFirst = 0, inRecovery = 0, afterRecovery = 0, toNew = 0;
    for (int n = 0; inRecovery + afterRecovery + sessions < kills; ++n) {
        SCOPED_TRACE(n);
        const QString installed = dir.filePath(QStringLiteral("rk-%1").arg(n));
        ASSERT_TRUE(install(installed));
        // The session's kill falls among its last steps, before the
        // finish line: every one of the type, mode and tree changes made
        // or nearly so.
        const int sessionKill = finishLine - 1 - (n * 3) % (finishLine / 2);
        ASSERT_EQ(run(installed, sessionKill, QByteArray(), &log), -1) << log.constData();
        ++sessions;
        const QByteArray journal = readAllOrMissing(installed + QStringLiteral("/.qnd-replace/journal"));
        finishedFirst += journal.endsWith("\nF\n") ? 1 : 0;
        QStringList bad = notOldOrNewState(treeState(installed, updaterFiles), oldState, newState);
        EXPECT_TRUE(bad.isEmpty()) << "session killed at " << sessionKill << ": " << bad.join(", ").toStdString();
        // Three kills of the recovery, each a few of its changes further
        // on; the third lands right before the journal goes in every third
        // scenario.
        for (int k = 0; k < 3; ++k) {
            const bool atJournal = k == 2 && n % 3 == 0;
            const int killAt = 1 + (n * 7 + k * 5) % 10;
            const int code = run(installed, atJournal ? 0 : killAt, atJournal ? "journal" : "", &log);
            const int at = log.indexOf("killed");
            const QByteArray killed = log.mid(log.lastIndexOf('\n', at) + 1, at - log.lastIndexOf('\n', at) - 1);
            // The recovery is over once it has removed the journal's folder.
            const bool recovering = !log.left(at).contains(" .qnd-replace\n");
            if (code != -1) {
                EXPECT_EQ(code, 0) << log.constData();
                break;
            }
            ++(recovering ? inRecovery : afterRecovery);
            bad = notOldOrNewState(treeState(installed, updaterFiles), oldState, newState);
            EXPECT_TRUE(bad.isEmpty()) << killed.constData() << ": " << bad.join(", ").toStdString();
        }
        ASSERT_EQ(run(installed, 0, QByteArray(), &log), 0) << log.constData();
        const QMap<QString, QByteArray> now = treeState(installed, updaterFiles);
        EXPECT_TRUE(now == newState) << differences(now, newState);
        EXPECT_FALSE(QFileInfo::exists(installed + QStringLiteral("/.qnd-replace")));
        toNew += now == newState ? 1 : 0;
        QDir(installed).removeRecursively();
    }
    std::printf("recovery kill test: %d sessions killed (%d after their finish line), %d kills in a recovery, "
                "%d after it; %d reruns ended at version 2\n",
                sessions, finishedFirst, inRecovery, afterRecovery, toNew);
    EXPECT_GE(inRecovery, 3);
}

// A client tree as real ones ship, at version 1, 2 or 3: a library with
// links to it that sort before and after it and one in another folder, the
// client program itself a link, and a link whose bytes stay while the
// library it leads to changes in version 3, where it is a file of its own.
bool makeLinkedClient(const QString& dir, int version)
{
    if (!makeDemoClient(dir, version))
        return false;
    QByteArray library;
    for (int i = 1; i <= 2000; ++i)
        library += "symbol " + QByteArray::number(i)
            + (i % 400 == 0 ? " of version " + QByteArray::number(version) : "") + "\n";
    const QByteArray extra = "extra library of version " + QByteArray::number(version < 3 ? 1 : 3) + "\n";
    const QDir d(dir);
    return QDir().mkpath(d.filePath(QStringLiteral("bin"))) && QDir().mkpath(d.filePath(QStringLiteral("plugins")))
        && QFile::rename(d.filePath(QStringLiteral("qndclient_linux_amd64")),
                         d.filePath(QStringLiteral("bin/qndclient")))
        && makeTree(dir,
                    {{"qndclient_linux_amd64", nullptr, 0, "bin/qndclient"},
                     {"lib/libqnd.so.2", library.constData(), 0644, nullptr},
                     {"lib/libqnd.so", nullptr, 0, "libqnd.so.2"},
                     {"lib/libqnd.so.2.0", nullptr, 0, "libqnd.so.2"},
                     {"plugins/libqnd.so", nullptr, 0, "../lib/libqnd.so.2"},
                     {"lib/libextra.so.1", extra.constData(), 0644, nullptr}})
        && (version == 3 ? writeAll(d.filePath(QStringLiteral("lib/libextra.so")), "extra library of version 1\n")
                         : QFile::link(QStringLiteral("libextra.so.1"), d.filePath(QStringLiteral("lib/libextra.so"))));
}

// A client installed with its links updates from either old version to
// exactly the new tree, every name a file of its own: every patch reads the
// bytes the name had before the session, whichever entry replaced the file
// a link leads to first. A session that fails after the library is replaced
// (a post-install command fails) puts the links back as links.
TEST_F(DemoUpdateTest, ClientInstalledWithLinksUpdatesAndRollsBackItsLinks)
{
    const QString served = dir.filePath(QStringLiteral("served"));
    QString trees[4];
    for (int version = 1; version <= 3; ++version) {
        trees[version] = dir.filePath(QStringLiteral("linked%1").arg(version));
        ASSERT_TRUE(makeLinkedClient(trees[version], version)) << version;
    }
    const auto publishTo = [&](const QString& out, int version, const QStringList& more) {
        return runToSuccess(QStringLiteral(QND_PUBLISH),
                            more
                                + QStringList{QStringLiteral("--version"), QString::number(version),
                                              QStringLiteral("--out"), QDir(served).filePath(out),
                                              QStringLiteral("--key"), testPrivateKeyPath()});
    };
    ASSERT_TRUE(publishTo(
        QStringLiteral("three"), 3,
        {QStringLiteral("--old"), trees[1], QStringLiteral("--old"), trees[2], QStringLiteral("--new"), trees[3]}));
    // Version 2 again, with a post-install command that fails.
    const QString failing = dir.filePath(QStringLiteral("linked2-failing"));
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), trees[2], failing}));
    ASSERT_TRUE(writeAllMakingDirs(failing + QStringLiteral("/tools/fail.sh"), "#!/bin/sh\nexit 1\n"));
    ASSERT_TRUE(publishTo(QStringLiteral("failing"), 2,
                          {QStringLiteral("--old"), trees[1], QStringLiteral("--new"), failing,
                           QStringLiteral("--postinstall"), QStringLiteral("tools/fail.sh")}));
    serve(served, "");
    const QStringList updaterFiles{QStringLiteral("update"), QStringLiteral("update.ini"), installLockFileName};
    const QMap<QString, QByteArray> expected = treeState(trees[3]);
    for (int old = 1; old <= 2; ++old) {
        SCOPED_TRACE(old);
        const QString installed = dir.filePath(QStringLiteral("client-from-%1").arg(old));
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), trees[old], installed}));
        writeUpdateIni(config, "[Channel]\nalpha=@SERVER@/three/\nalphaRevno=3\n");
        QFile::remove(mark());
        QByteArray output;
        ASSERT_EQ(
            runSession(QStringLiteral(QND_UPDATER), &output,
                       {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("3")},
                       installed),
            0)
            << output.constData();
        const QMap<QString, QByteArray> now = treeState(installed, updaterFiles, true);
        EXPECT_TRUE(now == expected) << differences(now, expected);
        // The run script starts the program through its old name.
        EXPECT_TRUE(waitFor([&] { return readAllOrMissing(mark()).contains("version 3"); }, 60000))
            << readAllOrMissing(mark()).constData();
    }

    client = dir.filePath(QStringLiteral("client-failing"));
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), trees[1], client}));
    writeUpdateIni(config, "[Channel]\nalpha=@SERVER@/failing/\nalphaRevno=2\n");
    const QMap<QString, QByteArray> before = treeState(client, {}, true);
    enableLogs();
    QProcess p;
    startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
    standardErrorUntilFailed(p);
    // It failed at the command, with every file in place.
    EXPECT_TRUE(waitFor([&] { return logsWith("fail.sh, exit code: 1") == 1; }, 30000));
    // The failed session waits in its window for the user.
    p.kill();
    p.waitForFinished(20000);
    const QMap<QString, QByteArray> after = treeState(client, updaterFiles, true);
    EXPECT_TRUE(after == before) << differences(after, before);
}

// The updater run for a client update to version 2 from an installation,
// with the given temp directory, its output kept apart.
void startClientUpdate(QProcess& p, const QString& client, const QString& config, const QString& tmp,
                       const QString& home, const QString& mark)
{
    p.setProcessEnvironment(demoEnvironment(config, tmp, home, mark));
    p.setWorkingDirectory(client);
    p.start(client + QStringLiteral("/update"),
            {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
}

// Installation B is killed with its journal on disk and its temp folder
// vanishes; installation A of the same user runs in a folder that B's
// journal and record now name (the name was free again), and a live run
// holds a folder of B's own. B's next start undoes B, leaves both live
// folders alone, and both installations end at version 2.
TEST_F(DemoUpdateTest, DeadSessionOfAnotherInstallationNeverRemovesALiveTempFolder)
{
    publishWithCommands({{QStringLiteral("hold.sh"), holdScript()}}, {}, {QStringLiteral("hold.sh")});
    serveRepository();
    Installation a, b;
    ASSERT_NO_FATAL_FAILURE(installVersionOne(&a, QStringLiteral("a")));
    ASSERT_NO_FATAL_FAILURE(installVersionOne(&b, QStringLiteral("b")));
    const QString shared = tmp;
    const auto sessionDirs = [&] { return QDir(shared).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs); };

    ASSERT_TRUE(touch(b.root + QStringLiteral("/hold")));
    QProcess first;
    startClientUpdate(first, b.client, b.config, shared, b.home, b.root + QStringLiteral("/ran"));
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(b.root + QStringLiteral("/hold-running")); }, 120000));
    first.kill();
    first.waitForFinished(30000);
    ASSERT_GT(journalLines(b.client), 2);
    for (const QString& d : sessionDirs())
        ASSERT_TRUE(QDir(QDir(shared).filePath(d)).removeRecursively());

    ASSERT_TRUE(touch(a.root + QStringLiteral("/hold")));
    QProcess live;
    startClientUpdate(live, a.client, a.config, shared, a.home, a.root + QStringLiteral("/ran"));
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(a.root + QStringLiteral("/hold-running")); }, 120000));
    ASSERT_EQ(sessionDirs().size(), 1);
    const QString taken = QDir(shared).filePath(sessionDirs().first());
    const QMap<QString, QByteArray> inUse = tree(taken);
    // B's journal and record name the folder A now works in.
    {
        const QString journal = b.client + QStringLiteral("/.qnd-replace/journal");
        QList<QByteArray> lines = readAllOrMissing(journal).split('\n');
        for (QByteArray& line : lines) {
            if (line.startsWith("T "))
                line = "T " + QFile::encodeName(taken).toPercentEncoding();
        }
        ASSERT_TRUE(writeAll(journal, lines.join('\n')));
        QSettings record(b.client + QStringLiteral("/update.ini"), QSettings::IniFormat);
        record.setValue(QStringLiteral("current/dir"), taken);
    }
    // A folder marked for B that a live run holds as a session holds its
    // own (the first step of a self-update, while the second takes over),
    // listed in B's lock file: only the hold tells it is alive.
    const QString held = QDir(shared).filePath(QStringLiteral("quendrail_temp_123456789"));
    ASSERT_TRUE(writeAllMakingDirs(held + QStringLiteral("/in-use"), "in use"));
    ASSERT_TRUE(SessionTempDir::mark(held, b.client));
    struct Hold
    {
        int fd;
        ~Hold() { ::close(fd); }
    } hold{::open(QFile::encodeName(QDir(held).filePath(installLockFileName)).constData(), O_RDONLY | O_CLOEXEC)};
    ASSERT_EQ(::flock(hold.fd, LOCK_SH), 0);
    {
        QFile list(QDir(b.client).filePath(installLockFileName));
        ASSERT_TRUE(list.open(QIODevice::Append));
        list.write(QFile::encodeName(held) + '\n');
    }

    ASSERT_TRUE(QFile::remove(b.root + QStringLiteral("/hold")));
    QProcess rerun;
    startClientUpdate(rerun, b.client, b.config, shared, b.home, b.root + QStringLiteral("/ran"));
    EXPECT_TRUE(rerun.waitForFinished(300000));
    EXPECT_EQ(rerun.exitCode(), 0) << rerun.readAllStandardError().constData();
    EXPECT_TRUE(tree(b.client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));
    EXPECT_TRUE(tree(taken) == inUse) << differences(tree(taken), inUse);
    EXPECT_EQ(readAllOrMissing(held + QStringLiteral("/in-use")), "in use");
    ASSERT_TRUE(QDir(held).removeRecursively());

    ASSERT_TRUE(QFile::remove(a.root + QStringLiteral("/hold")));
    EXPECT_TRUE(live.waitForFinished(300000));
    EXPECT_EQ(live.exitCode(), 0) << live.readAllStandardError().constData();
    EXPECT_TRUE(tree(a.client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));
    EXPECT_TRUE(sessionDirs().isEmpty()) << sessionDirs().join(QLatin1Char(' ')).toStdString();
}

// Another local user who takes quendrail_temp_0 ... quendrail_temp_999 in the
// shared temp folder beforehand stops no update (done as that user where the
// suite runs as root, else as ourselves), and their folders stay.
TEST_F(DemoUpdateTest, SessionNamesTakenBeforehandInTheSharedTempFolderStopNoUpdate)
{
    ThrowawayUser other;
    serveRepository();
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(tmp).constData(), 01777), 0);
    for (int i = 0; i < 1000; ++i) {
        const QByteArray name = QFile::encodeName(tmp + QStringLiteral("/quendrail_temp_%1").arg(i));
        ASSERT_EQ(::mkdir(name.constData(), 0755), 0);
        if (other.uid != 0) {
            ASSERT_EQ(::chown(name.constData(), other.uid, other.gid), 0);
        }
    }
    QByteArray output;
    EXPECT_EQ(runSession(QStringLiteral(QND_UPDATER), &output), 0) << output.constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));
    EXPECT_EQ(leftTempDirs().size(), 1000);
}

// The lock file removed while a session runs (a clean-up of hidden files):
// a second start takes a new one but leaves the running session alone and
// hands over to it; that session ends at version 2 and a later start runs.
TEST_F(DemoUpdateTest, RemovedLockFileLetsNoSecondStartIntoTheRunningSession)
{
    publishWithCommands({{QStringLiteral("hold.sh"), holdScript()}}, {QStringLiteral("hold.sh")}, {});
    serveRepository();
    enableLogs();
    ASSERT_TRUE(touch(beside("hold")));
    QProcess first, second;
    const QStringList args{QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")};
    startUpdater(first, args);
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(beside("hold-running")); }, 120000));
    // Stopped, the holder cannot take the name back before the second start
    // has made a new lock file, which is the case under test.
    ASSERT_EQ(::kill(pid_t(first.processId()), SIGSTOP), 0);
    ASSERT_TRUE(QFile::remove(QDir(client).filePath(installLockFileName)));
    startInstalled(second, args);
    EXPECT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_EQ(::kill(pid_t(first.processId()), SIGCONT), 0);
    // The running session takes the lock's name again, so that starts of
    // earlier releases, which know only the file, also find it held.
    EXPECT_TRUE(waitFor(
        [&] {
            const int fd =
                ::open(QFile::encodeName(QDir(client).filePath(installLockFileName)).constData(), O_RDWR | O_CLOEXEC);
            const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (fd >= 0)
                ::close(fd);
            return held;
        },
        60000));
    ASSERT_TRUE(QFile::remove(beside("hold")));
    EXPECT_TRUE(first.waitForFinished(300000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));
    EXPECT_EQ(logs().size(), 2);
    EXPECT_EQ(logsWith("Starting update"), 1);
    EXPECT_EQ(logsWith("Update failed"), 0);
    // The folder's lock, which removing the file cannot undo, kept it out.
    EXPECT_EQ(logsWith("Another updater works on this installation, aborting")
                  + logsWith("Detected other instance running, aborting"),
              1);
    EXPECT_TRUE(leftTempDirs().isEmpty()) << leftTempDirs().join(QLatin1Char(' ')).toStdString();

    QByteArray output;
    EXPECT_EQ(runSession(QStringLiteral(QND_UPDATER), &output), 0) << output.constData();
}

// A routine recursive chmod that opens the client to others also opens the
// lock file: it is made private again and the update runs. A lock file of
// another user stops the start, naming that user.
TEST_F(DemoUpdateTest, LockFileOpenedToOthersIsMadePrivateAndOneOfAnotherUserIsNamed)
{
    ThrowawayUser other;
    serveRepository();
    const QString lockPath = QDir(client).filePath(installLockFileName);
    for (const char* mode : {"a+rX", "755"}) {
        SCOPED_TRACE(mode);
        QDir(client).removeRecursively();
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, client}));
        ASSERT_TRUE(touch(lockPath));
        ASSERT_TRUE(QFile::setPermissions(lockPath, QFile::ReadOwner | QFile::WriteOwner));
        ASSERT_TRUE(runToSuccess(QStringLiteral("chmod"), {QStringLiteral("-R"), QLatin1String(mode), client}));
        QByteArray output;
        EXPECT_EQ(runSession(QStringLiteral(QND_UPDATER), &output), 0) << output.constData();
        EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));
        struct stat info;
        ASSERT_EQ(::stat(QFile::encodeName(lockPath).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    if (other.uid == 0)
        GTEST_SKIP() << "no throwaway user can be made here";
    ASSERT_EQ(::chown(QFile::encodeName(lockPath).constData(), other.uid, other.gid), 0);
    QProcess p;
    startUpdater(p, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(p.readAllStandardError().contains("owned by another user, " + other.name.toUtf8()));
}

// One start without arguments against a version whose updater differs
// replaces the installed updater with the published one: the client step
// installs it like any client file, so the client then holds exactly the
// tree, updater and execute bits included. The next start of that updater
// fetches the product inis and their signatures, and no updater file.
TEST_F(DemoUpdateTest, SelfUpdateReplacesTheInstalledUpdaterAndTheNextStartFetchesNoUpdaterFile)
{
    publishUpdater();
    serveRepository();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    const QStringList updaterState{installLockFileName, QStringLiteral("update.ini")};
    EXPECT_EQ(treeState(client, updaterState), treeState(v2));
    const QString installed = QDir(client).filePath(QStringLiteral("update"));
    EXPECT_TRUE(QFileInfo(installed).isExecutable());
    EXPECT_TRUE(waitFor([&] { return leftTempDirs().isEmpty(); }, 60000))
        << leftTempDirs().join(QLatin1Char(' ')).toStdString();

    // A fresh server, so that its log holds the second start's requests only.
    server.kill();
    server.waitForFinished(10000);
    serveRepository();
    ASSERT_TRUE(QFile::remove(mark()));
    QProcess again;
    startInstalled(again, {});
    ASSERT_TRUE(again.waitForFinished(300000));
    EXPECT_EQ(again.exitCode(), 0) << again.readAllStandardError().constData();
    ASSERT_TRUE(waitFor([&] { return readAllOrMissing(mark()).contains("version 2"); }, 300000));
    const QList<QByteArray> requests = server.readAllStandardError().trimmed().split('\n');
    const auto requested = [&](const char* name) {
        return std::any_of(requests.begin(), requests.end(),
                           [&](const QByteArray& line) { return line.contains(name); });
    };
    EXPECT_TRUE(requested("/2/update_linux_amd64.ini.sig"));
    EXPECT_TRUE(requested("/2/qnd_client_linux_amd64.ini.sig"));
    EXPECT_FALSE(requested("/2/update/")) << requests.join('\n').constData();
    EXPECT_FALSE(requested("/2/client/")) << requests.join('\n').constData();
    EXPECT_EQ(treeState(client, updaterState), treeState(v2));
}

// A temp folder on a mount where programs cannot run (a hardened /tmp):
// the new updater runs from a copy in the installation, which goes once the
// update has ended, and one start ends with the published updater and
// client installed.
TEST_F(DemoUpdateTest, SelfUpdateWithANoexecTempFolderEndsWithTheNewUpdaterAndClient)
{
    const QString noexec = dir.filePath(QStringLiteral("noexec-tmp"));
    ASSERT_TRUE(QDir().mkpath(noexec));
    if (QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                           QStringLiteral("noexec,size=512m"), QStringLiteral("tmpfs"), noexec})
        != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    struct Unmount
    {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path}); }
    } unmount{noexec};
    tmp = noexec;
    publishUpdater();
    serveRepository();
    enableLogs();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    EXPECT_TRUE(waitFor([&] { return updatersBelow(dir.path()).isEmpty() && leftTempDirs().isEmpty(); }, 60000))
        << leftTempDirs().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(treeState(client, {installLockFileName, QStringLiteral("update.ini")}), treeState(v2));
    EXPECT_EQ(readAllOrMissing(client + QStringLiteral("/update")), readAllOrMissing(v2 + QStringLiteral("/update")));
    EXPECT_FALSE(QFileInfo::exists(client + QStringLiteral("/.qnd-updater")));
    EXPECT_EQ(logsWith("Update failed"), 0);
    EXPECT_EQ(logsWith("the new updater runs from"), 1);
}

// A new updater that cannot be started is a failed session, said once on
// standard error with its cause; nothing is installed, and the next start,
// against a repository that was mended meanwhile, updates both.
TEST_F(DemoUpdateTest, NewUpdaterThatCannotStartFailsTheSessionAndTheNextStartTriesAgain)
{
    publishUpdaterProgram("#!/nonexistent/interpreter\n");
    serveRepository();
    const QMap<QString, QByteArray> before = tree(client, {QStringLiteral("update")});
    QProcess p;
    startUpdater(p, {});
    const QByteArray err = standardErrorUntilFailed(p);
    EXPECT_EQ(err.count("Update failed: "), 1) << err.constData();
    EXPECT_TRUE(err.contains(QByteArray("Update failed: Could not start the new updater ") + QFile::encodeName(tmp)
                             + "/quendrail_temp_"))
        << err.constData();
    // The failed session waits in its window for the user.
    EXPECT_FALSE(p.waitForFinished(2000));
    p.kill();
    p.waitForFinished(20000);
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == before);
    EXPECT_EQ(readAllOrMissing(client + QStringLiteral("/update")), readAllOrMissing(QStringLiteral(QND_UPDATER)));

    publishUpdater();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    EXPECT_TRUE(waitFor([&] { return updatersBelow(dir.path()).isEmpty() && leftTempDirs().isEmpty(); }, 60000))
        << leftTempDirs().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(treeState(client, {installLockFileName, QStringLiteral("update.ini")}), treeState(v2));
}

// A second step of another release, here a script, that knows nothing of a
// hand-over and locks the lock file itself once the first step has ended:
// it gets the lock, and holds no descriptor of the lock file, or of the
// installation's folder, that it did not open.
TEST_F(DemoUpdateTest, StandInStepTwoTakesTheLockItsOwnWayAndHoldsNoDescriptorOfIt)
{
    const QString out = beside("standin");
    publishUpdaterProgram("#!/bin/sh\nwhile [ ! -e '" + QFile::encodeName(out)
                          + ".go' ]; do sleep 0.05; done\n"
                            "ls -l /proc/$$/fd > '"
                          + QFile::encodeName(out)
                          + ".fds'\n"
                            "if flock -n '"
                          + QFile::encodeName(client)
                          + "/.qnd-lock' true; then r=got; else r=busy; fi\n"
                            "echo $r > '"
                          + QFile::encodeName(out) + ".tmp' && mv '" + QFile::encodeName(out) + ".tmp' '"
                          + QFile::encodeName(out) + ".lock'\n");
    serveRepository();
    QProcess stepOne;
    startUpdater(stepOne, {});
    ASSERT_TRUE(stepOne.waitForFinished(300000));
    EXPECT_EQ(stepOne.exitCode(), 0) << stepOne.readAllStandardError().constData();
    ASSERT_TRUE(touch(out + QStringLiteral(".go")));
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(out + QStringLiteral(".lock")); }, 60000));
    EXPECT_EQ(readAllOrMissing(out + QStringLiteral(".lock")), "got\n");
    const QByteArray fds = readAllOrMissing(out + QStringLiteral(".fds"));
    EXPECT_FALSE(fds.contains(".qnd-lock")) << fds.constData();
    EXPECT_FALSE(fds.contains("-> " + QFile::encodeName(client) + "\n")) << fds.constData();
}

// A first step of an earlier release that hands its lock file over by
// number (here a script between step one and the built updater): step two
// holds the lock through it, and the client it starts at the end is handed
// neither that descriptor nor one of the installation's folder.
TEST_F(DemoUpdateTest, LockFileHandedOverByNumberIsNotPassedOnToTheClient)
{
    publishUpdaterProgram("#!/bin/sh\nhere=$(dirname \"$0\")\ncp '" + QFile::encodeName(QStringLiteral(QND_UPDATER))
                          + "' \"$here/update-handed\" || exit 1\nexec 7<>'" + QFile::encodeName(client)
                          + "/.qnd-lock'\nQND_INSTALL_LOCK_FD=7 exec \"$here/update-handed\" \"$@\"\n");
    serveRepository();
    enableLogs();
    QProcess stepOne;
    startUpdater(stepOne, {});
    ASSERT_TRUE(stepOne.waitForFinished(300000));
    EXPECT_EQ(stepOne.exitCode(), 0) << stepOne.readAllStandardError().constData();
    ASSERT_TRUE(waitFor([&] { return readAllOrMissing(mark()).contains("version 2"); }, 300000))
        << readAllOrMissing(mark()).constData();
    EXPECT_EQ(logsWith("Holding the installation lock file handed over"), 1);
    expectClientHoldsNothingOfTheLock();
}

// The lock file removed while a start holds the lock, in its start delay
// and right after the first step of its self-update has ended: a second
// start leaves the installation alone and exits 0 without a session, and
// the one self-update ends well.
TEST_F(DemoUpdateTest, LockFileRemovedInAnyPhaseLetsNoSecondSessionIn)
{
    publishWithCommands({{QStringLiteral("hold.sh"), holdScript()}}, {}, {QStringLiteral("hold.sh")});
    publishUpdater();
    serveRepository();
    enableLogs();
    ASSERT_TRUE(touch(beside("hold")));
    const QString lockPath = QDir(client).filePath(installLockFileName);
    QProcess first;
    startUpdater(first, {});
    ASSERT_TRUE(first.waitForStarted(30000));
    const auto secondStartLeavesItAlone = [&](const char* phase) {
        SCOPED_TRACE(phase);
        // The running one made and holds it (a slow machine may take a while).
        EXPECT_TRUE(waitFor([&] { return QFileInfo::exists(lockPath); }, 60000));
        EXPECT_TRUE(QFile::remove(lockPath));
        QProcess second;
        startInstalled(second, {});
        EXPECT_TRUE(second.waitForFinished(60000));
        EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().constData();
    };
    QThread::msleep(500 + QRandomGenerator::global()->bounded(500));
    ASSERT_EQ(first.state(), QProcess::Running);
    secondStartLeavesItAlone("start delay");
    ASSERT_TRUE(first.waitForFinished(300000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().constData();
    secondStartLeavesItAlone("right after step one");
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(beside("hold-running")); }, 300000));
    ASSERT_TRUE(QFile::remove(beside("hold")));
    ASSERT_TRUE(waitFor([&] { return readAllOrMissing(mark()).contains("version 2"); }, 300000));
    EXPECT_TRUE(waitFor([&] { return updatersBelow(dir.path()).isEmpty(); }, 60000));
    EXPECT_TRUE(tree(client) == tree(v2));
    EXPECT_EQ(logs().size(), 4);
    EXPECT_EQ(logsWith("Starting update"), 2);
    EXPECT_EQ(logsWith("Update failed"), 0);
    EXPECT_EQ(logsWith("Holding the installation lock handed over"), 1);
}

// The hand-over's variables in the environment of an ordinary start are
// cleared and never acted on: the log that a number may name is written to
// its end, and nothing else goes into the lock file.
TEST_F(DemoUpdateTest, HandOverVariablesInAnOrdinaryStartAreLeftAlone)
{
    serveRepository();
    enableLogs();
    QProcess p;
    QProcessEnvironment env = demoEnvironment(config, tmp, home, mark());
    for (const char* variable : {"QND_INSTALL_LOCK_FD", "QND_INSTALL_LOCK_HANDOVER"})
        env.insert(QLatin1String(variable), QStringLiteral("3"));
    const QString installed = QDir(client).filePath(QStringLiteral("update"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), installed));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(client);
    p.start(installed, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")});
    ASSERT_TRUE(p.waitForFinished(300000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));
    const QMap<QString, QByteArray> all = logs();
    ASSERT_EQ(all.size(), 1);
    EXPECT_TRUE(all.first().contains("Update successfully finished")) << all.first().constData();
    EXPECT_FALSE(readAllOrMissing(QDir(client).filePath(installLockFileName)).contains("|"));
}

// A session record beside the installed updater that names another
// installation (damaged, or edited by hand) is dropped with a warning:
// nothing is made, locked, recovered or removed there, the client updates,
// and so does the next start.
TEST_F(DemoUpdateTest, SessionRecordNamingAnotherFolderIsDroppedAndTheClientUpdates)
{
    serveRepository();
    enableLogs();
    const QString other = beside("other-install");
    const QString othersSession = QDir(tmp).filePath(QStringLiteral("quendrail_temp_77"));
    ASSERT_TRUE(writeAllMakingDirs(other + QStringLiteral("/keep"), "keep"));
    ASSERT_TRUE(QDir().mkpath(othersSession));
    ASSERT_TRUE(QFile::setPermissions(othersSession, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(SessionTempDir::mark(othersSession, other));
    const auto entries = [](const QString& path) {
        return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    };
    const QStringList otherBefore = entries(other), sessionBefore = entries(othersSession);
    for (const QString& session : {client, othersSession}) {
        SCOPED_TRACE(session.toStdString());
        ASSERT_TRUE(writeAll(client + QStringLiteral("/update.ini"),
                             "[current]\nversion=2\ndir=" + QFile::encodeName(session)
                                 + "\nqnddir=" + QFile::encodeName(other) + "\ntype=client_linux_amd64\n"));
        for (int run = 0; run < 2; ++run) {
            QByteArray output;
            EXPECT_EQ(runSession(QStringLiteral(QND_UPDATER), &output), 0) << output.constData();
            EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));
        }
        EXPECT_EQ(entries(other), otherBefore);
        EXPECT_EQ(entries(othersSession), sessionBefore);
        EXPECT_EQ(readAllOrMissing(other + QStringLiteral("/keep")), "keep");
    }
    EXPECT_EQ(logsWith("Update failed"), 0);
}

// A program installed under many names (links to one file, as a git
// install has) is published as one file per name with one patch each, all
// of the same bytes: the session fetches that patch once, and every name,
// links included, ends with the new program.
TEST_F(DemoUpdateTest, ManyNamesOfOneChangedFileFetchItsPatchOnce)
{
    const int links = 50;
    const QString root = dir.filePath(QStringLiteral("named"));
    const QString oldDir = root + QStringLiteral("/old"), newDir = root + QStringLiteral("/new");
    const QString installed = root + QStringLiteral("/client"), served = root + QStringLiteral("/served");
    const QByteArray program = readAllOrMissing(QStringLiteral(QND_FIXTURES_DIR "/elf/x64-pie"));
    ASSERT_GT(program.size(), 1000);
    const auto makeVersion = [&](const QString& at, const QByteArray& bytes) {
        const QString git = at + QStringLiteral("/bin/git");
        if (!writeAllMakingDirs(git, bytes) || !QFile::setPermissions(git, QFile::permissions(git) | QFile::ExeOwner))
            return false;
        for (int i = 0; i < links; ++i) {
            if (!QFile::link(QStringLiteral("git"), at + QStringLiteral("/bin/git-name%1").arg(i)))
                return false;
        }
        return writeAllMakingDirs(at + QStringLiteral("/data/readme.txt"), "read me\n");
    };
    ASSERT_TRUE(makeVersion(oldDir, program + "git version 1\n"));
    ASSERT_TRUE(makeVersion(newDir, program + "git version 2\n"));
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(versionTwoOf(oldDir, newDir, served), &report, &error)) << error.toStdString();
    ASSERT_EQ(report.patched.size(), links + 1) << report.notes.join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), oldDir, installed}));
    ASSERT_TRUE(QFileInfo(installed + QStringLiteral("/bin/git-name7")).isSymLink());

    serve(root, "[Channel]\nalpha=@SERVER@/served/\nalphaRevno=2\n");
    QByteArray output;
    ASSERT_EQ(runSession(QStringLiteral(QND_UPDATER), &output,
                         {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"), QStringLiteral("2")},
                         installed),
              0)
        << output.constData();
    const QMap<QString, QByteArray> now =
        treeState(installed, {QStringLiteral("update"), QStringLiteral("update.ini"), installLockFileName});
    const QMap<QString, QByteArray> expected = treeState(newDir);
    EXPECT_TRUE(now == expected) << differences(now, expected);

    // The server wrote each request line as it came, all before the session
    // ended; they are read once the first patch request is in.
    QByteArray log;
    EXPECT_TRUE(waitFor([&] {
        log += server.readAllStandardError();
        return log.contains("_patch_");
    }));
    log += server.readAllStandardError();
    const QList<QByteArray> requests = log.trimmed().split('\n');
    QList<QByteArray> patches;
    for (const QByteArray& line : requests) {
        if (line.contains("/bin/git") && line.contains("_patch_"))
            patches << line;
    }
    EXPECT_EQ(patches.size(), 1) << requests.join('\n').constData();
}
} // namespace
