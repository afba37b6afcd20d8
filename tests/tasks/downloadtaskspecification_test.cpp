#include "downloadtaskspecification.h"
#include "support/fileservertest.h"
#include "support/waitfor.h"
#include "support/testfiles.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using Reply = LocalHttpServer::Reply;
using Framing = LocalHttpServer::Framing;

constexpr int version = 7;

QByteArray patternBytes(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return data;
}

struct Counters
{
    qulonglong done = 0;
    qulonglong total = 0;
    qulonglong speed = 0;
    bool downloading = false;
};

class DownloadTest : public FileServerTest
{
protected:
    void TearDown() override
    {
        task.reset();
        FileServerTest::TearDown();
    }

    static QByteArray pathOf(const QString& name) { return "/files/7/" + name.toUtf8(); }
    // Serves name as 50000 bytes of which only the first 10000 ever arrive.
    void serveStalled(const QString& name)
    {
        Reply stalled = Reply::withBody(patternBytes(50000));
        stalled.stallAfterBodyBytes = 10000;
        server.setReply(pathOf(name), stalled);
    }

    DownloadTaskSpecification& makeTask(const QString& name, qint64 expectedSize, const QString& dest = {})
    {
        destPath = dest.isEmpty() ? dir.filePath(QStringLiteral("out.bin")) : dest;
        task =
            std::make_unique<DownloadTaskSpecification>(&manager, name, version, destPath, expectedSize, nullptr, 0.5);
        QObject::connect(task.get(), &TaskSpecification::message, [this](const QString& m) { messages << m; });
        QObject::connect(task.get(), &TaskSpecification::error, [this](const QString& m) { errors << m; });
        return *task;
    }
    bool runToEnd()
    {
        task->execute();
        return waitFor([this] { return task->state() != TASK_RUNNING; }, 60000);
    }
    Counters poll()
    {
        Counters c;
        task->getDownloadProgress(c.done, c.total, c.speed, c.downloading);
        return c;
    }
    std::unique_ptr<DownloadTaskSpecification> task;
    QString destPath;
    QStringList messages;
    QStringList errors;
};

// ---------------------------------------------------------------- success

struct BodyRow
{
    const char* name;
    Framing framing;
    int size;
    bool sizeFromList; // else the task is told -1
    int trickle;
};

class DownloadBodies : public DownloadTest, public ::testing::WithParamInterface<BodyRow>
{};

TEST_P(DownloadBodies, SavesTheExactBodyAndFinishes)
{
    const BodyRow& row = GetParam();
    const QByteArray body = patternBytes(row.size);
    Reply reply = Reply::withBody(body);
    reply.framing = row.framing;
    reply.trickleBytes = row.trickle;
    reply.trickleIntervalMs = 0;
    server.setReply(pathOf("data.bin"), reply);

    makeTask(QStringLiteral("data.bin"), row.sizeFromList ? row.size : -1);
    QList<qreal> progress;
    QObject::connect(task.get(), &TaskSpecification::updateProgress, [&](qreal p) { progress << p; });
    ASSERT_TRUE(runToEnd());

    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), body);
    EXPECT_EQ(messages, QStringList({"Downloading data.bin", "Downloading data.bin finished"}));
    EXPECT_TRUE(errors.isEmpty());
    // Qt may resend on its own when a server-closed connection looks stale.
    if (row.framing == Framing::CloseDelimited)
        ASSERT_GE(server.requests().size(), 1);
    else
        ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].line, QByteArray("GET /files/7/data.bin HTTP/1.1"));
    EXPECT_EQ(server.requests()[0].header("Accept-Encoding"), QByteArray("identity"));
    EXPECT_DOUBLE_EQ(task->progress(), 0.5);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_DOUBLE_EQ(progress.last(), 0.5);
    for (int i = 1; i < progress.size(); ++i)
        EXPECT_GE(progress[i], progress[i - 1]);

    // Without a size from anywhere, progress stays at zero until the end.
    if (!row.sizeFromList && row.framing != Framing::ContentLength) {
        for (int i = 0; i + 1 < progress.size(); ++i)
            EXPECT_EQ(progress[i], 0.0);
    }
    const Counters c = poll();
    EXPECT_EQ(c.done, static_cast<qulonglong>(row.size));
    EXPECT_FALSE(c.downloading);
}

INSTANTIATE_TEST_SUITE_P(Rows, DownloadBodies,
                         ::testing::Values(BodyRow{"LengthKnownToList", Framing::ContentLength, 20000, true, 0},
                                           BodyRow{"LengthFromServerOnly", Framing::ContentLength, 20000, false, 0},
                                           BodyRow{"CloseDelimitedKnownToList", Framing::CloseDelimited, 9000, true, 0},
                                           BodyRow{"CloseDelimitedUnknown", Framing::CloseDelimited, 9000, false, 1000},
                                           BodyRow{"ChunkedInSmallPieces", Framing::Chunked, 12345, true, 777},
                                           BodyRow{"ChunkedUnknown", Framing::Chunked, 5000, false, 0},
                                           BodyRow{"EmptyBodyKnown", Framing::ContentLength, 0, true, 0},
                                           BodyRow{"EmptyBodyUnknown", Framing::CloseDelimited, 0, false, 0}),
                         [](const ::testing::TestParamInfo<BodyRow>& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, CompressedBodyIsSavedAsSent)
{
    // The server claims gzip; the updater asked for identity and must keep the
    // bytes exactly as they came.
    const QByteArray gz = QByteArray::fromHex("1f8b08000000000000032bc9485548cbcc4955c8cc2bce4c490500a75ad49c0f000000");
    Reply reply = Reply::withBody(gz);
    reply.headers << qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip"));
    server.setReply(pathOf("packed.gz"), reply);
    makeTask(QStringLiteral("packed.gz"), gz.size());
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), gz);
}

TEST_F(DownloadTest, NameSegmentsArePercentEncoded)
{
    const QString name = QStringLiteral("dir one/a b#c?d%e.txt");
    const QByteArray wire = "/files/7/dir%20one/a%20b%23c%3Fd%25e.txt";
    server.setReply(wire, Reply::withBody("right file"));
    server.setReply("/files/7/dir%20one/a%20b", Reply::withBody("wrong file"));
    makeTask(name, -1);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), QByteArray("right file"));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].target, wire);
}

// ---------------------------------------------------------------- failures

struct FailRow
{
    const char* name;
    Reply reply;
    qint64 listSize;
    QString reason; // the message every failed attempt gives; empty: any text
    // Where the server closes connections, Qt may resend a request on its own
    // when it meets a stale kept-alive connection; only the task's attempts
    // are exact then.
    bool exactRequests = true;
    qint64 maxSize = -1; // the cap of a download of unknown size
};

class DownloadFailures : public DownloadTest, public ::testing::WithParamInterface<FailRow>
{};

Reply statusReply(int status)
{
    return Reply::withBody("not the file", status);
}

Reply droppedReply(Framing framing, qint64 after)
{
    Reply r = Reply::withBody(patternBytes(8000));
    r.framing = framing;
    r.dropAfterBodyBytes = after;
    return r;
}

Reply withAnnouncedLength(const QByteArray& body, qint64 announced)
{
    Reply r = Reply::withBody(body);
    r.announcedLength = announced;
    return r;
}

// Every failed attempt is retried from scratch, five attempts in all, and the
// task ends failed with nothing left at the destination.
TEST_P(DownloadFailures, FiveAttemptsThenFailureAndNoFile)
{
    const FailRow& row = GetParam();
    server.setReply(pathOf("f.bin"), row.reply);
    server.setReply("/elsewhere", Reply::withBody("redirect target"));
    makeTask(QStringLiteral("f.bin"), row.listSize);
    task->setMaxSize(row.maxSize);
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
    ASSERT_TRUE(runToEnd());
    drainEvents();

    EXPECT_EQ(task->state(), TASK_FAILED);
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_FALSE(QFile::exists(destPath));
    const auto expectRequests = [&](int n) {
        if (row.exactRequests)
            EXPECT_EQ(server.requestCount(pathOf("f.bin")), n);
        else
            EXPECT_GE(server.requestCount(pathOf("f.bin")), n);
    };
    expectRequests(5);
    EXPECT_EQ(server.requestCount("/elsewhere"), 0);
    EXPECT_TRUE(errors.isEmpty());
    ASSERT_EQ(messages.size(), 7) << messages.join('|').toStdString();
    EXPECT_EQ(messages.first(), "Downloading f.bin");
    // The last message names the file, its address and the last reason,
    // and is what the session's failure reports.
    EXPECT_TRUE(messages.last().startsWith("Unable to download f.bin from " + task->downloadUrl().toString() + ": "))
        << messages.last().toStdString();
    EXPECT_EQ(task->failureReason(), messages.last());
    if (!row.reason.isEmpty()) {
        for (int i = 1; i <= 5; ++i)
            EXPECT_EQ(messages[i], row.reason);
    }

    // A reset allows five fresh attempts: four more failures, then the file.
    const QByteArray body = patternBytes(static_cast<int>(qMax<qint64>(row.listSize, 0)));
    for (int i = 0; i < 4; ++i)
        server.enqueueReply(pathOf("f.bin"), statusReply(404));
    server.setReply(pathOf("f.bin"), Reply::withBody(body));
    task->reset();
    EXPECT_EQ(task->state(), TASK_IDLE);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), body);
    expectRequests(10);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DownloadFailures,
    ::testing::Values(
        FailRow{"NotFound", statusReply(404), -1, "f.bin returned 404"},
        FailRow{"ServerError", statusReply(500), 12, "f.bin returned 500"},
        FailRow{"RedirectIsNotFollowed", Reply::redirect("/elsewhere"), -1, "f.bin returned 302"},
        FailRow{"PartialContent", statusReply(206), -1, "f.bin returned 206"},
        FailRow{"DropMidBodyWithLength", droppedReply(Framing::ContentLength, 3000), -1, {}, false},
        FailRow{"DropMidBodyWithLengthKnownToList", droppedReply(Framing::ContentLength, 3000), 8000, {}, false},
        // Qt may take a chunked body cut at a chunk boundary for complete; the
        // list's size is what catches it.
        FailRow{"DropMidChunkedBodyKnownToList", droppedReply(Framing::Chunked, 3000), 8000, {}, false},
        FailRow{"DropWithoutLengthKnownToList", droppedReply(Framing::CloseDelimited, 3000), 8000,
                "f.bin ended after 3000 of 8000 bytes", false},
        FailRow{"BodyLongerThanList", Reply::withBody(patternBytes(2000)), 1000,
                "f.bin is longer than the expected 1000 bytes"},
        FailRow{"BodyShorterThanList", Reply::withBody(patternBytes(2000)), 3000,
                "f.bin ended after 2000 of 3000 bytes"},
        FailRow{"NonEmptyBodyForEmptyFile", Reply::withBody("x"), 0, "f.bin is longer than the expected 0 bytes"},
        FailRow{"BodyLongerThanAnnounced", withAnnouncedLength(patternBytes(3000), 1000), 3000,
                "f.bin ended after 1000 of 3000 bytes", false},
        FailRow{"NoContent", Reply::withBody({}, 204), -1, "f.bin returned 204"},
        // An endless or huge body of unknown size stops at the cap, whether
        // the server announces it or just keeps sending.
        FailRow{"UnannouncedBodyBeyondTheCap", droppedReply(Framing::CloseDelimited, 2000), -1,
                "f.bin is larger than the allowed 1000 bytes", false, 1000},
        FailRow{"AnnouncedBodyBeyondTheCap", withAnnouncedLength(patternBytes(10), 1001), -1,
                "f.bin is larger than the allowed 1000 bytes", false, 1000}),
    [](const ::testing::TestParamInfo<FailRow>& info) { return std::string(info.param.name); });

// A name is put into a message as it is: "%1" or "%2e" in it is text, not a
// place for the next value.
TEST_F(DownloadTest, NamesAppearLiterallyInFailureMessages)
{
    const QString name = QStringLiteral("client/%2e%2e/lit%1.txt");
    const QByteArray wire = "/files/7/client/%252e%252e/lit%251.txt";
    const struct
    {
        Reply reply;
        qint64 listSize;
        qint64 maxSize;
        QString reason;
    } rows[] = {
        {statusReply(404), -1, -1, name + " returned 404"},
        {Reply::withBody(patternBytes(2000)), 1000, -1, name + " is longer than the expected 1000 bytes"},
        {Reply::withBody(patternBytes(2000)), 3000, -1, name + " ended after 2000 of 3000 bytes"},
        {withAnnouncedLength(patternBytes(10), 1001), -1, 1000, name + " is larger than the allowed 1000 bytes"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason.toStdString());
        messages.clear();
        server.setReply(wire, row.reply);
        makeTask(name, row.listSize);
        task->setMaxSize(row.maxSize);
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state(), TASK_FAILED);
        ASSERT_EQ(messages.size(), 7) << messages.join('|').toStdString();
        EXPECT_EQ(messages[1], row.reason);
        EXPECT_EQ(messages.last(),
                  "Unable to download " + name + " from " + task->downloadUrl().toString() + ": " + row.reason);
        EXPECT_EQ(task->failureReason(), messages.last());
    }
}

TEST_F(DownloadTest, FailuresThenSuccessGiveTheIdenticalFile)
{
    const QByteArray body = patternBytes(30000);
    // A drop mid-body, then a 503, then the whole file.
    server.enqueueReply(pathOf("r.bin"), droppedReply(Framing::ContentLength, 5000));
    server.enqueueReply(pathOf("r.bin"), statusReply(503));
    server.setReply(pathOf("r.bin"), Reply::withBody(body));
    makeTask(QStringLiteral("r.bin"), body.size());
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), body);
    EXPECT_EQ(server.requestCount(pathOf("r.bin")), 3);
    EXPECT_EQ(messages.first(), "Downloading r.bin");
    EXPECT_TRUE(messages.contains("r.bin returned 503"));
    EXPECT_EQ(messages.last(), "Downloading r.bin finished");
}

TEST_F(DownloadTest, FailTwiceThenOk)
{
    const QByteArray body = patternBytes(5000);
    Reply reply = Reply::withBody(body);
    reply.failFirst = 2;
    reply.failStatus = 404;
    server.setReply(pathOf("t.bin"), reply);
    makeTask(QStringLiteral("t.bin"), -1);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), body);
    EXPECT_EQ(server.requestCount(pathOf("t.bin")), 3);
    EXPECT_EQ(
        messages,
        QStringList({"Downloading t.bin", "t.bin returned 404", "t.bin returned 404", "Downloading t.bin finished"}));
}

TEST_F(DownloadTest, UncreatableDestinationFailsWithoutRequest)
{
    makeTask(QStringLiteral("x.bin"), -1, dir.filePath(QStringLiteral("missing/dir/x.bin")));
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FAILED);
    EXPECT_EQ(errors, QStringList({"Unable to create file " + destPath + " for saving"}));
    EXPECT_EQ(server.requests().size(), 0);
}

TEST_F(DownloadTest, MissingManagerFailsAndLeavesNoFile)
{
    destPath = dir.filePath(QStringLiteral("n.bin"));
    task = std::make_unique<DownloadTaskSpecification>(nullptr, QStringLiteral("n.bin"), version, destPath, -1, nullptr,
                                                       1.0);
    QSignalSpy errorSpy(task.get(), &TaskSpecification::error);
    task->execute();
    EXPECT_EQ(task->state(), TASK_FAILED);
    ASSERT_EQ(errorSpy.count(), 1);
    EXPECT_EQ(errorSpy[0][0].toString(), "Download failed to initialize");
    EXPECT_FALSE(QFile::exists(destPath));
}

// ---------------------------------------------------------------- the poll

TEST_F(DownloadTest, SixteenSilentPollsEndTheAttemptAndTheNextStartsFromZero)
{
    const QByteArray body = patternBytes(10000);
    Reply stalled = Reply::withBody(body);
    stalled.stallAfterBodyBytes = 4000;
    server.enqueueReply(pathOf("s.bin"), stalled);
    server.setReply(pathOf("s.bin"), Reply::withBody(body));
    makeTask(QStringLiteral("s.bin"), body.size());
    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->progress() >= 0.2 - 1e-9; }));
    EXPECT_EQ(poll().done, 4000u); // the first silent poll

    for (int i = 1; i < 15; ++i) {
        const Counters c = poll();
        EXPECT_TRUE(c.downloading) << i;
        EXPECT_EQ(task->state(), TASK_RUNNING);
    }
    EXPECT_FALSE(messages.contains("file s.bin timed out"));
    const Counters last = poll();
    EXPECT_FALSE(last.downloading);
    EXPECT_TRUE(messages.contains("file s.bin timed out"));
    // Restarted from byte zero, not resumed.
    EXPECT_EQ(task->progress(), 0.0);
    EXPECT_EQ(poll().done, 0u);

    ASSERT_TRUE(waitFor([&] { return task->state() != TASK_RUNNING; }));
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), body);
    EXPECT_EQ(server.requestCount(pathOf("s.bin")), 2);
    EXPECT_EQ(server.requests()[1].header("Range"), QByteArray());
}

TEST_F(DownloadTest, SilenceBeforeTheHeadersTimesOutToo)
{
    Reply stalled;
    stalled.stallBeforeHeaders = true;
    server.setReply(pathOf("h.bin"), stalled);
    makeTask(QStringLiteral("h.bin"), -1);
    task->execute();
    ASSERT_TRUE(waitFor([&] { return server.requestCount(pathOf("h.bin")) == 1; }));
    // Five attempts of sixteen silent polls each.
    for (int attempt = 1; attempt <= 5; ++attempt) {
        ASSERT_TRUE(waitFor([&] { return server.requestCount(pathOf("h.bin")) == attempt; }));
        for (int i = 0; i < 16; ++i)
            poll();
    }
    EXPECT_EQ(task->state(), TASK_FAILED);
    EXPECT_EQ(messages.count("file h.bin timed out"), 5);
    EXPECT_EQ(messages.last(),
              "Unable to download h.bin from " + task->downloadUrl().toString() + ": file h.bin timed out");
    EXPECT_FALSE(QFile::exists(destPath));
}

struct TrickleRow
{
    const char* name;
    Framing framing;
    bool sizeFromList; // else the task is told -1
};

class DownloadTrickle : public DownloadTest, public ::testing::WithParamInterface<TrickleRow>
{};

// Data that keeps trickling in resets the idle count, but an attempt still
// gets no more polls than its size allows at the slowest accepted rate. A
// body of unknown size earns its time with the bytes that came: a drip is not
// measured by the cap, which would allow it for hours.
TEST_P(DownloadTrickle, TooSlowForItsSizeEndsTheAttemptAtTheDeadline)
{
    const TrickleRow& row = GetParam();
    const QByteArray body = patternBytes(4000);
    Reply slow = Reply::withBody(body);
    slow.framing = row.framing;
    slow.trickleBytes = 1;
    slow.trickleIntervalMs = 2;
    server.enqueueReply(pathOf("t.bin"), slow);
    server.setReply(pathOf("t.bin"), Reply::withBody(body));
    makeTask(QStringLiteral("t.bin"), row.sizeFromList ? body.size() : -1);
    task->setMaxSize(row.sizeFromList ? -1 : 64 * 1024 * 1024);
    task->execute();
    // Under 4096 bytes arrive before it: one poll's worth at the slowest rate.
    const qint64 deadline = DownloadTaskSpecification::deadlinePolls(body.size());
    ASSERT_EQ(deadline, DownloadTaskSpecification::deadlinePolls(1));
    qint64 seen = 0;
    for (qint64 i = 0; i < deadline; ++i) {
        ASSERT_TRUE(waitFor([&] { return task->received() > seen; })) << i;
        seen = task->received();
        ASSERT_TRUE(poll().downloading) << i;
    }
    EXPECT_FALSE(poll().downloading);
    EXPECT_TRUE(messages.contains(QStringLiteral("t.bin took longer than %1 seconds").arg(deadline)))
        << messages.join('|').toStdString();
    EXPECT_FALSE(messages.contains("file t.bin timed out"));
    ASSERT_TRUE(waitFor([&] { return task->state() != TASK_RUNNING; }));
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), body);
    EXPECT_EQ(server.requestCount(pathOf("t.bin")), 2);
}

INSTANTIATE_TEST_SUITE_P(Rows, DownloadTrickle,
                         ::testing::Values(TrickleRow{"SizeFromList", Framing::ContentLength, true},
                                           TrickleRow{"SizeFromServer", Framing::ContentLength, false},
                                           TrickleRow{"UnknownSize", Framing::CloseDelimited, false},
                                           TrickleRow{"UnknownSizeChunked", Framing::Chunked, false}),
                         [](const ::testing::TestParamInfo<TrickleRow>& info) { return std::string(info.param.name); });

// The manager serves six requests per host at once and queues the rest. A
// seventh download waits for a free connection before its clocks start, so
// a healthy but busy session never times out a request it has not sent.
TEST_F(DownloadTest, DownloadWaitingForAConnectionIsNotTimedOut)
{
    Reply stalled;
    stalled.stallBeforeHeaders = true;
    std::vector<std::unique_ptr<DownloadTaskSpecification>> busy;
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("busy%1").arg(i);
        server.setReply(pathOf(name), stalled);
        busy.push_back(
            std::make_unique<DownloadTaskSpecification>(&manager, name, version, dir.filePath(name), -1, nullptr, 1.0));
        busy.back()->execute();
    }
    ASSERT_TRUE(waitFor([&] { return server.requests().size() == 6; }));
    server.setReply(pathOf("seventh.bin"), Reply::withBody("seventh"));
    makeTask(QStringLiteral("seventh.bin"), 7);
    task->execute();
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(poll().downloading) << i;
    drainEvents();
    EXPECT_EQ(task->state(), TASK_RUNNING);
    EXPECT_EQ(server.requestCount(pathOf("seventh.bin")), 0);
    EXPECT_EQ(messages, QStringList{"Downloading seventh.bin"});

    busy.front()->cancel();
    ASSERT_TRUE(waitFor([&] { return task->state() != TASK_RUNNING; }));
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(readAll(destPath), "seventh");
    EXPECT_EQ(server.requestCount(pathOf("seventh.bin")), 1);
}

TEST_F(DownloadTest, DataJustBeforeTheTimeOutKeepsTheAttempt)
{
    const QByteArray body = patternBytes(3 * 1000);
    Reply slow = Reply::withBody(body);
    slow.trickleBytes = 1000;
    slow.trickleIntervalMs = 50;
    server.setReply(pathOf("d.bin"), slow);
    makeTask(QStringLiteral("d.bin"), body.size());
    task->execute();
    // Fifteen silent polls (the first round while still connecting), then new
    // data clears the count just before the sixteenth would end the attempt.
    qreal seen = 0;
    int rounds = 0;
    while (task->state() == TASK_RUNNING) {
        for (int i = 0; i < 15; ++i)
            ASSERT_TRUE(poll().downloading) << "round " << rounds << " poll " << i;
        ASSERT_TRUE(waitFor([&] { return task->progress() > seen || task->state() != TASK_RUNNING; }));
        seen = task->progress();
        ++rounds;
    }
    EXPECT_GE(rounds, 2);
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_FALSE(messages.contains("file d.bin timed out"));
    EXPECT_EQ(server.requestCount(pathOf("d.bin")), 1);
    EXPECT_EQ(readAll(destPath), body);
}

TEST_F(DownloadTest, CountersReportBytesTotalAndSpeedPerPoll)
{
    const QByteArray body = patternBytes(6000);
    Reply stalled = Reply::withBody(body);
    stalled.stallAfterBodyBytes = 2500;
    server.setReply(pathOf("c.bin"), stalled);
    makeTask(QStringLiteral("c.bin"), 5000);

    // Before the run nothing is downloading.
    Counters idle = poll();
    EXPECT_FALSE(idle.downloading);
    EXPECT_EQ(idle.total, 5000u);

    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->progress() >= 0.25 - 1e-9; }));
    Counters first = poll();
    EXPECT_TRUE(first.downloading);
    EXPECT_EQ(first.done, 2500u);
    EXPECT_EQ(first.total, 5000u); // the list's size wins over the server's 6000
    EXPECT_EQ(first.speed, 2500u);
    EXPECT_DOUBLE_EQ(task->progress(), 0.25);
    Counters second = poll();
    EXPECT_EQ(second.done, 2500u);
    EXPECT_EQ(second.speed, 0u);

    task->cancel();
}

// ---------------------------------------------------------------- ending it

TEST_F(DownloadTest, CancelWhileRunningEndsCancelledWithoutFile)
{
    Reply stalled = Reply::withBody(patternBytes(50000));
    stalled.stallAfterBodyBytes = 20000;
    server.setReply(pathOf("k.bin"), stalled);
    makeTask(QStringLiteral("k.bin"), 50000);
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->progress() > 0.0; }));
    ASSERT_TRUE(QFile::exists(destPath));

    task->cancel();
    EXPECT_EQ(task->state(), TASK_CANCELED);
    EXPECT_TRUE(task->cancelRequested());
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_FALSE(QFile::exists(destPath));
    EXPECT_EQ(task->progress(), 0.0);
    // The connection is let go; nothing more is written.
    ASSERT_TRUE(waitFor([&] { return server.openConnections() == 0; }));
    drainEvents();
    EXPECT_FALSE(QFile::exists(destPath));
    EXPECT_EQ(server.requestCount(pathOf("k.bin")), 1);
}

TEST_F(DownloadTest, CancelWhenNotRunningOnlySetsTheFlag)
{
    makeTask(QStringLiteral("i.bin"), -1);
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
    task->cancel();
    EXPECT_EQ(task->state(), TASK_IDLE);
    EXPECT_TRUE(task->cancelRequested());
    EXPECT_EQ(canceled.count(), 0);
}

TEST_F(DownloadTest, AbortBySiblingFailsAndRemovesThePartialFile)
{
    serveStalled(QStringLiteral("a.bin"));
    makeTask(QStringLiteral("a.bin"), 50000);
    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->progress() > 0.0; }));

    task->abort(nullptr);
    EXPECT_EQ(task->state(), TASK_FAILED);
    EXPECT_EQ(messages.last(), "Abort downloading a.bin");
    EXPECT_FALSE(QFile::exists(destPath));
    drainEvents();
    EXPECT_EQ(server.requestCount(pathOf("a.bin")), 1);
}

TEST_F(DownloadTest, DestroyedWhileRunningReleasesTheReply)
{
    serveStalled(QStringLiteral("z.bin"));
    makeTask(QStringLiteral("z.bin"), 50000);
    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->progress() > 0.0; }));
    task.reset();
    ASSERT_TRUE(waitFor([&] { return server.openConnections() == 0; }));
}

TEST_F(DownloadTest, ManagerDestroyedBeforeTheTaskIsHarmless)
{
    auto ownManager = std::make_unique<QNetworkAccessManager>();
    ownManager->setProxy(QNetworkProxy::NoProxy);
    serveStalled(QStringLiteral("m.bin"));
    destPath = dir.filePath(QStringLiteral("m.bin"));
    task = std::make_unique<DownloadTaskSpecification>(ownManager.get(), QStringLiteral("m.bin"), version, destPath,
                                                       50000, nullptr, 1.0);
    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->progress() > 0.0; }));
    ownManager.reset(); // takes its replies with it
    task->cancel();
    EXPECT_EQ(task->state(), TASK_CANCELED);
    EXPECT_FALSE(QFile::exists(destPath));
    task.reset();
}

} // namespace
