// The window needs a QApplication, so this program brings its own main; the
// linker then leaves the shared QCoreApplication main in its archive.
#include "mainwindow.h"

#include "configuration.h"
#include "globals.h"
#include "singleinstancechecker.h"
#include "support/appinilock.h"
#include "support/scopedtmpdir.h"
#include "support/qtmessages.h"
#include "support/testfiles.h"
#include "support/waitfor.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <sys/stat.h>

namespace {

// Answers every message box that opens with the given button and records
// what it said, after running onBox (when set) while the box is open. A short
// poll drives the boxes' nested loops.
class BoxAnswerer
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok) : m_Answer(answer)
    {
        QObject::connect(&m_Timer, &QTimer::timeout, [this]() {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            titles << box->windowTitle();
            texts << box->text();
            formats << box->textFormat();
            if (onBox)
                onBox();
            if (QAbstractButton* b = box->button(m_Answer))
                b->click();
            else
                box->reject();
        });
        m_Timer.start(5);
    }
    void setAnswer(QMessageBox::StandardButton answer) { m_Answer = answer; }

    QStringList titles;
    QStringList texts;
    QList<Qt::TextFormat> formats;
    std::function<void()> onBox;

private:
    QMessageBox::StandardButton m_Answer;
    QTimer m_Timer;
};

template <typename T> T* child(QWidget& window, const char* name)
{
    T* w = window.findChild<T*>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

bool writeRecorderScript(const QString& path, const QString& outFile)
{
    return writeScript(path, "printf '%s\\n' \"$@\" > '" + QFile::encodeName(outFile) + "'");
}

class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        // The engine reads the application directory's "update.ini", which
        // other test programs of this directory write (an invalid proxy there
        // would open a fatal box nobody answers).
        ASSERT_TRUE(lockAppIni());
        tmpDir = std::make_unique<ScopedTmpDir>(tmp.path());
        window = std::make_unique<MainWindow>(&config);
    }
    bool lockAppIni()
    {
        if (!appLock)
            appLock = ::lockAppIni(applicationDirPath());
        return appLock != nullptr;
    }
    void TearDown() override
    {
        window.reset();
        drainEvents();
    }

    std::unique_ptr<QLockFile> appLock;
    QTemporaryDir tmp;
    std::unique_ptr<ScopedTmpDir> tmpDir;
    Configuration config;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, FormShowsImagesProgressAndHidesDetailsUntilAsked)
{
    EXPECT_EQ(window->objectName(), QStringLiteral("MainWindow"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quendrail 3 Client Update"));
    EXPECT_EQ(mainWindowInstance, window.get());

    auto* bar = child<QProgressBar>(*window, "totalProgressBar");
    auto* details = child<QTextEdit>(*window, "outputTextEdit");
    auto* button = child<QPushButton>(*window, "detailsButton");
    auto* logo = child<QLabel>(*window, "quendrailLabel");
    auto* banner = child<QLabel>(*window, "banner");
    auto* header = child<QLabel>(*window, "versionLabel");
    auto* footer = child<QLabel>(*window, "footerLabel");
    ASSERT_TRUE(bar && details && button && logo && banner && header && footer);

    EXPECT_EQ(bar->maximum(), 1000);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(details->isReadOnly());
    EXPECT_TRUE(button->isCheckable());
    EXPECT_EQ(button->text(), QStringLiteral("Details"));
    EXPECT_EQ(footer->text(),
              QStringLiteral("<span style=\"font-size:small\">Quendrail 3 &middot; <a "
                             "href=\"https://www.quendrail.example/\">quendrail.example</a></span>"));
    EXPECT_TRUE(footer->openExternalLinks());
    EXPECT_FALSE(logo->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_FALSE(banner->pixmap(Qt::ReturnByValue).isNull());

    window->updateVersionLabel();
    window->show();
    EXPECT_TRUE(logo->isVisible());
    EXPECT_FALSE(details->isVisible());
    EXPECT_EQ(logo->maximumHeight(), header->height());
    EXPECT_EQ(logo->maximumWidth(), header->height());

    window.reset();
    EXPECT_EQ(mainWindowInstance, nullptr);
}

// Catches what QDesktopServices would hand to the desktop.
class UrlCatcher : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened << url; }

public:
    QList<QUrl> opened;
};

TEST_F(MainWindowTest, LogoAndBannerOpenTheWebAddressOnAnyButton)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    window->show();
    auto* logo = child<QLabel>(*window, "quendrailLabel");
    auto* banner = child<QLabel>(*window, "banner");
    ASSERT_TRUE(logo && banner);
    QTest::mouseClick(banner, Qt::LeftButton);
    QTest::mouseClick(logo, Qt::RightButton);
    QTest::mouseClick(banner, Qt::MiddleButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(catcher.opened.size(), 3);
    EXPECT_EQ(catcher.opened[0].host(), QStringLiteral("www.quendrail.example"));
    EXPECT_EQ(catcher.opened[1], catcher.opened[0]);
    EXPECT_EQ(catcher.opened[2], catcher.opened[0]);
}

TEST_F(MainWindowTest, HeaderNamesVersionChannelAndStep)
{
    struct Row
    {
        QString versionText;
        int channel;
        int kind;
        QString expected;
    };
    const QString channelDiv =
        QStringLiteral("<div style=\"margin-top:0.2em\">You are currently on <strong>%1 channel</strong>.</div>");
    const QString stepDiv = QStringLiteral("<div style=\"margin-top:0.2em;font-style:italic\">%1</div>");
    const QString one = QStringLiteral("Step one: Updating updater");
    const QString two = QStringLiteral("Step two: Updating Quendrail client");
    const Row rows[] = {
        {QStringLiteral("3.1.4"), 0, 1,
         QStringLiteral("<div style=\"font-weight:bold;font-size:large\">Update to Quendrail 3.1.4</div>")
             + channelDiv.arg(QStringLiteral("Stable")) + stepDiv.arg(two)},
        {QString(), 1, 0, channelDiv.arg(QStringLiteral("Beta")) + stepDiv.arg(one)},
        {QString(), 2, 1, channelDiv.arg(QStringLiteral("Alpha")) + stepDiv.arg(two)},
        {QString(), 7, 0, channelDiv.arg(QString()) + stepDiv.arg(one)},
        // The version text may come from the unauthenticated version reply:
        // whatever it holds is shown as it stands.
        {QStringLiteral("<span style=\"color:red\">Fake</span> <a href=\"x\">&amp;</a>"), 0, 1,
         QStringLiteral("<div style=\"font-weight:bold;font-size:large\">Update to Quendrail &lt;span "
                        "style=&quot;color:red&quot;&gt;Fake&lt;/span&gt; &lt;a href=&quot;x&quot;&gt;&amp;amp;"
                        "&lt;/a&gt;</div>")
             + channelDiv.arg(QStringLiteral("Stable")) + stepDiv.arg(two)},
    };
    auto* header = child<QLabel>(*window, "versionLabel");
    ASSERT_TRUE(header);
    for (const Row& row : rows) {
        config.m_VersionText = row.versionText;
        config.m_Channel = row.channel;
        config.m_ClientUpdate = row.kind;
        window->updateVersionLabel();
        EXPECT_EQ(header->text(), row.expected) << row.channel;
    }
}

TEST_F(MainWindowTest, ProgressShowsThousandthsAndIgnoresOverflow)
{
    auto* bar = child<QProgressBar>(*window, "totalProgressBar");
    ASSERT_TRUE(bar);
    const struct
    {
        qreal frac;
        int shown;
    } rows[] = {{0.4567, 456}, {0.0, 0}, {0.9999, 999}, {1.0, 1000}, {0.5, 500}, {1.2, 500}};
    for (const auto& row : rows) {
        emit window->engine()->updateProgress(row.frac);
        EXPECT_EQ(bar->value(), row.shown) << row.frac;
    }
}

TEST_F(MainWindowTest, OnlyABareHashFromAnotherInstanceActivatesTheWindow)
{
    window->show();
    QWidget other;
    other.show();
    auto* checker = window->findChild<SingleInstanceChecker*>();
    ASSERT_NE(checker, nullptr);
    for (const char* text : {"# ", " #", "##", "", "x"}) {
        other.activateWindow();
        ASSERT_TRUE(waitFor([&]() { return QApplication::activeWindow() == &other; }));
        emit checker->otherInstanceActivate(QString::fromLatin1(text));
        drainEvents();
        EXPECT_EQ(QApplication::activeWindow(), &other) << text;
    }
    emit checker->otherInstanceActivate(QStringLiteral("#"));
    EXPECT_TRUE(waitFor([&]() { return QApplication::activeWindow() == window.get(); }));
}

// Every line shows from its start, the newest line stays in view, and texts
// from servers and inis are shown as they stand, never as markup.
TEST_F(MainWindowTest, DetailsButtonShowsTheNewestLines)
{
    window->show();
    auto* details = child<QTextEdit>(*window, "outputTextEdit");
    auto* button = child<QPushButton>(*window, "detailsButton");
    ASSERT_TRUE(details && button);
    const QString wide = QStringLiteral(" %1").arg(QString(300, QLatin1Char('w')));
    for (int i = 0; i < 60; ++i)
        emit window->engine()->message(QStringLiteral("line %1").arg(i) + wide);
    const QString markup = QStringLiteral("<b>Downloading</b> <a href=\"x\">x</a> &amp;");
    emit window->engine()->message(markup);
    EXPECT_TRUE(details->toPlainText().endsWith(QStringLiteral("line 59") + wide + QLatin1Char('\n') + markup));
    button->click();
    drainEvents();
    EXPECT_TRUE(details->isVisible());
    QScrollBar* scroll = details->verticalScrollBar();
    QScrollBar* sideways = details->horizontalScrollBar();
    EXPECT_GT(scroll->maximum(), 0);
    EXPECT_EQ(scroll->value(), scroll->maximum());
    EXPECT_GT(sideways->maximum(), 0);
    EXPECT_EQ(sideways->value(), sideways->minimum());

    // While shown, the view follows each new line.
    for (int i = 60; i < 70; ++i) {
        emit window->engine()->message(QStringLiteral("line %1").arg(i) + wide + wide);
        drainEvents();
        EXPECT_EQ(scroll->value(), scroll->maximum()) << i;
        EXPECT_EQ(sideways->value(), sideways->minimum()) << i;
    }
    button->click();
    EXPECT_FALSE(details->isVisible());
}

TEST_F(MainWindowTest, EngineErrorIsListedAtOnceAndBoxedOnlyAfterTheReporterReturned)
{
    auto* details = child<QTextEdit>(*window, "outputTextEdit");
    ASSERT_TRUE(details);
    BoxAnswerer answerer;
    // A box opened inside the emit would run its nested loop under the
    // reporting task, which the session may release meanwhile.
    const QString text = QStringLiteral("Download failed: <h1 style=\"color:red\">x</h1>");
    emit window->engine()->error(text);
    EXPECT_TRUE(answerer.texts.isEmpty());
    EXPECT_EQ(details->toPlainText(), text);
    ASSERT_TRUE(waitFor([&]() { return !answerer.texts.isEmpty(); }));
    EXPECT_EQ(answerer.titles, QStringList{QStringLiteral("Error")});
    EXPECT_EQ(answerer.texts, QStringList{text});
    EXPECT_EQ(answerer.formats, QList<Qt::TextFormat>{Qt::PlainText});
}

TEST_F(MainWindowTest, FatalErrorsEndTheLoopWithTheirCodeAfterTheBox)
{
    const struct
    {
        bool fromEngine;
        int code;
    } rows[] = {{true, 2}, {false, 1}};
    for (const auto& row : rows) {
        BoxAnswerer answerer;
        QTimer::singleShot(0, window.get(), [&]() {
            if (row.fromEngine)
                emit window->engine()->fatalError(QStringLiteral("fatal text"));
            else
                emit config.fatalError(QStringLiteral("fatal text"));
        });
        EXPECT_EQ(QApplication::exec(), row.code);
        EXPECT_EQ(answerer.titles, QStringList{QStringLiteral("Error")});
        EXPECT_EQ(answerer.texts, QStringList{QStringLiteral("fatal text")});
        EXPECT_EQ(answerer.formats, QList<Qt::TextFormat>{Qt::PlainText});
    }
}

TEST_F(MainWindowTest, CancelListsTheNoticeResetsTheBarAndOpensOneBox)
{
    auto* details = child<QTextEdit>(*window, "outputTextEdit");
    auto* bar = child<QProgressBar>(*window, "totalProgressBar");
    ASSERT_TRUE(details && bar);
    emit window->engine()->updateProgress(0.3);
    BoxAnswerer answerer;
    emit window->engine()->updateCanceled();
    emit window->engine()->updateCanceled();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(details->toPlainText(), QStringLiteral("Update cancelled\nUpdate cancelled"));
    ASSERT_TRUE(waitFor([&]() { return !answerer.texts.isEmpty(); }));
    drainEvents();
    EXPECT_EQ(answerer.titles, QStringList{QStringLiteral("Update")});
    EXPECT_EQ(answerer.texts, QStringList{QStringLiteral("Update cancelled. Push \"Details\" to check reasons.")});
}

TEST_F(MainWindowTest, ForceUpdateMarkersGoOnlyInAnUpdaterRun)
{
    for (int kind : {1, 0}) {
        for (const QString& name : forceUpdateFileNames)
            window->write_force_update_file(name);
        config.m_ClientUpdate = kind;
        window->delete_force_update_files();
        for (const QString& name : forceUpdateFileNames)
            EXPECT_EQ(QFileInfo::exists(tmp.filePath(name)), kind == 1) << name.toStdString() << kind;
    }
}

TEST_F(MainWindowTest, RebootRequestQuitsAndLeavesMarkersOnlyOnYes)
{
    for (QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
        BoxAnswerer answerer(answer);
        QTimer::singleShot(0, window.get(), &MainWindow::onRebootWithConfirmation);
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_EQ(answerer.titles, QStringList{QStringLiteral("Confirm reboot")});
        for (const QString& name : forceUpdateFileNames) {
            const QFileInfo marker(tmp.filePath(name));
            EXPECT_EQ(marker.exists(), answer == QMessageBox::Yes) << name.toStdString();
            if (marker.exists()) {
                EXPECT_EQ(marker.size(), 0);
            }
        }
    }
}

// The system temp directory is shared: what stands at a marker's name is
// never followed, and what cannot be our own empty file is reported.
TEST_F(MainWindowTest, MarkerIsOurOwnEmptyFileOrReportedInTheDetails)
{
    const QString victim = tmp.filePath(QStringLiteral("victim"));
    const QString marker = tmp.filePath(forceUpdateFileNames[0]);
    const struct
    {
        const char* label;
        std::function<bool()> plant;
        bool created;
    } rows[] = {
        {"LinkToAFile", [&] { return writeAll(victim, "precious") && QFile::link(victim, marker); }, true},
        {"LinkToNothing", [&] { return QFile::link(victim, marker); }, true},
        {"OldMarkerWithContent", [&] { return writeAll(marker, "stale"); }, true},
        {"Fifo", [&] { return ::mkfifo(QFile::encodeName(marker).constData(), 0600) == 0; }, false},
        // A directory in the marker's place cannot be opened as a file.
        {"Directory", [&] { return QDir(tmp.path()).mkdir(forceUpdateFileNames[0]); }, false},
    };
    auto* details = child<QTextEdit>(*window, "outputTextEdit");
    ASSERT_TRUE(details);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        QFile::remove(victim);
        QFile::remove(marker);
        QDir(marker).removeRecursively();
        details->clear();
        ASSERT_TRUE(row.plant());
        const bool hadVictim = QFileInfo::exists(victim);
        window->write_force_update_file(forceUpdateFileNames[0]);
        EXPECT_EQ(QFileInfo::exists(victim), hadVictim);
        if (hadVictim) {
            EXPECT_EQ(readAll(victim), "precious");
        }
        const QFileInfo info(marker);
        EXPECT_EQ(!info.isSymLink() && info.isFile() && info.size() == 0, row.created);
        EXPECT_EQ(details->toPlainText(),
                  row.created ? QString() : QStringLiteral("Failed to store force update notice"));
    }
}

TEST_F(MainWindowTest, FinishedSessionStartsTheNextProgramAndCloses)
{
    struct Row
    {
        int kind;
        QString versionText;
        QByteArray expectedArgs; // null: the client script, which gets none
    };
    const Row rows[] = {
        {0, QString(), "--clientupdate\nclient_linux_amd64\n1234\n#\n"},
        {0, QStringLiteral("3.2 beta"), "--clientupdate\nclient_linux_amd64\n1234\n3.2 beta\n"},
        {1, QStringLiteral("3.2"), QByteArray("\n")},
    };
    for (const Row& row : rows) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString out = dir.filePath(QStringLiteral("started.txt"));
        const QString program = row.kind == 0 ? QStringLiteral("update") : Configuration::clientRunScriptName();
        ASSERT_TRUE(writeRecorderScript(dir.filePath(program), out));
        config.m_ClientUpdate = row.kind;
        config.m_Version = 1234;
        config.m_VersionText = row.versionText;
        config.m_TempDir = dir.path();
        config.m_InstallDir = dir.path();
        window->show();
        emit window->engine()->updateFinished();
        EXPECT_TRUE(window->isVisible());
        ASSERT_TRUE(waitFor([&]() { return !window->isVisible(); }));
        ASSERT_TRUE(waitFor([&]() { return !readAll(out).isEmpty(); })) << row.kind;
        EXPECT_EQ(readAll(out), row.expectedArgs);
        // The finished flag blocks any later start.
        config.m_Ready = true;
        window->onStartUpdate();
        EXPECT_EQ(window->engine()->state(), UpdateEngine::PRE_INIT);
        window = std::make_unique<MainWindow>(&config);
    }
}

// A finished self-update whose new updater cannot be started has installed
// nothing: it says why once, as a failure, in the details and a box, and the
// program ends with a non-zero code once the box is closed.
TEST_F(MainWindowTest, NewUpdaterThatCannotStartEndsTheRunWithItsCause)
{
    const struct
    {
        const char* name;
        QByteArray program; // null: none
        const char* cause;
    } rows[] = {
        {"missing", QByteArray(), "does not exist"},
        {"an interpreter that is not there", "#!/nonexistent/interpreter\n", "Could not start the new updater "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        if (!row.program.isNull()) {
            ASSERT_TRUE(writeAll(dir.filePath(QStringLiteral("update")), row.program));
            ASSERT_TRUE(QFile::setPermissions(dir.filePath(QStringLiteral("update")),
                                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        config.m_ClientUpdate = 0;
        config.m_Version = 1234;
        config.m_TempDir = dir.path();
        config.m_InstallDir = dir.path();
        window = std::make_unique<MainWindow>(&config);
        window->show();
        QtMessageCapture messages;
        BoxAnswerer answerer;
        emit window->engine()->updateFinished();
        EXPECT_EQ(QApplication::exec(), 2);
        const QStringList failures = QtMessageCapture::find("warning", QStringLiteral("Update failed: "));
        ASSERT_EQ(failures.size(), 1) << QtMessageCapture::lines().join('\n').toStdString();
        EXPECT_TRUE(failures.first().contains(QLatin1String(row.cause))) << failures.first().toStdString();
        ASSERT_EQ(answerer.texts.size(), 1);
        EXPECT_TRUE(answerer.texts.first().contains(QLatin1String(row.cause)));
        EXPECT_TRUE(child<QTextEdit>(*window, "outputTextEdit")->toPlainText().contains(QLatin1String(row.cause)));
    }
}

// A temp directory on a mount where programs cannot run: the new updater is
// started from a copy of it in the installation, with its files and modes.
TEST_F(MainWindowTest, NewUpdaterOfANoexecTempDirectoryStartsFromTheInstallationsCopy)
{
    QTemporaryDir install, mount;
    ASSERT_TRUE(install.isValid() && mount.isValid());
    if (QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                           QStringLiteral("noexec"), QStringLiteral("tmpfs"), mount.path()})
        != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    struct Unmount
    {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path}); }
    } unmount{mount.path()};
    const QString out = install.filePath(QStringLiteral("started.txt"));
    ASSERT_TRUE(writeScript(mount.filePath(QStringLiteral("update")),
                            "printf '%s\\n' \"$PWD\" \"$@\" > '" + QFile::encodeName(out) + "'"));
    ASSERT_TRUE(writeAllMakingDirs(mount.filePath(QStringLiteral("translations/update_de.qm")), "qm"));
    ASSERT_TRUE(writeAll(mount.filePath(QStringLiteral("update.ini")), "[current]\nversion=1234\n"));
    // What stood at the copy's name before goes, without being followed.
    ASSERT_TRUE(QFile::link(install.filePath(QStringLiteral("elsewhere")), install.filePath(".qnd-updater")));
    config.m_ClientUpdate = 0;
    config.m_Version = 1234;
    config.m_TempDir = mount.path();
    config.m_InstallDir = install.path();
    window = std::make_unique<MainWindow>(&config);
    window->show();
    emit window->engine()->updateFinished();
    ASSERT_TRUE(waitFor([&]() { return !readAll(out).isEmpty(); }));
    const QString copy = install.filePath(QStringLiteral(".qnd-updater"));
    EXPECT_EQ(readAll(out), QFile::encodeName(copy) + "\n--clientupdate\nclient_linux_amd64\n1234\n#\n");
    EXPECT_EQ(readAll(copy + QStringLiteral("/translations/update_de.qm")), "qm");
    EXPECT_EQ(readAll(copy + QStringLiteral("/update.ini")), "[current]\nversion=1234\n");
    EXPECT_TRUE(QFileInfo(copy + QStringLiteral("/update")).isExecutable());
    EXPECT_FALSE(QFileInfo(copy).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(install.filePath(QStringLiteral("elsewhere"))));
}

TEST_F(MainWindowTest, RebootRequestStopsTheFinishedSessionFromStartingAnything)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("started.txt"));
    ASSERT_TRUE(writeRecorderScript(dir.filePath(QStringLiteral("update")), out));
    config.m_ClientUpdate = 0;
    config.m_TempDir = dir.path();
    {
        BoxAnswerer answerer(QMessageBox::No);
        QTimer::singleShot(0, window.get(), &MainWindow::onRebootWithConfirmation);
        QApplication::exec();
    }
    window->show();
    emit window->engine()->updateFinished();
    bool waited = false;
    QTimer::singleShot(1500, [&]() { waited = true; });
    ASSERT_TRUE(waitFor([&]() { return waited; }));
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(QFileInfo::exists(out));
}

TEST_F(MainWindowTest, StartWaitsForAReadyConfiguration)
{
    config.m_Ready = false;
    window->onStartUpdate();
    EXPECT_EQ(window->engine()->state(), UpdateEngine::PRE_INIT);
}

// A session that really runs: its first download goes to a server that never
// answers, so the session stays in progress while the window is closed.
class MainWindowSessionTest : public MainWindowTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lockAppIni());
        QFile::remove(UpdateIniData::iniPath());
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        QObject::connect(&server, &QTcpServer::newConnection, [this]() {
            while (QTcpSocket* s = server.nextPendingConnection())
                held << s; // kept open and silent
        });
        updateBaseUrl = QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort());
        MainWindowTest::SetUp();
        config.m_Ready = true;
        config.m_ClientUpdate = 1;
        config.m_Version = 77;
        config.m_ClientType = iniBaseName(1);
        config.m_InstallDir = tmp.filePath(QStringLiteral("install"));
        ASSERT_TRUE(QDir().mkpath(config.m_InstallDir));
    }
    void TearDown() override
    {
        MainWindowTest::TearDown();
        const QString record = UpdateIniData::iniPath();
        QFile::remove(record);
        updateBaseUrl.clear();
    }

    QTcpServer server;
    QList<QTcpSocket*> held;
};

// The delayed start may come while a fatal box is still open: it must not
// start a session (here one that would bypass the configured proxy).
TEST_F(MainWindowSessionTest, NoSessionStartsWhileAFatalErrorIsPending)
{
    window.reset();
    ASSERT_TRUE(writeAll(UpdateIniData::iniPath(), "[update]\nproxy=proxy:8080\n"));
    window = std::make_unique<MainWindow>(&config);
    window->show();
    window->onStartUpdate();
    BoxAnswerer answerer;
    answerer.onBox = [&]() {
        window->onStartUpdate();
        emit config.ready();
    };
    EXPECT_EQ(QApplication::exec(), 2);
    EXPECT_EQ(answerer.texts, QStringList{QStringLiteral("'proxy:8080' is an invalid proxy specification")});
    EXPECT_EQ(window->engine()->state(), UpdateEngine::PRE_INIT);
    EXPECT_TRUE(QDir(tmp.path()).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs).isEmpty());
    drainEvents();
    EXPECT_TRUE(held.isEmpty());
}

// A start that failed has said why; another attempt would only leave another
// temp directory and another box.
TEST_F(MainWindowSessionTest, FailedInitialisationIsNotRetried)
{
    QFile::remove(UpdateIniData::iniPath());
    ASSERT_TRUE(QDir().mkpath(UpdateIniData::iniPath())); // the record cannot be written
    BoxAnswerer answerer;
    window->show();
    window->onStartUpdate();
    window->onStartUpdate();
    emit config.ready();
    EXPECT_TRUE(waitFor([&]() { return !answerer.texts.isEmpty(); }));
    drainEvents();
    QDir(UpdateIniData::iniPath()).removeRecursively();
    EXPECT_EQ(answerer.texts,
              QStringList{QStringLiteral("Failed to write update.ini. The updater does not seem to have the required "
                                         "write permissions.")});
    EXPECT_EQ(window->engine()->state(), UpdateEngine::PRE_INIT);
    EXPECT_TRUE(QDir(tmp.path()).entryList({QStringLiteral("quendrail_temp_*")}, QDir::Dirs).isEmpty());
    EXPECT_TRUE(held.isEmpty());
}

TEST_F(MainWindowSessionTest, SessionStartsOnceWhateverCallsStart)
{
    window->show();
    emit config.ready();
    EXPECT_EQ(window->engine()->state(), UpdateEngine::RUNNING);
    ASSERT_TRUE(waitFor([&]() { return !held.isEmpty(); }));
    UpdateEngine* engine = window->engine();
    window->onStartUpdate();
    emit config.ready();
    EXPECT_EQ(engine->state(), UpdateEngine::RUNNING);
    EXPECT_EQ(window->engine(), engine);
}

TEST_F(MainWindowSessionTest, CloseDuringSessionAsksUntilYesThenQuitsWhenCancelled)
{
    window->show();
    window->onStartUpdate();
    ASSERT_EQ(window->engine()->state(), UpdateEngine::RUNNING);

    BoxAnswerer answerer(QMessageBox::No);
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->engine()->state(), UpdateEngine::RUNNING);
    window->close();
    EXPECT_EQ(answerer.titles, QStringList({QStringLiteral("Question"), QStringLiteral("Question")}));
    EXPECT_EQ(answerer.texts.value(0),
              QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));

    answerer.setAnswer(QMessageBox::Yes);
    QTimer::singleShot(0, window.get(), [&]() {
        window->close();
        // Asked once more; later attempts while the cancel runs are ignored.
        window->close();
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(answerer.titles.size(), 3);
    EXPECT_EQ(window->engine()->state(), UpdateEngine::CANCELED);
}

TEST_F(MainWindowSessionTest, YesAfterTheSessionEndedDuringTheQuestionStillQuits)
{
    window->show();
    window->onStartUpdate();
    ASSERT_EQ(window->engine()->state(), UpdateEngine::RUNNING);
    UpdateEngine* engine = window->engine();

    // While the question is open the session fails on its own; the answer
    // comes only after that, when no cancel is left to report back.
    QStringList seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (box->windowTitle() != QLatin1String("Question")) {
            seen << box->windowTitle();
            box->button(QMessageBox::Ok)->click();
        } else if (engine->state() == UpdateEngine::RUNNING) {
            engine->cancelUpdate();
        } else if (engine->state() == UpdateEngine::PRE_INIT) {
            seen << box->windowTitle();
            box->button(QMessageBox::Yes)->click();
        }
    });
    poll.start(5);
    QTimer::singleShot(0, window.get(), [&]() { window->close(); });
    QTimer::singleShot(60000, []() { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(seen.contains(QStringLiteral("Question")));
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // Windows closed by the tests must not end anything.
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}

#include "mainwindow_test.moc"
