#include "updatechecker.h"

#include "failurelog.h"
#include "httpdownloader.h"
#include "serverversions.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

#include <string>

UpdateChecker::UpdateChecker(QObject* parent) : QObject(parent), m_DeadlineMs(HTTPDownloader::kDeadlineMs) {}

UpdateChecker::~UpdateChecker()
{
    if (m_Downloader) {
        // Its finished() still queues the release, run by the event loop if
        // there is one left.
        m_Downloader->quit();
        m_Downloader->wait();
    }
}

void UpdateChecker::start()
{
    std::string address;
    versionServerUrl(address);
    const QUrl url(QString::fromUtf8(address.c_str()), QUrl::TolerantMode);
    qInfo().noquote() << "Querying versions from" << url.toString();
    QNetworkRequest request(url);
    request.setTransferTimeout(m_TransferTimeoutMs);
    auto* downloader = new HTTPDownloader(request, m_DeadlineMs); // releases itself when its thread ends
    m_Downloader = downloader;
    // Both are emitted from the downloader thread, and queued alike so that
    // the cause arrives before the answer it explains.
    connect(downloader, &HTTPDownloader::download_failed, this, &UpdateChecker::onDownloadFailed, Qt::QueuedConnection);
    connect(downloader, &HTTPDownloader::download_available, this, &UpdateChecker::on_updateCheckAvailable,
            Qt::QueuedConnection);
    downloader->start(QThread::InheritPriority);
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    ServerVersions record;
    UpdateVersions versions;
    // An empty body stands for a failed fetch, whose cause the downloader has
    // told; it would only fail the parse for want of the required fields.
    const int result = updateData.isEmpty()
        ? VersionsParse_Invalid
        : parseVersions(reinterpret_cast<const unsigned char*>(updateData.constData()), updateData.size(), &record);
    if (result != VersionsParse_Ok) {
        const QString text =
            QStringLiteral("Version reply of %1 bytes is unreadable, code %2").arg(updateData.size()).arg(result);
        qCWarning(lcFailure).noquote() << text;
        if (m_Failure.isEmpty())
            m_Failure = text;
    }
    if (result == VersionsParse_Ok) {
        for (const std::string& name : record.channels) {
            versions.insert(QString::fromStdString(name),
                            qMakePair(QString::number(channelVersionNumber(record, name), 10),
                                      QString::fromStdString(channelVersionString(record, name))));
        }
        if (versions.isEmpty()) {
            m_Failure = QStringLiteral("Version reply of %1 bytes names no channel").arg(updateData.size());
            qCWarning(lcFailure).noquote() << m_Failure;
        }
    }
    if (versions.isEmpty())
        emit queryFailed(m_Failure);
    emit update_available(versions);
    deleteLater();
}

void UpdateChecker::onDownloadFailed(const QString& cause)
{
    if (m_Failure.isEmpty())
        m_Failure = cause;
}

QPair<QString, QString> UpdateChecker::versionForChannel(const UpdateVersions& versions, int channel)
{
    static const char* const names[] = {"stable", "beta", "alpha"};
    if (channel < 0 || channel > 2)
        return QPair<QString, QString>();
    return versions.value(QLatin1String(names[channel]));
}
