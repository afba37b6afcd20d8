#include "processtools.h"

#include "configuration.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

void ProcessTools::startQndClient(const QString& dir)
{
    qDebug() << "startQndClient";
    startQndClient_linux(dir + QLatin1Char('/') + Configuration::clientRunScriptName(), dir);
}

void ProcessTools::startQndClient_linux(const QString& path, const QString& dir)
{
    qDebug() << "starting " << path;
    // The updater closes whatever happens; a failed start is only noted.
    if (!QProcess::startDetached(path, QStringList(), dir))
        qDebug() << "Failed to start" << path;
}

bool ProcessTools::startClientUpdater(const QString& dir, const QStringList& arguments, QString* error)
{
    qDebug() << "startClientUpdater" << dir << arguments;
    QString why;
    const bool started = startNewUpdater_linux(dir, arguments, &why);
    if (error)
        *error = why;
    return started;
}

bool ProcessTools::startNewUpdater_linux(const QString& dir, const QStringList& arguments, QString* error)
{
    const QString path = dir + QStringLiteral("/update");
    qDebug() << "startNewUpdater_linux" << path;
    if (!QFile::exists(path)) {
        qDebug() << "Failed to find" << path;
        *error = QStringLiteral("Could not start the new updater %1: it does not exist").arg(path);
        return false;
    }
    qDebug() << "starting" << path;
    QProcess process;
    process.setProgram(path);
    process.setArguments(arguments);
    process.setWorkingDirectory(dir);
    // The child reports a failed exec back before this returns.
    if (process.startDetached())
        return true;
    qDebug() << "Failed to start" << path << process.errorString();
    *error = QStringLiteral("Could not start the new updater %1: %2").arg(path, process.errorString());
    return false;
}
