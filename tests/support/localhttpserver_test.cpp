#include "localhttpserver.h"
#include "waitfor.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using Reply = LocalHttpServer::Reply;
using Framing = LocalHttpServer::Framing;

// A raw client, so the bytes on the wire can be checked exactly.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;
    bool closed = false;

    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] {
            received += socket.readAll();
            closed = true;
        });
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    }
    void send(const QByteArray& request) { socket.write(request); }
    bool waitClosed()
    {
        return waitFor([this] { return closed; });
    }
    bool waitBytes(int n)
    {
        return waitFor([this, n] { return received.size() >= n; });
    }
    QByteArray head() const { return received.left(received.indexOf("\r\n\r\n") + 4); }
    QByteArray body() const { return received.mid(received.indexOf("\r\n\r\n") + 4); }
};

QByteArray get(const QByteArray& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

class LocalHttpServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath("sub");
        writeFile("sub/file.bin", "0123456789abcdef");
        writeFile("../outside.txt", "secret");
        server.setDocumentRoot(dir.path() + "/root");
        ASSERT_TRUE(server.listen());
    }
    void writeFile(const QString& rel, const QByteArray& data)
    {
        const QString path = dir.path() + "/root/" + rel;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }

    QTemporaryDir dir;
    LocalHttpServer server;
};

TEST_F(LocalHttpServerTest, ListensOnLoopbackOnly)
{
    EXPECT_NE(server.port(), 0);
    EXPECT_EQ(server.baseUrl(), QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
    QTcpSocket probe;
    probe.connectToHost(QHostAddress(QHostAddress::LocalHost), server.port());
    EXPECT_TRUE(probe.waitForConnected(5000));
    EXPECT_EQ(probe.peerAddress(), QHostAddress(QHostAddress::LocalHost));
}

struct WireCase
{
    const char* name;
    QByteArray request;
    QByteArray expectedStatusLine;
    QByteArray expectedBody;
    QByteArray expectedPath;
    bool absoluteForm;
    int announcedLength;
};

void PrintTo(const WireCase& c, std::ostream* os)
{
    *os << c.name;
}

class LocalHttpServerWire : public LocalHttpServerTest, public ::testing::WithParamInterface<WireCase>
{};

TEST_P(LocalHttpServerWire, AnswersRequestFormsFromTheDocumentRoot)
{
    const WireCase& c = GetParam();
    RawClient client(server.port());
    client.send(c.request);
    ASSERT_TRUE(
        waitFor([&] { return client.received.contains("\r\n\r\n") && client.body().size() >= c.expectedBody.size(); }));
    EXPECT_TRUE(client.received.startsWith(c.expectedStatusLine + "\r\n")) << client.received.constData();
    EXPECT_EQ(client.body(), c.expectedBody);
    EXPECT_TRUE(client.head().contains("Content-Length: " + QByteArray::number(c.announcedLength) + "\r\n"));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].path, c.expectedPath);
    EXPECT_EQ(server.requests()[0].absoluteForm, c.absoluteForm);
    EXPECT_EQ(server.requestLines()[0].toLatin1(), c.request.left(c.request.indexOf("\r\n")));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LocalHttpServerWire,
    ::testing::Values(
        WireCase{"OriginForm", get("/sub/file.bin"), "HTTP/1.1 200 OK", "0123456789abcdef", "/sub/file.bin", false, 16},
        WireCase{"OriginFormWithQuery", get("/sub/file.bin?x=1"), "HTTP/1.1 200 OK", "0123456789abcdef",
                 "/sub/file.bin", false, 16},
        WireCase{"AbsoluteFormAnyHost", get("http://files.example.invalid:8080/sub/file.bin"), "HTTP/1.1 200 OK",
                 "0123456789abcdef", "/sub/file.bin", true, 16},
        WireCase{"Missing", get("/sub/none"), "HTTP/1.1 404 Not Found", "Not Found", "/sub/none", false, 9},
        WireCase{"DirectoryIsNotAFile", get("/sub"), "HTTP/1.1 404 Not Found", "Not Found", "/sub", false, 9},
        WireCase{"NoEscapeFromRoot", get("/../outside.txt"), "HTTP/1.1 404 Not Found", "Not Found", "/../outside.txt",
                 false, 9},
        WireCase{"EncodedEscape", get("/%2E%2E/outside.txt"), "HTTP/1.1 404 Not Found", "Not Found",
                 "/%2E%2E/outside.txt", false, 9},
        WireCase{"Head", "HEAD /sub/file.bin HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "", "/sub/file.bin", false, 16}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

TEST_F(LocalHttpServerTest, RefusesAMalformedRequestLine)
{
    RawClient client(server.port());
    client.send("NONSENSE\r\n\r\n");
    ASSERT_TRUE(client.waitClosed());
    EXPECT_TRUE(client.received.startsWith("HTTP/1.1 400 Bad Request\r\n"));
}

struct FaultCase
{
    const char* name;
    std::function<void(Reply&)> shape;
    QByteArray expectedHeadPart;   // must appear in the head
    QByteArray expectedBodyOnWire; // everything after the head, until close
};

void PrintTo(const FaultCase& c, std::ostream* os)
{
    *os << c.name;
}

class LocalHttpServerFaults : public LocalHttpServerTest, public ::testing::WithParamInterface<FaultCase>
{};

// Each case ends with the connection closed (by the reply itself, or by the
// test after the reply has gone silent), so the whole wire content is known.
TEST_P(LocalHttpServerFaults, ShapesTheWireAsScripted)
{
    const FaultCase& c = GetParam();
    Reply reply = Reply::withBody("abcdefghij");
    c.shape(reply);
    server.setReply("/r", reply);
    RawClient client(server.port());
    client.send(get("/r"));
    // A stalled reply writes nothing more once the server has the request
    // (stall before headers) or the client has the scripted bytes (stall
    // after N); closing from the server then flushes and ends the wire.
    if (reply.stallBeforeHeaders) {
        ASSERT_TRUE(waitFor([&] { return server.requests().size() == 1; }));
        server.closeAllConnections();
    } else if (reply.stallAfterBodyBytes >= 0) {
        ASSERT_TRUE(waitFor(
            [&] { return client.received.contains("\r\n\r\n") && client.body().size() >= reply.stallAfterBodyBytes; }));
        server.closeAllConnections();
    }
    ASSERT_TRUE(client.waitClosed());
    if (reply.stallBeforeHeaders || reply.closeBeforeHeaders) {
        EXPECT_TRUE(client.received.isEmpty());
        return;
    }
    EXPECT_TRUE(client.head().contains(c.expectedHeadPart)) << client.head().constData();
    EXPECT_EQ(client.body(), c.expectedBodyOnWire);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LocalHttpServerFaults,
    ::testing::Values(
        FaultCase{"Status500",
                  [](Reply& r) {
                      r.status = 500;
                      r.framing = Framing::CloseDelimited;
                  },
                  "HTTP/1.1 500 Internal Server Error\r\n", "abcdefghij"},
        FaultCase{"Redirect",
                  [](Reply& r) {
                      r = Reply::redirect("http://127.0.0.1:1/x");
                      r.framing = Framing::CloseDelimited;
                  },
                  "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/x\r\n", ""},
        FaultCase{"CloseDelimited", [](Reply& r) { r.framing = Framing::CloseDelimited; }, "Connection: close\r\n",
                  "abcdefghij"},
        FaultCase{"Chunked",
                  [](Reply& r) {
                      r.framing = Framing::Chunked;
                      r.trickleBytes = 4;
                      r.trickleIntervalMs = 0;
                      r.headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
                  },
                  "Transfer-Encoding: chunked\r\n", "4\r\nabcd\r\n4\r\nefgh\r\n2\r\nij\r\n0\r\n\r\n"},
        FaultCase{"LongerThanAnnounced", [](Reply& r) { r.announcedLength = 4; },
                  "Content-Length: 4\r\nConnection: close\r\n", "abcdefghij"},
        FaultCase{"DropAfterBytes", [](Reply& r) { r.dropAfterBodyBytes = 3; }, "Content-Length: 10\r\n", "abc"},
        FaultCase{"DropRightAfterHeaders", [](Reply& r) { r.dropAfterBodyBytes = 0; }, "Content-Length: 10\r\n", ""},
        FaultCase{"StallAfterBytes", [](Reply& r) { r.stallAfterBodyBytes = 6; }, "Content-Length: 10\r\n", "abcdef"},
        FaultCase{"TrickleCloseDelimited",
                  [](Reply& r) {
                      r.trickleBytes = 3;
                      r.trickleIntervalMs = 1;
                      r.framing = Framing::CloseDelimited;
                  },
                  "HTTP/1.1 200 OK\r\n", "abcdefghij"},
        FaultCase{"StallBeforeHeaders", [](Reply& r) { r.stallBeforeHeaders = true; }, "", ""},
        FaultCase{"CloseBeforeHeaders", [](Reply& r) { r.closeBeforeHeaders = true; }, "", ""}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(LocalHttpServerTest, FailsTheFirstRequestsThenServes)
{
    Reply reply = Reply::withBody("ok");
    reply.failFirst = 2;
    reply.failStatus = 500;
    server.setReply("/f", reply);
    server.enqueueReply("/q", Reply::withBody("once", 404));
    server.setReply("/q", Reply::withBody("standing"));

    // One kept-alive connection carries every request in turn.
    RawClient client(server.port());
    QList<QByteArray> statusLines;
    QList<QByteArray> bodies;
    for (const QByteArray& path :
         {QByteArray("/f"), QByteArray("/f"), QByteArray("/f"), QByteArray("/q"), QByteArray("/q")}) {
        client.received.clear();
        client.send(get(path));
        ASSERT_TRUE(waitFor([&] {
            const int headEnd = client.received.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return false;
            const QByteArray head = client.received.left(headEnd);
            const int at = head.indexOf("Content-Length: ");
            return client.body().size() >= head.mid(at + 16).split('\r').value(0).toInt();
        }));
        statusLines.append(client.received.left(client.received.indexOf("\r\n")));
        bodies.append(client.body());
    }
    EXPECT_EQ(statusLines,
              (QList<QByteArray>{"HTTP/1.1 500 Internal Server Error", "HTTP/1.1 500 Internal Server Error",
                                 "HTTP/1.1 200 OK", "HTTP/1.1 404 Not Found", "HTTP/1.1 200 OK"}));
    EXPECT_EQ(bodies, (QList<QByteArray>{"", "", "ok", "once", "standing"}));
    EXPECT_EQ(server.totalConnections(), 1);
    EXPECT_EQ(server.requestCount("/f"), 3);
}

TEST_F(LocalHttpServerTest, CountsConcurrentConnectionsAndRequests)
{
    Reply stall;
    stall.stallBeforeHeaders = true;
    server.setReply("/stall", stall);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawClient>(server.port()));
        clients.back()->send(get("/stall"));
    }
    ASSERT_TRUE(waitFor([&] { return server.requests().size() == 3; }));
    EXPECT_EQ(server.openConnections(), 3);
    EXPECT_EQ(server.maxConcurrentConnections(), 3);
    EXPECT_EQ(server.maxConcurrentRequests(), 3);
    server.closeAllConnections();
    for (auto& c : clients)
        ASSERT_TRUE(c->waitClosed());
    ASSERT_TRUE(waitFor([&] { return server.openConnections() == 0; }));
    EXPECT_EQ(server.maxConcurrentConnections(), 3);
}

struct QnamCase
{
    const char* name;
    std::function<void(Reply&)> shape;
};

void PrintTo(const QnamCase& c, std::ostream* os)
{
    *os << c.name;
}

class LocalHttpServerQnam : public LocalHttpServerTest, public ::testing::WithParamInterface<QnamCase>
{};

// Qt's own client reads every framing, directly and through the server acting
// as a forward proxy.
TEST_P(LocalHttpServerQnam, DeliversTheBodyToQtsClient)
{
    QByteArray body;
    for (int i = 0; i < 5000; ++i)
        body += QByteArray::number(i) + ',';
    Reply reply = Reply::withBody(body);
    GetParam().shape(reply);
    server.setReply("/data", reply);

    for (bool viaProxy : {false, true}) {
        QNetworkAccessManager manager;
        QUrl url = server.url("/data");
        if (viaProxy) {
            manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", server.port()));
            url = QUrl("http://updates.example.invalid/data");
        } else {
            manager.setProxy(QNetworkProxy::NoProxy);
        }
        std::unique_ptr<QNetworkReply> r(manager.get(QNetworkRequest(url)));
        ASSERT_TRUE(waitFor([&] { return r->isFinished(); }));
        EXPECT_EQ(r->error(), QNetworkReply::NoError) << r->errorString().toStdString();
        EXPECT_EQ(r->readAll(), body);
        EXPECT_EQ(server.requests().last().absoluteForm, viaProxy);
    }
}

INSTANTIATE_TEST_SUITE_P(Framings, LocalHttpServerQnam,
                         ::testing::Values(QnamCase{"ContentLength", [](Reply&) {}},
                                           QnamCase{"Chunked",
                                                    [](Reply& r) {
                                                        r.framing = Framing::Chunked;
                                                        r.trickleBytes = 1000;
                                                        r.trickleIntervalMs = 0;
                                                    }},
                                           QnamCase{"CloseDelimited",
                                                    [](Reply& r) { r.framing = Framing::CloseDelimited; }},
                                           QnamCase{"Trickle",
                                                    [](Reply& r) {
                                                        r.trickleBytes = 4096;
                                                        r.trickleIntervalMs = 1;
                                                    }}),
                         [](const ::testing::TestParamInfo<QnamCase>& info) { return std::string(info.param.name); });

TEST_F(LocalHttpServerTest, FilesTakeTheScriptedFaults)
{
    Reply options;
    options.failFirst = 1;
    options.framing = Framing::Chunked;
    options.trickleBytes = 5;
    options.trickleIntervalMs = 0;
    server.setFileReplyOptions(options);
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QList<int> statuses;
    QByteArray lastBody;
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<QNetworkReply> r(manager.get(QNetworkRequest(server.url("/sub/file.bin"))));
        ASSERT_TRUE(waitFor([&] { return r->isFinished(); }));
        statuses.append(r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        lastBody = r->readAll();
    }
    EXPECT_EQ(statuses, (QList<int>{503, 200}));
    EXPECT_EQ(lastBody, QByteArray("0123456789abcdef"));
}

TEST_F(LocalHttpServerTest, QtsClientSeesADroppedTransferAsAnError)
{
    Reply reply = Reply::withBody(QByteArray(1000, 'x'));
    reply.dropAfterBodyBytes = 100;
    server.setReply("/drop", reply);
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    std::unique_ptr<QNetworkReply> r(manager.get(QNetworkRequest(server.url("/drop"))));
    ASSERT_TRUE(waitFor([&] { return r->isFinished(); }));
    EXPECT_NE(r->error(), QNetworkReply::NoError);
}

// The program around the server: prints its port first, then serves the
// directory with the faults given on its command line.
TEST_F(LocalHttpServerTest, ProgramServesADirectoryOnThePortItPrints)
{
    QProcess httpd;
    httpd.start(QND_TEST_HTTPD, {"--fail-first", "1", dir.path() + "/root"});
    ASSERT_TRUE(httpd.waitForStarted());
    QByteArray firstLine;
    ASSERT_TRUE(waitFor([&] {
        if (!httpd.canReadLine())
            return false;
        firstLine = httpd.readLine().trimmed();
        return true;
    }));
    ASSERT_TRUE(firstLine.startsWith("port "));
    const int port = firstLine.mid(5).toInt();
    ASSERT_GT(port, 0);

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QList<int> statuses;
    QByteArray body;
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<QNetworkReply> r(
            manager.get(QNetworkRequest(QUrl(QString("http://127.0.0.1:%1/sub/file.bin").arg(port)))));
        ASSERT_TRUE(waitFor([&] { return r->isFinished(); }));
        statuses.append(r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        body = r->readAll();
    }
    EXPECT_EQ(statuses, (QList<int>{503, 200}));
    EXPECT_EQ(body, QByteArray("0123456789abcdef"));
    httpd.terminate();
    ASSERT_TRUE(httpd.waitForFinished());
    EXPECT_TRUE(httpd.readAllStandardError().contains("GET /sub/file.bin HTTP/1.1"));
}

} // namespace
