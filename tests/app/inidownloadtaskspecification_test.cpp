#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "crypt.h"
#include "globals.h"
#include "localhttpserver.h"
#include "waitfor.h"
#include "support/testfiles.h"
#include "support/testsigning.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

// The packer is the patch engine's; the application links it only privately.
#include "../../deps/deltapatch/src/lib/unpacklzmafile.h"

namespace {

const QByteArray iniText("[files]\n");

struct Outcome
{
    QStringList lines; // "message:..", "error:..", "finished", "canceled"
    int ends = 0;
};

class IniDownloadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        temp = root.filePath("temp");
        repo = root.filePath("repo");
        ASSERT_TRUE(QDir().mkpath(temp));
        ASSERT_TRUE(QDir().mkpath(repo + "/12"));
        ASSERT_TRUE(server.listen());
        server.setDocumentRoot(repo);
        updateBaseUrl = server.baseUrl() + "/";
        manager.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        config.m_Version = 12;
        config.m_TempDir = temp;
    }

    QString iniName() const
    {
        return config.m_ClientUpdate == 1 ? "qnd_client_linux_amd64.ini" : "update_linux_amd64.ini";
    }

    // The signed, packed ini on the server.
    void publish(const QByteArray& ini)
    {
        const QString name = repo + "/12/" + iniName();
        ASSERT_TRUE(writeAllMakingDirs(name + ".sig", signWithTestKey(ini)));
        const QString plain = root.filePath("plain.ini");
        ASSERT_TRUE(writeAllMakingDirs(plain, ini));
        ASSERT_TRUE(deltapatch::GenerateLzmaFile(QFile::encodeName(plain).constData(),
                                                 QFile::encodeName(name + "._lzma2_").constData(), false));
    }

    Outcome run(IniDownloadTaskSpecification& task)
    {
        Outcome out;
        QObject::connect(&task, &TaskSpecification::message, [&out](const QString& m) { out.lines << "message:" + m; });
        QObject::connect(&task, &TaskSpecification::error, [&out](const QString& m) { out.lines << "error:" + m; });
        QObject::connect(&task, &TaskSpecification::finished, [&out] {
            out.lines << "finished";
            ++out.ends;
        });
        QObject::connect(&task, &TaskSpecification::canceled, [&out] {
            out.lines << "canceled";
            ++out.ends;
        });
        task.execute();
        EXPECT_TRUE(waitFor([&out] { return out.ends > 0; }, 60000));
        drainEvents();
        return out;
    }

    QStringList requestedPaths() const
    {
        QStringList paths;
        for (const LocalHttpServer::Request& r : server.requests())
            paths << QString::fromLatin1(r.path);
        return paths;
    }

    QTemporaryDir root;
    QString temp;
    QString repo;
    LocalHttpServer server;
    QNetworkAccessManager manager;
    Configuration config;
};

// ---- which files are fetched, under which names, with which weights -------

struct PresenceRow
{
    const char* label;
    int kind;
    bool iniPresent;
    bool sigPresent;
    QStringList fetched;  // suffixes of the ini name, in request order
    QList<qreal> weights; // subtask weights in order
};

class IniDownloadPresenceTest : public IniDownloadTest, public ::testing::WithParamInterface<PresenceRow>
{};

TEST_P(IniDownloadPresenceTest, FetchesOnlyWhatIsMissingAndAlwaysChecksSignature)
{
    const PresenceRow& row = GetParam();
    config.m_ClientUpdate = row.kind;
    publish(iniText);
    if (row.iniPresent) {
        ASSERT_TRUE(writeAllMakingDirs(temp + "/" + iniName(), iniText));
    }
    if (row.sigPresent) {
        ASSERT_TRUE(writeAllMakingDirs(temp + "/" + iniName() + ".sig", readAll(repo + "/12/" + iniName() + ".sig")));
    }
    // A stale packed file alone does not count: it is fetched again.
    ASSERT_TRUE(writeAllMakingDirs(temp + "/" + iniName() + "._lzma2_", "stale"));

    IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
    EXPECT_EQ(task.packedName(), iniName() + "._lzma2_");
    EXPECT_EQ(task.signatureName(), iniName() + ".sig");
    const Outcome out = run(task);

    EXPECT_EQ(out.lines.value(0), "message:Download / check product ini");
    EXPECT_EQ(out.lines.last(), "finished") << out.lines.join("\n").toStdString();
    EXPECT_EQ(out.ends, 1);
    QStringList expected;
    for (const QString& suffix : row.fetched)
        expected << "/12/" + iniName() + suffix;
    EXPECT_EQ(requestedPaths(), expected);
    QList<qreal> weights;
    for (const TaskSpecification* sub : task.allSubTasks())
        weights << sub->weight();
    ASSERT_EQ(weights.size(), row.weights.size());
    for (int i = 0; i < weights.size(); ++i)
        EXPECT_NEAR(weights[i], row.weights[i], 1e-9) << i;
    EXPECT_TRUE(qobject_cast<CheckSignatureTaskSpecification*>(task.allSubTasks().last()));
    EXPECT_EQ(readAll(temp + "/" + iniName()), iniText);
    EXPECT_DOUBLE_EQ(task.progress(), 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IniDownloadPresenceTest,
    ::testing::Values(
        PresenceRow{"ClientNothingPresent", 1, false, false, {"._lzma2_", ".sig"}, {0.3333, 1.0, 0.3333, 0.3334}},
        PresenceRow{"ClientSigPresent", 1, false, true, {"._lzma2_"}, {0.3333, 1.0, 0.6667}},
        PresenceRow{"ClientIniPresent", 1, true, false, {".sig"}, {0.3333, 0.6667}},
        PresenceRow{"ClientBothPresent", 1, true, true, {}, {1.0}},
        PresenceRow{"UpdaterNothingPresent", 0, false, false, {"._lzma2_", ".sig"}, {0.3333, 1.0, 0.3333, 0.3334}},
        PresenceRow{"UpdaterBothPresent", 0, true, true, {}, {1.0}}),
    [](const ::testing::TestParamInfo<PresenceRow>& info) { return std::string(info.param.label); });

// ---- refused or missing inis -----------------------------------------------

TEST_F(IniDownloadTest, AlteredIniFailsOnceAndIsDroppedSoNextRunFetchesAgain)
{
    config.m_ClientUpdate = 1;
    publish(iniText);
    const QString ini = temp + "/" + iniName();
    ASSERT_TRUE(writeAllMakingDirs(ini, iniText + "[delete]\nimportant=1\n"));
    ASSERT_TRUE(writeAllMakingDirs(ini + ".sig", readAll(repo + "/12/" + iniName() + ".sig")));

    IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
    const Outcome out = run(task);
    EXPECT_EQ(out.lines,
              (QStringList{"message:Download / check product ini", "message:Signature check failed for " + ini,
                           "message:Could not verify the product ini file. Aborting", "canceled"}));
    EXPECT_EQ(out.ends, 1);
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_FALSE(QFileInfo::exists(ini));
    EXPECT_FALSE(QFileInfo::exists(ini + ".sig"));

    task.reset();
    EXPECT_TRUE(task.allSubTasks().isEmpty());
    const Outcome again = run(task);
    EXPECT_EQ(again.lines.last(), "finished") << again.lines.join("\n").toStdString();
    EXPECT_EQ(readAll(ini), iniText);
}

TEST_F(IniDownloadTest, MissingSignatureOnServerFailsTheTask)
{
    config.m_ClientUpdate = 1;
    const QString ini = temp + "/" + iniName();
    ASSERT_TRUE(writeAllMakingDirs(ini, iniText));

    IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
    const Outcome out = run(task);
    EXPECT_EQ(out.lines.last(), "canceled");
    EXPECT_EQ(out.ends, 1);
    EXPECT_EQ(task.state(), TASK_FAILED);
    // The check never ran, so nothing claims a verified ini.
    EXPECT_FALSE(out.lines.contains("message:Could not verify the product ini file. Aborting"));
}

// Neither size is known beforehand, so each has a cap: an endless or huge
// answer fails the task without filling the temp directory.
TEST_F(IniDownloadTest, AnswersBeyondTheirCapsFailTheTask)
{
    config.m_ClientUpdate = 1;
    const struct
    {
        const char* suffix;
        LocalHttpServer::Reply reply;
        qint64 cap;
    } rows[] = {
        {".sig",
         [] {
             LocalHttpServer::Reply r = LocalHttpServer::Reply::withBody(QByteArray(64 * 1024 + 1, 's'));
             r.framing = LocalHttpServer::Framing::CloseDelimited;
             return r;
         }(),
         64 * 1024},
        {"._lzma2_",
         [] {
             LocalHttpServer::Reply r = LocalHttpServer::Reply::withBody("x");
             r.announcedLength = (64 << 20) + 1;
             return r;
         }(),
         64 << 20},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.suffix);
        publish(iniText);
        const QString name = iniName() + row.suffix;
        server.setReply("/12/" + name.toLatin1(), row.reply);
        IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
        const Outcome out = run(task);
        EXPECT_EQ(task.state(), TASK_FAILED);
        EXPECT_EQ(
            out.lines.count(QStringLiteral("message:%1 is larger than the allowed %2 bytes").arg(name).arg(row.cap)), 5)
            << out.lines.join("\n").toStdString();
        EXPECT_FALSE(QFileInfo::exists(temp + "/" + name));
        server.clearReplies();
        QDir(temp).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(temp));
    }
}

TEST_F(IniDownloadTest, PackedFileThatIsNoPackedFileFailsTheTask)
{
    config.m_ClientUpdate = 1;
    publish(iniText);
    ASSERT_TRUE(writeAllMakingDirs(repo + "/12/" + iniName() + "._lzma2_", "plain text, not packed"));

    IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
    const Outcome out = run(task);
    EXPECT_EQ(out.lines.last(), "canceled");
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_EQ(server.requestCount(QByteArray("/12/") + iniName().toLatin1() + ".sig"), 0);
}

} // namespace
