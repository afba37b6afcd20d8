#include "httpdownloader.h"

#include "failurelog.h"

#include <QAtomicInt>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {
QAtomicInt liveDownloaders;
}

HTTPDownloader::HTTPDownloader(const QNetworkRequest& request, int deadlineMs)
    : QThread(nullptr), m_Request(request), m_DeadlineMs(deadlineMs)
{
    liveDownloaders.ref();
    // finished() comes from the ending thread; the release happens in ours.
    connect(this, &QThread::finished, this, &QObject::deleteLater, Qt::QueuedConnection);
}

HTTPDownloader::~HTTPDownloader()
{
    liveDownloaders.deref();
}

int HTTPDownloader::instances()
{
    return liveDownloaders.loadAcquire();
}

void HTTPDownloader::run()
{
    // The manager and its replies belong to this thread; so does the context
    // of the connections below, so the reply is read here, where it lives.
    QNetworkAccessManager manager;
    connect(&manager, &QNetworkAccessManager::finished, &manager,
            [this](QNetworkReply* reply) { on_downloadFinished(reply); });
    QNetworkReply* reply = manager.get(m_Request);
    reply->setReadBufferSize(kReadBufferBytes);
    connect(reply, &QNetworkReply::metaDataChanged, reply, [this, reply] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxBodyBytes)
            refuse(reply, QStringLiteral("announced %1 bytes").arg(length.toLongLong()));
    });
    connect(reply, &QNetworkReply::readyRead, reply, [this, reply] { takeArrived(reply); });
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, reply, [this, reply] {
        refuse(reply, QStringLiteral("no complete reply within %1 seconds").arg(m_DeadlineMs / 1000.0));
    });
    deadline.start(m_DeadlineMs);
    exec();
    // The manager goes with this scope, taking any reply still left with it.
}

void HTTPDownloader::takeArrived(QNetworkReply* reply)
{
    while (m_Refusal.isEmpty() && reply->bytesAvailable() > 0) {
        if (reply->bytesAvailable() > kMaxBodyBytes - m_Body.size()) {
            refuse(reply, QStringLiteral("larger than the allowed %1 bytes").arg(kMaxBodyBytes));
            return;
        }
        const QByteArray chunk = reply->read(reply->bytesAvailable());
        if (chunk.isEmpty())
            return;
        m_Body += chunk;
    }
}

void HTTPDownloader::refuse(QNetworkReply* reply, const QString& reason)
{
    if (!m_Refusal.isEmpty())
        return;
    m_Refusal = reason;
    // Emits finished() at once, which ends the fetch.
    if (!reply->isFinished())
        reply->abort();
}

void HTTPDownloader::on_downloadFinished(QNetworkReply* reply)
{
    QByteArray data;
    if (m_Refusal.isEmpty() && reply->error() == QNetworkReply::NoError)
        takeArrived(reply);
    // Checked again at the end: the last bytes may come with finished() alone.
    QString why = m_Refusal;
    if (why.isEmpty() && reply->error() != QNetworkReply::NoError)
        why = reply->errorString();
    if (!why.isEmpty()) {
        const QString cause = QStringLiteral("Request of %1 failed: %2").arg(reply->url().toString(), why);
        qCWarning(lcFailure).noquote() << cause;
        emit download_failed(cause);
    } else {
        data = m_Body;
    }
    m_Body.clear();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
