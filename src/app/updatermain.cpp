#include "updatermain.h"

#include "configuration.h"
#include "enginelog.h"
#include "handedoverlock.h"
#include "installlock.h"
#include "updateinidata.h"
#include "logfile.h"
#include "mainwindow.h"
#include "protobufhelper.h"
#include "singleinstancechecker.h"
#include "unfinishedsession.h"
#include "updateengine.h"
#include "updateversions.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QMetaType>
#include <QString>
#include <QTimer>
#include <QTranslator>

#include <memory>

namespace {

// How long the second step of a self-update waits for the first to end when
// the lock was not handed over; the first waits at most 25 s for it.
const int kStepTwoLockWaitMs = 30000;
// How often a lock file removed or replaced while held is taken back.
const int kReclaimIntervalMs = 1000;

} // namespace

int updaterMain(int argc, char* argv[])
{
    // First of all, before any file is opened: the numbers handed over must
    // still name what the first step of a self-update left open in us.
    HandedOverLock::takeFromEnvironment();
    protobufHelperInit();
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    // Made before the handler is installed and before the application, so
    // that messages from the application's construction are logged.
    LogFile* logFile = LogFile::instance();
    qInstallMessageHandler(logMessageHandler);
    forwardEngineLog();

    auto app = std::make_unique<QApplication>(argc, argv);
    const QString appDir = QCoreApplication::applicationDirPath();
    qDebug() << "Quendrail updater started";

    // Left-overs of older installations, removed before the instance check
    // as start-up always did: only "_old_" copies and Qt 4 libraries in the
    // application directory and its Qt folders, never anything a session
    // works with, so a second start cannot disturb a running session here.
    UpdateEngine::removeQt4Files(appDir);
    UpdateEngine::removeOldFiles(appDir);
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/old"));
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/accessible"));
    UpdateEngine::removeOldFiles(appDir + QStringLiteral("/sqldrivers"));
    // Succeeds only when the directory is empty, which is all we want.
    QDir().rmdir(appDir + QStringLiteral("/old"));
    qDebug() << "Removing old files done";

    // From here on nothing of the installation is touched without its lock,
    // which is held until the program ends (or hands over to a new updater).
    auto lock = std::make_unique<InstallLock>();
    const QString installDir = UpdateIniData::installDirForRun();
    // Only the second step of a self-update of this installation, started
    // from the session's folder, was handed the lock; it waits for the
    // first step to end rather than give up.
    const bool stepTwo = QCoreApplication::arguments().value(1) == QLatin1String("--clientupdate")
        && !InstallLock::sameDirectory(installDir, appDir);
    InstallLock::Result locked =
        stepTwo ? lock->acquireAsStepTwo(installDir, kStepTwoLockWaitMs) : lock->acquire(installDir);
    if (!stepTwo && locked == InstallLock::Held && sessionRunsWithoutLock(*lock)) {
        qWarning() << "The installation lock was removed while an updater runs; leaving its session alone";
        lock->release();
        locked = InstallLock::Busy;
    }
    switch (locked) {
    case InstallLock::Held: break;
    case InstallLock::Busy:
        // A running updater of another user cannot hold this user's file,
        // so whoever holds it is ours: ask it to come to the front.
        if (SingleInstanceChecker::sendMessage(QStringLiteral("#")))
            qDebug() << "Detected other instance running, aborting";
        else
            qDebug() << "Another updater works on this installation, aborting";
        app.reset();
        return 0;
    case InstallLock::Failed:
        // Also on stderr: there is no window yet to show it in.
        qCritical().noquote() << lock->errorString();
        app.reset();
        return 1;
    }
    // In every phase, the start delay and the version query included, not
    // only while a session runs.
    QTimer reclaimTimer;
    QObject::connect(&reclaimTimer, &QTimer::timeout, [&lock]() { lock->reclaim(); });
    reclaimTimer.start(kReclaimIntervalMs);
    auto checker = std::make_unique<SingleInstanceChecker>();
    // Before any network access: a session cut short by a crash is undone
    // whether or not the server can be reached now.
    recoverUnfinishedSession(*lock);

    const QString locale = QLocale::system().name();
    // A missing file leaves the translator empty, which translates nothing.
    auto updaterTranslator = std::make_unique<QTranslator>();
    updaterTranslator->load(appDir + QStringLiteral("/translations/update_") + locale);
    QCoreApplication::installTranslator(updaterTranslator.get());
    auto qtTranslator = std::make_unique<QTranslator>();
    qtTranslator->load(appDir + QStringLiteral("/translations/qt_") + locale);
    QCoreApplication::installTranslator(qtTranslator.get());

    auto configuration = std::make_unique<Configuration>();
    auto window = std::make_unique<MainWindow>(configuration.get(), checker.release());

    int rc = 0;
    if (configuration->parseCommandLineOptions()) {
        // The configuration's ready() may start the session earlier; the
        // window ignores every start after the first.
        QTimer::singleShot(2000, window.get(), &MainWindow::onStartUpdate);
        window->updateVersionLabel();
        window->show();
        window->delete_force_update_files();
        rc = QApplication::exec();
        if (logFile->m_OutFile)
            logFile->close();
        protobufHelperShutdown();
    } else {
        qWarning() << "Failed to parse command line options, aborting";
        rc = 1;
    }

    reclaimTimer.stop();
    window.reset();
    configuration.reset();
    qtTranslator.reset();
    updaterTranslator.reset();
    app.reset();
    lock.reset();
    return rc;
}
