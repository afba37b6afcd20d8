#include "productininames.h"

QString iniBaseName(int targetKind)
{
    return QString::fromLatin1(targetKind != 0 ? "client" : "update") + QStringLiteral("_linux_amd64");
}

QString productIniFileName(int targetKind)
{
    return (targetKind == 1 ? QStringLiteral("qnd_") : QString()) + iniBaseName(targetKind) + QStringLiteral(".ini");
}

QStringList updaterOwnNames(int targetKind)
{
    QStringList names{sessionRecordName, replaceFolderName, installLockFileName, newUpdaterFolderName};
    if (targetKind == 1)
        names << updaterProgramName;
    return names;
}

bool isReservedClientName(const QString& relativeName)
{
    if (updaterOwnNames(1).contains(relativeName))
        return true;
    // The folders among them are the updater's with all they hold.
    for (const QLatin1String& folder : {updaterProgramName, replaceFolderName, newUpdaterFolderName}) {
        if (relativeName.startsWith(folder + QLatin1Char('/')))
            return true;
    }
    return false;
}
