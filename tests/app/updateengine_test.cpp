#include "updateengine.h"

#include "configuration.h"
#include "crypt.h"
#include "globals.h"
#include "installlock.h"
#include "sessiontempdir.h"
#include "localhttpserver.h"
#include "maintaskspecification.h"
#include "updateinidata.h"
#include "waitfor.h"
#include "support/appinilock.h"
#include "support/testfiles.h"
#include "support/testsigning.h"
#include "support/scopedtmpdir.h"
#include "support/qtmessages.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The packer is the patch engine's; the application links it only privately.
#include "../../deps/deltapatch/src/lib/unpacklzmafile.h"

namespace {

const int kVersion = 7;
const QString kClientIni = QStringLiteral("qnd_client_linux_amd64.ini");

// A key the updater does not trust, made once per test program.
QByteArray signWithStrangerKey(const QByteArray& data)
{
    static const QString path = [] {
        static QTemporaryDir dir;
        const QString p = dir.filePath("stranger.der");
        crypt_key_holder key;
        crypt_make_key(key);
        crypt_export_key(key.get(), PK_PRIVATE, p.toStdString());
        return p;
    }();
    return signWithKeyFile(path, data);
}

// Everything the engine emits, in order, as "signal:text" lines.
class EngineLog
{
public:
    explicit EngineLog(UpdateEngine* engine)
    {
        QObject::connect(engine, &UpdateEngine::message, [this](const QString& m) { lines << "message:" + m; });
        QObject::connect(engine, &UpdateEngine::error, [this](const QString& m) { lines << "error:" + m; });
        QObject::connect(engine, &UpdateEngine::fatalError, [this](const QString& m) { lines << "fatal:" + m; });
        QObject::connect(engine, &UpdateEngine::updateFinished, [this] { lines << "finished"; });
        QObject::connect(engine, &UpdateEngine::updateCanceled, [this] { lines << "canceled"; });
        QObject::connect(engine, &UpdateEngine::downloadProgress,
                         [this](qulonglong d, qulonglong t, qulonglong s, bool on) {
                             lines << QStringLiteral("progress:%1/%2/%3/%4").arg(d).arg(t).arg(s).arg(on);
                         });
        QObject::connect(engine, &UpdateEngine::updateProgress, [this](qreal p) { lastProgress = p; });
    }
    bool ended() const { return lines.contains("finished") || lines.contains("canceled"); }
    int indexOf(const QString& line) const { return lines.indexOf(line); }

    QStringList lines;
    qreal lastProgress = -1;
};

// Each test owns a system temp path (TMPDIR) for its session directories, an
// install directory and a signed repository served on 127.0.0.1. The
// application directory's "update.ini" is shared by every test process of
// the app tests, hence the lock.
class UpdateEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        appIni = std::make_unique<CleanAppIni>(applicationDirPath());
        ASSERT_TRUE(appIni->isLocked());
        ASSERT_TRUE(root.isValid());
        tmpRoot = root.filePath("tmp");
        installDir = root.filePath("install");
        repoDir = root.filePath("repo");
        ASSERT_TRUE(QDir().mkpath(tmpRoot));
        ASSERT_TRUE(QDir().mkpath(installDir));
        ASSERT_TRUE(QDir().mkpath(repoDir));
        tmp = std::make_unique<ScopedTmpDir>(tmpRoot);
        ASSERT_TRUE(server.listen());
        server.setDocumentRoot(repoDir);
        updateBaseUrl = server.baseUrl() + "/";
        config.m_ClientUpdate = 1;
        config.m_Version = kVersion;
        config.m_ClientType = "qndclient";
    }
    void TearDown() override
    {
        engine.reset();
        drainEvents();
        tmp.reset();
        appIni.reset();
    }
    static void removeIni() { removeFileOrTree(UpdateIniData::iniPath()); }

    void writeUpdateSettings(const QString& proxy)
    {
        QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
        s.setValue("update/proxy", proxy);
        s.sync();
    }

    void makeEngine()
    {
        engine = std::make_unique<UpdateEngine>(&config, nullptr);
        log = std::make_unique<EngineLog>(engine.get());
    }

    // A directory made for a new session: a fresh name of the pattern the
    // record accepts, right in the temp path.
    bool isNewSessionDir(const QString& dir, const QString& previous = QString()) const
    {
        return dir != previous && QFileInfo(dir).absolutePath() == tmpRoot && SessionTempDir::isSessionTempDir(dir);
    }

    // A session temp directory as a previous run left it, with its record.
    QString previousSession(int version, const QString& name = "quendrail_temp_5")
    {
        const QString dir = tmpRoot + "/" + name;
        EXPECT_TRUE(QDir().mkpath(dir));
        EXPECT_TRUE(UpdateIniData::modify(version, dir, installDir, "qndclient"));
        return dir;
    }

    void publish(const QString& name, const QByteArray& data)
    {
        ASSERT_TRUE(writeAllMakingDirs(repoDir + "/" + QString::number(kVersion) + "/" + name, data));
    }

    // A product ini with one new file, fetched from "files/" and installed as "hello.txt".
    QByteArray productIni() const
    {
        return "[files]\nhello.txt=" + sha512Hex(helloBytes).toLatin1() + "::" + QByteArray::number(helloBytes.size())
            + "\n";
    }
    void publishRepository(const QByteArray& ini, const QByteArray& sig)
    {
        publish("files/hello.txt", helloBytes);
        publish(kClientIni + ".sig", sig);
        const QString plain = root.filePath("plain.ini");
        ASSERT_TRUE(writeAllMakingDirs(plain, ini));
        const QString packed = repoDir + "/" + QString::number(kVersion) + "/" + kClientIni + "._lzma2_";
        ASSERT_TRUE(deltapatch::GenerateLzmaFile(QFile::encodeName(plain).constData(),
                                                 QFile::encodeName(packed).constData(), false));
    }

    // initialize + startUpdate, then wait for the end of the session. The
    // install directory is ours, not the application directory.
    bool runSession()
    {
        if (!engine->initialize())
            return false;
        config.m_InstallDir = installDir;
        EXPECT_TRUE(engine->startUpdate());
        EXPECT_EQ(engine->state(), UpdateEngine::RUNNING);
        return waitFor([this] { return log->ended(); }, 60000);
    }

    std::unique_ptr<CleanAppIni> appIni;
    QTemporaryDir root;
    QString tmpRoot;
    QString installDir;
    QString repoDir;
    std::unique_ptr<ScopedTmpDir> tmp;
    LocalHttpServer server;
    Configuration config;
    std::unique_ptr<UpdateEngine> engine;
    std::unique_ptr<EngineLog> log;
    const QByteArray helloBytes = QByteArray("hello from version 7\n");
};

// ---- proxy setting ---------------------------------------------------------

struct ProxyRow
{
    const char* label;
    QString text;
    QNetworkProxy::ProxyType type;
    QString host;
    quint16 port;
    bool fatal;
    QString reason = QStringLiteral("is an invalid proxy specification"); // what a fatal row reports
};

class UpdateEngineProxyTest : public UpdateEngineTest, public ::testing::WithParamInterface<ProxyRow>
{};

TEST_P(UpdateEngineProxyTest, ProxyTextDecidesNetworkProxyOrFatalError)
{
    const ProxyRow& row = GetParam();
    writeUpdateSettings(row.text);
    makeEngine();
    // Reported only once the event loop runs: the window connects first.
    EXPECT_TRUE(log->lines.isEmpty());
    drainEvents();
    const QNetworkProxy proxy = engine->networkManager()->proxy();
    EXPECT_EQ(proxy.type(), row.type);
    if (row.type == QNetworkProxy::HttpProxy) {
        EXPECT_EQ(proxy.hostName(), row.host);
        EXPECT_EQ(proxy.port(), row.port);
        EXPECT_TRUE(proxy.user().isEmpty());
        EXPECT_TRUE(proxy.password().isEmpty());
    }
    if (row.fatal)
        EXPECT_EQ(log->lines, QStringList{"fatal:'" + row.text + "' " + row.reason});
    else
        EXPECT_TRUE(log->lines.isEmpty()) << log->lines.join("\n").toStdString();
    // No session may run without the proxy the user configured.
    EXPECT_EQ(engine->initialize(), !row.fatal);
    EXPECT_EQ(QDir(tmpRoot).entryList({"quendrail_temp_*"}, QDir::Dirs).isEmpty(), row.fatal);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdateEngineProxyTest,
    ::testing::Values(ProxyRow{"EmptyIsExplicitNoProxy", "", QNetworkProxy::NoProxy, "", 0, false},
                      ProxyRow{"UrlWithPort", "http://proxy.example:8080", QNetworkProxy::HttpProxy, "proxy.example",
                               8080, false},
                      ProxyRow{"UrlWithoutPortUses3128", "http://proxy.example", QNetworkProxy::HttpProxy,
                               "proxy.example", 3128, false},
                      ProxyRow{"BrokenIPv6HostIsInvalid", "http://[::1", QNetworkProxy::DefaultProxy, "", 0, true},
                      ProxyRow{"HostlessTextIsInvalid", "proxy:8080", QNetworkProxy::DefaultProxy, "", 0, true},
                      // Spoken to as an HTTP proxy, a SOCKS or TLS proxy would
                      // fail every request without saying why.
                      ProxyRow{"SocksIsRefused", "socks5://127.0.0.1:1080", QNetworkProxy::DefaultProxy, "", 0, true,
                               "names a socks5 proxy, which is not supported: only HTTP proxies are"},
                      ProxyRow{"HttpsIsRefused", "HTTPS://proxy.example", QNetworkProxy::DefaultProxy, "", 0, true,
                               "names a https proxy, which is not supported: only HTTP proxies are"}),
    [](const ::testing::TestParamInfo<ProxyRow>& info) { return std::string(info.param.label); });

// ---- initialize: the previous session record -------------------------------

TEST_F(UpdateEngineTest, InitializeWithoutRecordCreatesNewSessionAndWritesRecord)
{
    makeEngine();
    EXPECT_FALSE(engine->isInitialized());
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(engine->state(), UpdateEngine::POST_INIT);
    EXPECT_TRUE(engine->isInitialized());
    EXPECT_TRUE(log->lines.isEmpty()) << log->lines.join("\n").toStdString();
    EXPECT_TRUE(isNewSessionDir(config.m_TempDir)) << config.m_TempDir.toStdString();
    EXPECT_TRUE(QFileInfo(config.m_TempDir).isDir());
    EXPECT_EQ(config.m_InstallDir, applicationDirPath());

    int version = 0;
    QString type, dir, qnddir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, &qnddir));
    EXPECT_EQ(version, kVersion);
    EXPECT_EQ(dir, config.m_TempDir);
    EXPECT_EQ(qnddir, applicationDirPath());
    EXPECT_EQ(type, "qndclient");
}

TEST_F(UpdateEngineTest, RecordForSameVersionContinuesInItsDirectories)
{
    const QString dir = previousSession(kVersion);
    ASSERT_TRUE(writeAllMakingDirs(dir + "/fetched.bin", "kept"));
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(log->lines, QStringList{"message:Previous update session for v. 7 found"});
    EXPECT_EQ(config.m_TempDir, dir);
    EXPECT_EQ(config.m_InstallDir, installDir);
    EXPECT_EQ(readAll(dir + "/fetched.bin"), "kept");
}

TEST_F(UpdateEngineTest, RecordForOtherVersionRemovesThatSessionFirst)
{
    writeUpdateSettings("http://proxy.example:8080");
    const QString dir = previousSession(6);
    ASSERT_TRUE(writeAllMakingDirs(dir + "/sub/.hidden", "x"));
    ASSERT_TRUE(writeAllMakingDirs(dir + "/old.bin", "x"));
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(log->lines, (QStringList{"message:Cleanup previous session (v. 6, " + dir + ") files...", "message:Ok"}));
    EXPECT_FALSE(QFileInfo::exists(dir));
    EXPECT_TRUE(isNewSessionDir(config.m_TempDir)) << config.m_TempDir.toStdString();
    EXPECT_EQ(config.m_InstallDir, applicationDirPath());
    int version = 0;
    QString recorded;
    ASSERT_TRUE(UpdateIniData::get(&version, nullptr, &recorded, nullptr));
    EXPECT_EQ(version, kVersion);
    EXPECT_EQ(recorded, config.m_TempDir);
    EXPECT_EQ(QSettings(UpdateIniData::iniPath(), QSettings::IniFormat).value("update/proxy").toString(),
              "http://proxy.example:8080");
}

TEST_F(UpdateEngineTest, OldSessionHoldingALinkReportsFailedRemovalAndStillStartsFresh)
{
    const QString dir = previousSession(6, "quendrail_temp_0");
    const QString outside = root.filePath("outside.txt");
    ASSERT_TRUE(writeAllMakingDirs(outside, "not ours"));
    ASSERT_TRUE(QFile::link(outside, dir + "/link"));
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(log->lines.value(1), "message:Failed to remove directory");
    EXPECT_EQ(readAll(outside), "not ours");
    EXPECT_TRUE(isNewSessionDir(config.m_TempDir, dir)) << config.m_TempDir.toStdString();
    int version = 0;
    ASSERT_TRUE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    EXPECT_EQ(version, kVersion);
}

TEST_F(UpdateEngineTest, RejectedRecordIsNeitherContinuedNorCleanedAway)
{
    // A record pointing outside the system temp path is refused as a whole.
    const QString foreign = root.filePath("foreign");
    ASSERT_TRUE(writeAllMakingDirs(foreign + "/precious", "data"));
    ASSERT_TRUE(UpdateIniData::modify(6, foreign, installDir, "qndclient"));
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_TRUE(log->lines.isEmpty()) << log->lines.join("\n").toStdString();
    EXPECT_EQ(readAll(foreign + "/precious"), "data");
    EXPECT_TRUE(isNewSessionDir(config.m_TempDir)) << config.m_TempDir.toStdString();
}

// With the installation's lock held, the record's directory is continued or
// removed only when its mark names this installation: a directory whose
// name another installation's session took after ours went is neither, and
// one a live run holds is never removed. An older updater's unmarked one
// is continued and marked.
TEST_F(UpdateEngineTest, RecordedDirectoryIsContinuedOrRemovedOnlyWhenItIsThisInstallations)
{
    struct Row
    {
        const char* name;
        int version;
        const char* markedFor; // "ours", "other" or "" (no mark)
        bool live;
        bool continued, kept;
    };
    const Row rows[] = {
        {"ours, same version", kVersion, "ours", false, true, true},
        {"another installation's, same version", kVersion, "other", false, false, true},
        {"another installation's, live", kVersion, "other", true, false, true},
        {"ours, other version", 6, "ours", false, false, false},
        {"another installation's, other version", 6, "other", false, false, true},
        {"ours, other version, held by a live run", 6, "ours", true, false, true},
        {"an older updater's, same version", kVersion, "", false, true, true},
    };
    const QString appDir = applicationDirPath();
    InstallLock lock;
    ASSERT_EQ(lock.acquire(appDir), InstallLock::Held);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString dir = tmpRoot + "/quendrail_temp_5";
        ASSERT_TRUE(QDir(dir).removeRecursively());
        ASSERT_TRUE(writeAllMakingDirs(dir + "/fetched.bin", "kept"));
        if (QString(row.markedFor) == "ours") {
            ASSERT_TRUE(SessionTempDir::mark(dir, appDir));
        }
        if (QString(row.markedFor) == "other") {
            ASSERT_TRUE(SessionTempDir::mark(dir, installDir));
        }
        const int live = row.live ? ::open(QFile::encodeName(dir + "/.qnd-lock").constData(), O_RDONLY) : -1;
        if (row.live) {
            ASSERT_EQ(::flock(live, LOCK_SH), 0);
        }
        ASSERT_TRUE(UpdateIniData::modify(row.version, dir, appDir, "qndclient"));
        config.m_TempDir.clear();
        makeEngine();
        EXPECT_TRUE(engine->initialize()) << log->lines.join("\n").toStdString();
        EXPECT_EQ(config.m_TempDir == dir, row.continued) << config.m_TempDir.toStdString();
        EXPECT_EQ(readAllOrMissing(dir + "/fetched.bin") == "kept", row.kept);
        QString recorded;
        ASSERT_TRUE(UpdateIniData::get(nullptr, nullptr, &recorded, nullptr));
        EXPECT_EQ(recorded, config.m_TempDir);
        EXPECT_TRUE(InstallLock::sameDirectory(SessionTempDir::installationOf(config.m_TempDir), appDir));
        engine.reset();
        if (live >= 0)
            ::close(live);
        if (!row.continued)
            QDir(config.m_TempDir).removeRecursively();
    }
}

TEST_F(UpdateEngineTest, UnwritableRecordFailsInitializeWithPermissionError)
{
    ASSERT_TRUE(QDir().mkpath(UpdateIniData::iniPath()));
    makeEngine();
    QtMessageCapture messages;
    EXPECT_FALSE(engine->initialize());
    EXPECT_EQ(engine->state(), UpdateEngine::PRE_INIT);
    EXPECT_EQ(log->lines,
              QStringList{"error:Failed to write update.ini. The updater does not seem to have the "
                          "required write permissions."});
    EXPECT_EQ(messages.find("critical", "Failed to write update.ini.").size(), 1);
    EXPECT_EQ(messages.find("warning", "Failed to write to update.ini").size(), 1);
    // No session runs: the run ends as a failed session does.
    EXPECT_EQ(messages.find("warning", "Update failed"),
              QStringList{"warning: Update failed: Failed to write update.ini. The updater does not seem to have the "
                          "required write permissions."});
    // The directory made for the session that never was does not linger.
    EXPECT_TRUE(QDir(tmpRoot).entryList({"quendrail_temp_*"}, QDir::Dirs).isEmpty());
    EXPECT_FALSE(engine->startUpdate());
    EXPECT_EQ(engine->mainTask(), nullptr);
}

TEST_F(UpdateEngineTest, CallsOutOfOrderChangeNothing)
{
    makeEngine();
    EXPECT_FALSE(engine->startUpdate());
    engine->resetAfterCancel();
    engine->cancelUpdate();
    QMetaObject::invokeMethod(engine.get(), "onTimer");
    EXPECT_EQ(engine->state(), UpdateEngine::PRE_INIT);
    ASSERT_TRUE(engine->initialize());
    EXPECT_FALSE(engine->initialize());
    EXPECT_EQ(engine->state(), UpdateEngine::POST_INIT);
    EXPECT_TRUE(log->lines.isEmpty()) << log->lines.join("\n").toStdString();
}

// ---- whole sessions against the local server -------------------------------

TEST_F(UpdateEngineTest, ClientSessionInstallsFilesThenRemovesItsTemporaryFiles)
{
    const QByteArray ini = productIni();
    publishRepository(ini, signWithTestKey(ini));
    makeEngine();
    QtMessageCapture messages;
    ASSERT_TRUE(runSession()) << log->lines.join("\n").toStdString();

    EXPECT_EQ(engine->state(), UpdateEngine::FINISHED);
    EXPECT_EQ(readAll(installDir + "/hello.txt"), helloBytes);
    EXPECT_FALSE(QFileInfo::exists(config.m_TempDir));
    EXPECT_FALSE(QFileInfo::exists(UpdateIniData::iniPath()));
    // The log holds what the window showed, the outcome included.
    for (const QString& line : log->lines.filter(QRegularExpression("^message:")))
        EXPECT_FALSE(messages.find("info", line.mid(8)).isEmpty()) << line.toStdString();
    EXPECT_EQ(messages.find("info", "Update successfully finished").size(), 1);
    EXPECT_EQ(engine->mainTask(), nullptr);
    EXPECT_DOUBLE_EQ(log->lastProgress, 1.0);

    const QStringList& l = log->lines;
    EXPECT_EQ(l.value(0), "message:Starting update process for client");
    EXPECT_EQ(l.value(1), "message:Download / check product ini");
    EXPECT_EQ(l.mid(l.size() - 5),
              (QStringList{"message:Remove temporary files...", "message:Temporary files removed.",
                           "message:Update successfully finished", "progress:0/0/0/0", "finished"}));
    EXPECT_EQ(l.filter("error:").size(), 0) << l.join("\n").toStdString();
}

TEST_F(UpdateEngineTest, RefusedProductIniFailsWithoutAbortMessageAndNextRunRecovers)
{
    const QByteArray ini = productIni();
    publishRepository(ini, signWithStrangerKey(ini));
    makeEngine();
    QtMessageCapture messages;
    ASSERT_TRUE(runSession()) << log->lines.join("\n").toStdString();

    const QString temp = config.m_TempDir;
    const QStringList& l = log->lines;
    EXPECT_EQ(engine->state(), UpdateEngine::CANCELED);
    EXPECT_EQ(messages.find("warning", "Update failed"),
              QStringList{"warning: Update failed: Could not verify the product ini file. Aborting"});
    EXPECT_EQ(messages.find("warning", "Failed to verify product ini").size(), 1);
    EXPECT_TRUE(l.contains("message:Signature check failed for " + temp + "/" + kClientIni));
    EXPECT_TRUE(l.contains("message:Could not verify the product ini file. Aborting"));
    EXPECT_FALSE(l.contains("message:User aborted update"));
    EXPECT_EQ(l.mid(l.size() - 2), (QStringList{"progress:0/0/0/0", "canceled"}));
    EXPECT_FALSE(QFileInfo::exists(installDir + "/hello.txt"));
    // The session stays for the next run, but not the refused files.
    EXPECT_TRUE(QFileInfo(temp).isDir());
    EXPECT_FALSE(QFileInfo::exists(temp + "/" + kClientIni));
    EXPECT_FALSE(QFileInfo::exists(temp + "/" + kClientIni + ".sig"));
    int version = 0;
    ASSERT_TRUE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));

    // The publisher fixes the signature; the same session now succeeds.
    publish(kClientIni + ".sig", signWithTestKey(ini));
    engine->resetAfterCancel();
    EXPECT_EQ(engine->state(), UpdateEngine::PRE_INIT);
    log->lines.clear();
    ASSERT_TRUE(runSession()) << log->lines.join("\n").toStdString();
    EXPECT_EQ(log->lines.value(0), "message:Previous update session for v. 7 found");
    EXPECT_EQ(config.m_TempDir, temp);
    EXPECT_EQ(engine->state(), UpdateEngine::FINISHED);
    EXPECT_EQ(readAll(installDir + "/hello.txt"), helloBytes);
}

TEST_F(UpdateEngineTest, UserCancelReportsAbortAndKeepsSessionForNextRun)
{
    const QByteArray ini = productIni();
    publishRepository(ini, signWithTestKey(ini));
    LocalHttpServer::Reply stall;
    stall.stallBeforeHeaders = true;
    server.setReply("/7/" + kClientIni.toLatin1() + ".sig", stall);
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    config.m_InstallDir = installDir;
    ASSERT_TRUE(engine->startUpdate());
    ASSERT_TRUE(waitFor([this] { return server.requestCount("/7/" + kClientIni.toLatin1() + ".sig") == 1; }));

    // The poll reports the running download (the real timer may tick too).
    const int polled = log->lines.size();
    QMetaObject::invokeMethod(engine.get(), "onTimer");
    ASSERT_EQ(log->lines.size(), polled + 1);
    EXPECT_TRUE(log->lines.last().startsWith("progress:") && log->lines.last().endsWith("/1"))
        << log->lines.last().toStdString();

    QtMessageCapture messages;
    engine->cancelUpdate();
    ASSERT_TRUE(waitFor([this] { return log->ended(); }));
    const QStringList& l = log->lines;
    EXPECT_EQ(engine->state(), UpdateEngine::CANCELED);
    EXPECT_EQ(messages.find("warning", "Update cancelled by the user").size(), 1);
    EXPECT_TRUE(messages.find("warning", "Update failed").isEmpty());
    EXPECT_EQ(l.mid(l.size() - 3), (QStringList{"message:User aborted update", "progress:0/0/0/0", "canceled"}));
    EXPECT_TRUE(QFileInfo(config.m_TempDir).isDir());
    EXPECT_TRUE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
    // The poll is quiet once the session has ended.
    const int ended = l.size();
    QMetaObject::invokeMethod(engine.get(), "onTimer");
    drainEvents();
    EXPECT_EQ(l.size(), ended);
}

// Parallel downloads stopped by one cancel: the siblings of the first one
// stopped end cancelled as well, so the session is a cancel, not a failure.
TEST_F(UpdateEngineTest, UserCancelDuringParallelDownloadsIsNoFailure)
{
    const QByteArray second("second file\n");
    const QByteArray ini =
        productIni() + "second.txt=" + sha512Hex(second).toLatin1() + "::" + QByteArray::number(second.size()) + "\n";
    publishRepository(ini, signWithTestKey(ini));
    publish("files/second.txt", second);
    LocalHttpServer::Reply stall;
    stall.stallBeforeHeaders = true;
    server.setReply("/7/files/hello.txt", stall);
    server.setReply("/7/files/second.txt", stall);
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    config.m_InstallDir = installDir;
    ASSERT_TRUE(engine->startUpdate());
    ASSERT_TRUE(waitFor([this] {
        return server.requestCount("/7/files/hello.txt") == 1 && server.requestCount("/7/files/second.txt") == 1;
    }));

    QtMessageCapture messages;
    engine->cancelUpdate();
    ASSERT_TRUE(waitFor([this] { return log->ended(); }));
    EXPECT_EQ(engine->state(), UpdateEngine::CANCELED);
    EXPECT_TRUE(log->lines.contains("message:User aborted update")) << log->lines.join("\n").toStdString();
    EXPECT_TRUE(messages.find("warning", "Update failed").isEmpty()) << messages.lines().join('\n').toStdString();
    EXPECT_FALSE(QFileInfo::exists(installDir + "/hello.txt"));
}

TEST_F(UpdateEngineTest, EngineDroppedMidDownloadReleasesTaskTreeCleanly)
{
    const QByteArray ini = productIni();
    publishRepository(ini, signWithTestKey(ini));
    LocalHttpServer::Reply stall;
    stall.body = QByteArray(128, 's');
    stall.stallAfterBodyBytes = 10;
    server.setReply("/7/" + kClientIni.toLatin1() + ".sig", stall);
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    ASSERT_TRUE(engine->startUpdate());
    ASSERT_TRUE(waitFor([this] { return server.requestCount("/7/" + kClientIni.toLatin1() + ".sig") == 1; }));
    engine.reset();
    drainEvents();
    // Neither a session end nor anything else reaches the window from a
    // dying engine.
    EXPECT_FALSE(log->ended()) << log->lines.join("\n").toStdString();
    EXPECT_EQ(server.requestCount("/7/" + kClientIni.toLatin1() + ".sig"), 1);
}

TEST_F(UpdateEngineTest, UpdaterSessionAssemblesNewUpdaterInTempDirectoryAndKeepsIt)
{
    config.m_ClientUpdate = 0;
    const QString iniName = "update_linux_amd64.ini";
    const QByteArray program("#!/bin/sh\necho new updater\n");
    const QByteArray ini =
        "[files]\nupdate=" + sha512Hex(program).toLatin1() + "::" + QByteArray::number(program.size()) + "\n";
    publish("files/update", program);
    publish(iniName + ".sig", signWithTestKey(ini));
    const QString plain = root.filePath("plain.ini");
    ASSERT_TRUE(writeAllMakingDirs(plain, ini));
    ASSERT_TRUE(deltapatch::GenerateLzmaFile(
        QFile::encodeName(plain).constData(),
        QFile::encodeName(repoDir + "/" + QString::number(kVersion) + "/" + iniName + "._lzma2_").constData(), false));
    makeEngine();
    ASSERT_TRUE(runSession()) << log->lines.join("\n").toStdString();

    const QStringList& l = log->lines;
    EXPECT_EQ(engine->state(), UpdateEngine::FINISHED) << l.join("\n").toStdString();
    EXPECT_EQ(l.value(0), "message:Starting update process for updater");
    EXPECT_EQ(l.mid(l.size() - 4),
              (QStringList{"message:Removed temporary update.ini", "message:Update successfully finished",
                           "progress:0/0/0/0", "finished"}));
    const QString temp = config.m_TempDir;
    EXPECT_EQ(readAll(temp + "/update"), program);
    EXPECT_TRUE(QFileInfo(temp + "/update").isExecutable());
    // The new updater finds the session beside it; the installed one is untouched.
    QSettings record(temp + "/update.ini", QSettings::IniFormat);
    EXPECT_EQ(record.value("current/version").toInt(), kVersion);
    EXPECT_EQ(record.value("current/dir").toString(), temp);
    EXPECT_FALSE(QFileInfo::exists(UpdateIniData::iniPath()));
    EXPECT_FALSE(QFileInfo::exists(installDir + "/update"));
}

TEST_F(UpdateEngineTest, UpdaterRunKeepsTempDirectoryAndRemovesOnlyRecord)
{
    config.m_ClientUpdate = 0;
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    const QString temp = config.m_TempDir;
    ASSERT_TRUE(writeAllMakingDirs(temp + "/update", "new updater"));
    engine->cleanup();
    EXPECT_EQ(log->lines, QStringList{"message:Removed temporary update.ini"});
    EXPECT_FALSE(QFileInfo::exists(UpdateIniData::iniPath()));
    EXPECT_EQ(readAll(temp + "/update"), "new updater");
}

// The user's channel and update settings share the file with the session
// record; a finished session drops the record and nothing else.
TEST_F(UpdateEngineTest, CleanupKeepsTheUsersSettings)
{
    for (int kind : {0, 1}) {
        SCOPED_TRACE(kind);
        removeIni();
        {
            QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
            s.setValue("Channel/alpha", "http://alpha.example/");
            s.setValue("update/streams", 3);
        }
        config.m_ClientUpdate = kind;
        makeEngine();
        ASSERT_TRUE(engine->initialize());
        engine->cleanup();
        QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
        EXPECT_EQ(s.childGroups(), (QStringList{"Channel", "update"}));
        EXPECT_EQ(s.value("Channel/alpha").toString(), "http://alpha.example/");
        EXPECT_EQ(s.value("update/streams").toInt(), 3);
    }
}

TEST_F(UpdateEngineTest, UnknownTargetKindIsNeverCleanedLikeClientRun)
{
    config.m_ClientUpdate = 2;
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    const QString temp = config.m_TempDir;
    ASSERT_TRUE(writeAllMakingDirs(temp + "/update", "new updater"));
    engine->cleanup();
    EXPECT_EQ(readAll(temp + "/update"), "new updater");
}

TEST_F(UpdateEngineTest, ClientCleanupWithoutRecordStillReportsDone)
{
    makeEngine();
    engine->cleanup();
    EXPECT_EQ(log->lines, (QStringList{"message:Remove temporary files...", "message:Temporary files removed."}));
}

// ---- start-up and recursive clean-up helpers ------------------------------

TEST(UpdateEngineFiles, OldAndQt4FilesAreRemovedByExactNameOnly)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QStringList qt4 = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};
    QStringList old = {"update",         "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
                       "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
                       "libsqlite.so"};
    old += qt4;
    const QStringList bystanders = {"_old_other", "libQt5Core.so.5", "old_update", "_old_update.bak", "update"};
    for (const QString& n : old)
        ASSERT_TRUE(writeAllMakingDirs(root.filePath("_old_" + n), "x"));
    for (const QString& n : qt4 + bystanders)
        ASSERT_TRUE(writeAllMakingDirs(root.filePath(n), "x"));

    UpdateEngine::removeOldFiles(root.path());
    for (const QString& n : old)
        EXPECT_FALSE(QFileInfo::exists(root.filePath("_old_" + n))) << n.toStdString();
    for (const QString& n : qt4 + bystanders)
        EXPECT_TRUE(QFileInfo::exists(root.filePath(n))) << n.toStdString();

    UpdateEngine::removeQt4Files(root.path());
    for (const QString& n : qt4)
        EXPECT_FALSE(QFileInfo::exists(root.filePath(n))) << n.toStdString();
    EXPECT_EQ(QDir(root.path()).entryList(QDir::Files | QDir::NoDotAndDotDot), [&] {
        QStringList s = bystanders;
        s.sort();
        return s;
    }());
}

} // namespace
