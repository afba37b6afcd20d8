// Runs one update session like the updater does, without a window: the same
// command line, "update.ini" files, engine and task tree. Placed in a client
// directory it updates that directory (the install directory is the program's
// own). Prints every engine message on stdout and ends with
//   0 when the session finished (after starting the client's run script, as
//     the updater does), 3 when it failed or was cancelled,
//   1 for a command line or configuration error, 2 for an engine error,
//   4 when another updater holds the installation, 5 when its lock is unusable.
// A test tool for end-to-end runs whose failures must be observed.
#include "configuration.h"
#include "installlock.h"
#include "updateinidata.h"
#include "processtools.h"
#include "updateengine.h"
#include "updateversions.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    // Like the updater, no session without the installation's lock.
    InstallLock lock;
    switch (lock.acquire(UpdateIniData::installDirForRun())) {
    case InstallLock::Held: break;
    case InstallLock::Busy: std::printf("busy: another updater works on this installation\n"); return 4;
    case InstallLock::Failed: std::printf("fatal: %s\n", qPrintable(lock.errorString())); return 5;
    }
    Configuration config;
    QObject::connect(&config, &Configuration::fatalError, &app, [](const QString& text) {
        std::printf("fatal: %s\n", qPrintable(text));
        std::fflush(stdout);
        QCoreApplication::exit(1);
    });
    if (!config.parseCommandLineOptions()) {
        std::printf("fatal: cannot parse the command line\n");
        return 1;
    }

    UpdateEngine engine(&config, nullptr);
    QObject::connect(&engine, &UpdateEngine::message, &app, [](const QString& text) {
        std::printf("message: %s\n", qPrintable(text));
        std::fflush(stdout);
    });
    QObject::connect(&engine, &UpdateEngine::error, &app, [](const QString& text) {
        std::printf("error: %s\n", qPrintable(text));
        std::fflush(stdout);
    });
    QObject::connect(&engine, &UpdateEngine::fatalError, &app, [](const QString& text) {
        std::printf("fatal: %s\n", qPrintable(text));
        std::fflush(stdout);
        QCoreApplication::exit(2);
    });
    QObject::connect(&engine, &UpdateEngine::updateFinished, &app, [&config] {
        ProcessTools::startQndClient(config.m_InstallDir);
        std::printf("session: finished\n");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, &app, [] {
        std::printf("session: cancelled\n");
        std::fflush(stdout);
        QCoreApplication::exit(3);
    });

    auto start = [&] {
        if (!engine.initialize() || !engine.startUpdate()) {
            std::printf("fatal: the session did not start\n");
            std::fflush(stdout);
            QCoreApplication::exit(2);
        }
    };
    // Without a version on the command line the configuration asks the
    // version server first and becomes ready later.
    if (config.m_Ready)
        QTimer::singleShot(0, &app, start);
    else
        QObject::connect(&config, &Configuration::ready, &app, start);
    return app.exec();
}
