// Whole update sessions against a signed repository on a local HTTP server:
// version 1 of the demo client is installed, version 2 is published with
// patches against it, and a session (the windowless session driver, or the
// updater program itself) updates the installation. A repository with a
// tampered file must fail the session and leave version 1 untouched.
#include "publisher.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

#include "support/childprocess.h"
#include "support/testfiles.h"
#include "support/testsigning.h"
#include "support/waitfor.h"

namespace {

const char* const kMakeDemo = QND_SOURCE_DIR "/tests/tools/make_demo_client.sh";

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Relative path -> bytes of every file below root, minus the given names.
QMap<QString, QByteArray> tree(const QString& root, const QStringList& skip = {})
{
    QMap<QString, QByteArray> files;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = base.relativeFilePath(it.next());
        if (!skip.contains(rel))
            files.insert(rel, fileBytes(it.filePath()));
    }
    return files;
}

// The updater's child environment for a demo session: the demo client
// leaves its mark, and sanitizer builds overlook Qt's offscreen platform,
// which leaks its screen at exit.
QProcessEnvironment demoEnvironment(const QString& config, const QString& tmp, const QString& home,
                                    const QString& mark)
{
    QProcessEnvironment env = updaterEnvironment(config, tmp, home);
    env.insert(QStringLiteral("QND_DEMO_MARK"), mark);
    const QString lsan = env.value(QStringLiteral("LSAN_OPTIONS"));
    env.insert(QStringLiteral("LSAN_OPTIONS"),
               (lsan.isEmpty() ? QString() : lsan + QLatin1Char(':'))
                   + QStringLiteral("suppressions=" QND_SOURCE_DIR "/tests/tools/lsan-qt-offscreen.supp"));
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

class DemoUpdateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        v1 = dir.filePath(QStringLiteral("v1"));
        v2 = dir.filePath(QStringLiteral("v2"));
        repo = dir.filePath(QStringLiteral("repo"));
        client = dir.filePath(QStringLiteral("client"));
        config = dir.filePath(QStringLiteral("config"));
        tmp = dir.filePath(QStringLiteral("tmp"));
        home = dir.filePath(QStringLiteral("home"));
        for (const QString& d : {config, tmp, home})
            ASSERT_TRUE(QDir().mkpath(d));
        ASSERT_TRUE(runToSuccess(QStringLiteral("bash"), {QString::fromLatin1(kMakeDemo), v1, QStringLiteral("1")}));
        ASSERT_TRUE(runToSuccess(QStringLiteral("bash"), {QString::fromLatin1(kMakeDemo), v2, QStringLiteral("2")}));
        PublishOptions o;
        o.oldDir = v1;
        o.newDir = v2;
        o.outDir = repo;
        o.version = 2;
        o.keyPath = testPrivateKeyPath();
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
        ASSERT_EQ(report.patched.size(), 3) << report.notes.join(QLatin1Char('\n')).toStdString();
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), v1, client}));
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
        server.start(QStringLiteral(QND_TEST_HTTPD), {root});
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
    void serveRepository() { serve(repo, "[Channel]\nalpha=@SERVER@/\nalphaRevno=2\n"); }

    // Publishes version 2 of the updater itself: the built program with a
    // few bytes more, which leave it runnable.
    void publishUpdater()
    {
        const QString u1 = dir.filePath(QStringLiteral("u1")), u2 = dir.filePath(QStringLiteral("u2"));
        ASSERT_TRUE(QDir().mkpath(u1));
        ASSERT_TRUE(QDir().mkpath(u2));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), u1 + QStringLiteral("/update")));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QND_UPDATER), u2 + QStringLiteral("/update")));
        {
            QFile f(u2 + QStringLiteral("/update"));
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write("updater version 2");
        }
        PublishOptions o;
        o.oldDir = u1;
        o.newDir = u2;
        o.outDir = repo;
        o.version = 2;
        o.targetKind = 0;
        o.keyPath = testPrivateKeyPath();
        o.patches = false; // the updater is large; client files cover the patches
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
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

    QString mark() const { return dir.filePath(QStringLiteral("client-ran.txt")); }

    // Runs the installed updater without arguments: it updates itself, and
    // the new updater, detached, the client, which it starts at the end.
    void runSelfUpdate()
    {
        QProcess p;
        startUpdater(p, QStringList());
        ASSERT_TRUE(p.waitForFinished(300000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
        ASSERT_TRUE(waitFor([&] { return fileBytes(mark()).contains("version 2"); }, 300000))
            << fileBytes(mark()).constData();
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

    QStringList leftTempDirs() const
    {
        return QDir(tmp).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs);
    }

    QTemporaryDir dir;
    QString v1, v2, repo, client, config, tmp, home;
    QProcess server;
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
    EXPECT_TRUE(waitFor([&] { return fileBytes(mark).contains("version 2"); }, 60000)) << fileBytes(mark).constData();
    const QByteArray ran = runScriptOutput();
    EXPECT_TRUE(ran.contains("Quendrail 3 demo client version 2")) << ran.constData();
    EXPECT_TRUE(ran.contains("demo client program 2")) << ran.constData();
}

// Each row spoils one file that the session fetches; whichever check meets
// it first, the session fails and every installed byte stays as version 1.
TEST_F(DemoUpdateTest, TamperedRepositoryFailsTheSessionAndLeavesVersionOne)
{
    struct Row { const char* file; const char* expect; };
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
    const QString pristine = dir.filePath(QStringLiteral("pristine"));
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), repo, pristine}));
    const QMap<QString, QByteArray> before = tree(client);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        QDir(repo).removeRecursively();
        QDir(tmp).removeRecursively();
        QDir().mkpath(tmp);
        QFile::remove(QDir(client).filePath(QStringLiteral("update.ini")));
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, repo}));
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
    ASSERT_TRUE(waitFor([&] { return fileBytes(mark).contains("version 2"); }, 60000)) << fileBytes(mark).constData();
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
    ASSERT_TRUE(runToSuccess(QStringLiteral("bash"), {QString::fromLatin1(kMakeDemo), v3, QStringLiteral("3")}));
    ASSERT_TRUE(runToSuccess(QStringLiteral(QND_PUBLISH),
                             {QStringLiteral("--old"), v1, QStringLiteral("--old"), v2, QStringLiteral("--new"), v3,
                              QStringLiteral("--version"), QStringLiteral("3"), QStringLiteral("--out"),
                              root + QStringLiteral("/updater-images/client"), QStringLiteral("--key"),
                              testPrivateKeyPath(), QStringLiteral("--channel"), QStringLiteral("stable"),
                              QStringLiteral("--versions-dir"), root}));
    serve(root, "");
    for (const QString& old : {v1, v2}) {
        SCOPED_TRACE(old.toStdString());
        const QString installed = dir.filePath(QStringLiteral("client-from-") + QFileInfo(old).fileName());
        ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), old, installed}));
        writeUpdateIni(installed, "[update]\nproxy=@SERVER@\n");
        QFile::remove(dir.filePath(QStringLiteral("client-ran.txt")));
        QByteArray output;
        ASSERT_EQ(runSession(QStringLiteral(QND_UPDATER), &output, {QStringLiteral("--clientupdate")}, installed, serverUrl), 0)
            << output.constData();
        EXPECT_TRUE(tree(installed, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v3));
        const QString mark = dir.filePath(QStringLiteral("client-ran.txt"));
        EXPECT_TRUE(waitFor([&] { return fileBytes(mark).contains("version 3"); }, 60000)) << fileBytes(mark).constData();
        // The executable came as a patch from this client's own version.
        const QByteArray base = sha512HexOfFile(QDir(old).filePath(QStringLiteral("qndclient_linux_amd64"))).left(16).toLatin1();
        QByteArray requests;
        EXPECT_TRUE(waitFor([&] {
            requests += server.readAllStandardError();
            return requests.contains("qndclient_linux_amd64." + base + "_patch_");
        }, 10000)) << requests.constData();
    }
}

// An updater run: the installed updater fetches its own product ini, builds
// the new updater in the session's temp directory and starts it, and that one
// carries the same session on with the client update and starts the client.
TEST_F(DemoUpdateTest, UpdaterRunUpdatesItselfThenTheClient)
{
    publishUpdater();
    serveRepository();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
}

// What a user keeps in the install directory's "update.ini" (here the alpha
// channel on a host reached only through the configured proxy, and two
// streams) holds for both steps of a self-update, and stays afterwards; only
// the session record goes.
TEST_F(DemoUpdateTest, SelfUpdateUsesAndKeepsTheInstallDirectorysSettings)
{
    publishUpdater();
    serve(repo, "[Channel]\nalpha=http://updates.quendrail.invalid/\nalphaRevno=2\n[update]\nproxy=@SERVER@\nstreams=2\n",
          client);
    enableLogs();
    ASSERT_NO_FATAL_FAILURE(runSelfUpdate());
    EXPECT_TRUE(tree(client, {QStringLiteral("update"), QStringLiteral("update.ini")}) == tree(v2));

    QSettings kept(QDir(client).filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    EXPECT_EQ(kept.childGroups(), (QStringList{QStringLiteral("Channel"), QStringLiteral("update")}));
    EXPECT_EQ(kept.value(QStringLiteral("update/streams")).toInt(), 2);
    EXPECT_EQ(kept.value(QStringLiteral("Channel/alpha")).toString(), QStringLiteral("http://updates.quendrail.invalid/"));

    // Both steps asked the proxy for the alpha host: the updater's files,
    // then the client's.
    const QList<QByteArray> requests = server.readAllStandardError().trimmed().split('\n');
    for (const QByteArray& line : requests)
        EXPECT_TRUE(line.startsWith("GET http://updates.quendrail.invalid/2/")) << line.constData();
    const auto requested = [&](const char* name) {
        return std::any_of(requests.begin(), requests.end(), [&](const QByteArray& line) { return line.contains(name); });
    };
    EXPECT_TRUE(requested("/2/update_linux_amd64.ini._lzma2_"));
    EXPECT_TRUE(requested("/2/qnd_client_linux_amd64.ini._lzma2_"));
    // Each step read the same settings, and says so in its log.
    ASSERT_TRUE(waitFor([&] {
        const QMap<QString, QByteArray> l = logs();
        return l.size() == 2 && l.last().contains("Update successfully finished");
    }, 60000)) << logs().keys().join(QLatin1Char(' ')).toStdString();
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
    ASSERT_TRUE(runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), repo + QStringLiteral("/2"),
                                                    repo + QStringLiteral("/3")}));
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
    EXPECT_FALSE(fileBytes(mark()).contains("version"));
}

} // namespace
