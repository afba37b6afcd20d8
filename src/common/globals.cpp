#include "globals.h"

#include <QCoreApplication>

QString updateBaseUrl;

const QString logTimestampFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz");

const QString forceUpdateFileNames[2] = {QStringLiteral("qnd_force_update"), QStringLiteral("qnd_force_update_check")};

QObject* mainWindowInstance = nullptr;

QString applicationDirPath()
{
    return QCoreApplication::applicationDirPath();
}
