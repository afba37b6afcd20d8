#include "downloadfilelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "crypt.h"
#include "downloadfiletaskspecification.h"
#include "support/tasktest.h"
#include "support/childprocess.h"
#include "support/fileservertest.h"
#include "support/qtmessages.h"
#include "support/waitfor.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPair>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

using Reply = LocalHttpServer::Reply;

constexpr int version = 42;

QByteArray body(const QString& name)
{
    return "contents of " + name.toUtf8() + "\n";
}

class DownloadListTest : public FileServerTest
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(FileServerTest::SetUp());
        tempDir = dir.filePath(QStringLiteral("temp"));
        ASSERT_TRUE(QDir().mkpath(tempDir));
        config.m_TempDir = tempDir;
        config.m_Version = version;
        config.m_Streams = 6;
    }
    void TearDown() override
    {
        task.reset();
        FileServerTest::TearDown();
    }

    // As sent on the wire: every segment percent-encoded.
    static QByteArray serverPath(const QString& section, const QString& name)
    {
        QByteArray path = "/files/" + QByteArray::number(version);
        for (const QString& segment : (section + "/" + name).split('/'))
            path += "/" + QUrl::toPercentEncoding(segment);
        return path;
    }

    // An entry served with its own contents and the matching digest.
    void addServed(const QString& section, const QString& name)
    {
        const QByteArray data = body(name);
        server.setReply(serverPath(section, name), Reply::withBody(data));
        list.append({section, name, sha512Hex(data), static_cast<quint64>(data.size())});
    }

    DownloadFileListTaskSpecification& makeTask()
    {
        task = std::make_unique<DownloadFileListTaskSpecification>(&list, &manager, &config, nullptr, 0.4);
        QObject::connect(task.get(), &TaskSpecification::message, [this](const QString& m) { messages << m; });
        return *task;
    }
    bool runToEnd()
    {
        task->execute();
        return waitFor([this] { return task->state() != TASK_RUNNING && task->state() != TASK_IDLE; }, 60000);
    }

    QString tempDir;
    Configuration config;
    QList<DownloadFileData> list;
    std::unique_ptr<DownloadFileListTaskSpecification> task;
    QStringList messages;
};

TEST_F(DownloadListTest, EmptyListFinishesAtOnceWithNoDownloadsNeeded)
{
    makeTask().execute();
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(messages, QStringList({"No downloads needed"}));
    const DownloadFigures figures = downloadFigures(*task, {0, 0, 0, true});
    EXPECT_EQ(figures.total, 0u);
    EXPECT_FALSE(figures.downloading);
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DownloadListTest, FetchesSectionAndNameIntoTempWithoutTheSection)
{
    addServed(QStringLiteral("base"), QStringLiteral("sub/one.bin"));
    addServed(QStringLiteral("base"), QStringLiteral("sub/two.bin"));
    addServed(QStringLiteral("extra"), QStringLiteral("bare.bin"));
    addServed(QStringLiteral("extra"), QStringLiteral("deep/er/x y#.bin"));
    makeTask();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    for (const DownloadFileData& d : qAsConst(list))
        EXPECT_EQ(readAll(tempDir + "/" + d.name), body(d.name)) << d.name.toStdString();
    EXPECT_FALSE(QFileInfo::exists(tempDir + "/base"));
    EXPECT_EQ(messages.value(0), QStringLiteral("Downloading files"));
    EXPECT_FALSE(messages.join("\n").contains("Signature check failed"));

    quint64 sum = 0;
    for (const DownloadFileData& d : qAsConst(list))
        sum += d.size;
    EXPECT_EQ(task->totalSize(), sum);

    // Each entry weighs a quarter; inside it the download 0.8 and the check 0.2.
    ASSERT_EQ(task->allSubTasks().size(), 4);
    for (TaskSpecification* sub : task->allSubTasks()) {
        EXPECT_DOUBLE_EQ(sub->weight(), 0.25);
        auto* file = qobject_cast<DownloadFileTaskSpecification*>(sub);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->allSubTasks().size(), 2);
        EXPECT_DOUBLE_EQ(file->allSubTasks().at(0)->weight(), 0.8);
        EXPECT_DOUBLE_EQ(file->allSubTasks().at(1)->weight(), 0.2);
    }
    EXPECT_DOUBLE_EQ(task->progress(), 0.4);
}

TEST_F(DownloadListTest, TotalIsTheSizeTheListAnnouncesNotTheServers)
{
    addServed(QStringLiteral("s"), QStringLiteral("a"));
    list[0].size = 1000; // the server sends fewer bytes, so this entry fails
    addServed(QStringLiteral("s"), QStringLiteral("b"));
    makeTask();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(downloadFigures(*task).total, 1000u + list[1].size);
}

// Nothing downstream checks a whole-file download again, so a mismatch must
// fail the list before anything is installed.
TEST_F(DownloadListTest, DigestMismatchFailsTheList)
{
    addServed(QStringLiteral("s"), QStringLiteral("good"));
    addServed(QStringLiteral("s"), QStringLiteral("bad"));
    list[1].hash = sha512Hex("something else");
    config.m_Streams = 1;
    makeTask();
    QtMessageCapture log;
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FAILED);
    EXPECT_TRUE(messages.contains("Signature check failed for " + tempDir + "/bad"))
        << messages.join("\n").toStdString();
    EXPECT_FALSE(messages.contains("Signature check failed for " + tempDir + "/good"));
    // The log names the file, where it came from and both digests.
    const QString why = QStringLiteral("warning: SHA-512 of %1/bad from %2/files/42/s/bad does not match: expected "
                                       "%3..., got %4...")
                            .arg(tempDir, server.baseUrl(), sha512Hex("something else").left(16),
                                 sha512Hex(body(QStringLiteral("bad"))).left(16));
    EXPECT_EQ(log.find("warning", "SHA-512 of"), QStringList{why}) << log.lines().join('\n').toStdString();
}

TEST_F(DownloadListTest, EmptyDigestChecksTheSignatureBesideTheDownload)
{
    const QString keys = QStringLiteral(QND_FIXTURES_DIR "/keys/");
    const QByteArray sample = readAll(keys + "signed_sample.txt");
    const QByteArray testKey = readAll(keys + "test_public.der");
    if (testKey.isEmpty()
        || QByteArray::fromRawData(reinterpret_cast<const char*>(crypt_builtin_key), testKey.size()) != testKey)
        GTEST_SKIP() << "built with a key other than the test key";
    server.setReply(serverPath("s", "signed"), Reply::withBody(sample));
    server.setReply(serverPath("s", "unsigned"), Reply::withBody(sample));
    QFile sig(tempDir + "/signed.sig");
    ASSERT_TRUE(sig.open(QIODevice::WriteOnly));
    sig.write(readAll(keys + "signed_sample.txt.sig"));
    sig.close();

    struct Row
    {
        const char* name;
        int state;
    };
    for (const Row& row : {Row{"signed", TASK_FINISHED}, Row{"unsigned", TASK_FAILED}}) {
        SCOPED_TRACE(row.name);
        messages.clear();
        list = {{QStringLiteral("s"), QString::fromLatin1(row.name), QString(), static_cast<quint64>(sample.size())}};
        makeTask();
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state(), row.state);
        EXPECT_EQ(messages.contains("Signature check failed for " + tempDir + "/" + row.name),
                  row.state == TASK_FAILED);
    }
}

// A tree may hold many names of one file, each listed with its own download
// of the same bytes: one digest and size is fetched once and every other
// name gets a copy that is checked like a download. Entries that differ in
// digest or size, or have no digest, keep their own downloads; the total
// counts each download once.
TEST_F(DownloadListTest, EntriesOfOneContentAreFetchedOnceAndEveryNameGetsItsBytes)
{
    struct Entry
    {
        const char* section;
        const char* name;
        const char* content; // served, and digested unless noDigest
        int extraSize;       // added to the listed size
        bool capitals;       // the digest in capital letters
        bool noDigest;
    };
    struct Row
    {
        const char* name;
        std::vector<Entry> entries;
        int downloads;
        int state;
        // A name whose file an earlier session left with other bytes.
        const char* stale;
    };
    const Row rows[] = {
        {"five names of one file and another file",
         {{"s", "bin/git", "git 2", 0, false, false},
          {"s", "bin/git-add", "git 2", 0, false, false},
          {"s", "bin/other", "other", 0, false, false},
          {"s", "libexec/git-core/git-log", "git 2", 0, false, false},
          {"s", "libexec/git-core/git-am", "git 2", 0, false, false},
          {"s", "git-gui", "git 2", 0, false, false}},
         2,
         TASK_FINISHED,
         nullptr},
        {"names in two sections",
         {{"s", "a", "same", 0, false, false}, {"t", "b", "same", 0, false, false}},
         1,
         TASK_FINISHED,
         nullptr},
        {"one digest in capitals",
         {{"s", "a", "same", 0, false, false}, {"s", "b", "same", 0, true, false}},
         1,
         TASK_FINISHED,
         nullptr},
        {"a copy's name held by an earlier session's bytes",
         {{"s", "a", "same", 0, false, false}, {"s", "b", "same", 0, false, false}},
         1,
         TASK_FINISHED,
         "b"},
        {"one size, two digests",
         {{"s", "a", "aaaa", 0, false, false}, {"s", "b", "bbbb", 0, false, false}},
         2,
         TASK_FINISHED,
         nullptr},
        // The second one's listed size is wrong, so it fails on its own.
        {"one digest, two sizes",
         {{"s", "a", "same", 0, false, false}, {"s", "b", "same", 1, false, false}},
         2,
         TASK_FAILED,
         nullptr},
        // No signature lies beside them: each fails its own check.
        {"no digest",
         {{"s", "a", "same", 0, false, true}, {"s", "b", "same", 0, false, true}},
         2,
         TASK_FAILED,
         nullptr},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Paths of this row only: the server counts requests across rows.
        const QString section = QStringLiteral("r%1-").arg(++n);
        list.clear();
        messages.clear();
        server.clearLog();
        quint64 distinctSize = 0;
        QSet<QPair<QString, quint64>> distinct;
        for (const Entry& e : row.entries) {
            const QByteArray content(e.content);
            server.setReply(serverPath(section + e.section, e.name), Reply::withBody(content));
            QString hash = e.noDigest ? QString() : sha512Hex(content);
            if (e.capitals)
                hash = hash.toUpper();
            const quint64 size = quint64(content.size() + e.extraSize);
            list.append({section + e.section, QString::fromUtf8(e.name), hash, size});
            if (!distinct.contains({hash.toLower(), size}) || e.noDigest)
                distinctSize += size;
            distinct.insert({hash.toLower(), size});
        }
        if (row.stale) {
            ASSERT_TRUE(writeAll(tempDir + "/" + row.stale, "an earlier session's bytes"));
        }
        makeTask();
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state(), row.state) << messages.join("\n").toStdString();
        EXPECT_EQ(task->allSubTasks().size(), row.downloads);
        EXPECT_EQ(task->totalSize(), distinctSize);
        EXPECT_EQ(downloadFigures(*task).total, distinctSize);
        if (row.state == TASK_FINISHED) {
            EXPECT_EQ(server.requests().size(), row.downloads);
            EXPECT_DOUBLE_EQ(task->progress(), 0.4);
            for (const Entry& e : row.entries) {
                EXPECT_EQ(readAll(tempDir + "/" + e.name), QByteArray(e.content)) << e.name;
                EXPECT_TRUE(CheckSigFunc(tempDir + "/" + e.name, sha512Hex(e.content)).run()) << e.name;
            }
        }
        task.reset();
        drainEvents();
        QDir(tempDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(tempDir));
    }
}

// A copy that cannot be made, or whose bytes are not the download's, fails
// the list naming the copy's name, and leaves no file there. The full disk
// needs a small tmpfs, which only root can mount.
TEST_F(DownloadListTest, CopyThatIsNotTheDownloadFailsTheListNamingIt)
{
    QTemporaryDir mountPoint;
    ASSERT_TRUE(mountPoint.isValid());
    const bool mounted = runToSuccess("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", mountPoint.path()});
    struct Unmount
    {
        QString path;
        ~Unmount()
        {
            if (!path.isEmpty())
                runToSuccess("umount", {path});
        }
    } unmount{mounted ? mountPoint.path() : QString()};
    const QString fullTemp = mountPoint.filePath("temp");

    enum Fault { ChangedAfterCheck, FolderAtName, FullDisk };
    struct Row
    {
        const char* name;
        Fault fault;
        QString cause;
    };
    const Row rows[] = {
        {"bytes changed between check and copy", ChangedAfterCheck, "Signature check failed for " + tempDir + "/b"},
        {"name held by a folder", FolderAtName, "Could not write '" + tempDir + "/b': File exists"},
        {"full disk", FullDisk, "Could not write '" + fullTemp + "/b': No space left on device"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.fault == FullDisk && !mounted) {
            std::printf("skipped row '%s': cannot mount a tmpfs here\n", row.name);
            continue;
        }
        // Room for the download, not for its copy.
        const QByteArray content = row.fault == FullDisk ? randomBytes(600000, 7) : body("a");
        const QString temp = row.fault == FullDisk ? fullTemp : tempDir;
        config.m_TempDir = temp;
        ASSERT_TRUE(QDir().mkpath(temp));
        server.setReply(serverPath("s", "a"), Reply::withBody(content));
        list = {{QStringLiteral("s"), QStringLiteral("a"), sha512Hex(content), quint64(content.size())},
                {QStringLiteral("s"), QStringLiteral("b"), sha512Hex(content), quint64(content.size())}};
        if (row.fault == FolderAtName) {
            ASSERT_TRUE(writeAllMakingDirs(temp + "/b/inside", "x"));
        }
        makeTask();
        // The check runs once the download is in: by then the entry's
        // subtasks exist, and the change lands before the copy starts.
        QObject::connect(task.get(), &TaskSpecification::message, [&](const QString& m) {
            if (row.fault != ChangedAfterCheck || m != QStringLiteral("Downloading s/a finished"))
                return;
            auto* entry = qobject_cast<DownloadFileTaskSpecification*>(task->allSubTasks().value(0));
            ASSERT_NE(entry, nullptr);
            auto* check = qobject_cast<CheckSignatureTaskSpecification*>(entry->allSubTasks().value(1));
            ASSERT_NE(check, nullptr);
            QObject::connect(check, &CheckSignatureTaskSpecification::checkDone,
                             [&] { writeAll(temp + "/a", body("changed")); });
        });
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state(), TASK_FAILED);
        EXPECT_EQ(task->failureReason(), row.cause) << messages.join("\n").toStdString();
        EXPECT_FALSE(QFileInfo(temp + "/b").isFile());
        EXPECT_EQ(server.requestCount(serverPath("s", "b")), 0);
        task.reset();
        drainEvents();
        QDir(temp).removeRecursively();
    }
}

TEST_F(DownloadListTest, FailedDownloadFailsTheList)
{
    addServed(QStringLiteral("s"), QStringLiteral("a"));
    list.append({QStringLiteral("s"), QStringLiteral("missing"), sha512Hex("x"), 1});
    config.m_Streams = 1;
    makeTask();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FAILED);
}

// Downloads side by side, one of them stalled: a failing sibling stops it
// and the list names that sibling's cause; a user's cancel stops them all
// and the list ends cancelled, naming none.
TEST_F(DownloadListTest, StalledSiblingEndsWithTheListAsFailedOrCancelled)
{
    struct Row
    {
        const char* name;
        bool cancel;
        int state;
        QString cause;
    };
    const Row rows[] = {
        {"sibling fails", false, TASK_FAILED, "Signature check failed for " + tempDir + "/bad"},
        {"user cancels", true, TASK_CANCELED, QString()},
    };
    Reply stall;
    stall.stallBeforeHeaders = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Names of this row only: the server counts requests across rows.
        const QString stalled = QStringLiteral("stalled-%1").arg(row.cancel);
        const QString other = QStringLiteral("other-%1").arg(row.cancel);
        // Names of the stalled download's content, waiting for its copy.
        const QStringList copies = {stalled + "-copy1", stalled + "-copy2"};
        list.clear();
        server.setReply(serverPath("s", stalled), stall);
        list.append({QStringLiteral("s"), stalled, sha512Hex("x"), 1});
        for (const QString& copy : copies)
            list.append({QStringLiteral("t"), copy, sha512Hex("x"), 1});
        if (row.cancel) {
            server.setReply(serverPath("s", other), stall);
            list.append({QStringLiteral("s"), other, sha512Hex("y"), 1});
        } else {
            addServed(QStringLiteral("s"), QStringLiteral("bad"));
            list.last().hash = sha512Hex("something else");
        }
        makeTask().execute();
        ASSERT_TRUE(waitFor([&] { return server.requestCount(serverPath("s", stalled)) == 1; }));
        if (row.cancel) {
            ASSERT_TRUE(waitFor([&] { return server.requestCount(serverPath("s", other)) == 1; }));
            task->cancel();
        }
        ASSERT_TRUE(waitFor([this] { return task->state() != TASK_RUNNING; }, 60000));
        drainEvents();
        EXPECT_EQ(task->state(), row.state);
        EXPECT_EQ(task->failureReason(), row.cause);
        for (const TaskSpecification* sub : task->allSubTasks()) {
            EXPECT_NE(sub->state(), TASK_RUNNING);
        }
        for (const QString& copy : copies) {
            EXPECT_FALSE(QFileInfo::exists(tempDir + "/" + copy)) << copy.toStdString();
            EXPECT_EQ(server.requestCount(serverPath("t", copy)), 0) << copy.toStdString();
        }
        server.closeAllConnections();
    }
}

TEST_F(DownloadListTest, OneStreamFetchesStrictlyInListOrder)
{
    const QStringList names = {"c", "a", "d", "b"};
    for (const QString& n : names)
        addServed(QStringLiteral("s"), n);
    config.m_Streams = 1;
    makeTask();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    QList<QByteArray> paths;
    for (const LocalHttpServer::Request& r : server.requests())
        paths << r.path;
    EXPECT_EQ(
        paths,
        QList<QByteArray>({serverPath("s", "c"), serverPath("s", "a"), serverPath("s", "d"), serverPath("s", "b")}));
    EXPECT_EQ(server.maxConcurrentRequests(), 1);
}

TEST_F(DownloadListTest, SixStreamsStartSixOfTenAndEachEndStartsTheNext)
{
    Reply stall;
    stall.stallBeforeHeaders = true;
    for (int i = 0; i < 10; ++i) {
        const QString name = QStringLiteral("f%1").arg(i);
        list.append({QStringLiteral("s"), name, sha512Hex(body(name)), static_cast<quint64>(body(name).size())});
        server.setReply(serverPath("s", name), i < 6 ? stall : Reply::withBody(body(name)));
    }
    makeTask();
    task->execute();
    ASSERT_TRUE(waitFor([this] { return server.requests().size() == 6; }));
    drainEvents();
    EXPECT_EQ(task->runningSubTasks().size(), 6);
    EXPECT_EQ(task->pendingSubTasks().size(), 4);
    EXPECT_EQ(server.requests().size(), 6);

    // Freeing the stalled six lets the remaining four through.
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("f%1").arg(i);
        server.setReply(serverPath("s", name), Reply::withBody(body(name)));
    }
    server.closeAllConnections();
    ASSERT_TRUE(waitFor([this] { return task->state() != TASK_RUNNING; }, 60000));
    EXPECT_EQ(task->state(), TASK_FINISHED);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(readAll(tempDir + QStringLiteral("/f%1").arg(i)), body(QStringLiteral("f%1").arg(i)));
}

TEST_F(DownloadListTest, EachDirectoryIsMadeOnceBeforeAnyDownload)
{
    addServed(QStringLiteral("s"), QStringLiteral("lib/a"));
    addServed(QStringLiteral("s"), QStringLiteral("lib/b"));
    addServed(QStringLiteral("s"), QStringLiteral("top"));
    // A file where a directory must go: that directory cannot be made.
    QFile blocker(tempDir + "/blocked");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    addServed(QStringLiteral("s"), QStringLiteral("blocked/c"));
    makeTask();
    task->execute();
    EXPECT_EQ(task->state(), TASK_FAILED);
    EXPECT_TRUE(QFileInfo(tempDir + "/lib").isDir());
    EXPECT_EQ(messages, QStringList({"Could not create dir " + QDir(tempDir).canonicalPath() + "/blocked"}));
    drainEvents();
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DownloadListTest, NameLeavingTheTempDirectoryIsRefusedBeforeAnyWrite)
{
    const QStringList bad = {"../escaped", "/abs/escaped", "a/../../escaped", "."};
    for (const QString& name : bad) {
        SCOPED_TRACE(name.toStdString());
        list = {{QStringLiteral("s"), QStringLiteral("fine"), sha512Hex("x"), 1},
                {QStringLiteral("s"), name, sha512Hex("x"), 1}};
        messages.clear();
        makeTask();
        task->execute();
        EXPECT_EQ(task->state(), TASK_FAILED);
        EXPECT_EQ(messages, QStringList({"Refusing to download " + name + " outside the temp directory"}));
        task.reset();
    }
    drainEvents();
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("escaped")));
}

TEST_F(DownloadListTest, TwoEntriesForOneLocalFileAreRefusedBeforeAnyWrite)
{
    addServed(QStringLiteral("one"), QStringLiteral("lib/x"));
    addServed(QStringLiteral("two"), QStringLiteral("lib//./x"));
    makeTask();
    task->execute();
    EXPECT_EQ(task->state(), TASK_FAILED);
    EXPECT_EQ(messages, QStringList({"Two downloads share the local file lib//./x"}));
    drainEvents();
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DownloadListTest, ResetBuildsTheSubtasksAfreshFromTheListAsItStands)
{
    addServed(QStringLiteral("s"), QStringLiteral("a"));
    makeTask();
    ASSERT_TRUE(runToEnd());
    ASSERT_EQ(task->state(), TASK_FINISHED);

    addServed(QStringLiteral("s"), QStringLiteral("b"));
    task->reset();
    EXPECT_EQ(task->totalSize(), 0u);
    EXPECT_EQ(task->state(), TASK_IDLE);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(task->allSubTasks().size(), 2);
    EXPECT_EQ(task->totalSize(), list[0].size + list[1].size);
    EXPECT_EQ(readAll(tempDir + "/b"), body("b"));
}

} // namespace
