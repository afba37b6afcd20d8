#include "configuration.h"

#include "failurelog.h"
#include "globals.h"
#include "productininames.h"
#include "sessiontempdir.h"
#include "updatechecker.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QSettings>
#include <QUrl>
#include <QWidget>

#include <cerrno>
#include <cstring>

#ifndef QND_FILE_SERVER_HOST
#error "QND_FILE_SERVER_HOST must name the file server's host"
#endif

namespace {

const int kDefaultStreams = 6;
// The network manager opens at most six connections per host; a seventh
// download would wait in its queue.
const int kMaxStreams = 6;
QString defaultBaseUrl()
{
    return QStringLiteral("http://") + QStringLiteral(QND_FILE_SERVER_HOST) + QStringLiteral("/updater-images/client/");
}

} // namespace

Configuration::Configuration(QObject* parent) : QObject(parent) {}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& args)
{
    const int n = args.size();
    qDebug() << "parseCommandLineOptions" << args;
    const QString first = n >= 2 ? args[1] : QString();
    m_ClientUpdate = first == QLatin1String("--clientupdate") ? 1 : 0;

    // Before any command-line version, so that an alpha version wins.
    if (!getUpdateChannel())
        return false;

    if (first == QLatin1String("--nouser") || first == QLatin1String("--clientupdate")) {
        qDebug() << "CLIENTUPDATE" << bool(m_ClientUpdate);
        if (n >= 4 && !parseClientTypeAndVersion(args, 2))
            return false;
        if (n >= 5 && args[4] != QLatin1String("#"))
            m_VersionText = args[4];
        getDefaultParameters();
        m_Ready = m_Version > 0;
        return true;
    }
    if (n == 3) {
        if (!parseClientTypeAndVersion(args, 1))
            return false;
        m_Ready = true;
        return true;
    }
    qDebug() << "Empty cmdline params";
    getDefaultParameters();
    m_Ready = m_Version > 0;
    return true;
}

bool Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString path = getConfigDir() + sessionRecordName;
    bool found = QFileInfo::exists(path);
    qDebug() << "Update ini check #1 in CONFIG" << path << found;
    if (found) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        path = applicationDirPath() + QLatin1Char('/') + sessionRecordName;
        found = QFileInfo::exists(path);
        qDebug() << "Update ini check #2 in INSTALL" << path << found;
        if (!found) {
            m_Channel = 0;
            m_Version = 0;
            updateBaseUrl = defaultBaseUrl();
            qDebug() << "No update.ini found, using stable channel, URL =" << updateBaseUrl;
            return true;
        }
        qDebug() << "Found INSTALL/update.ini";
    }

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();
    if (alpha.isEmpty()) {
        m_Channel = beta ? 1 : 0;
        m_Version = 0;
        updateBaseUrl = defaultBaseUrl();
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << updateBaseUrl;
    } else {
        m_Channel = 2;
        const QVariant revnoValue = settings.value(QStringLiteral("alphaRevno"));
        bool readable = false;
        const int revno = revnoValue.toInt(&readable);
        if (revnoValue.isValid() && !readable) {
            // Read as 0 like a missing value, which sends the run to the
            // version query; without this line its answer would be a puzzle.
            qCWarning(lcFailure).noquote()
                << "Could not read alphaRevno" << revnoValue.toString() << "in" << path << "as a version number";
        }
        // A revision of 0 or below is no version: ask the command line or the
        // server instead of starting a session for it.
        m_Version = revno > 0 ? revno : 0;
        updateBaseUrl = alpha.endsWith(QLatin1Char('/')) ? alpha : alpha + QLatin1Char('/');
        qDebug() << "Alpha channel detected, URL =" << updateBaseUrl;
        const QString scheme = QUrl(updateBaseUrl, QUrl::TolerantMode).scheme().toLower();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
            const QString text = QStringLiteral("The channel URL '%1' in %2 is not supported: only http and https "
                                                "URLs are")
                                     .arg(alpha, path);
            emit fatalError(text);
            return false;
        }
    }
    settings.endGroup();
    return true;
}

bool Configuration::parseClientTypeAndVersion(const QStringList& args, int index)
{
    m_ClientType = args.value(index);
    return setVersion(args.value(index + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::setVersion(const QString& text, const QString& errorFormat)
{
    if (m_Version != 0)
        return true;
    bool ok = false;
    const int version = text.toInt(&ok, 10);
    // Zero means "not known" everywhere else, and no release is numbered
    // below it: both are refused rather than started as a session.
    if (!ok || version <= 0) {
        emit fatalError(errorFormat.arg(text));
        return false;
    }
    m_Version = version;
    return true;
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_ClientType;
    if (m_ClientType.isEmpty())
        m_ClientType = iniBaseName(m_ClientUpdate);
    qDebug() << "clientType" << m_ClientType;
    if (m_Version != 0)
        return true;
    auto* checker = new UpdateChecker(this); // releases itself after answering
    connect(checker, &UpdateChecker::queryFailed, this, [this](const QString& cause) { m_QueryFailure = cause; });
    connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable);
    checker->start();
    return true;
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        const QString text = QStringLiteral("Failed to query latest client version from update server.");
        qCWarning(lcFailure).noquote() << text;
        // Said before the box, which waits for the user.
        logUpdateFailed(m_QueryFailure.isEmpty() ? text : m_QueryFailure);
        // The window may not exist (or no GUI at all): the text then only
        // reaches the log, and the run still ends the same way.
        if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
            QWidget* parent = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->objectName() == QLatin1String("MainWindow")) {
                    parent = w;
                    break;
                }
            }
            QMessageBox::critical(parent, QObject::tr("Error"),
                                  QObject::tr("Failed to query latest client\nversion from update server."),
                                  QMessageBox::Abort);
        }
        QCoreApplication::quit();
        return;
    }
    const QPair<QString, QString> entry = UpdateChecker::versionForChannel(versions, m_Channel);
    qDebug() << "Received version from remote server:" << entry;
    if (entry.first.isEmpty()) {
        emit fatalError(QObject::tr("Update server returned no version"));
        return;
    }
    if (setVersion(entry.first, QObject::tr("Update server returned invalid version nr (%1)"))) {
        m_VersionText = entry.second;
        m_Ready = true;
        emit ready();
    }
}

bool Configuration::initalizeStart(const QString& tempDir, const QString& installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_TempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_InstallDir = installDir.isEmpty() ? applicationDirPath() : installDir;
    return true;
}

bool Configuration::createTempDir()
{
    const QString base = QDir::tempPath();
    if (base.isEmpty()) {
        qWarning() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    QString candidate;
    QString why;
    const QString made = SessionTempDir::create(base, &candidate, &why);
    if (!made.isEmpty()) {
        m_TempDir = made;
        return true;
    }
    qWarning() << "*Error* Unable to create temp directory" << candidate << why;
    emit fatalError(QStringLiteral("Unable to create temp directory.") + QLatin1Char('\n') + candidate
                    + QStringLiteral(": ") + why);
    return false;
}

void Configuration::readUpdateSettings()
{
    QSettings settings(QDir(applicationDirPath()).absoluteFilePath(sessionRecordName), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_Proxy = settings.value(QStringLiteral("proxy")).toString();
    bool ok = false;
    const int streams = settings.value(QStringLiteral("streams"), kDefaultStreams).toInt(&ok);
    m_Streams = ok && streams >= 1 ? qMin(streams, kMaxStreams) : kDefaultStreams;
    settings.endGroup();
    qInfo() << "Update settings from" << settings.fileName() << ": proxy" << m_Proxy << "streams" << m_Streams;
}

QString Configuration::getConfigDir() const
{
    QString dir = QProcessEnvironment::systemEnvironment().value(QStringLiteral("QND_CONFIG_DIR"));
    if (dir.isEmpty())
        return QDir::homePath() + QStringLiteral("/.qndclient/");
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return dir;
}

QString Configuration::clientRunScriptName()
{
    return QStringLiteral("qndclient_runscript.sh");
}

bool Configuration::findClientExecutable(const QString& dir)
{
    if (dir.isEmpty())
        return false;
    return QFileInfo::exists(dir + QStringLiteral("/qndclient_linux_x86"))
        || QFileInfo::exists(dir + QStringLiteral("/qndclient_linux_amd64"));
}
