#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QFile>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QNetworkAccessManager>

class QNetworkReply;

// Fetches one file from the file server (base URL + version + "/" + name) into
// a local file. Up to five attempts, each from byte 0; an attempt also ends
// when the engine's once-a-second poll has seen no data for 16 polls, or when
// it has run longer than its size allows at a minimum average rate (a body of
// unknown size: longer than the bytes received so far allow at that rate).
// Both clocks run only while the request is on the wire: a request that would
// wait for one of the manager's connections waits here instead, off the clock.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // manager is not owned. expectedSize is the size from the download list, or
    // -1 when unknown; a known size is enforced.
    DownloadTaskSpecification(QNetworkAccessManager* manager, const QString& name, int urlNumber,
                              const QString& destPath, qint64 expectedSize, QObject* parent, qreal weight);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal, qulonglong& speed,
                             bool& downloading) override;
    void cancel() override;
    void abort(TaskSpecification* other) override;

    // For a download of unknown size: a body (or an announced length) above
    // this many bytes fails the attempt. -1: no cap.
    void setMaxSize(qint64 bytes) { m_MaxSize = bytes; }

    // Polls an attempt of size bytes may take before it is given up; -1 for
    // a negative size.
    static qint64 deadlinePolls(qint64 size);

    const QString& name() const { return m_Name; }
    // Bytes written to the file in the current attempt.
    qint64 received() const { return m_Received; }
    QString destPath() const { return m_File.fileName(); }
    // The address the file is fetched from; each segment of the name is
    // percent-encoded, so '#', '?', '%' and blanks name the right file.
    QUrl downloadUrl() const;

protected:
    virtual void downloadFinished();

    void startDownload();
    // True when another attempt was started, false when the task failed.
    bool retryOrFail(const QString& reason);
    void resetDownload();
    void abortReply();
    // The size the deadline is measured by: the list's, else the server's
    // (never above the cap), else the bytes received so far.
    qint64 deadlineSize() const;
    // Refuses a body that has grown, or is announced to grow, past the cap.
    bool withinCap(qint64 bytes);

protected slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    bool onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply* reply);

private:
    QPointer<QNetworkAccessManager> m_Manager; // not owned; may go before this task
    // Released with deleteLater. Guarded: the manager owns its replies and may
    // be destroyed before this task.
    QPointer<QNetworkReply> m_Reply;
    int m_IdlePolls = 0;
    QString m_Name;
    int m_UrlNumber;
    QFile m_File;
    int m_Retries = 0;
    qint64 m_LastPolled = 0;
    qint64 m_ExpectedSize;
    qint64 m_InitialExpectedSize;
    qint64 m_Received = 0;
    qint64 m_MaxSize = -1;
    qint64 m_WirePolls = 0; // polls since this attempt's request went out
};

#endif // DOWNLOADTASKSPECIFICATION_H
