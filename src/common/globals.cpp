#include "globals.h"

#include <QCoreApplication>

QString updateBaseUrl;

const QStringList executableFileNames = {
    QStringLiteral("qndclient_linux_x86"),    QStringLiteral("qndclient_linux_amd64"),
    QStringLiteral("qndclient_runscript.sh"), QStringLiteral("update"),
    QStringLiteral("error_report"),           QStringLiteral("package_inst"),
    QStringLiteral("QtWebEngineProcess")};

const QStringList executableSuffixes = {QStringLiteral("so"), QStringLiteral("so.0"), QStringLiteral("so.1"),
                                        QStringLiteral("so.4"), QStringLiteral("so.5")};

const QString logTimestampFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz");

const QString forceUpdateFileNames[2] = {QStringLiteral("qnd_force_update"), QStringLiteral("qnd_force_update_check")};

QObject* mainWindowInstance = nullptr;

QString applicationDirPath()
{
    return QCoreApplication::applicationDirPath();
}
