#include "configuration.h"
#include "globals.h"
#include "httpdownloader.h"
#include "localhttpserver.h"
#include "versionreply.h"
#include "waitfor.h"
#include "support/appinilock.h"
#include "support/qtmessages.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

using Reply = LocalHttpServer::Reply;
using IniValues = std::vector<std::pair<QString, QVariant>>;

void writeIni(const QString& path, const IniValues& values)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSettings settings(path, QSettings::IniFormat);
    for (const auto& v : values)
        settings.setValue(v.first, v.second);
    settings.sync();
}

// Every test runs with its own configuration directory, temp path and home,
// and the version query routed to a local server through http_proxy, so no
// lookup ever leaves the machine. The application directory's "update.ini" is
// shared by every test program of this directory: a lock file serialises them.
class ConfigurationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qRegisterMetaType<UpdateVersions>("UpdateVersions");
        // The lock every test program of this directory takes for that file.
        appLock = lockAppIni(applicationDirPath());
        ASSERT_TRUE(appLock);
        QFile::remove(appIni());
        ASSERT_TRUE(root.isValid());
        QDir(root.path()).mkpath("tmp");
        QDir(root.path()).mkpath("home");
        configDir = root.path() + "/config";
        env.push_back(std::make_unique<ScopedEnv>("QND_CONFIG_DIR", configDir.toLocal8Bit()));
        env.push_back(std::make_unique<ScopedEnv>("TMPDIR", (root.path() + "/tmp").toLocal8Bit()));
        env.push_back(std::make_unique<ScopedEnv>("HOME", (root.path() + "/home").toLocal8Bit()));
        ASSERT_TRUE(server.listen());
        env.push_back(std::make_unique<ScopedEnv>("http_proxy", server.baseUrl().toLatin1()));
        server.setReply(
            "/qnd-client-2",
            Reply::withBody(versionsReply(
                {{"stable", 1000, "3.0.0"}, {"beta", 1010, "3.1.0-beta"}, {"alpha", 1020, "3.2.0-alpha"}})));
        updateBaseUrl.clear();
    }
    void TearDown() override
    {
        EXPECT_TRUE(waitFor([] {
            drainEvents();
            return HTTPDownloader::instances() == 0;
        }));
        QFile::remove(appIni());
        env.clear();
        if (appLock)
            appLock->unlock();
    }
    static QString appIni() { return applicationDirPath() + "/update.ini"; }
    QString configIni() const { return configDir + "/update.ini"; }

    QTemporaryDir root;
    QString configDir;
    LocalHttpServer server;
    std::unique_ptr<QLockFile> appLock;
    std::vector<std::unique_ptr<ScopedEnv>> env;
};

struct CommandLineCase
{
    const char* name;
    QStringList args; // after the program name
    bool parses;
    int clientUpdate;
    QString clientType;
    int version; // right after parsing
    QString versionText;
    bool queries;  // a version query starts (then it answers stable 1000)
    QString fatal; // expected fatalError text, empty for none
};

void PrintTo(const CommandLineCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<CommandLineCase> commandLineCases()
{
    const QString upd = "update_linux_amd64";
    const QString cli = "client_linux_amd64";
    return {
        {"Nothing", {}, true, 0, upd, 0, "", true, ""},
        {"NoUser", {"--nouser"}, true, 0, upd, 0, "", true, ""},
        {"NoUserOneIgnored", {"--nouser", "x"}, true, 0, upd, 0, "", true, ""},
        {"ClientUpdate", {"--clientupdate"}, true, 1, cli, 0, "", true, ""},
        {"ClientUpdateOneIgnored", {"--clientupdate", "x"}, true, 1, cli, 0, "", true, ""},
        {"NoUserTypeVersionText", {"--nouser", "T", "5", "X"}, true, 0, "T", 5, "X", false, ""},
        {"ClientUpdateHashText", {"--clientupdate", cli, "1234", "#"}, true, 1, cli, 1234, "", false, ""},
        {"ClientUpdateNoText", {"--clientupdate", "T", "7"}, true, 1, "T", 7, "", false, ""},
        {"ClientUpdateExtraIgnored", {"--clientupdate", "T", "7", "X", "Y"}, true, 1, "T", 7, "X", false, ""},
        {"Bare", {"T", "9"}, true, 0, "T", 9, "", false, ""},
        {"BareUnknownOption", {"--other", "1"}, true, 0, "--other", 1, "", false, ""},
        {"KeywordIsCaseSensitive", {"--ClientUpdate", "T", "7"}, true, 0, upd, 0, "", true, ""},
        {"ThreeBareIgnored", {"a", "b", "c"}, true, 0, upd, 0, "", true, ""},
        {"BareLetters",
         {"client_linux_amd64", "abc"},
         false,
         0,
         "client_linux_amd64",
         0,
         "",
         false,
         "Invalid version nr (abc)"},
        {"KeywordLetters", {"--clientupdate", "T", "12abc"}, false, 1, "T", 0, "", false, "Invalid version nr (12abc)"},
        {"BareZero", {"T", "0"}, false, 0, "T", 0, "", false, "Invalid version nr (0)"},
        {"KeywordNegative", {"--nouser", "T", "-5"}, false, 0, "T", 0, "", false, "Invalid version nr (-5)"},
        {"BareHash", {"T", "#"}, false, 0, "T", 0, "", false, "Invalid version nr (#)"},
    };
}

class ConfigurationCommandLine : public ConfigurationTest, public ::testing::WithParamInterface<CommandLineCase>
{};

TEST_P(ConfigurationCommandLine, SetsTargetVersionAndReadiness)
{
    const CommandLineCase& c = GetParam();
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QSignalSpy ready(&config, &Configuration::ready);
    EXPECT_EQ(config.parseCommandLineOptions(QStringList{"update"} + c.args), c.parses);
    EXPECT_EQ(config.m_ClientUpdate, c.clientUpdate);
    EXPECT_EQ(config.m_ClientType, c.clientType);
    EXPECT_EQ(config.m_Version, c.version);
    EXPECT_EQ(config.m_VersionText, c.versionText);
    EXPECT_EQ(config.m_Channel, 0);
    EXPECT_TRUE(updateBaseUrl.startsWith("http://"));
    EXPECT_TRUE(updateBaseUrl.endsWith("/updater-images/client/"));
    if (!c.fatal.isEmpty()) {
        ASSERT_EQ(fatal.count(), 1);
        EXPECT_EQ(fatal[0][0].toString(), c.fatal);
        EXPECT_FALSE(config.m_Ready);
        EXPECT_EQ(HTTPDownloader::instances(), 0);
        return;
    }
    EXPECT_EQ(fatal.count(), 0);
    if (!c.queries) {
        // Known at once: ready without asking anyone.
        EXPECT_TRUE(config.m_Ready);
        EXPECT_EQ(HTTPDownloader::instances(), 0);
        drainEvents();
        EXPECT_EQ(server.requests().size(), 0);
        return;
    }
    // Not ready until the server has answered; then the stable entry.
    EXPECT_FALSE(config.m_Ready);
    ASSERT_TRUE(ready.wait(20000));
    EXPECT_EQ(ready.count(), 1);
    EXPECT_TRUE(config.m_Ready);
    EXPECT_EQ(config.m_Version, 1000);
    EXPECT_EQ(config.m_VersionText, "3.0.0");
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_TRUE(server.requests()[0].absoluteForm);
    EXPECT_EQ(server.requests()[0].path, QByteArray("/qnd-client-2"));
}

INSTANTIATE_TEST_SUITE_P(Arguments, ConfigurationCommandLine, ::testing::ValuesIn(commandLineCases()),
                         [](const ::testing::TestParamInfo<CommandLineCase>& info) {
                             return std::string(info.param.name);
                         });

struct ChannelCase
{
    const char* name;
    IniValues configIni; // empty: no file
    IniValues appIni;    // empty: no file
    QStringList args;
    int channel;
    QString baseUrl; // "default" for the updater-images endpoint
    int version;     // final target version
    QString versionText;
    bool queries;
    const char* warned = nullptr; // a warning that names what could not be read
};

void PrintTo(const ChannelCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<ChannelCase> channelCases()
{
    const QString alphaUrl = "http://127.0.0.1:9/alpha";
    return {
        {"NoIniStable", {}, {}, {}, 0, "default", 1000, "3.0.0", true},
        {"AlphaRevnoWinsOverCommandLine",
         {{"Channel/alpha", alphaUrl}, {"Channel/alphaRevno", 500}},
         {},
         {"T", "600"},
         2,
         alphaUrl + "/",
         500,
         "",
         false},
        {"AlphaRevnoWinsOverKeywordForm",
         {{"Channel/alpha", alphaUrl + "/"}, {"Channel/alphaRevno", 500}},
         {},
         {"--clientupdate", "T", "600", "v"},
         2,
         alphaUrl + "/",
         500,
         "v",
         false},
        {"AlphaWithoutRevnoAsksForAlpha",
         {{"Channel/alpha", alphaUrl}},
         {},
         {},
         2,
         alphaUrl + "/",
         1020,
         "3.2.0-alpha",
         true},
        {"AlphaNegativeRevnoIsNoVersion",
         {{"Channel/alpha", alphaUrl}, {"Channel/alphaRevno", -3}},
         {},
         {"T", "600"},
         2,
         alphaUrl + "/",
         600,
         "",
         false},
        {"AlphaLettersRevnoIsNoVersion",
         {{"Channel/alpha", alphaUrl}, {"Channel/alphaRevno", "abc"}},
         {},
         {},
         2,
         alphaUrl + "/",
         1020,
         "3.2.0-alpha",
         true,
         "Could not read alphaRevno abc in "},
        {"LowerBeta", {{"Channel/beta", true}}, {}, {}, 1, "default", 1010, "3.1.0-beta", true},
        {"UpperBetaWhenLowerFalse",
         {{"Channel/beta", false}, {"Channel/Beta", true}},
         {},
         {},
         1,
         "default",
         1010,
         "3.1.0-beta",
         true},
        {"BetaFalseBoth",
         {{"Channel/beta", false}, {"Channel/Beta", false}},
         {},
         {},
         0,
         "default",
         1000,
         "3.0.0",
         true},
        {"AppIniUsedWithoutConfigIni", {}, {{"Channel/Beta", true}}, {"T", "3"}, 1, "default", 3, "", false},
        {"ConfigIniHidesAppChannel",
         {{"update/streams", 2}},
         {{"Channel/alpha", alphaUrl}, {"Channel/alphaRevno", 500}},
         {},
         0,
         "default",
         1000,
         "3.0.0",
         true},
    };
}

class ConfigurationChannel : public ConfigurationTest, public ::testing::WithParamInterface<ChannelCase>
{};

TEST_P(ConfigurationChannel, PicksChannelUrlAndVersion)
{
    const ChannelCase& c = GetParam();
    if (!c.configIni.empty())
        writeIni(configIni(), c.configIni);
    if (!c.appIni.empty())
        writeIni(appIni(), c.appIni);
    QtMessageCapture log;
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QSignalSpy ready(&config, &Configuration::ready);
    ASSERT_TRUE(config.parseCommandLineOptions(QStringList{"update"} + c.args));
    EXPECT_EQ(config.m_Channel, c.channel);
    if (c.warned) {
        EXPECT_EQ(log.find("warning", QString::fromLatin1(c.warned)).size(), 1) << log.lines().join('\n').toStdString();
    }
    if (c.baseUrl == "default") {
        EXPECT_TRUE(updateBaseUrl.endsWith("/updater-images/client/")) << updateBaseUrl.toStdString();
    } else {
        EXPECT_EQ(updateBaseUrl, c.baseUrl);
    }
    if (c.queries) {
        ASSERT_TRUE(ready.wait(20000));
    }
    EXPECT_TRUE(config.m_Ready);
    EXPECT_EQ(config.m_Version, c.version);
    EXPECT_EQ(config.m_VersionText, c.versionText);
    EXPECT_EQ(server.requests().size(), c.queries ? 1 : 0);
    EXPECT_EQ(fatal.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(UpdateIni, ConfigurationChannel, ::testing::ValuesIn(channelCases()),
                         [](const ::testing::TestParamInfo<ChannelCase>& info) {
                             return std::string(info.param.name);
                         });

// A channel URL that the downloads cannot use stops the start with a text
// that says so, before any query or session.
TEST_F(ConfigurationTest, ChannelUrlOfAnotherSchemeFailsTheStart)
{
    for (const QString& url : {QStringLiteral("file:///srv/updates"), QStringLiteral("ftp://127.0.0.1/alpha/")}) {
        writeIni(configIni(), {{"Channel/alpha", url}});
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        EXPECT_FALSE(config.parseCommandLineOptions({"update", "--clientupdate"})) << url.toStdString();
        ASSERT_EQ(fatal.count(), 1);
        EXPECT_EQ(fatal[0][0].toString(),
                  QStringLiteral("The channel URL '%1' in %2 is not supported: only http and "
                                 "https URLs are")
                      .arg(url, configIni()));
        EXPECT_FALSE(config.m_Ready);
        EXPECT_EQ(HTTPDownloader::instances(), 0);
    }
}

TEST_F(ConfigurationTest, ConfigDirGetsOneTrailingSeparatorOrFallsBackToHome)
{
    Configuration config;
    for (const QString& value : {configDir, configDir + "/"}) {
        ScopedEnv dir("QND_CONFIG_DIR", value.toLocal8Bit());
        EXPECT_EQ(config.getConfigDir(), configDir + "/");
        EXPECT_EQ(config.getConfigDir() + "update.ini", configDir + "/update.ini");
    }
    {
        ScopedEnv dir("QND_CONFIG_DIR", "");
        EXPECT_EQ(config.getConfigDir(), root.path() + "/home/.qndclient/");
    }
    qunsetenv("QND_CONFIG_DIR");
    EXPECT_EQ(config.getConfigDir(), root.path() + "/home/.qndclient/");

    // The home fallback is where the channel is read from.
    writeIni(root.path() + "/home/.qndclient/update.ini", {{"Channel/Beta", true}});
    config.parseCommandLineOptions({"update", "T", "4"});
    EXPECT_EQ(config.m_Channel, 1);
}

// Translates only what is asked for under the "QObject" context, where the
// configuration's texts live, and marks it.
class QObjectContextTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* source, const char* /*disambiguation*/, int /*n*/) const override
    {
        return qstrcmp(context, "QObject") == 0 ? QStringLiteral("[tr] ") + QString::fromUtf8(source) : QString();
    }
    bool isEmpty() const override { return false; }
};

struct QueryOutcomeCase
{
    const char* name;
    int channel; // 0 stable, 1 beta via "update.ini"
    std::function<Reply()> reply;
    QString fatal; // expected fatalError text; empty when the run quits or becomes ready
    bool quits;    // the failed-query path: the event loop ends with 0
    // What the failed query's last line says after "Update failed: ".
    const char* cause = nullptr;
};

void PrintTo(const QueryOutcomeCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConfigurationQuery : public ConfigurationTest, public ::testing::WithParamInterface<QueryOutcomeCase>
{};

// Runs the application's own event loop, as the updater does: the failed-query
// path ends it with code 0 through QCoreApplication::quit(); a fatal error or
// readiness end it here with 5 or 6. (QCoreApplication::exec, unlike a local
// loop, leaves the application able to run loops again afterwards.)
TEST_P(ConfigurationQuery, EndsInQuitFatalErrorOrReady)
{
    const QueryOutcomeCase& c = GetParam();
    if (c.channel == 1)
        writeIni(configIni(), {{"Channel/beta", true}});
    server.setReply("/qnd-client-2", c.reply());
    QObjectContextTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QObject::connect(
        &config, &Configuration::fatalError, &config, [] { QCoreApplication::exit(5); }, Qt::QueuedConnection);
    QObject::connect(
        &config, &Configuration::ready, &config, [] { QCoreApplication::exit(6); }, Qt::QueuedConnection);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    limit.start(20000);
    ASSERT_TRUE(config.parseCommandLineOptions({"update"}));
    QtMessageCapture log;
    const int rc = QCoreApplication::exec();
    QCoreApplication::removeTranslator(&translator);
    // A failed query ends with one line saying why, a fatal error with its own.
    const QStringList failed = log.find("warning", "Update failed");
    ASSERT_EQ(failed.size(), c.quits ? 1 : 0) << log.lines().join('\n').toStdString();
    if (c.quits) {
        EXPECT_TRUE(failed.first().startsWith("warning: Update failed: ")) << failed.first().toStdString();
        EXPECT_TRUE(failed.first().contains(QLatin1String(c.cause))) << failed.first().toStdString();
        EXPECT_EQ(log.lines().filter("warning: ").last(), failed.first());
    }
    if (c.quits) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(fatal.count(), 0);
    } else if (!c.fatal.isEmpty()) {
        EXPECT_EQ(rc, 5);
        ASSERT_EQ(fatal.count(), 1);
        EXPECT_EQ(fatal[0][0].toString(), "[tr] " + c.fatal);
    } else {
        EXPECT_EQ(rc, 6);
    }
    EXPECT_EQ(config.m_Ready, rc == 6);
    if (rc != 6) {
        EXPECT_EQ(config.m_Version, 0); // never a session for version 0
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ConfigurationQuery,
    ::testing::Values(
        QueryOutcomeCase{
            "BetaAnswer", 1,
            [] {
                return Reply::withBody(versionsReply({{"stable", 1000, "3.0.0"}, {"beta", 1010, "3.1.0-beta"}}));
            },
            "", false},
        QueryOutcomeCase{"NotFound", 0, [] { return Reply::withBody("gone", 404); }, "", true, "Not Found"},
        QueryOutcomeCase{"EmptyBody", 0, [] { return Reply::withBody(""); }, "", true,
                         "Version reply of 0 bytes is unreadable, code 2"},
        QueryOutcomeCase{"ClosedWithoutAnswer", 0,
                         [] {
                             Reply r;
                             r.closeBeforeHeaders = true;
                             return r;
                         },
                         "", true, "/qnd-client-2 failed: "},
        QueryOutcomeCase{"NoChannel", 0, [] { return Reply::withBody(versionsReply({})); }, "", true,
                         "names no channel"},
        QueryOutcomeCase{"ChannelMissing", 1,
                         [] {
                             return Reply::withBody(versionsReply({{"stable", 1000, "3.0.0"}}));
                         },
                         "Update server returned no version", false},
        QueryOutcomeCase{"ZeroVersion", 0,
                         [] {
                             return Reply::withBody(versionsReply({{"stable", 0, "none"}}));
                         },
                         "Update server returned invalid version nr (0)", false},
        QueryOutcomeCase{"NegativeVersion", 0,
                         [] {
                             return Reply::withBody(versionsReply({{"stable", -7, "neg"}}));
                         },
                         "Update server returned invalid version nr (-7)", false}),
    [](const ::testing::TestParamInfo<QueryOutcomeCase>& info) { return std::string(info.param.name); });

TEST_F(ConfigurationTest, UpdateSettingsFallBackToSixStreamsAndStayWithinOneToSix)
{
    const struct
    {
        QVariant streams; // invalid: key absent
        int expected;
    } rows[] = {{QVariant(), 6}, {0, 6}, {-3, 6}, {"abc", 6}, {2, 2}, {1, 1}, {6, 6}, {7, 6}, {"12", 6}};
    for (const auto& row : rows) {
        QFile::remove(appIni());
        IniValues values{{"update/proxy", "http://127.0.0.1:3128"}};
        if (row.streams.isValid())
            values.push_back({"update/streams", row.streams});
        writeIni(appIni(), values);
        // The configuration directory's file never supplies these settings.
        writeIni(configIni(), {{"update/streams", 9}, {"update/proxy", "http://elsewhere.invalid"}});
        Configuration config;
        config.readUpdateSettings();
        EXPECT_EQ(config.m_Streams, row.expected) << row.streams.toString().toStdString();
        EXPECT_EQ(config.m_Proxy, "http://127.0.0.1:3128");
    }
    QFile::remove(appIni());
    Configuration config;
    config.readUpdateSettings();
    EXPECT_EQ(config.m_Streams, 6);
    EXPECT_TRUE(config.m_Proxy.isEmpty());
}

// A new session's directory is a fresh private name among those someone
// else took beforehand (the first thousand numbers, a file, a dangling link
// that must not be followed into creating its target); every call draws
// another, and the names stay within what the session record accepts.
TEST_F(ConfigurationTest, TempDirTakesAFreshNumberPrivately)
{
    const QString tmp = root.path() + "/tmp/";
    QStringList taken;
    for (int i = 0; i < 1000; ++i) {
        taken << tmp + "quendrail_temp_" + QString::number(i);
        ASSERT_TRUE(QDir().mkdir(taken.last()));
    }
    QFile file(tmp + "quendrail_temp_1000");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(QFile::link(root.path() + "/elsewhere", tmp + "quendrail_temp_1001"));

    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QStringList made;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(config.initalizeStart(QString(), QString()));
        made << config.m_TempDir;
        SCOPED_TRACE(config.m_TempDir.toStdString());
        EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(tmp) + "quendrail_temp_[0-9]{1,9}$")
                        .match(config.m_TempDir)
                        .hasMatch());
        EXPECT_FALSE(taken.contains(config.m_TempDir));
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(config.m_TempDir).constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    made.removeDuplicates();
    EXPECT_EQ(made.size(), 3);
    EXPECT_EQ(config.m_InstallDir, applicationDirPath());
    EXPECT_FALSE(QFileInfo::exists(root.path() + "/elsewhere"));

    // Given directories are taken as they are.
    ASSERT_TRUE(config.initalizeStart("/given/temp", "/given/install"));
    EXPECT_EQ(config.m_TempDir, "/given/temp");
    EXPECT_EQ(config.m_InstallDir, "/given/install");
    EXPECT_EQ(fatal.count(), 0);
}

// A temp path where no directory can be made (not writable for this user)
// gives up after a bounded number of names, with the system's message
// followed by a folder it tried and why it failed.
TEST_F(ConfigurationTest, TempDirGivesUpNamingTheFolderAndTheCause)
{
    const QString tmp = root.path() + "/tmp";
    ASSERT_EQ(::chmod(QFile::encodeName(tmp).constData(), 0500), 0);
    // Root writes anywhere: the attempt runs as nobody, in a child.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(10);
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        if (config.initalizeStart(QString(), QString()) || fatal.count() != 1)
            ::_exit(11);
        const QStringList lines = fatal[0][0].toString().split('\n');
        if (lines.size() != 2 || lines[0] != "Unable to create temp directory.")
            ::_exit(12);
        if (!lines[1].startsWith(tmp + "/quendrail_temp_") || !lines[1].endsWith(": Permission denied"))
            ::_exit(13);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot become nobody, 11: no single fatal error, 12: not the system's "
                                         "message first, 13: no folder and cause after it";
    ::chmod(QFile::encodeName(tmp).constData(), 0700);
}

// Sessions created at the same moment (two updaters, or two threads) never
// end up sharing a directory: the creation itself is exclusive.
TEST_F(ConfigurationTest, ConcurrentTempDirsAreAllDistinct)
{
    const int threads = 8;
    const int perThread = 20;
    std::vector<std::vector<QString>> made(threads);
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            Configuration config;
            for (int i = 0; i < perThread; ++i) {
                if (config.createTempDir())
                    made[t].push_back(config.m_TempDir);
                else
                    ++failures;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(failures.load(), 0);
    std::set<QString> distinct;
    for (const auto& list : made)
        distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), size_t(threads * perThread));
}

TEST_F(ConfigurationTest, NamesAndClientExecutableLookup)
{
    EXPECT_EQ(Configuration::clientRunScriptName(), "qndclient_runscript.sh");

    const QString dir = root.path() + "/install";
    QDir().mkpath(dir);
    EXPECT_FALSE(Configuration::findClientExecutable(QString()));
    EXPECT_FALSE(Configuration::findClientExecutable(dir));
    for (const char* name : {"qndclient_linux_amd64", "qndclient_linux_x86"}) {
        QFile f(dir + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.close();
        EXPECT_TRUE(Configuration::findClientExecutable(dir)) << name;
        QFile::remove(dir + "/" + name);
    }
}

} // namespace
