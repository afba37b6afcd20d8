#include "httpdownloader.h"

#include <QAtomicInt>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {
QAtomicInt liveDownloaders;
}

HTTPDownloader::HTTPDownloader(const QNetworkRequest& request) : QThread(nullptr), m_Request(request)
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
    // of the connection below, so the reply is read here, where it lives.
    QNetworkAccessManager manager;
    connect(&manager, &QNetworkAccessManager::finished, &manager,
            [this](QNetworkReply* reply) { on_downloadFinished(reply); });
    QNetworkReply* reply = manager.get(m_Request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kMaxBodyBytes || total > kMaxBodyBytes)
            reply->abort();
    });
    exec();
    // The manager goes with this scope, taking any reply still left with it.
}

void HTTPDownloader::on_downloadFinished(QNetworkReply* reply)
{
    QByteArray data;
    if (reply->error() == QNetworkReply::NoError)
        data = reply->readAll();
    else
        qWarning() << "Request of" << reply->url().toString() << "failed:" << reply->errorString();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
