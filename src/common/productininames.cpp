#include "productininames.h"

QString iniBaseName(int targetKind)
{
    return QString::fromLatin1(targetKind != 0 ? "client" : "update") + QStringLiteral("_linux_amd64");
}

QString productIniFileName(int targetKind)
{
    return (targetKind == 1 ? QStringLiteral("qnd_") : QString()) + iniBaseName(targetKind) + QStringLiteral(".ini");
}

bool isReservedClientName(const QString& relativeName)
{
    return relativeName == updaterProgramName || relativeName.startsWith(updaterProgramName + QLatin1Char('/'))
        || relativeName == sessionRecordName || relativeName == installLockFileName || relativeName == replaceFolderName
        || relativeName.startsWith(replaceFolderName + QLatin1Char('/')) || relativeName == newUpdaterFolderName
        || relativeName.startsWith(newUpdaterFolderName + QLatin1Char('/'));
}
