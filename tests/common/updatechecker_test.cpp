#include "httpdownloader.h"
#include "localhttpserver.h"
#include "serverversions.h"
#include "updatechecker.h"
#include "versionreply.h"
#include "waitfor.h"
#include "support/qtmessages.h"

#include <QPointer>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

namespace {

using Reply = LocalHttpServer::Reply;

QByteArray versionQueryRequestLine()
{
    std::string url;
    versionServerUrl(url);
    return "GET " + QByteArray::fromStdString(url) + " HTTP/1.1";
}

struct CheckCase
{
    const char* name;
    std::function<Reply()> reply;
    UpdateVersions expected;
    const char* logged = nullptr; // a warning that explains the failure
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << c.name;
}

UpdateVersions stableAndBeta()
{
    UpdateVersions v;
    v.insert("stable", qMakePair(QString("1000"), QString("3.0.0")));
    v.insert("beta", qMakePair(QString("1010"), QString("3.1.0-beta")));
    return v;
}

Reply goodReply()
{
    return Reply::withBody(versionsReply({{"stable", 1000, "3.0.0"}, {"beta", 1010, "3.1.0-beta"}}));
}

// goodReply's bytes followed by an unknown length-delimited field of size
// bytes, which a parser would skip: only the cap can refuse it.
QByteArray withUnknownField(int size)
{
    QByteArray body = goodReply().body;
    body += char(15 << 3 | 2);
    for (quint32 v = quint32(size);; v >>= 7) {
        body += char(v >= 0x80 ? (v & 0x7F) | 0x80 : v);
        if (v < 0x80)
            break;
    }
    return body + QByteArray(size, 'u');
}

// body framed so, written trickleBytes at a time every intervalMs.
Reply shaped(const QByteArray& body, LocalHttpServer::Framing framing, int trickleBytes, int intervalMs)
{
    Reply r = Reply::withBody(body);
    r.framing = framing;
    r.trickleBytes = trickleBytes;
    r.trickleIntervalMs = intervalMs;
    return r;
}

Reply unannounced(const QByteArray& body, LocalHttpServer::Framing framing)
{
    return shaped(body, framing, 64 * 1024, 0);
}

// A query may take this long in these tests, whatever the server does.
constexpr int kTestDeadlineMs = 2000;

std::vector<CheckCase> checkCases()
{
    return {
        {"GoodReply", [] { return goodReply(); }, stableAndBeta()},
        {"GoodReplyChunked", [] { return shaped(goodReply().body, LocalHttpServer::Framing::Chunked, 5, 0); },
         stableAndBeta()},
        {"DuplicateChannelKeepsFirst",
         [] {
             return Reply::withBody(versionsReply({{"stable", 10, "a"}, {"stable", 11, "b"}}));
         },
         UpdateVersions{{"stable", qMakePair(QString("10"), QString("a"))}}},
        {"Utf8VersionString",
         [] {
             return Reply::withBody(versionsReply({{"alpha", 7, "3.0 \xce\xb1"}}));
         },
         UpdateVersions{{"alpha", qMakePair(QString("7"), QString::fromUtf8("3.0 \xce\xb1"))}}},
        {"NotFound",
         [] {
             Reply r = goodReply();
             r.status = 404;
             return r;
         },
         {},
         "Not Found"},
        {"ServerError",
         [] {
             Reply r = goodReply();
             r.status = 500;
             return r;
         },
         {},
         "Internal Server Error"},
        {"EmptyBody", [] { return Reply::withBody(""); }, {}, "Version reply of 0 bytes is unreadable"},
        {"Garbage", [] { return Reply::withBody("<html>maintenance</html>"); }, {}, "is unreadable"},
        {"NoChannels", [] { return Reply::withBody(versionsReply({})); }, {}, "names no channel"},
        {"DroppedMidBody",
         [] {
             Reply r = goodReply();
             r.dropAfterBodyBytes = 5;
             return r;
         },
         {}},
        {"StalledBeforeHeaders",
         [] {
             Reply r;
             r.stallBeforeHeaders = true;
             return r;
         },
         {}},
        {"StalledMidBody",
         [] {
             Reply r = goodReply();
             r.stallAfterBodyBytes = 5;
             return r;
         },
         {}},
        {"OversizedBody",
         [] { return Reply::withBody(QByteArray(HTTPDownloader::kMaxBodyBytes + 4096, '\x08')); },
         {},
         "announced 1052672 bytes"},
        // Without a length the cap is held as the bytes arrive, however fast.
        {"OversizedReplyWithoutLength",
         [] { return unannounced(withUnknownField(2 * 1024 * 1024), LocalHttpServer::Framing::CloseDelimited); },
         {},
         "larger than the allowed 1048576 bytes"},
        {"OversizedReplyChunked",
         [] { return unannounced(withUnknownField(2 * 1024 * 1024), LocalHttpServer::Framing::Chunked); },
         {},
         "larger than the allowed 1048576 bytes"},
        {"ReplyJustUnderTheCap",
         [] {
             return unannounced(withUnknownField(HTTPDownloader::kMaxBodyBytes - 64),
                                LocalHttpServer::Framing::CloseDelimited);
         },
         stableAndBeta()},
        // A byte now and then keeps the gaps short; the deadline still ends it.
        {"DripWithoutLength",
         [] { return shaped(goodReply().body, LocalHttpServer::Framing::CloseDelimited, 1, 200); },
         {},
         "no complete reply within 2 seconds"},
    };
}

class UpdateCheckerQuery : public ::testing::TestWithParam<CheckCase>
{
protected:
    void SetUp() override
    {
        qRegisterMetaType<UpdateVersions>("UpdateVersions");
        ASSERT_TRUE(server.listen());
    }
    void TearDown() override
    {
        // Every downloader thread ends and releases itself.
        EXPECT_TRUE(waitFor([] {
            drainEvents();
            return HTTPDownloader::instances() == 0;
        }));
    }
    LocalHttpServer server;
};

// The query goes out through the proxy named by http_proxy (the server sees
// an absolute-form request for the configured host) and every failure,
// including a server that never answers, ends in an empty table.
TEST_P(UpdateCheckerQuery, AnswersOnceWithTheTableOrEmpty)
{
    const CheckCase& c = GetParam();
    server.setReply("/qnd-client-2", c.reply());
    ScopedEnv proxy("http_proxy", server.baseUrl().toLatin1());

    QtMessageCapture log;
    QObject owner;
    QPointer<UpdateChecker> checker = new UpdateChecker(&owner);
    checker->setTransferTimeout(500);
    checker->setDeadline(kTestDeadlineMs);
    QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
    QSignalSpy failed(checker.data(), &UpdateChecker::queryFailed);
    checker->start();
    ASSERT_TRUE(waitFor([&] { return spy.count() > 0; }));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][0].value<UpdateVersions>(), c.expected);
    // The log tells where the query went and why it failed.
    std::string url;
    versionServerUrl(url);
    EXPECT_EQ(log.find("info", "Querying versions from " + QString::fromStdString(url)).size(), 1)
        << log.lines().join('\n').toStdString();
    if (c.logged) {
        EXPECT_EQ(log.find("warning", QString::fromLatin1(c.logged)).size(), 1) << log.lines().join('\n').toStdString();
    }
    if (!c.expected.isEmpty()) {
        EXPECT_TRUE(log.find("warning", "").isEmpty()) << log.lines().join('\n').toStdString();
    }
    // A failure names its cause once, before the empty table: the first
    // line that explained it.
    ASSERT_EQ(failed.count(), c.expected.isEmpty() ? 1 : 0);
    if (c.expected.isEmpty()) {
        const QString cause = failed[0][0].toString();
        EXPECT_FALSE(cause.isEmpty());
        EXPECT_EQ(log.find("warning", cause).size(), 1) << log.lines().join('\n').toStdString();
        if (c.logged) {
            EXPECT_TRUE(cause.contains(QString::fromLatin1(c.logged))) << cause.toStdString();
        }
    }

    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].line, versionQueryRequestLine());
    EXPECT_TRUE(server.requests()[0].absoluteForm);

    drainEvents();
    EXPECT_TRUE(checker.isNull()); // released itself after answering
}

INSTANTIATE_TEST_SUITE_P(Replies, UpdateCheckerQuery, ::testing::ValuesIn(checkCases()),
                         [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

// A checker dropped mid-query (the configuration going away at shut-down)
// takes its network thread down with it instead of leaving it to the 30 s
// time-out; nothing is delivered afterwards.
TEST(UpdateCheckerLifetime, DestroyingTheCheckerEndsAStalledQuery)
{
    LocalHttpServer server;
    ASSERT_TRUE(server.listen());
    Reply stall;
    stall.stallBeforeHeaders = true;
    server.setReply("/qnd-client-2", stall);
    ScopedEnv proxy("http_proxy", server.baseUrl().toLatin1());

    int answers = 0;
    {
        QObject owner;
        auto* checker = new UpdateChecker(&owner);
        QObject::connect(checker, &UpdateChecker::update_available, [&] { ++answers; });
        checker->start();
        ASSERT_TRUE(waitFor([&] { return server.requests().size() == 1; }));
        EXPECT_EQ(HTTPDownloader::instances(), 1);
    }
    // Well inside the transfer time-out the query would otherwise wait for.
    EXPECT_TRUE(waitFor(
        [] {
            drainEvents();
            return HTTPDownloader::instances() == 0;
        },
        10000));
    drainEvents();
    EXPECT_EQ(answers, 0);
}

TEST(HTTPDownloaderLifetime, HandsTheBodyOverAndIsReleasedAfterItsThreadEnds)
{
    LocalHttpServer server;
    ASSERT_TRUE(server.listen());
    server.setReply("/body", Reply::withBody("payload"));
    QNetworkRequest request(server.url("/body"));
    QPointer<HTTPDownloader> downloader = new HTTPDownloader(request);
    QByteArray received;
    int deliveries = 0;
    bool finishedBeforeRelease = false;
    QObject receiver;
    QObject::connect(
        downloader.data(), &HTTPDownloader::download_available, &receiver,
        [&](const QByteArray& data) {
            received = data;
            ++deliveries;
        },
        Qt::QueuedConnection);
    // finished() is emitted by the ending thread itself, after run() returned.
    std::atomic<bool> threadFinished{false};
    QObject::connect(
        downloader.data(), &QThread::finished, &receiver, [&] { threadFinished = true; }, Qt::DirectConnection);
    QObject::connect(downloader.data(), &QObject::destroyed, &receiver,
                     [&] { finishedBeforeRelease = threadFinished; });
    downloader->start();
    ASSERT_TRUE(waitFor([&] { return downloader.isNull(); }));
    EXPECT_EQ(deliveries, 1);
    EXPECT_EQ(received, QByteArray("payload"));
    EXPECT_TRUE(finishedBeforeRelease);
}

TEST(VersionForChannel, PicksTheEntryOfTheChannelCode)
{
    const UpdateVersions versions = stableAndBeta();
    const struct
    {
        int channel;
        QPair<QString, QString> expected;
    } rows[] = {
        {0, qMakePair(QString("1000"), QString("3.0.0"))},
        {1, qMakePair(QString("1010"), QString("3.1.0-beta"))},
        {2, QPair<QString, QString>()}, // no "alpha" entry
        {5, QPair<QString, QString>()},
        {-1, QPair<QString, QString>()},
    };
    for (const auto& row : rows)
        EXPECT_EQ(UpdateChecker::versionForChannel(versions, row.channel), row.expected) << row.channel;
    UpdateVersions withAlpha = versions;
    withAlpha.insert("alpha", qMakePair(QString("1"), QString("a")));
    EXPECT_EQ(UpdateChecker::versionForChannel(withAlpha, 2), qMakePair(QString("1"), QString("a")));
    EXPECT_EQ(UpdateChecker::versionForChannel(withAlpha, 5), (QPair<QString, QString>()));
}

} // namespace
