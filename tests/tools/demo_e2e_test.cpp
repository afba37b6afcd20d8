// Whole update sessions against a signed repository on a local HTTP server:
// version 1 of the demo client is installed, version 2 is published with
// patches against it, and a session (the windowless session driver, or the
// updater program itself) updates the installation. A repository with a
// tampered file must fail the session and leave version 1 untouched.
#include "publisher.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "support/childprocess.h"
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

    // Serves the repository and points the alpha channel of the config
    // directory's "update.ini" at it, with version 2 as the alpha revision.
    void serveRepository()
    {
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start(QStringLiteral(QND_TEST_HTTPD), {repo});
        ASSERT_TRUE(server.waitForStarted(20000));
        ASSERT_TRUE(waitFor([&] { return server.canReadLine(); }, 30000));
        const QByteArray line = server.readLine().trimmed();
        ASSERT_TRUE(line.startsWith("port ")) << line.constData();
        QFile ini(QDir(config).filePath(QStringLiteral("update.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write("[Channel]\nalpha=http://127.0.0.1:" + line.mid(5) + "/\nalphaRevno=2\n");
    }

    // Copies program into the client directory (its install directory is its
    // own) and runs it for a client update to version 2.
    int runSession(const QString& program, QByteArray* output)
    {
        const QString installed = QDir(client).filePath(QFileInfo(program).fileName());
        QFile::remove(installed);
        if (!QFile::copy(program, installed))
            return -100;
        QProcess p;
        p.setProcessEnvironment(demoEnvironment(config, tmp, home, dir.filePath(QStringLiteral("client-ran.txt"))));
        p.setWorkingDirectory(client);
        p.start(installed, {QStringLiteral("--clientupdate"), QStringLiteral("client_linux_amd64"),
                            QStringLiteral("2")});
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
        {"client/data/map.bin._lzma2_", "Signature check failed for"},
        {"client/data/news.txt.gz", "Signature check failed for"},
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

// An updater run: the installed updater fetches its own product ini, builds
// the new updater in the session's temp directory and starts it, and that one
// carries the same session on with the client update and starts the client.
TEST_F(DemoUpdateTest, UpdaterRunUpdatesItselfThenTheClient)
{
    const QString updater = QStringLiteral(QND_UPDATER);
    const QString u1 = dir.filePath(QStringLiteral("u1")), u2 = dir.filePath(QStringLiteral("u2"));
    ASSERT_TRUE(QDir().mkpath(u1));
    ASSERT_TRUE(QDir().mkpath(u2));
    ASSERT_TRUE(QFile::copy(updater, u1 + QStringLiteral("/update")));
    ASSERT_TRUE(QFile::copy(updater, u2 + QStringLiteral("/update")));
    {
        // Trailing bytes leave the program runnable but make it a new version.
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

    serveRepository();
    QProcess p;
    const QString mark = dir.filePath(QStringLiteral("client-ran.txt"));
    p.setProcessEnvironment(demoEnvironment(config, tmp, home, mark));
    p.setWorkingDirectory(client);
    const QString installed = QDir(client).filePath(QStringLiteral("update"));
    ASSERT_TRUE(QFile::copy(updater, installed));
    p.start(installed, QStringList());
    ASSERT_TRUE(p.waitForFinished(300000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();

    // The new updater runs detached; the client it starts at the end says so.
    ASSERT_TRUE(waitFor([&] { return fileBytes(mark).contains("version 2"); }, 300000))
        << fileBytes(mark).constData();
    EXPECT_TRUE(tree(client, {QStringLiteral("update")}) == tree(v2));
}

} // namespace
