#include "productininames.h"

#include "configuration.h"

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
