#ifndef QND_TESTS_LOCALHTTPSERVER_H
#define QND_TESTS_LOCALHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QTcpServer;
class QTcpSocket;

// A scriptable HTTP/1.1 server for tests. It listens on 127.0.0.1 only and
// lives in the thread that created it: its sockets are served by that thread's
// event loop, so a test drives it with waitFor()/QSignalSpy::wait() while the
// code under test runs (in the same thread or another one).
//
// What a request gets, first match wins:
//   1. the next one-shot reply queued for its path (enqueueReply);
//   2. the standing reply set for its path (setReply);
//   3. the file under the document root (setDocumentRoot), shaped by the
//      fault options of setFileReplyOptions();
//   4. 404.
// Paths are matched without the query, as sent (percent-encoding kept).
// Both request-line forms are accepted: origin-form ("GET /a/b HTTP/1.1") and
// absolute-form ("GET http://any.host:81/a/b HTTP/1.1"), so the server can
// stand in as a forward proxy for any host; the path decides either way.
//
// Example:
//   LocalHttpServer server;
//   ASSERT_TRUE(server.listen());
//   LocalHttpServer::Reply r = LocalHttpServer::Reply::withBody("hello");
//   r.trickleBytes = 1;            // one byte per tick
//   r.failFirst = 2;               // the first two requests get 503
//   server.setReply("/x", r);
//   ... fetch server.url("/x") ...
//   EXPECT_EQ(server.requestLines().value(0), "GET /x HTTP/1.1");
class LocalHttpServer : public QObject
{
    Q_OBJECT
public:
    // How the body is delimited on the wire.
    enum class Framing {
        ContentLength,  // "Content-Length" header; the connection is kept alive
        CloseDelimited, // no length, "Connection: close", body ends at close
        Chunked         // "Transfer-Encoding: chunked"
    };

    struct Reply
    {
        int status = 200;
        QByteArray reason;                            // empty: the standard phrase
        QList<QPair<QByteArray, QByteArray>> headers; // extra headers, sent as given
        QByteArray body;
        Framing framing = Framing::ContentLength;

        // >= 0: send this Content-Length instead of the body's size. Smaller than
        // the body gives "body longer than announced" (all bytes are written,
        // then the connection closes); larger gives a short body.
        qint64 announcedLength = -1;

        // Read the request, then never answer (the connection stays open until
        // the client or the server closes it).
        bool stallBeforeHeaders = false;
        // Close the connection without any answer.
        bool closeBeforeHeaders = false;
        // >= 0: send the headers and this many body bytes, then go silent.
        qint64 stallAfterBodyBytes = -1;
        // >= 0: send the headers and this many body bytes, then close.
        qint64 dropAfterBodyBytes = -1;

        // > 0: write the body this many bytes at a time, one piece every
        // trickleIntervalMs (0 = as soon as the previous piece is written).
        // For chunked framing each piece is one chunk.
        int trickleBytes = 0;
        int trickleIntervalMs = 10;

        // The first failFirst requests that reach this reply get failStatus
        // with an empty body instead; later ones get the reply itself.
        int failFirst = 0;
        int failStatus = 503;

        static Reply withBody(const QByteArray& body, int status = 200);
        static Reply redirect(const QByteArray& location, int status = 302);
    };

    // One request as received.
    struct Request
    {
        QByteArray line; // request line without CRLF
        QByteArray method;
        QByteArray target; // as sent: "/p?q" or "http://host/p?q"
        QByteArray path;   // target's path, no query
        bool absoluteForm = false;
        QList<QPair<QByteArray, QByteArray>> headers;    // names as sent
        QByteArray header(const QByteArray& name) const; // case-insensitive, first match
    };

    explicit LocalHttpServer(QObject* parent = nullptr);
    ~LocalHttpServer() override;

    // Listens on 127.0.0.1 at port (0 = any free port).
    bool listen(quint16 port = 0);
    quint16 port() const;
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;
    // baseUrl() + path (path should start with "/").
    QUrl url(const QString& path) const;

    void setDocumentRoot(const QString& dir);
    // Shapes the replies for files from the document root: the template's
    // headers, framing and fault fields are used; status and body come from
    // the file.
    void setFileReplyOptions(const Reply& options);

    void setReply(const QByteArray& path, const Reply& reply);
    void enqueueReply(const QByteArray& path, const Reply& reply);
    void clearReplies();

    // Every request received so far, in arrival order.
    QList<Request> requests() const;
    QStringList requestLines() const;
    int requestCount(const QByteArray& path) const;
    void clearLog();

    int openConnections() const;
    int totalConnections() const;
    // Highest number of connections open at the same time.
    int maxConcurrentConnections() const;
    // Highest number of requests being answered at the same time (a connection
    // kept alive between requests does not count).
    int maxConcurrentRequests() const;

    // Closes every open connection (stalled ones included) once the bytes
    // already written have been flushed.
    void closeAllConnections();

signals:
    void requestReceived(const QByteArray& requestLine);
    // A reply was written completely (not emitted for stalls and drops).
    void replySent(const QByteArray& path);
    void connectionClosed();

private:
    struct Connection;
    Connection* findConnection(quint64 id) const;
    void onNewConnection();
    void onReadyRead(Connection* c);
    void onBytesWritten(Connection* c);
    void onDisconnected(Connection* c);
    void handleRequest(Connection* c, Request request);
    Reply pickReply(const Request& request, bool* fromFile);
    void startReply(Connection* c, const Reply& reply, const QByteArray& path, bool headOnly);
    void pump(Connection* c);
    void finishReply(Connection* c);
    void sendSimpleError(Connection* c, int status);

    QTcpServer* m_Server; // child of this object
    QString m_DocRoot;
    Reply m_FileOptions;
    QHash<QByteArray, Reply> m_Replies;
    QHash<QByteArray, QList<Reply>> m_Queued;
    QHash<QByteArray, int> m_FailCounters; // requests that met a failFirst reply
    QList<Request> m_Requests;
    QList<Connection*> m_Connections; // owned here
    quint64 m_LastConnectionId = 0;
    int m_TotalConnections = 0;
    int m_MaxConnections = 0;
    int m_ActiveRequests = 0;
    int m_MaxRequests = 0;
};

#endif // QND_TESTS_LOCALHTTPSERVER_H
