#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

const int kWaitMs = 1000;
// Only "#" is ever sent; anything longer is read no further than this.
const qint64 kMaxMessage = 4096;

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , m_Server(new QLocalServer(this))
{
    connect(m_Server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    // No socket options: with them listen() renames its socket over an
    // existing one, silently cutting off a live instance.
    const QString name = serverName();
    if (m_Server->listen(name))
        return;
    // A crashed run leaves its socket file behind and listen() then fails for
    // good. Start-up has already found nobody answering on this name, but
    // check again so a live instance is never cut off.
    if (m_Server->serverError() == QAbstractSocket::AddressInUseError) {
        QLocalSocket probe;
        probe.connectToServer(name, QIODevice::ReadWrite);
        if (!probe.waitForConnected(kWaitMs)) {
            qDebug() << "Removing stale instance socket" << name;
            QLocalServer::removeServer(name);
            if (m_Server->listen(name))
                return;
        }
    }
    qDebug() << "SingleInstanceChecker: listen failed" << m_Server->errorString();
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

QString SingleInstanceChecker::serverName()
{
    return serverNameFor(QCoreApplication::applicationFilePath(), QDir::homePath());
}

bool SingleInstanceChecker::sendMessage(const QString& message)
{
    QLocalSocket socket;
    socket.connectToServer(serverName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(kWaitMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(kWaitMs);
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
