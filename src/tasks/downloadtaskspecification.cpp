#include "downloadtaskspecification.h"

#include "globals.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>

namespace {

// Attempts after the first one.
constexpr int maxRetries = 4;
// Polls without data before an attempt is given up (about 16 s at one poll a second).
constexpr int idlePollLimit = 15;
constexpr qint64 readChunk = 4096;
// The manager serves at most six requests per host at once and queues the
// rest, where a time-out would run out for a request never sent.
constexpr int maxRepliesInFlight = 6;
// Overall deadline of an attempt: a grace for the connection and a slow start,
// plus the time its size takes at the slowest average rate still accepted
// (in polls, about seconds at the engine's one poll a second).
constexpr qint64 deadlineGracePolls = 60;
constexpr qint64 minBytesPerPoll = 4096;

int repliesInFlight(const QNetworkAccessManager* manager)
{
    // The manager is the parent of every reply it made.
    int n = 0;
    const QList<QNetworkReply*> replies = manager->findChildren<QNetworkReply*>(QString(), Qt::FindDirectChildrenOnly);
    for (const QNetworkReply* reply : replies) {
        if (reply->isRunning())
            ++n;
    }
    return n;
}

} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager, const QString& name, int urlNumber,
                                                     const QString& destPath, qint64 expectedSize, QObject* parent,
                                                     qreal weight)
    : TaskSpecification(parent, weight), m_Manager(manager), m_Name(name), m_UrlNumber(urlNumber), m_File(destPath),
      m_ExpectedSize(expectedSize), m_InitialExpectedSize(expectedSize)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (m_Reply) {
        abortReply();
        disconnect(m_Reply, nullptr, this, nullptr);
        m_Reply->deleteLater();
    }
}

QUrl DownloadTaskSpecification::downloadUrl() const
{
    QStringList segments = m_Name.split(QLatin1Char('/'));
    for (QString& segment : segments)
        segment = QString::fromLatin1(QUrl::toPercentEncoding(segment));
    const QString text =
        updateBaseUrl + QString::number(m_UrlNumber) + QLatin1Char('/') + segments.join(QLatin1Char('/'));
    return QUrl(text, QUrl::TolerantMode);
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_Name;
    emit message(QStringLiteral("Downloading %1").arg(m_Name));
    setState(TASK_RUNNING);
    startDownload();
}

qint64 DownloadTaskSpecification::deadlinePolls(qint64 size)
{
    if (size < 0)
        return -1;
    return deadlineGracePolls + size / minBytesPerPoll + (size % minBytesPerPoll != 0 ? 1 : 0);
}

qint64 DownloadTaskSpecification::deadlineSize() const
{
    if (m_InitialExpectedSize >= 0)
        return m_InitialExpectedSize;
    if (m_ExpectedSize > 0 && (m_MaxSize < 0 || m_ExpectedSize <= m_MaxSize))
        return m_ExpectedSize;
    // Unknown: the bytes so far are all the attempt has earned its time with.
    // Measured by the cap instead, a drip would be allowed for hours.
    return m_Received;
}

bool DownloadTaskSpecification::withinCap(qint64 bytes)
{
    if (m_InitialExpectedSize >= 0 || m_MaxSize < 0 || bytes <= m_MaxSize)
        return true;
    retryOrFail(QStringLiteral("%1 is larger than the allowed %2 bytes").arg(m_Name, QString::number(m_MaxSize)));
    return false;
}

void DownloadTaskSpecification::startDownload()
{
    if (m_Manager && repliesInFlight(m_Manager) >= maxRepliesInFlight) {
        qDebug() << "Waiting for a free connection:" << m_Name;
        // Queued: the manager reports a finished reply from inside its own
        // bookkeeping, which a new request must not re-enter.
        connect(m_Manager, &QNetworkAccessManager::finished, this, &DownloadTaskSpecification::onOtherDownloadFinished,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    }
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString text = QStringLiteral("Unable to create file %1 for saving").arg(m_File.fileName());
        emit error(text);
        setFailed(text);
        return;
    }
    const QUrl url = downloadUrl();
    QNetworkRequest request(url);
    // The saved bytes must be the file's bytes: no transparent decompression.
    request.setRawHeader("Accept-Encoding", "identity");
    // A redirect is a failed attempt, whatever the manager's own policy says.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    qDebug() << "Requesting download of" << url;

    m_Reply = m_Manager ? m_Manager->get(request) : nullptr;
    if (!m_Reply) {
        m_File.close();
        m_File.remove();
        const QString text = QStringLiteral("Download failed to initialize");
        emit error(text);
        setFailed(text);
        return;
    }
    if (!m_Reply->isRunning()) {
        retryOrFail(m_Reply->errorString());
        return;
    }
    connect(m_Reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant value = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (value.isNull())
        return;
    bool ok = false;
    int status = value.toInt(&ok);
    if (!ok)
        status = 0;
    if (status != 200) {
        retryOrFail(QStringLiteral("%1 returned %2").arg(m_Name, QString::number(status)));
        return;
    }
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid())
        withinCap(length.toLongLong());
}

void DownloadTaskSpecification::onDownloadProgress(qint64 /*bytesReceived*/, qint64 bytesTotal)
{
    // A size from the download list is never replaced by the server's figure.
    if (bytesTotal > 0 && m_ExpectedSize == -1)
        m_ExpectedSize = bytesTotal;
}

bool DownloadTaskSpecification::onReadyRead()
{
    char buffer[readChunk];
    while (m_Reply) {
        // Any call counts as a sign of life, even one that finds nothing.
        m_IdlePolls = 0;
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 got = m_Reply->read(buffer, qMin(available, readChunk));
        if (got == 0)
            return true;
        if (got < 0) {
            retryOrFail(m_Reply->errorString());
            return false;
        }
        // An endless or oversized body must not fill the disk nor pass as the file.
        if (m_InitialExpectedSize >= 0 && got > m_InitialExpectedSize - m_Received) {
            retryOrFail(QStringLiteral("%1 is longer than the expected %2 bytes")
                            .arg(m_Name, QString::number(m_InitialExpectedSize)));
            return false;
        }
        if (!withinCap(m_Received + got))
            return false;
        const qint64 written = m_File.write(buffer, got);
        if (written < 0) {
            retryOrFail(m_File.errorString());
            return false;
        }
        if (written != got) {
            retryOrFail(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                            .arg(m_File.fileName(), QString::number(got), QString::number(written)));
            return false;
        }
        m_Received += got;
        if (m_ExpectedSize > 0)
            setProgress(qMin(1.0, static_cast<double>(m_Received) / static_cast<double>(m_ExpectedSize)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        retryOrFail(m_Reply->errorString());
        return;
    }
    // A listener of the progress signals may have ended the task meanwhile.
    if (!onReadyRead() || !m_Reply)
        return;

    // A body that ends early (a dropped connection without a length) is not the file.
    const qint64 wanted = m_InitialExpectedSize >= 0 ? m_InitialExpectedSize : m_ExpectedSize;
    if (wanted >= 0 && m_Received != wanted) {
        retryOrFail(QStringLiteral("%1 ended after %2 of %3 bytes")
                        .arg(m_Name, QString::number(m_Received), QString::number(wanted)));
        return;
    }
    // Buffered bytes that cannot reach the disk fail the attempt here, not later.
    if (!m_File.flush()) {
        retryOrFail(m_File.errorString());
        return;
    }

    disconnect(m_Reply, nullptr, this, nullptr);
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
    m_File.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_Name << m_File.fileName() << m_File.isOpen() << m_File.exists();
    emit message(QStringLiteral("Downloading %1 finished").arg(m_Name));
    setFinished();
}

bool DownloadTaskSpecification::retryOrFail(const QString& reason)
{
    // reason may refer into the reply that resetDownload releases.
    const QString text = reason;
    resetDownload();
    qWarning() << "Download attempt failed:" << text;
    emit message(text);
    if (m_Retries++ < maxRetries) {
        startDownload();
        return state() == TASK_RUNNING;
    }
    m_File.remove();
    // The last attempt's reason stands for all: they are mostly the same.
    failWith(QStringLiteral("Unable to download %1 from %2: %3").arg(m_Name, downloadUrl().toString(), text));
    return false;
}

void DownloadTaskSpecification::resetDownload()
{
    if (m_Reply) {
        QNetworkReply* reply = m_Reply;
        m_Reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->deleteLater();
    }
    // Nor does it wait for a connection any more.
    if (m_Manager)
        disconnect(m_Manager, nullptr, this, nullptr);
    m_IdlePolls = 0;
    m_WirePolls = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_LastPolled = 0;
    m_ExpectedSize = m_InitialExpectedSize;
    m_Received = 0;
    setProgress(0.0);
}

void DownloadTaskSpecification::abortReply()
{
    // Frees the connection at once: a stalled attempt must not hold one of the
    // manager's few connections per host while the next one starts. Only for
    // ends that come from outside the reply's own signals.
    if (m_Reply && !m_Reply->isFinished()) {
        disconnect(m_Reply, nullptr, this, nullptr);
        m_Reply->abort();
    }
}

void DownloadTaskSpecification::getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal,
                                                    qulonglong& speed, bool& downloading)
{
    downloadDone = static_cast<qulonglong>(m_Received);
    downloadTotal = m_ExpectedSize > 0 ? static_cast<qulonglong>(m_ExpectedSize) : 0;
    speed = m_Received > m_LastPolled ? static_cast<qulonglong>(m_Received - m_LastPolled) : 0;
    m_LastPolled = m_Received;
    if (state() == TASK_RUNNING && m_Reply) {
        const qint64 deadline = deadlinePolls(deadlineSize());
        if (m_IdlePolls++ >= idlePollLimit) {
            abortReply();
            retryOrFail(QStringLiteral("file %1 timed out").arg(m_Name));
        } else if (deadline >= 0 && ++m_WirePolls > deadline) {
            abortReply();
            retryOrFail(QStringLiteral("%1 took longer than %2 seconds").arg(m_Name, QString::number(deadline)));
        } else
            downloading = true;
    }
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    m_Retries = 0;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state() == TASK_RUNNING) {
        abortReply();
        resetDownload();
        setCanceled();
    }
}

void DownloadTaskSpecification::abort(TaskSpecification* other)
{
    if (m_Reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(m_Name));
        abortReply();
        resetDownload();
    }
    // Stopped because the user cancelled a sibling: cancelled too, or the
    // whole session would end as failed. Otherwise it fails for the
    // sibling's cause.
    if (other && other->state() == TASK_CANCELED)
        setCanceled();
    else
        setFailed(other ? other->failureReason() : QString());
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply* /*reply*/)
{
    if (m_Manager)
        disconnect(m_Manager, nullptr, this, nullptr);
    // Called while waiting for a connection; nothing to start once the task
    // has ended meanwhile.
    if (!m_Reply && state() == TASK_RUNNING)
        startDownload();
}
