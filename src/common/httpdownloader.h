#ifndef HTTPDOWNLOADER_H
#define HTTPDOWNLOADER_H

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QThread>

class QNetworkReply;

// Fetches one URL on a thread of its own and hands the body over with
// download_available (queued to the receiver's thread); an empty body stands
// for any failure. The object itself lives in the thread that created it,
// has no parent, and is released once its thread has finished (its finished()
// signal is connected to deleteLater), never while run() is still executing.
class HTTPDownloader : public QThread
{
    Q_OBJECT
public:
    // A body larger than this is refused: a version reply is a few hundred
    // bytes, and a hostile or broken server must not fill the memory.
    static const qint64 kMaxBodyBytes = 1024 * 1024;
    // The whole fetch, connection included, ends by this time: a server that
    // drips a byte now and then never trips a time-out between bytes.
    static const int kDeadlineMs = 60000;
    // What the network layer may hold for us before we take it out.
    static const qint64 kReadBufferBytes = 64 * 1024;

    explicit HTTPDownloader(const QNetworkRequest& request, int deadlineMs = kDeadlineMs);
    ~HTTPDownloader() override;

    // Downloaders currently alive, for diagnostics and tests.
    static int instances();

protected:
    void run() override;

protected slots:
    // Runs in the downloader thread, which owns the reply.
    virtual void on_downloadFinished(QNetworkReply* reply);

signals:
    // Why the fetch failed, in the words of its failure line; sent just
    // before the empty download_available.
    void download_failed(QString cause);
    void download_available(QByteArray data);

private:
    // Moves what has arrived into m_Body; ends the fetch once it would pass
    // the cap, whether or not a length was announced.
    void takeArrived(QNetworkReply* reply);
    // Ends the fetch for the given reason, kept for the failure line.
    void refuse(QNetworkReply* reply, const QString& reason);

    QNetworkRequest m_Request;
    const int m_DeadlineMs;
    // Touched by run()'s thread only.
    QByteArray m_Body;
    QString m_Refusal;
};

#endif // HTTPDOWNLOADER_H
