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

bool ProcessTools::startClientUpdater(const QString& dir, const QStringList& arguments)
{
    qDebug() << "startClientUpdater" << dir << arguments;
    return startNewUpdater_linux(dir, arguments);
}

bool ProcessTools::startNewUpdater_linux(const QString& dir, const QStringList& arguments)
{
    const QString path = dir + QStringLiteral("/update");
    qDebug() << "startNewUpdater_linux" << path;
    if (!QFile::exists(path)) {
        qDebug() << "Failed to find" << path;
        return false;
    }
    qDebug() << "starting" << path;
    if (QProcess::startDetached(path, arguments, dir))
        return true;
    qDebug() << "Failed to start" << path;
    return false;
}
