#include "configuration.h"
#include "updateinidata.h"

#include "globals.h"
#include "support/appinilock.h"
#include "support/scopedtmpdir.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <unistd.h>

namespace {

void writeRecordFor(const QVariant& version, const QString& dir, const QString& type, const QString& qnddir = "")
{
    QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
    s.beginGroup("current");
    if (version.isValid())
        s.setValue("version", version);
    s.setValue("dir", dir);
    s.setValue("qnddir", qnddir);
    s.setValue("type", type);
    s.endGroup();
    s.sync();
}

struct Record
{
    QVariant version; // invalid: key left out
    QString dir;
    QString qnddir;
    QString type;
};

// The application directory's "update.ini" is shared by every test process
// of this program (ctest runs them in parallel): a lock file serialises them.
// Each test gets its own system temp path holding one session directory.
class UpdateIniDataTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        appIni = std::make_unique<CleanAppIni>(applicationDirPath());
        ASSERT_TRUE(appIni->isLocked());
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(QDir(root.path()).mkpath("tmp/quendrail_temp_3"));
        tmp = std::make_unique<ScopedTmpDir>(root.path() + "/tmp");
        sessionDir = root.path() + "/tmp/quendrail_temp_3";
    }
    void TearDown() override
    {
        tmp.reset();
        appIni.reset();
    }
    static void removeIni() { removeFileOrTree(UpdateIniData::iniPath()); }
    static void writeRecord(const Record& r) { writeRecordFor(r.version, r.dir, r.type, r.qnddir); }
    // get() reads a usable record of the session directory with these values
    // into every output.
    void expectRecord(int version, const QString& type, const QString& qnddir) const
    {
        int readVersion = 0;
        QString readType, readDir, readQndDir;
        ASSERT_TRUE(UpdateIniData::get(&readVersion, &readType, &readDir, &readQndDir));
        EXPECT_EQ(readVersion, version);
        EXPECT_EQ(readType, type);
        EXPECT_EQ(readDir, sessionDir);
        EXPECT_EQ(readQndDir, qnddir);
    }

    QTemporaryDir root;
    QString sessionDir;
    std::unique_ptr<ScopedTmpDir> tmp;
    std::unique_ptr<CleanAppIni> appIni;
};

TEST_F(UpdateIniDataTest, UsableRecordFillsEveryRequestedOutput)
{
    writeRecord({1234, sessionDir, "/opt/qnd", "client_linux_amd64"});
    ASSERT_NO_FATAL_FAILURE(expectRecord(1234, "client_linux_amd64", "/opt/qnd"));

    int version = 0;
    QString dir;
    ASSERT_TRUE(UpdateIniData::get(&version, nullptr, &dir, nullptr));
    EXPECT_EQ(version, 1234);
    EXPECT_EQ(dir, sessionDir);
    EXPECT_TRUE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(UpdateIniDataTest, EmptyInstallDirectoryIsAccepted)
{
    writeRecord({7, sessionDir, "", "update_linux_amd64"});
    QString qnddir = "previous";
    ASSERT_TRUE(UpdateIniData::get(nullptr, nullptr, nullptr, &qnddir));
    EXPECT_EQ(qnddir, "");
}

// Every record here is unusable: get() fails and leaves the outputs alone.
// The "dir" of a record is where the engine deletes and writes, so anything
// but this user's own session directory in the temp path is refused.
struct RejectCase
{
    const char* name;
    std::function<void(const QString& root, const QString& session)> prepare;
};

void PrintTo(const RejectCase& c, std::ostream* os)
{
    *os << c.name;
}

class UpdateIniDataRejects : public UpdateIniDataTest, public ::testing::WithParamInterface<RejectCase>
{};

TEST_P(UpdateIniDataRejects, UnusableRecordLeavesOutputsUnchanged)
{
    GetParam().prepare(root.path(), sessionDir);
    int version = -5;
    QString type = "t0", dir = "d0", qnddir = "q0";
    EXPECT_FALSE(UpdateIniData::get(&version, &type, &dir, &qnddir));
    EXPECT_EQ(version, -5);
    EXPECT_EQ(type, "t0");
    EXPECT_EQ(dir, "d0");
    EXPECT_EQ(qnddir, "q0");
    // What the record pointed at is still there.
    EXPECT_TRUE(QDir(sessionDir).exists());
}

const QString kType = "client_linux_amd64";

INSTANTIATE_TEST_SUITE_P(
    Records, UpdateIniDataRejects,
    ::testing::Values(
        RejectCase{"NoFile", [](const QString&, const QString&) {}},
        RejectCase{"NoCurrentGroup",
                   [](const QString&, const QString&) {
                       QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
                       s.setValue("update/proxy", "x");
                   }},
        RejectCase{"VersionMissing", [](const QString&, const QString& s) { writeRecordFor({}, s, kType); }},
        RejectCase{"VersionNotANumber",
                   [](const QString&, const QString& s) { writeRecordFor(QString("12a"), s, kType); }},
        RejectCase{"TypeEmpty", [](const QString&, const QString& s) { writeRecordFor(5, s, ""); }},
        RejectCase{"DirEmpty", [](const QString&, const QString&) { writeRecordFor(5, "", kType); }},
        RejectCase{"DirPointsNowhere",
                   [](const QString& r, const QString&) { writeRecordFor(5, r + "/tmp/quendrail_temp_77", kType); }},
        RejectCase{"DirIsTheTempPathItself",
                   [](const QString& r, const QString&) { writeRecordFor(5, r + "/tmp", kType); }},
        RejectCase{"DirIsFilesystemRoot", [](const QString&, const QString&) { writeRecordFor(5, "/", kType); }},
        RejectCase{"DirIsSystemDirectory", [](const QString&, const QString&) { writeRecordFor(5, "/etc", kType); }},
        RejectCase{"DirClimbsOutOfSession",
                   [](const QString&, const QString& s) { writeRecordFor(5, s + "/../..", kType); }},
        RejectCase{"DirIsRelative",
                   [](const QString&, const QString&) { writeRecordFor(5, "quendrail_temp_3", kType); }},
        RejectCase{"DirOutsideTempPath",
                   [](const QString& r, const QString&) {
                       QDir(r).mkpath("home/quendrail_temp_4");
                       writeRecordFor(5, r + "/home/quendrail_temp_4", kType);
                   }},
        RejectCase{"DirIsLinkOutOfTempPath",
                   [](const QString& r, const QString&) {
                       QDir(r).mkpath("victim");
                       QFile::link(r + "/victim", r + "/tmp/quendrail_temp_8");
                       writeRecordFor(5, r + "/tmp/quendrail_temp_8", kType);
                   }},
        RejectCase{"DirIsAFile",
                   [](const QString& r, const QString&) {
                       QFile f(r + "/tmp/quendrail_temp_9");
                       f.open(QIODevice::WriteOnly);
                       writeRecordFor(5, r + "/tmp/quendrail_temp_9", kType);
                   }},
        RejectCase{"DirHasForeignName",
                   [](const QString& r, const QString&) {
                       QDir(r).mkpath("tmp/important");
                       writeRecordFor(5, r + "/tmp/important", kType);
                   }},
        RejectCase{"InstallDirIsRelative",
                   [](const QString&, const QString& s) { writeRecordFor(5, s, kType, "opt/qnd"); }}),
    [](const ::testing::TestParamInfo<RejectCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateIniDataTest, SessionDirectoryOfAnotherUserIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a directory to another user";
    ASSERT_TRUE(QDir(root.path()).mkpath("tmp/quendrail_temp_5"));
    const QString foreign = root.path() + "/tmp/quendrail_temp_5";
    ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
    writeRecord({5, foreign, "", kType});
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(UpdateIniDataTest, ModifyWritesRecordThatGetReadsBackAndKeepsOtherGroups)
{
    {
        QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
        s.setValue("update/proxy", "127.0.0.1:3128");
        s.setValue("update/streams", 3);
        s.setValue("Channel/Beta", true);
        s.setValue("current/version", 1);
    }
    ASSERT_TRUE(UpdateIniData::modify(2048, sessionDir, "/opt/qnd", "update_linux_amd64"));

    ASSERT_NO_FATAL_FAILURE(expectRecord(2048, "update_linux_amd64", "/opt/qnd"));

    QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
    EXPECT_EQ(s.value("update/proxy").toString(), "127.0.0.1:3128");
    EXPECT_EQ(s.value("update/streams").toInt(), 3);
    EXPECT_TRUE(s.value("Channel/Beta").toBool());
}

TEST_F(UpdateIniDataTest, ModifyReportsFailureWhenFileCannotBeWritten)
{
    // A directory where the file belongs cannot be written, even by root.
    ASSERT_TRUE(QDir().mkpath(UpdateIniData::iniPath()));
    EXPECT_FALSE(UpdateIniData::modify(1, sessionDir, "", kType));
}

TEST_F(UpdateIniDataTest, TempIniGetsRecordWithClientType)
{
    writeRecord({1234, sessionDir, "/opt/qnd", "update_linux_amd64"});
    {
        QSettings other(sessionDir + "/update.ini", QSettings::IniFormat);
        other.setValue("current/type", "stale");
        other.setValue("update/streams", 2);
        // The user's settings beside the record, which the new updater must
        // read as this one did.
        QSettings app(UpdateIniData::iniPath(), QSettings::IniFormat);
        app.setValue("Channel/alpha", "http://alpha.example/");
        app.setValue("Channel/alphaRevno", 55);
        app.setValue("update/proxy", "http://proxy.example:3128");
        app.setValue("elsewhere/key", "x");
    }
    ASSERT_TRUE(UpdateIniData::modifyTempIni(sessionDir));

    QSettings copy(sessionDir + "/update.ini", QSettings::IniFormat);
    EXPECT_EQ(copy.value("current/version").toInt(), 1234);
    EXPECT_EQ(copy.value("current/dir").toString(), sessionDir);
    EXPECT_EQ(copy.value("current/qnddir").toString(), "/opt/qnd");
    EXPECT_EQ(copy.value("current/type").toString(), "client_linux_amd64");
    EXPECT_EQ(copy.value("update/streams").toInt(), 2);
    EXPECT_EQ(copy.value("Channel/alpha").toString(), "http://alpha.example/");
    EXPECT_EQ(copy.value("Channel/alphaRevno").toInt(), 55);
    EXPECT_EQ(copy.value("update/proxy").toString(), "http://proxy.example:3128");
    EXPECT_FALSE(copy.contains("elsewhere/key"));
    // The application directory's record is left as it was.
    QSettings app(UpdateIniData::iniPath(), QSettings::IniFormat);
    EXPECT_EQ(app.value("current/type").toString(), "update_linux_amd64");
}

// Only the record goes: the user's settings stay, and the file goes only
// when nothing else is left in it.
TEST_F(UpdateIniDataTest, RemovingTheRecordKeepsEverythingElse)
{
    const struct
    {
        const char* label;
        QStringList otherKeys;
    } rows[] = {{"RecordOnly", {}},
                {"WithSettings", {"Channel/Beta", "update/streams", "update/proxy"}},
                {"WithUnknownGroup", {"mine/note"}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        removeIni();
        writeRecord({1234, sessionDir, "/opt/qnd", kType});
        {
            QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
            for (const QString& key : row.otherKeys)
                s.setValue(key, "1");
        }
        EXPECT_TRUE(UpdateIniData::removeRecord());
        EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(QFile::exists(UpdateIniData::iniPath()), !row.otherKeys.isEmpty());
        QSettings s(UpdateIniData::iniPath(), QSettings::IniFormat);
        QStringList left = s.allKeys();
        QStringList expected = row.otherKeys;
        left.sort();
        expected.sort();
        EXPECT_EQ(left, expected);
    }
    removeIni();
    EXPECT_TRUE(UpdateIniData::removeRecord());
    EXPECT_FALSE(QFile::exists(UpdateIniData::iniPath()));
}

TEST_F(UpdateIniDataTest, TempIniFailsWithoutUsableRecordOrWritableTarget)
{
    EXPECT_FALSE(UpdateIniData::modifyTempIni(sessionDir));
    EXPECT_FALSE(QFile::exists(sessionDir + "/update.ini"));

    writeRecord({1234, sessionDir, "", kType});
    QFile blocker(root.path() + "/plainfile");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(UpdateIniData::modifyTempIni(root.path() + "/plainfile"));
}

} // namespace
