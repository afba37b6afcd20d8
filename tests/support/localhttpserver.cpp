#include "localhttpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// A request head larger than this is refused; it only guards the tests
// against a runaway client.
const int kMaxHeadBytes = 64 * 1024;
// Bytes queued in the socket before the server waits for them to drain.
const qint64 kWriteHighWater = 256 * 1024;
const qint64 kWritePiece = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

bool hasHeader(const QList<QPair<QByteArray, QByteArray>>& headers, const QByteArray& name)
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

LocalHttpServer::Reply LocalHttpServer::Reply::withBody(const QByteArray& body, int status)
{
    Reply r;
    r.status = status;
    r.body = body;
    return r;
}

LocalHttpServer::Reply LocalHttpServer::Reply::redirect(const QByteArray& location, int status)
{
    Reply r;
    r.status = status;
    r.headers.append(qMakePair(QByteArray("Location"), location));
    return r;
}

QByteArray LocalHttpServer::Request::header(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

struct LocalHttpServer::Connection
{
    quint64 id = 0;
    QTcpSocket* socket = nullptr; // child of m_Server; deleteLater when the connection ends
    QByteArray in;
    bool busy = false;       // a reply is in progress (or stalled)
    bool closeAfter = false; // close once the current reply is written
    bool gone = false;

    // The reply being written.
    QByteArray path;
    QByteArray body;
    qint64 sent = 0;
    qint64 limit = 0; // body bytes to write before the reply's end action
    enum class End { Complete, Stall, Drop } end = End::Complete;
    Framing framing = Framing::ContentLength;
    int trickle = 0;
    int interval = 0;
    bool waitingForTimer = false;
    bool stalled = false;
};

LocalHttpServer::LocalHttpServer(QObject* parent) : QObject(parent), m_Server(new QTcpServer(this))
{
    connect(m_Server, &QTcpServer::newConnection, this, &LocalHttpServer::onNewConnection);
}

LocalHttpServer::~LocalHttpServer()
{
    m_Server->close();
    const QList<Connection*> connections = m_Connections;
    m_Connections.clear();
    for (Connection* c : connections) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c->socket; // takes c with it
    }
}

bool LocalHttpServer::listen(quint16 port)
{
    // Loopback only: tests must never be reachable from, or reach, elsewhere.
    return m_Server->listen(QHostAddress(QHostAddress::LocalHost), port);
}

quint16 LocalHttpServer::port() const
{
    return m_Server->serverPort();
}

QString LocalHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QUrl LocalHttpServer::url(const QString& path) const
{
    return QUrl(baseUrl() + path);
}

void LocalHttpServer::setDocumentRoot(const QString& dir)
{
    m_DocRoot = dir;
}

void LocalHttpServer::setFileReplyOptions(const Reply& options)
{
    m_FileOptions = options;
}

void LocalHttpServer::setReply(const QByteArray& path, const Reply& reply)
{
    m_Replies.insert(path, reply);
}

void LocalHttpServer::enqueueReply(const QByteArray& path, const Reply& reply)
{
    m_Queued[path].append(reply);
}

void LocalHttpServer::clearReplies()
{
    m_Replies.clear();
    m_Queued.clear();
    m_FailCounters.clear();
}

QList<LocalHttpServer::Request> LocalHttpServer::requests() const
{
    return m_Requests;
}

QStringList LocalHttpServer::requestLines() const
{
    QStringList lines;
    for (const Request& r : m_Requests)
        lines.append(QString::fromLatin1(r.line));
    return lines;
}

int LocalHttpServer::requestCount(const QByteArray& path) const
{
    int n = 0;
    for (const Request& r : m_Requests)
        if (r.path == path)
            ++n;
    return n;
}

void LocalHttpServer::clearLog()
{
    m_Requests.clear();
}

int LocalHttpServer::openConnections() const
{
    return m_Connections.size();
}

int LocalHttpServer::totalConnections() const
{
    return m_TotalConnections;
}

int LocalHttpServer::maxConcurrentConnections() const
{
    return m_MaxConnections;
}

int LocalHttpServer::maxConcurrentRequests() const
{
    return m_MaxRequests;
}

void LocalHttpServer::closeAllConnections()
{
    // disconnectFromHost may report the end synchronously, which edits the list.
    const QList<Connection*> connections = m_Connections;
    for (Connection* c : connections) {
        c->gone = true;
        c->socket->disconnectFromHost();
    }
}

LocalHttpServer::Connection* LocalHttpServer::findConnection(quint64 id) const
{
    for (Connection* c : m_Connections)
        if (c->id == id)
            return c;
    return nullptr;
}

void LocalHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_Server->nextPendingConnection()) {
        auto* c = new Connection;
        c->id = ++m_LastConnectionId;
        c->socket = socket;
        m_Connections.append(c);
        ++m_TotalConnections;
        m_MaxConnections = qMax(m_MaxConnections, m_Connections.size());
        // The record lives exactly as long as its socket, so code still on the
        // stack when the socket reports its end can keep using it.
        connect(socket, &QObject::destroyed, [c] { delete c; });
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { onBytesWritten(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { onDisconnected(c); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(c);
    }
}

void LocalHttpServer::onReadyRead(Connection* c)
{
    if (c->gone)
        return;
    c->in.append(c->socket->readAll());
    // Requests are answered one at a time per connection; pipelined ones wait.
    while (!c->busy && !c->gone) {
        int headEnd = c->in.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (c->in.size() > kMaxHeadBytes)
                sendSimpleError(c, 431);
            return;
        }
        const QByteArray head = c->in.left(headEnd);
        const QList<QByteArray> lines = head.split('\n');
        Request request;
        request.line = lines.value(0).trimmed();
        const QList<QByteArray> parts = request.line.split(' ');
        if (parts.size() != 3 || !parts[2].startsWith("HTTP/")) {
            m_Requests.append(request);
            sendSimpleError(c, 400);
            return;
        }
        request.method = parts[0];
        request.target = parts[1];
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append(qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
        }
        QByteArray target = request.target;
        if (!target.startsWith('/')) {
            // Absolute-form, as a client talking to a forward proxy sends it.
            const int scheme = target.indexOf("://");
            if (scheme > 0) {
                request.absoluteForm = true;
                const int slash = target.indexOf('/', scheme + 3);
                target = slash < 0 ? QByteArray("/") : target.mid(slash);
            }
        }
        const int query = target.indexOf('?');
        request.path = query < 0 ? target : target.left(query);

        // Skip a request body; a GET normally has none.
        bool lengthOk = true;
        const QByteArray lengthText = request.header("Content-Length");
        const qint64 bodyLength = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&lengthOk);
        if (!lengthOk || bodyLength < 0 || bodyLength > kMaxHeadBytes) {
            m_Requests.append(request);
            sendSimpleError(c, 400);
            return;
        }
        if (c->in.size() - (headEnd + 4) < bodyLength)
            return;
        c->in.remove(0, headEnd + 4 + int(bodyLength));

        if (parts[2] == "HTTP/1.0" || request.header("Connection").toLower() == "close")
            c->closeAfter = true;
        handleRequest(c, request);
    }
}

void LocalHttpServer::handleRequest(Connection* c, Request request)
{
    m_Requests.append(request);
    c->busy = true;
    ++m_ActiveRequests;
    m_MaxRequests = qMax(m_MaxRequests, m_ActiveRequests);
    // A slot may close connections; look this one up again afterwards.
    const quint64 id = c->id;
    emit requestReceived(request.line);
    c = findConnection(id);
    if (!c || c->gone)
        return;
    bool fromFile = false;
    const Reply reply = pickReply(request, &fromFile);
    startReply(c, reply, request.path, request.method == "HEAD");
}

LocalHttpServer::Reply LocalHttpServer::pickReply(const Request& request, bool* fromFile)
{
    *fromFile = false;
    Reply reply;
    auto queued = m_Queued.find(request.path);
    if (queued != m_Queued.end() && !queued->isEmpty()) {
        reply = queued->takeFirst();
    } else if (m_Replies.contains(request.path)) {
        reply = m_Replies.value(request.path);
    } else {
        reply = Reply::withBody("Not Found", 404);
        if (!m_DocRoot.isEmpty()) {
            const QString decoded = QUrl::fromPercentEncoding(request.path);
            const QStringList segments = decoded.split('/', Qt::SkipEmptyParts);
            // Never serve anything outside the document root.
            if (!segments.contains(QStringLiteral("..")) && !segments.isEmpty()) {
                const QString file = QDir(m_DocRoot).filePath(segments.join('/'));
                QFile f(file);
                if (QFileInfo(file).isFile() && f.open(QIODevice::ReadOnly)) {
                    reply = m_FileOptions;
                    reply.status = 200;
                    reply.reason.clear();
                    reply.body = f.readAll();
                    *fromFile = true;
                }
            }
        }
    }
    if (reply.failFirst > 0) {
        int& seen = m_FailCounters[request.path];
        if (seen < reply.failFirst) {
            ++seen;
            Reply failure;
            failure.status = reply.failStatus;
            return failure;
        }
    }
    return reply;
}

void LocalHttpServer::startReply(Connection* c, const Reply& reply, const QByteArray& path, bool headOnly)
{
    c->path = path;
    if (reply.closeBeforeHeaders) {
        c->gone = true;
        c->socket->disconnectFromHost();
        return;
    }
    if (reply.stallBeforeHeaders)
        return;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
        + (reply.reason.isEmpty() ? reasonPhrase(reply.status) : reply.reason) + "\r\n";
    for (const auto& h : reply.headers)
        head += h.first + ": " + h.second + "\r\n";
    c->framing = reply.framing;
    for (const auto& h : reply.headers)
        if (h.first.compare("Connection", Qt::CaseInsensitive) == 0 && h.second.toLower() == "close")
            c->closeAfter = true;
    switch (reply.framing) {
    case Framing::ContentLength: {
        const qint64 announced = reply.announcedLength >= 0 ? reply.announcedLength : reply.body.size();
        if (!hasHeader(reply.headers, "Content-Length"))
            head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
        // Extra bytes would be read as the next response: end the connection.
        if (announced < reply.body.size())
            c->closeAfter = true;
        break;
    }
    case Framing::CloseDelimited: c->closeAfter = true; break;
    case Framing::Chunked: head += "Transfer-Encoding: chunked\r\n"; break;
    }
    if (c->closeAfter && !hasHeader(reply.headers, "Connection"))
        head += "Connection: close\r\n";
    head += "\r\n";
    c->socket->write(head);

    c->body = headOnly ? QByteArray() : reply.body;
    c->sent = 0;
    c->limit = c->body.size();
    c->end = Connection::End::Complete;
    if (!headOnly && reply.dropAfterBodyBytes >= 0) {
        c->limit = qMin<qint64>(c->limit, reply.dropAfterBodyBytes);
        c->end = Connection::End::Drop;
    } else if (!headOnly && reply.stallAfterBodyBytes >= 0) {
        c->limit = qMin<qint64>(c->limit, reply.stallAfterBodyBytes);
        c->end = Connection::End::Stall;
    }
    c->trickle = qMax(0, reply.trickleBytes);
    c->interval = qMax(0, reply.trickleIntervalMs);
    c->waitingForTimer = false;
    c->stalled = false;
    pump(c);
}

void LocalHttpServer::pump(Connection* c)
{
    if (c->gone || !c->busy || c->waitingForTimer || c->stalled)
        return;
    while (c->sent < c->limit) {
        if (c->socket->bytesToWrite() > kWriteHighWater)
            return; // resumed by bytesWritten
        const qint64 piece = qMin(c->limit - c->sent, c->trickle > 0 ? qint64(c->trickle) : kWritePiece);
        const QByteArray data = c->body.mid(int(c->sent), int(piece));
        if (c->framing == Framing::Chunked)
            c->socket->write(QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n");
        else
            c->socket->write(data);
        c->sent += piece;
        if (c->trickle > 0 && c->sent < c->limit) {
            c->waitingForTimer = true;
            const quint64 id = c->id;
            QTimer::singleShot(c->interval, this, [this, id] {
                if (Connection* conn = findConnection(id)) {
                    conn->waitingForTimer = false;
                    pump(conn);
                }
            });
            return;
        }
    }
    switch (c->end) {
    case Connection::End::Stall:
        c->stalled = true; // nothing more is written on this connection
        return;
    case Connection::End::Drop:
        c->gone = true;
        c->socket->disconnectFromHost();
        return;
    case Connection::End::Complete: finishReply(c); return;
    }
}

void LocalHttpServer::finishReply(Connection* c)
{
    if (c->framing == Framing::Chunked)
        c->socket->write("0\r\n\r\n");
    const QByteArray path = c->path;
    c->busy = false;
    c->body.clear();
    --m_ActiveRequests;
    const bool close = c->closeAfter;
    const quint64 id = c->id;
    emit replySent(path);
    c = findConnection(id);
    if (!c || c->gone)
        return;
    if (close) {
        c->gone = true; // no further request is read from this connection
        c->socket->disconnectFromHost();
        return;
    }
    if (!c->in.isEmpty()) {
        const quint64 id = c->id;
        QTimer::singleShot(0, this, [this, id] {
            if (Connection* conn = findConnection(id))
                onReadyRead(conn);
        });
    }
}

void LocalHttpServer::onBytesWritten(Connection* c)
{
    if (c->busy && c->sent < c->limit)
        pump(c);
}

void LocalHttpServer::onDisconnected(Connection* c)
{
    if (!m_Connections.removeOne(c))
        return;
    c->gone = true;
    if (c->busy)
        --m_ActiveRequests;
    c->socket->disconnect(this);
    c->socket->deleteLater();
    emit connectionClosed();
}

void LocalHttpServer::sendSimpleError(Connection* c, int status)
{
    c->busy = true;
    ++m_ActiveRequests;
    m_MaxRequests = qMax(m_MaxRequests, m_ActiveRequests);
    c->closeAfter = true;
    c->in.clear();
    startReply(c, Reply::withBody(reasonPhrase(status), status), QByteArray(), false);
}
