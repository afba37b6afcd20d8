#include "updateengine.h"

#include "configuration.h"
#include "crypt.h"
#include "failurelog.h"
#include "globals.h"
#include "installlock.h"
#include "maintaskspecification.h"
#include "newupdaterfolder.h"
#include "sessiontempdir.h"
#include "updateinidata.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimer>
#include <QUrl>
#include <QtGlobal>

namespace {

const int kTimerIntervalMs = 1000;
const quint16 kDefaultProxyPort = 3128;

// A client run is target kind 1 only; everything else is treated as an
// updater run, whose temp directory holds the new updater and must survive.
bool isClientRun(const Configuration* config)
{
    return config->m_ClientUpdate == 1;
}

} // namespace

UpdateEngine::UpdateEngine(Configuration* config, QObject* parent)
    : QObject(parent), m_Config(config), m_Timer(new QTimer(this)), m_NetworkManager(new QNetworkAccessManager(this))
{
    connect(m_Config, &Configuration::message, this, &UpdateEngine::message);
    // The log gets what the window shows, so a failure can be explained later.
    connect(this, &UpdateEngine::message, this, [](const QString& text) { qInfo().noquote() << text; });
    connect(this, &UpdateEngine::error, this, [](const QString& text) { qCritical().noquote() << text; });
    connect(m_Timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    m_Config->readUpdateSettings();
    setupProxy();
}

void UpdateEngine::setupProxy()
{
    const QString text = m_Config->m_Proxy;
    if (text.isEmpty()) {
        // Explicit: the system's proxy settings are not ours to follow.
        m_NetworkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(text, QUrl::TolerantMode);
    const QString host = url.host(QUrl::FullyDecoded);
    // Tolerant parsing accepts nearly any text ("proxy:8080" is a scheme and
    // a path); without a host every download would fail, so that is invalid too.
    // Every proxy is spoken to as an HTTP proxy; any other kind would get
    // requests it does not understand, or pass them on unasked.
    const QString scheme = url.scheme().toLower();
    const bool wellFormed = url.isValid() && !host.isEmpty();
    if (!wellFormed || (!scheme.isEmpty() && scheme != QLatin1String("http"))) {
        const QString msg = !wellFormed ? QStringLiteral("'%1' is an invalid proxy specification").arg(text)
                                        : QStringLiteral("'%1' names a %2 proxy, which is not supported: only HTTP "
                                                         "proxies are")
                                              .arg(text, scheme);
        // Pending from here on, so that no session starts without the proxy.
        m_FatalPending = true;
        // The window connects to our signals after construction; a queued
        // emission reaches it.
        QMetaObject::invokeMethod(
            this, [this, msg]() { emit fatalError(msg); }, Qt::QueuedConnection);
        return;
    }
    const int port = url.port(kDefaultProxyPort);
    m_NetworkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, host, static_cast<quint16>(port)));
}

bool UpdateEngine::isInitialized() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

bool UpdateEngine::initialize()
{
    if (!readyToStart())
        return false;
    QString dir;
    QString qnddir;
    InstallLock* lock = InstallLock::held();
    settlePreviousSession(lock, &dir, &qnddir);
    if (!m_Config->initalizeStart(dir, qnddir) || !holdSessionDir(lock, dir) || !writeRecord(dir))
        return false;
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::readyToStart()
{
    if (m_State != PRE_INIT) {
        qWarning() << "initialize called outside PRE_INIT, state" << m_State;
        return false;
    }
    if (m_FatalPending) {
        qWarning() << "No session while a fatal error is pending";
        return false;
    }
    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        m_FatalPending = true;
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }
    // Nothing here draws from it; seeded as every session always was.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    qsrand(static_cast<uint>(QDateTime::currentDateTime().toSecsSinceEpoch()));
    QT_WARNING_POP
    return true;
}

void UpdateEngine::settlePreviousSession(const InstallLock* lock, QString* dir, QString* qnddir)
{
    int version = 0;
    if (!UpdateIniData::get(&version, nullptr, dir, qnddir))
        return;
    qDebug() << "Current version =" << version << "/ new version =" << m_Config->m_Version;
    const QString owner = lock ? SessionTempDir::installationOf(*dir) : QString();
    if (lock && !qnddir->isEmpty() && !InstallLock::sameDirectory(*qnddir, lock->installDir())) {
        // A damaged or hand-edited record: nothing it names outside this
        // installation is continued or removed, and the update goes on.
        qWarning() << "Dropping the session record: it names the installation" << *qnddir << ", not this one,"
                   << lock->installDir();
    } else if (!owner.isEmpty() && !InstallLock::sameDirectory(owner, lock->installDir())) {
        // Ours went (a reboot, a cleaner) and another installation's
        // session took the name: neither continued nor removed.
        qWarning() << "The recorded session directory" << *dir << "now belongs to" << owner;
    } else if (version == m_Config->m_Version) {
        qDebug() << "Continuing previous session";
        emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        return;
    } else {
        qDebug() << "Cleaning up previous session";
        emit message(
            QStringLiteral("Cleanup previous session (v. %1, %2) files...").arg(QString::number(version), *dir));
        const bool removed = SessionTempDir::remove(lock, *dir);
        emit message(removed ? QStringLiteral("Ok") : QStringLiteral("Failed to remove directory"));
    }
    dir->clear();
    qnddir->clear();
    UpdateIniData::removeRecord();
}

bool UpdateEngine::holdSessionDir(InstallLock* lock, const QString& continuedDir)
{
    // The lock taken at start-up is the only thing that keeps other updaters
    // away, so the session works on no other installation.
    if (!lock)
        return true;
    if (!InstallLock::sameDirectory(m_Config->m_InstallDir, lock->installDir())) {
        qWarning() << "Session record names" << m_Config->m_InstallDir << "but the lock is of" << lock->installDir();
        return failToStart(QStringLiteral("The session record names the installation %1, not this one (%2).")
                               .arg(m_Config->m_InstallDir, lock->installDir()));
    }
    // A continued session's directory may come from an updater that
    // neither listed nor marked it.
    if (!continuedDir.isEmpty() && SessionTempDir::installationOf(continuedDir).isEmpty()) {
        SessionTempDir::note(*lock, continuedDir);
        SessionTempDir::mark(continuedDir, lock->installDir());
    }
    // Held from here to the end, so that a start whose lock is a new
    // file (ours was removed meanwhile) sees the session is alive.
    if (!continuedDir.isEmpty() && !SessionTempDir::hold(*lock, continuedDir)) {
        qWarning() << "Cannot hold the session directory" << continuedDir;
        return failToStart(QStringLiteral("Another updater works in the session directory %1.").arg(continuedDir));
    }
    return true;
}

bool UpdateEngine::writeRecord(const QString& continuedDir)
{
    qDebug() << "initialize"
             << "modifying update.ini" << m_Config->m_ClientUpdate;
    if (UpdateIniData::modify(m_Config->m_Version, m_Config->m_TempDir, m_Config->m_InstallDir, m_Config->m_ClientType))
        return true;
    qWarning() << "Failed to write to update.ini" << UpdateIniData::iniPath();
    // A directory made just now for this session is empty, and without
    // a record nothing would ever find it again.
    if (continuedDir.isEmpty())
        QDir().rmdir(m_Config->m_TempDir);
    return failToStart(QStringLiteral(
        "Failed to write update.ini. The updater does not seem to have the required write permissions."));
}

bool UpdateEngine::failToStart(const QString& cause)
{
    emit error(cause);
    // No session will run: this ends the run as a failed one ends.
    logUpdateFailed(cause);
    return false;
}

bool UpdateEngine::startUpdate()
{
    if (m_State != POST_INIT) {
        qWarning() << "startUpdate called outside POST_INIT, state" << m_State;
        return false;
    }
    qDebug() << "Starting update";
    m_MainTask = new MainTaskSpecification(m_NetworkManager, m_Config, this, 1.0);
    connect(m_MainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_MainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_MainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_MainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_MainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    m_State = RUNNING;
    m_Timer->start(kTimerIntervalMs);
    m_MainTask->execute();
    return true;
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !m_MainTask)
        return;
    if (InstallLock* lock = InstallLock::held())
        lock->reclaim();
    qulonglong done = 0;
    qulonglong total = 0;
    qulonglong speed = 0;
    bool downloading = false;
    m_MainTask->getDownloadProgress(done, total, speed, downloading);
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::releaseMainTask()
{
    if (!m_MainTask)
        return;
    // The task may still be on the call stack that brought us here.
    disconnect(m_MainTask, nullptr, this, nullptr);
    m_MainTask->deleteLater();
    m_MainTask = nullptr;
}

void UpdateEngine::onTaskFinished()
{
    // Only the running session's task ends a session, and only once.
    if (m_State != RUNNING)
        return;
    m_Timer->stop();
    cleanup();
    m_State = FINISHED;
    emit message(QStringLiteral("Update successfully finished"));
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    if (m_State != RUNNING)
        return;
    m_Timer->stop();
    m_State = CANCELED;
    const bool byUser = m_MainTask && m_MainTask->state() == TASK_CANCELED;
    if (byUser) {
        qWarning() << "Update cancelled by the user";
    } else {
        // A user who started the updater from a terminal sees only this: it
        // names what failed first, as the window showed it.
        logUpdateFailed(m_MainTask ? m_MainTask->failureReason() : QString());
    }
    if (byUser)
        emit message(QStringLiteral("User aborted update"));
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::cancelUpdate()
{
    if (m_State != RUNNING || !m_MainTask)
        return;
    m_MainTask->cancel();
}

void UpdateEngine::resetAfterCancel()
{
    if (m_State != CANCELED) {
        qWarning() << "resetAfterCancel called outside CANCELED, state" << m_State;
        return;
    }
    m_State = PRE_INIT;
    releaseMainTask();
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    if (!isClientRun(m_Config)) {
        UpdateIniData::removeRecord();
        qDebug() << "Deleted local update.ini" << UpdateIniData::iniPath();
        emit message(QStringLiteral("Removed temporary update.ini"));
        return;
    }
    qDebug() << "Removing temporary files";
    emit message(QStringLiteral("Remove temporary files..."));
    int version = 0;
    QString dir;
    // get() refuses any directory that is not one of our session temp
    // directories, so nothing else can be wiped from here.
    if (UpdateIniData::get(&version, nullptr, &dir, nullptr)) {
        SessionTempDir::remove(InstallLock::held(), dir);
        UpdateIniData::removeRecord();
    }
    // A second step that ran from the installation's copy of the new
    // updater takes the copy along.
    if (InstallLock::sameDirectory(NewUpdaterFolder::copyIn(m_Config->m_InstallDir), applicationDirPath()))
        NewUpdaterFolder::removeCopy(m_Config->m_InstallDir);
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::removeOldFiles(const QString& dir)
{
    static const char* const names[] = {
        "update",         "libQtCore.so.4",  "libQtGui.so.4",  "libQtNetwork.so.4",
        "libQtSql.so.4",  "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
        "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
        "libsqlite.so"};
    const QDir d(dir);
    for (const char* name : names) {
        const QString path = d.absoluteFilePath(QStringLiteral("_old_") + QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove old file:" << path;
            QFile::remove(path);
        }
    }
}

void UpdateEngine::removeQt4Files(const QString& dir)
{
    static const char* const names[] = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};
    const QDir d(dir);
    for (const char* name : names) {
        const QString path = d.absoluteFilePath(QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove Qt4 file:" << path;
            QFile::remove(path);
        }
    }
}
