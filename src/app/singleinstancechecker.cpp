#include "singleinstancechecker.h"

#include "installlock.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

const int kWaitMs = 1000;
// Only "#" is ever sent; anything longer is read no further than this.
const qint64 kMaxMessage = 4096;

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent) : QObject(parent), m_Server(new QLocalServer(this))
{
    connect(m_Server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    listen();
}

void SingleInstanceChecker::listen()
{
    // No socket options: with them listen() renames its socket over an
    // existing one, silently cutting off a live instance.
    // The bind behind listen() is atomic: of two starts only one can listen.
    const QString name = serverName();
    if (name.isEmpty()) {
        qWarning() << "No private directory for the instance socket; later starts cannot hand over";
        return;
    }
    if (m_Server->isListening() || m_Server->listen(name))
        return;
    // A crashed run leaves its socket file behind and listen() then fails for
    // good. Only a socket nobody answers on is removed, and only under a lock,
    // so that two starts cannot each remove the other's fresh socket.
    if (m_Server->serverError() == QAbstractSocket::AddressInUseError) {
        QLockFile lock(name + QStringLiteral(".lock"));
        if (lock.tryLock(5 * kWaitMs)) {
            QLocalSocket probe;
            probe.connectToServer(name, QIODevice::ReadWrite);
            if (!probe.waitForConnected(kWaitMs)) {
                qDebug() << "Removing stale instance socket" << name;
                QLocalServer::removeServer(name);
                if (m_Server->listen(name))
                    return;
            }
        }
    }
    qDebug() << "SingleInstanceChecker: listen failed" << m_Server->errorString();
}

void SingleInstanceChecker::stopListening()
{
    m_Server->close();
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_Server->close();
    if (m_Socket)
        m_Socket->close();
}

QString SingleInstanceChecker::serverNameFor(const QString& applicationFilePath, const QString& homePath)
{
    QString joined = applicationFilePath.toLower() + homePath;
    joined.remove(QLatin1Char('/'));
    joined.remove(QLatin1Char(':'));
    const QByteArray bytes = joined.toUtf8();
    const quint16 crc = qChecksum(bytes.constData(), static_cast<uint>(bytes.size()));
    return QStringLiteral("QNDClientUpdate") + QString::number(crc, 16);
}

QString SingleInstanceChecker::privateDir()
{
    const QString dir = QDir::tempPath() + QStringLiteral("/qnd-update-") + QString::number(::geteuid());
    const QByteArray path = QFile::encodeName(dir);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    // Somebody else's directory (or link) of that name would let them take
    // or block the socket.
    struct stat info;
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()
        || (info.st_mode & 077) != 0) {
        qWarning() << "Not a private directory of this user:" << dir;
        return QString();
    }
    return dir;
}

QString SingleInstanceChecker::serverName()
{
    const QString dir = privateDir();
    if (dir.isEmpty())
        return QString();
    QString installDir = UpdateIniData::installDirForRun();
    const QString canonical = QFileInfo(installDir).canonicalFilePath();
    if (!canonical.isEmpty())
        installDir = canonical;
    const QByteArray key = QCryptographicHash::hash(QFile::encodeName(installDir), QCryptographicHash::Sha256);
    return dir + QStringLiteral("/QNDClientUpdate") + QString::fromLatin1(key.toHex().left(16));
}

bool SingleInstanceChecker::sendMessage(const QString& message)
{
    const QString name = serverName();
    if (name.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kWaitMs))
        return false;
    // Another user's listener on the predictable name is no updater of ours.
    if (!isOwnUser(socket.socketDescriptor())) {
        qDebug() << "Not handing over to an instance of another user";
        return false;
    }
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(kWaitMs);
}

bool SingleInstanceChecker::isOwnUser(qintptr socketDescriptor)
{
    struct ucred peer;
    socklen_t size = sizeof(peer);
    return ::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof(peer)
        && peer.uid == ::geteuid();
}

bool SingleInstanceChecker::isListening() const
{
    return m_Server->isListening();
}

void SingleInstanceChecker::onNewConnection()
{
    if (m_Socket) {
        // A newer connection replaces an unread older one.
        m_Socket->disconnect(this);
        m_Socket->abort();
        m_Socket->deleteLater();
        m_Socket = nullptr;
    }
    m_Socket = m_Server->nextPendingConnection();
    if (m_Socket && !isOwnUser(m_Socket->socketDescriptor())) {
        m_Socket->abort();
        m_Socket->deleteLater();
        m_Socket = nullptr;
    }
    if (m_Socket)
        connect(m_Socket, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_Socket)
        return;
    QByteArray bytes = m_Socket->read(kMaxMessage);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    QLocalSocket* socket = m_Socket;
    m_Socket = nullptr;
    socket->disconnect(this);
    // Deferred: we are inside this socket's own readyRead notification.
    socket->deleteLater();
    emit otherInstanceActivate(QString::fromUtf8(bytes));
}
