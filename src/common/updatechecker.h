#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include "updateversions.h"

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

class HTTPDownloader;

// Asks the update server for the newest version of every channel and answers
// once with update_available; an empty table means the query failed. The
// checker releases itself (deleteLater) after answering.
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    // A server that accepts and then says nothing for this long ends the query
    // as a failure instead of leaving the updater waiting forever.
    static const int kTransferTimeoutMs = 30000;

    explicit UpdateChecker(QObject* parent);
    // Ends a query still running, so that no network thread outlives the
    // configuration (and with it the application) that asked.
    ~UpdateChecker() override;

    void start();
    void setTransferTimeout(int ms) { m_TransferTimeoutMs = ms; }
    // The whole query's deadline (HTTPDownloader::kDeadlineMs by default).
    void setDeadline(int ms) { m_DeadlineMs = ms; }

    // (version number text, version string) for channel code 0 stable,
    // 1 beta, 2 alpha; a pair of empty texts for any other code or a missing
    // channel.
    static QPair<QString, QString> versionForChannel(const UpdateVersions& versions, int channel);

signals:
    // Why the query failed, in the words of the first failure line it wrote;
    // sent just before the empty update_available.
    void queryFailed(QString cause);
    void update_available(UpdateVersions versions);

public slots:
    void on_updateCheckAvailable(QByteArray updateData);

private:
    void onDownloadFailed(const QString& cause);

    QString m_Failure;
    int m_TransferTimeoutMs = kTransferTimeoutMs;
    int m_DeadlineMs;
    QPointer<HTTPDownloader> m_Downloader; // releases itself; tracked only to stop it
};

#endif // UPDATECHECKER_H
