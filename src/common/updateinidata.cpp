#include "updateinidata.h"

#include "configuration.h"
#include "globals.h"
#include "installlock.h"
#include "productininames.h"
#include "sessiontempdir.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace {

const char* const kRecordGroup = "current";
// The user's settings, which both steps of a self-update must read alike.
const char* const kSettingsGroups[] = {"Channel", "update"};

} // namespace

QString UpdateIniData::iniPath()
{
    return QDir(applicationDirPath()).absoluteFilePath(sessionRecordName);
}

bool UpdateIniData::get(int* version, QString* type, QString* dir, QString* qnddir)
{
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kRecordGroup));
    bool versionOk = false;
    const int readVersion = settings.value(QStringLiteral("version")).toInt(&versionOk);
    const QString readDir = settings.value(QStringLiteral("dir")).toString();
    const QString readQndDir = settings.value(QStringLiteral("qnddir")).toString();
    const QString readType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();

    qDebug() << "get" << iniPath() << readVersion << readDir << readQndDir << readType;

    if (!versionOk || readType.isEmpty() || readDir.isEmpty() || !QFile::exists(readDir))
        return false;
    if (!SessionTempDir::isSessionTempDir(readDir)) {
        qWarning() << "get: refusing session directory" << readDir;
        return false;
    }
    // The install directory becomes the target of every write of a continued
    // session; a relative one would depend on the working directory.
    if (!readQndDir.isEmpty() && QFileInfo(readQndDir).isRelative()) {
        qWarning() << "get: refusing relative install directory" << readQndDir;
        return false;
    }

    if (version)
        *version = readVersion;
    if (dir)
        *dir = readDir;
    if (qnddir)
        *qnddir = readQndDir;
    if (type)
        *type = readType;
    return true;
}

void UpdateIniData::recordedDirs(const QString& appDir, QString* dir, QString* qnddir)
{
    QSettings settings(QDir(appDir).filePath(sessionRecordName), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kRecordGroup));
    if (dir)
        *dir = settings.value(QStringLiteral("dir")).toString();
    if (qnddir)
        *qnddir = settings.value(QStringLiteral("qnddir")).toString();
}

QString UpdateIniData::installDirForRun()
{
    const QString appDir = applicationDirPath();
    QString dir, qnddir;
    recordedDirs(appDir, &dir, &qnddir);
    if (qnddir.isEmpty() || !QFileInfo(qnddir).isAbsolute())
        return appDir;
    // The new updater runs from its session's temp directory, which its
    // mark ties to the installation, or from the copy of it inside the
    // installation when that directory cannot run programs. A record that
    // only says so (damaged, or edited by hand) sends no run elsewhere.
    // Earlier releases left their temp directories unmarked; such a one is
    // known by its name.
    const QString mark = SessionTempDir::installationOf(appDir);
    const bool fromTempDir = InstallLock::sameDirectory(dir, appDir)
        && (mark.isEmpty() ? SessionTempDir::isName(QFileInfo(appDir).fileName())
                           : InstallLock::sameDirectory(mark, qnddir));
    const bool fromCopy = InstallLock::sameDirectory(QDir(qnddir).filePath(newUpdaterFolderName), appDir);
    if (fromTempDir || fromCopy)
        return qnddir;
    if (!InstallLock::sameDirectory(qnddir, appDir))
        qWarning() << "The session record beside the updater names the installation" << qnddir
                   << "; this updater works on its own," << appDir;
    return appDir;
}

bool UpdateIniData::modify(int version, const QString& dir, const QString& qnddir, const QString& type)
{
    qDebug() << "modify" << iniPath() << version << dir << qnddir << type;
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kRecordGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("qnddir"), qnddir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
    settings.sync();
    qDebug() << "UpdateiniData::modify write result" << settings.status();
    return settings.status() == QSettings::NoError;
}

bool UpdateIniData::modifyTempIni(const QString& path)
{
    const QString target = path + QLatin1Char('/') + sessionRecordName;
    qDebug() << "modifyTempIni" << target;

    int version = 0;
    QString dir;
    QString qnddir;
    if (!get(&version, nullptr, &dir, &qnddir)) {
        qWarning() << "Failed to read existing update.ini";
        return false;
    }
    QSettings settings(target, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kRecordGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("qnddir"), qnddir);
    // The new updater carries on with the client, whatever this run was.
    settings.setValue(QStringLiteral("type"), iniBaseName(1));
    settings.endGroup();
    QSettings source(iniPath(), QSettings::IniFormat);
    for (const char* group : kSettingsGroups) {
        source.beginGroup(QLatin1String(group));
        const QStringList keys = source.allKeys();
        for (const QString& key : keys)
            settings.setValue(QLatin1String(group) + QLatin1Char('/') + key, source.value(key));
        source.endGroup();
    }
    settings.sync();
    qDebug() << "UpdateiniData::modifyTempIni write result" << settings.status();
    return settings.status() == QSettings::NoError;
}

bool UpdateIniData::removeRecord()
{
    const QString path = iniPath();
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.remove(QLatin1String(kRecordGroup));
        settings.sync();
        qDebug() << "removeRecord" << path << "write result" << settings.status();
        if (!settings.allKeys().isEmpty())
            return settings.status() == QSettings::NoError;
    }
    return QFile::remove(path) || !QFileInfo::exists(path);
}
