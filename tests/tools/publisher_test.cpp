// The publisher's trees must be exactly what the updater accepts: its own
// product-ini reader parses them, the built-in key verifies them, and every
// served file turns into the new client file the way the replacement does it.
#include "publisher.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadreplacelistdata.h"
#include "ensemblepatchapplier.h"
#include "globals.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "serverversions.h"
#include "unpacklzmafile.h"

#include "support/childprocess.h"
#include "support/democlient.h"
#include "support/testfiles.h"
#include "support/testsigning.h"
#include "support/waitfor.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <zlib.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

bool copyTree(const QString& from, const QString& to)
{
    QProcess p;
    p.start(QStringLiteral("cp"), {QStringLiteral("-a"), from + QStringLiteral("/."), to});
    return p.waitForFinished(60000) && p.exitCode() == 0;
}

QByteArray gunzip(const QString& path)
{
    gzFile in = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!in)
        return QByteArray("<no gzip>");
    QByteArray out;
    char buf[4096];
    int n = 0;
    while ((n = gzread(in, buf, sizeof buf)) > 0)
        out.append(buf, n);
    gzclose(in);
    return n < 0 ? QByteArray("<bad gzip>") : out;
}

QByteArray lzmaUnpack(const QString& path, const QString& scratch)
{
    QFile::remove(scratch);
    if (!deltapatch::UnpackLzmaFile(QFile::encodeName(path).constData(), QFile::encodeName(scratch).constData()))
        return QByteArray("<unpack failed>");
    return readAllOrMissing(scratch);
}

// Exit code of a run, with its output in *out; negative when it hangs or crashes.
int runProgram(const QString& program, const QStringList& args, QByteArray* out)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000))
        return -1;
    *out = p.readAllStandardOutput() + p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
}

int runPublisher(const QStringList& args, QByteArray* out)
{
    return runProgram(QStringLiteral(QND_PUBLISH), args, out);
}

// A user of its own for runs that root's rights would hide a fault from;
// empty when none can be made here.
struct ThrowawayUser
{
    ThrowawayUser()
    {
        const QString candidate = QStringLiteral("qndpub%1").arg(::getpid());
        if (runToSuccess(QStringLiteral("useradd"), {QStringLiteral("-M"), QStringLiteral("-N"), candidate}))
            name = candidate;
    }
    ~ThrowawayUser()
    {
        if (!name.isEmpty())
            runToSuccess(QStringLiteral("userdel"), {name});
    }
    ThrowawayUser(const ThrowawayUser&) = delete;
    ThrowawayUser& operator=(const ThrowawayUser&) = delete;

    // The publisher run as this user.
    int publish(const QStringList& args, QByteArray* out) const
    {
        return runProgram(
            QStringLiteral("runuser"),
            QStringList{QStringLiteral("-u"), name, QStringLiteral("--"), QStringLiteral(QND_PUBLISH)} + args, out);
    }

    QString name;
};

// The session's view of one published version: the reader run over a copy of
// the ini in a temp directory, against an install directory.
struct ReaderRun
{
    bool ok = false;
    DownloadReplaceListData lists;
};

ReaderRun readWithUpdater(const QString& iniPath, int targetKind, const QString& tempDir, const QString& installDir)
{
    ReaderRun run;
    const QString local = QDir(tempDir).filePath(productIniName(targetKind));
    QFile::remove(local);
    if (!QFile::copy(iniPath, local))
        return run;
    Configuration config;
    config.m_ClientUpdate = targetKind;
    config.m_TempDir = tempDir;
    config.m_InstallDir = installDir;
    // The session's version: the number of the folder the ini was published in.
    config.m_Version = QFileInfo(iniPath).dir().dirName().toInt();
    MakeDownloadReplaceListFunc reader(&config, &run.lists);
    run.ok = reader.run();
    return run;
}

class PublisherTest : public DemoVersionsTest
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(DemoVersionsTest::SetUp());
        temp = dir.filePath(QStringLiteral("temp"));
        install = dir.filePath(QStringLiteral("install"));
        ASSERT_TRUE(QDir().mkpath(temp));
        ASSERT_TRUE(QDir().mkpath(install));
    }

    PublishOptions options(bool withOld) const
    {
        PublishOptions o;
        o.oldDir = withOld ? v1 : QString();
        o.newDir = v2;
        o.outDir = repo;
        o.version = 2;
        o.keyPath = testPrivateKeyPath();
        return o;
    }

    // The command line that publishes v2 as version into repo, plus more.
    QStringList publishArgs(int version, const QStringList& more = {}, const QString& key = testPrivateKeyPath()) const
    {
        return QStringList{QStringLiteral("--new"),     v2,
                           QStringLiteral("--out"),     repo,
                           QStringLiteral("--version"), QString::number(version),
                           QStringLiteral("--key"),     key}
        + more;
    }

    QString iniOf(int version) const
    {
        return QDir(repo).filePath(QString::number(version) + QStringLiteral("/qnd_client_linux_amd64.ini"));
    }

    // What a failed run left in the repository (staging directories included).
    QStringList leftInRepo() const
    {
        return QDir(repo).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QString served(const QString& section, const QString& name) const
    {
        return QDir(repo).filePath(QStringLiteral("2/") + section + QLatin1Char('/') + name);
    }

    QString temp, install;
};

TEST_F(PublisherTest, UpgradeIniPatchesChangedFilesDeletesRemovedOnesAndSkipsCurrentOnes)
{
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(options(true), &report, &error)) << error.toStdString();
    EXPECT_EQ(report.iniPath, QDir(repo).filePath(QStringLiteral("2/qnd_client_linux_amd64.ini")));
    EXPECT_TRUE(report.notes.isEmpty()) << report.notes.join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(copyTree(v1, install));
    // The session's version, ahead of every group.
    EXPECT_TRUE(readAllOrMissing(report.iniPath).startsWith("version=2\n"));
    EXPECT_EQ(QSettings(report.iniPath, QSettings::IniFormat).value(QStringLiteral("version")).toInt(), 2);

    const ReaderRun run = readWithUpdater(report.iniPath, 1, temp, install);
    ASSERT_TRUE(run.ok);

    // Expected decision per installed file: how it is fetched, or not at all
    // (a new file comes in its smallest form).
    struct Row
    {
        const char* target;
        const char* how;
    };
    const Row rows[] = {
        {"qndclient_linux_amd64", "patch"},
        {"qndclient_runscript.sh", "patch"},
        {"data/readme.txt", "patch"},
        {"data/news.txt", "plain"},
        {"data/map.bin", "gz"},
        {"data/extra.dat", "plain"},
    };
    ASSERT_EQ(run.lists.replacements.size(), int(sizeof rows / sizeof rows[0]));
    ASSERT_EQ(run.lists.downloads.size(), run.lists.replacements.size());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.target);
        const QString target = QString::fromLatin1(row.target);
        const ReplaceFileData* entry = nullptr;
        for (const ReplaceFileData& r : run.lists.replacements)
            if (r.targetName() == target)
                entry = &r;
        ASSERT_NE(entry, nullptr);
        const QString how = QString::fromLatin1(row.how);
        EXPECT_EQ(entry->hasPatch(), how == QLatin1String("patch"));
        EXPECT_EQ(entry->hasTargetName(), how != QLatin1String("plain"));
        if (how == QLatin1String("gz")) {
            EXPECT_EQ(entry->name, target + QStringLiteral(".gz"));
        } else if (how == QLatin1String("lzma2")) {
            EXPECT_EQ(QFileInfo(entry->name).suffix(), QStringLiteral("_lzma2_"));
        } else if (how == QLatin1String("patch")) {
            EXPECT_TRUE(entry->patchFile.endsWith(QLatin1String("_patch_")));
        }
    }
    ASSERT_EQ(run.lists.deletions.size(), 1);
    EXPECT_EQ(run.lists.deletions[0].path, QStringLiteral("data/old_notes.txt"));
    EXPECT_FALSE(run.lists.deletions[0].recursive);
    EXPECT_TRUE(run.lists.preInstall.isEmpty());
    EXPECT_TRUE(run.lists.postInstall.isEmpty());
}

// Names that hold the same bytes (links, copies) keep one ini line each, but
// each form of those bytes and each patch between two contents is made once
// and served under every name as one hard-linked file; every line still
// rebuilds its file.
TEST_F(PublisherTest, SameBytesUnderSeveralNamesArePackedAndPatchedOnce)
{
    QByteArray before, after;
    for (int i = 0; i < 3000; ++i) {
        before += "line " + QByteArray::number(i * 7919 % 3001) + " of the tool\n";
        after += "line " + QByteArray::number(i * 7919 % 3001) + (i % 97 ? " of the tool\n" : " of the new tool\n");
    }
    enum Second { Link, Copy, CopyOfOtherOldBytes, NewName };
    const struct
    {
        const char* why;
        Second second;   // how bin/again holds the bytes of bin/tool
        int patchesMade; // distinct (old, new) pairs
        bool samePatch;  // bin/again's patch is bin/tool's
    } rows[] = {
        {"a link", Link, 1, true},
        {"a copy", Copy, 1, true},
        {"a copy that held other bytes before", CopyOfOtherOldBytes, 2, false},
        {"a copy new in this version", NewName, 1, false},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const QString root = dir.filePath(QStringLiteral("same%1").arg(++n));
        PublishOptions o = options(true);
        o.oldDir = root + QStringLiteral("/old");
        o.newDir = root + QStringLiteral("/new");
        o.outDir = root + QStringLiteral("/out");
        QStringList said;
        o.progress = [&said](const QString& line) { said << line; };
        for (const QString& tree : {o.oldDir, o.newDir}) {
            const bool isNew = tree == o.newDir;
            const QString tool = tree + QStringLiteral("/bin/tool"), again = tree + QStringLiteral("/bin/again");
            ASSERT_TRUE(writeAllMakingDirs(tool, isNew ? after : before));
            if (!isNew && row.second == NewName)
                continue;
            if (row.second == Link)
                ASSERT_TRUE(QFile::link(QStringLiteral("tool"), again));
            else
                ASSERT_TRUE(
                    writeAllMakingDirs(again, isNew || row.second == Copy ? readAllOrMissing(tool) : before + "more"));
        }
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
        EXPECT_EQ(report.lzma2, QStringList({QStringLiteral("bin/again"), QStringLiteral("bin/tool")}));
        EXPECT_EQ(said.filter(QStringLiteral("  lzma2: ")).size(), 1);
        EXPECT_EQ(said.filter(QStringLiteral("  patch from ")).size(), row.patchesMade);

        // One line per name, and one served file for both.
        const QString version = o.outDir + QStringLiteral("/2/");
        QSettings ini(version + QStringLiteral("qnd_client_linux_amd64.ini"), QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("client"));
        const QStringList keys = ini.allKeys();
        EXPECT_TRUE(keys.contains(QStringLiteral("bin/tool._lzma2_")));
        EXPECT_TRUE(keys.contains(QStringLiteral("bin/again._lzma2_")));
        EXPECT_EQ(keys.filter(QStringLiteral("bin/again.")).size(), row.second == NewName ? 1 : 2);
        const auto inode = [&](const QString& name) {
            struct stat st = {};
            return ::stat(QFile::encodeName(version + QStringLiteral("client/") + name).constData(), &st) == 0
                ? st.st_ino
                : ino_t(0);
        };
        EXPECT_NE(inode(QStringLiteral("bin/tool._lzma2_")), ino_t(0));
        EXPECT_EQ(inode(QStringLiteral("bin/tool._lzma2_")), inode(QStringLiteral("bin/again._lzma2_")));
        const QString toolPatch = keys.filter(QStringLiteral("bin/tool.")).filter(QStringLiteral("_patch_")).value(0);
        const QString againPatch = keys.filter(QStringLiteral("bin/again.")).filter(QStringLiteral("_patch_")).value(0);
        EXPECT_FALSE(toolPatch.isEmpty());
        EXPECT_EQ(inode(toolPatch) == inode(againPatch), row.samePatch);

        // Every line, the shared ones included, rebuilds its file.
        QByteArray checked;
        EXPECT_EQ(
            runPublisher({QStringLiteral("--verify"), QStringLiteral("--out"), o.outDir, QStringLiteral("--version"),
                          QStringLiteral("2"), QStringLiteral("--old"), o.oldDir, QStringLiteral("--public-key"),
                          QStringLiteral(QND_FIXTURES_DIR "/keys/test_public.pem")},
                         &checked),
            0)
            << checked.constData();
        EXPECT_TRUE(checked.contains(row.second == NewName ? "1 patches applied" : "2 patches applied"))
            << checked.constData();
    }
}

// Whatever the reader picks, the served bytes must match the size and digest
// it will check, and must become the new client file by the replacement's
// own route (copy, gunzip, LZMA2 unpack or patch of the installed file).
TEST_F(PublisherTest, EveryChosenDownloadRebuildsTheNewClientFile)
{
    const struct
    {
        bool withOld;
        PublishOptions::Form form;
    } cases[] = {
        {true, PublishOptions::Auto},  {false, PublishOptions::Auto}, {true, PublishOptions::Lzma2},
        {false, PublishOptions::Gzip}, {true, PublishOptions::Plain}, {false, PublishOptions::Plain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "old " << c.withOld << " form " << int(c.form));
        QDir(repo).removeRecursively();
        QDir(install).removeRecursively();
        QDir(temp).removeRecursively();
        QDir().mkpath(install);
        QDir().mkpath(temp);
        PublishOptions o = options(c.withOld);
        o.form = c.form;
        PublishReport report;
        QString error;
        ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
        if (c.withOld) {
            ASSERT_TRUE(copyTree(v1, install));
        }
        const ReaderRun run = readWithUpdater(report.iniPath, 1, temp, install);
        ASSERT_TRUE(run.ok);
        for (const DownloadFileData& d : run.lists.downloads) {
            const QString path = served(d.section, d.name);
            EXPECT_EQ(sha512HexOfFile(path), d.hash) << d.name.toStdString();
            EXPECT_EQ(quint64(QFileInfo(path).size()), d.size) << d.name.toStdString();
        }
        int rebuilt = 0;
        for (const ReplaceFileData& r : run.lists.replacements) {
            const QString name = r.hasPatch() ? r.patchFile : r.name;
            const QString src = served(QStringLiteral("client"), name);
            const QString want = QDir(v2).filePath(r.targetName());
            const QString scratch = QDir(temp).filePath(QStringLiteral("rebuilt"));
            QByteArray got;
            if (!r.hasTargetName()) {
                got = readAllOrMissing(src);
            } else if (r.hasPatch()) {
                QFile::remove(scratch);
                const deltapatch::PatchStatus st = deltapatch::ApplyEnsemblePatchFiles(
                    QFile::encodeName(QDir(install).filePath(r.targetName())).constData(),
                    QFile::encodeName(src).constData(), QFile::encodeName(scratch).constData());
                EXPECT_EQ(st, deltapatch::StatusOk) << name.toStdString();
                got = readAllOrMissing(scratch);
            } else if (QFileInfo(src).suffix() == QLatin1String("_lzma2_")) {
                got = lzmaUnpack(src, scratch);
            } else {
                got = gunzip(src);
            }
            EXPECT_TRUE(got == readAllOrMissing(want))
                << r.targetName().toStdString() << " from " << name.toStdString();
            if (r.hasTargetName()) {
                EXPECT_EQ(r.installedHash, sha512HexOfFile(want)) << r.targetName().toStdString();
            }
            ++rebuilt;
        }
        // A fresh install fetches every file of the new version.
        if (!c.withOld) {
            EXPECT_EQ(rebuilt,
                      QDir(v2).entryList(QDir::Files).size()
                          + QDir(v2 + QStringLiteral("/data")).entryList(QDir::Files).size());
        }
    }
}

TEST_F(PublisherTest, PackedIniUnpacksToTheSignedIniAndTheBuiltInKeyVerifiesIt)
{
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(options(true), &report, &error)) << error.toStdString();
    EXPECT_EQ(readAllOrMissing(report.iniPath),
              lzmaUnpack(report.iniPath + QStringLiteral("._lzma2_"), QDir(temp).filePath(QStringLiteral("ini"))));
    EXPECT_EQ(QFileInfo(report.iniPath + QStringLiteral(".sig")).size(), 128);

    // The updater's own check, as the ini download runs it.
    EXPECT_TRUE(CheckSigFunc(report.iniPath, QString()).run());

    // One changed byte anywhere in the ini, or in its signature, is refused.
    const QByteArray ini = readAllOrMissing(report.iniPath);
    const QByteArray sig = readAllOrMissing(report.iniPath + QStringLiteral(".sig"));
    for (int at : {0, int(ini.size() / 2), int(ini.size() - 1)}) {
        QByteArray bad = ini;
        bad[at] = char(bad[at] ^ 0x01);
        ASSERT_TRUE(writeAllMakingDirs(report.iniPath, bad));
        EXPECT_FALSE(CheckSigFunc(report.iniPath, QString()).run()) << "ini byte " << at;
    }
    ASSERT_TRUE(writeAllMakingDirs(report.iniPath, ini));
    QByteArray badSig = sig;
    badSig[5] = char(badSig[5] ^ 0x80);
    ASSERT_TRUE(writeAllMakingDirs(report.iniPath + QStringLiteral(".sig"), badSig));
    EXPECT_FALSE(CheckSigFunc(report.iniPath, QString()).run());
}

TEST_F(PublisherTest, UpdaterTreeUsesTheUpdaterIniNameAndReadsInAnUpdaterRun)
{
    PublishOptions o = options(true);
    o.targetKind = 0;
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
    EXPECT_EQ(QFileInfo(report.iniPath).fileName(), QStringLiteral("update_linux_amd64.ini"));
    EXPECT_TRUE(QFileInfo::exists(report.iniPath + QStringLiteral("._lzma2_")));
    EXPECT_TRUE(QFileInfo::exists(report.iniPath + QStringLiteral(".sig")));
    EXPECT_TRUE(QFileInfo::exists(served(QStringLiteral("update"), QStringLiteral("data/extra.dat"))));
    EXPECT_TRUE(CheckSigFunc(report.iniPath, QString()).run());

    ASSERT_TRUE(copyTree(v1, install));
    const ReaderRun run = readWithUpdater(report.iniPath, 0, temp, install);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.lists.replacements.size(), 6);
    // An updater run assembles the new updater in the temp directory, so
    // current files are carried over there.
    EXPECT_EQ(readAllOrMissing(QDir(temp).filePath(QStringLiteral("data/levels.dat"))),
              readAllOrMissing(QDir(v2).filePath(QStringLiteral("data/levels.dat"))));
}

// A version's client tree carries the updater's files byte for byte, so that
// the client step replaces the installed updater: whichever of the two trees
// is published second is refused, naming the file, when they disagree, and
// OUT keeps only the first.
TEST_F(PublisherTest, ClientTreeMustCarryTheVersionsUpdaterFilesByteForByte)
{
    const struct
    {
        const char* why;
        bool updaterFirst;
        const char* clientUpdate; // the client tree's "update"; null: none
        const char* says;         // the second run's refusal; null: both publish
    } rows[] = {
        {"updater first, the same program in the client", true, "updater v2", nullptr},
        {"client first, the same program in it", false, "updater v2", nullptr},
        {"updater first, no program in the client", true, nullptr, "must be the updater's update of version 2"},
        {"updater first, another program in the client", true, "updater v1", "must be the updater's update"},
        {"client first, no program in it", false, nullptr, "does not carry this file byte for byte"},
        {"client first, another program in it", false, "updater v1", "does not carry this file byte for byte"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const QString root = dir.filePath(QStringLiteral("carry%1").arg(++n));
        PublishOptions client = options(true), updater = options(false);
        client.newDir = root + QStringLiteral("/client");
        updater.newDir = root + QStringLiteral("/updater");
        client.outDir = updater.outDir = root + QStringLiteral("/out");
        updater.targetKind = 0;
        ASSERT_TRUE(QDir().mkpath(root));
        ASSERT_TRUE(copyTree(v2, client.newDir));
        const QString program = updater.newDir + QStringLiteral("/update");
        ASSERT_TRUE(writeAllMakingDirs(program, "updater v2"));
        ASSERT_TRUE(writeAllMakingDirs(updater.newDir + QStringLiteral("/translations/update_de.qm"), "de"));
        ASSERT_TRUE(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
        ASSERT_TRUE(copyTree(updater.newDir, client.newDir));
        const QString carried = client.newDir + QStringLiteral("/update");
        if (row.clientUpdate)
            ASSERT_TRUE(writeAllMakingDirs(carried, row.clientUpdate));
        else
            ASSERT_TRUE(QFile::remove(carried));
        const PublishOptions& first = row.updaterFirst ? updater : client;
        const PublishOptions& second = row.updaterFirst ? client : updater;
        QString error;
        ASSERT_TRUE(publish(first, nullptr, &error)) << error.toStdString();
        const QString secondIni =
            QDir(second.outDir).filePath(QStringLiteral("2/") + productIniName(second.targetKind));
        if (!row.says) {
            EXPECT_TRUE(publish(second, nullptr, &error)) << error.toStdString();
            // The client step makes the carried program executable.
            QSettings ini(QDir(client.outDir).filePath(QStringLiteral("2/qnd_client_linux_amd64.ini")),
                          QSettings::IniFormat);
            EXPECT_TRUE(ini.value(executablesIniKey).toStringList().contains(QStringLiteral("100::update")));
            continue;
        }
        EXPECT_FALSE(publish(second, nullptr, &error));
        EXPECT_TRUE(error.contains(QString::fromLatin1(row.says))) << error.toStdString();
        EXPECT_TRUE(error.contains(row.updaterFirst ? carried : program)) << error.toStdString();
        EXPECT_FALSE(QFileInfo::exists(secondIni));
    }
}

// Publishes into one OUT take turns: two runs started while OUT is locked
// both wait, and the one that comes second checks what the first published,
// so of two runs that cannot both stand exactly one is refused.
TEST_F(PublisherTest, OverlappingPublishesIntoOneOutTakeTurns)
{
    const QString updaterTree = dir.filePath(QStringLiteral("updater")),
                  client = dir.filePath(QStringLiteral("client"));
    ASSERT_TRUE(writeAllMakingDirs(updaterTree + QStringLiteral("/update"), "updater v2"));
    ASSERT_TRUE(copyTree(v2, QDir().mkpath(client) ? client : QString()));
    ASSERT_TRUE(writeAllMakingDirs(client + QStringLiteral("/update"), "another updater"));
    for (const QString& program : {updaterTree + QStringLiteral("/update"), client + QStringLiteral("/update")})
        ASSERT_TRUE(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
    const auto args = [&](const QString& out, const QString& tree, bool updater) {
        return QStringList{QStringLiteral("--new"),     tree,
                           QStringLiteral("--out"),     out,
                           QStringLiteral("--version"), QStringLiteral("2"),
                           QStringLiteral("--key"),     testPrivateKeyPath()}
        + (updater ? QStringList{QStringLiteral("--updater")} : QStringList());
    };
    const struct
    {
        const char* why;
        QString firstTree, secondTree;
        bool firstUpdater, secondUpdater;
        const char* says; // the refused run's message
    } rows[] = {
        {"a client and an updater that disagree on update", client, updaterTree, false, true,
         "so that the client step replaces the installed updater"},
        {"two client trees of one version", client, v2, false, false, "a published version is never rewritten"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const QString out = dir.filePath(QStringLiteral("out%1").arg(++n));
        ASSERT_TRUE(QDir().mkpath(out));
        const int held = ::open(QFile::encodeName(out).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        QProcess runs[2];
        QByteArray said[2];
        const QStringList given[2] = {args(out, row.firstTree, row.firstUpdater),
                                      args(out, row.secondTree, row.secondUpdater)};
        for (int i = 0; i < 2; ++i) {
            runs[i].setProcessChannelMode(QProcess::MergedChannels);
            runs[i].start(QStringLiteral(QND_PUBLISH), given[i]);
            while (!said[i].contains("waiting for another qnd_publish run into") && runs[i].waitForReadyRead(120000))
                said[i] += runs[i].readAll();
            EXPECT_TRUE(said[i].contains("waiting for another qnd_publish run into " + QFile::encodeName(out)))
                << said[i].constData();
        }
        ::close(held);
        int codes[2];
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(runs[i].waitForFinished(120000));
            said[i] += runs[i].readAll();
            codes[i] = runs[i].exitCode();
        }
        EXPECT_EQ(codes[0] + codes[1], 1) << said[0].constData() << said[1].constData();
        const int refused = codes[0] == 1 ? 0 : 1;
        EXPECT_TRUE(said[refused].contains(row.says)) << said[refused].constData();
        EXPECT_TRUE(said[1 - refused].contains("ini ")) << said[1 - refused].constData();
        QByteArray checked;
        EXPECT_EQ(runPublisher({QStringLiteral("--verify"), QStringLiteral("--out"), out, QStringLiteral("--version"),
                                QStringLiteral("2"), QStringLiteral("--public-key"),
                                QStringLiteral(QND_FIXTURES_DIR "/keys/test_public.pem")},
                               &checked),
                  0)
            << checked.constData();
    }
}

// Install commands given on the command line, as the updater's reader hands
// them to the install tasks: arguments whole (placeholder replaced), flags
// kept, programs fetched whole into the temp directory they are started from.
TEST_F(PublisherTest, InstallCommandsReachTheReaderWithTheirArgumentsAndFlags)
{
    const QString a = QStringLiteral("setup/a.sh"), b = QStringLiteral("setup/b.sh"),
                  script = QStringLiteral("qndclient_runscript.sh"), levels = QStringLiteral("data/levels.dat");
    ASSERT_TRUE(writeAllMakingDirs(QDir(v2).filePath(a), "#!/bin/sh\nexit 0\n"));
    ASSERT_TRUE(writeAllMakingDirs(QDir(v2).filePath(b), "#!/bin/sh\nexit 1\n"));
    const QStringList awkward{QStringLiteral("plain"),        QStringLiteral("with space"),
                              QStringLiteral("comma,inside"), QStringLiteral("quote\"d"),
                              QStringLiteral(" padded "),     QStringLiteral("dir=__QND_DIR__/x")};
    QByteArray said;
    ASSERT_EQ(
        runPublisher(
            publishArgs(2,
                        {QStringLiteral("--old"), v1, QStringLiteral("--preinstall"), levels,
                         QStringLiteral("--preinstall"), a + QStringLiteral("::") + awkward.join(QStringLiteral("::")),
                         QStringLiteral("--preinstall-optional"), b, QStringLiteral("--postinstall-optional"),
                         script + QStringLiteral("::x"), QStringLiteral("--postinstall"), a}),
            &said),
        0)
        << said.constData();
    ASSERT_TRUE(copyTree(v1, install));
    const ReaderRun run = readWithUpdater(iniOf(2), 1, temp, install);
    ASSERT_TRUE(run.ok);

    auto describe = [](const QList<PrePostInstallData>& list) {
        QStringList out;
        for (const PrePostInstallData& c : list)
            out << c.program + QLatin1Char('(') + c.arguments.join(QLatin1Char('|')) + QLatin1Char(')')
                    + QLatin1Char(c.required ? '!' : '?');
        return out;
    };
    QStringList replaced = awkward;
    replaced.last().replace(QStringLiteral("__QND_DIR__"), install);
    // An optional command without arguments carries one empty argument: the
    // optional mark takes the third place of the value.
    EXPECT_EQ(describe(run.lists.preInstall),
              QStringList({levels + QStringLiteral("()!"),
                           a + QLatin1Char('(') + replaced.join(QLatin1Char('|')) + QStringLiteral(")!"),
                           b + QStringLiteral("()?")}));
    EXPECT_EQ(describe(run.lists.postInstall),
              QStringList({script + QStringLiteral("(x)?"), a + QStringLiteral("()!")}));

    // Changed and new programs are fetched whole under their own names.
    for (const QString& program : {a, b, script}) {
        SCOPED_TRACE(program.toStdString());
        bool fetched = false;
        for (const DownloadFileData& d : run.lists.downloads)
            fetched = fetched || (d.name == program && d.hash == sha512HexOfFile(QDir(v2).filePath(program)));
        EXPECT_TRUE(fetched);
    }
    // A current installed program is not fetched, which the publisher says.
    EXPECT_TRUE(said.contains("install program data/levels.dat is unchanged")) << said.constData();
}

TEST_F(PublisherTest, RefusesOptionsThatCannotMakeAUsableTree)
{
    struct Row
    {
        const char* why;
        void (*change)(PublishOptions&);
    };
    const Row rows[] = {
        {"version 0", [](PublishOptions& o) { o.version = 0; }},
        {"negative version", [](PublishOptions& o) { o.version = -3; }},
        {"missing new dir", [](PublishOptions& o) { o.newDir += QStringLiteral("-missing"); }},
        {"missing old dir", [](PublishOptions& o) { o.oldDir += QStringLiteral("-missing"); }},
        {"delete section", [](PublishOptions& o) { o.section = QStringLiteral("delete"); }},
        {"preinstall section", [](PublishOptions& o) { o.section = QStringLiteral("preinstall"); }},
        {"nested section", [](PublishOptions& o) { o.section = QStringLiteral("a/b"); }},
        {"missing key", [](PublishOptions& o) { o.keyPath = QStringLiteral("/nonexistent/key.der"); }},
        {"no key", [](PublishOptions& o) { o.keyPath.clear(); }},
        {"program not in the tree",
         [](PublishOptions& o) {
             o.preInstall = {{QStringLiteral("setup.sh"), {}, false}};
         }},
        {"argument with separator",
         [](PublishOptions& o) {
             o.postInstall = {{QStringLiteral("data/extra.dat"), {QStringLiteral("a::b")}, false}};
         }},
        {"program twice in a group",
         [](PublishOptions& o) {
             o.preInstall = {{QStringLiteral("data/extra.dat"), {}, false},
                             {QStringLiteral("data/extra.dat"), {}, true}};
         }},
        {"commands out of run order",
         [](PublishOptions& o) {
             o.preInstall = {{QStringLiteral("data/news.txt"), {}, false},
                             {QStringLiteral("data/extra.dat"), {}, false}};
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        PublishOptions o = options(true);
        row.change(o);
        QString error;
        EXPECT_FALSE(publish(o, nullptr, &error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(leftInRepo().isEmpty()) << leftInRepo().join(QLatin1Char(' ')).toStdString();
    }

    // Client files whose names the product ini cannot carry: a changed file
    // that must come packed would share its download with a plain new one.
    const struct
    {
        const char* file;
        PublishOptions::Form form;
        const char* message;
    } files[] = {
        {"data/tool_patch_", PublishOptions::Auto, "its name ends in _patch_"},
        {"data/readme.txt.gz", PublishOptions::Plain, "two downloads would share the name data/readme.txt.gz"},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const QString extra = QDir(v2).filePath(QString::fromLatin1(f.file));
        ASSERT_TRUE(writeAllMakingDirs(extra, "x"));
        QString error;
        PublishOptions o = options(true);
        o.form = f.form;
        EXPECT_FALSE(publish(o, nullptr, &error));
        EXPECT_TRUE(error.contains(QString::fromLatin1(f.message))) << error.toStdString();
        EXPECT_TRUE(leftInRepo().isEmpty()) << leftInRepo().join(QLatin1Char(' ')).toStdString();
        QFile::remove(extra);
    }
}

// Trees no client can be given exactly, and paths that would publish the
// wrong thing: each is refused naming the path, and OUT holds nothing.
TEST_F(PublisherTest, RefusesTreesClientsCannotGetNamingThePathAndLeavesNothingInOut)
{
    const ThrowawayUser user;
    // The run a row changes: a copy of version 2 published into its own OUT.
    struct Run
    {
        QString tree, out, key;
        QStringList more;
    };
    const QString keys = QStringLiteral(QND_FIXTURES_DIR "/keys/");
    const auto write = [](const QString& path) {
        EXPECT_TRUE(writeAllMakingDirs(path, "x"));
        return path;
    };
    const struct
    {
        const char* why;
        std::function<QString(Run&)> change; // returns the path the refusal names
        const char* says;
        int code;
        bool asUser;
    } rows[] = {
        {"link out of the tree",
         [](Run& r) {
             QFile::link(r.key, r.tree + QStringLiteral("/data/settings.cfg"));
             return r.tree + QStringLiteral("/data/settings.cfg");
         },
         "outside the tree", 2, false},
        {"broken link",
         [](Run& r) {
             QFile::link(r.tree + QStringLiteral("/data/nothing"), r.tree + QStringLiteral("/data/gone.dat"));
             return r.tree + QStringLiteral("/data/gone.dat");
         },
         "a broken link", 2, false},
        {"link to a folder",
         [](Run& r) {
             QFile::link(r.tree + QStringLiteral("/data"), r.tree + QStringLiteral("/more"));
             return r.tree + QStringLiteral("/more");
         },
         "a link to a folder", 2, false},
        {"name not UTF-8",
         [](Run& r) {
             const QByteArray raw = QFile::encodeName(r.tree) + "/data/latin1-\xe9.txt";
             ::close(::open(raw.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
             return r.tree + QStringLiteral("/data/latin1-\\xe9.txt");
         },
         "not valid UTF-8", 2, false},
        {"empty folder",
         [](Run& r) {
             QDir().mkpath(r.tree + QStringLiteral("/logs"));
             return r.tree + QStringLiteral("/logs");
         },
         "an empty folder cannot be published", 2, false},
        {"fifo",
         [](Run& r) {
             ::mkfifo(QFile::encodeName(r.tree + QStringLiteral("/data/pipe")).constData(), 0644);
             return r.tree + QStringLiteral("/data/pipe");
         },
         "not a file, folder or link", 2, false},
        {"updater program in a client tree that its owner cannot run",
         [&](Run& r) { return write(r.tree + QStringLiteral("/update")); }, "must be executable by its owner", 2,
         false},
        {"folder named as the updater's program",
         [&](Run& r) {
             write(r.tree + QStringLiteral("/update/x"));
             return r.tree + QStringLiteral("/update");
         },
         "belongs to the updater's program", 2, false},
        {"update.ini", [&](Run& r) { return write(r.tree + QStringLiteral("/update.ini")); }, "belongs to the updater",
         2, false},
        {"replacement folder",
         [&](Run& r) {
             write(r.tree + QStringLiteral("/.qnd-replace/journal"));
             return r.tree + QStringLiteral("/.qnd-replace");
         },
         "belongs to the updater", 2, false},
        {"installation lock", [&](Run& r) { return write(r.tree + QStringLiteral("/.qnd-lock")); },
         "belongs to the updater", 2, false},
        {"folder the new updater may run from",
         [&](Run& r) {
             write(r.tree + QStringLiteral("/.qnd-updater/update"));
             return r.tree + QStringLiteral("/.qnd-updater");
         },
         "belongs to the updater", 2, false},
        {"--out inside --new",
         [](Run& r) {
             r.out = r.tree + QStringLiteral("/server");
             return r.out;
         },
         "is inside --new", 1, false},
        {"--old is --new",
         [](Run& r) {
             r.more << QStringLiteral("--old") << r.tree + QStringLiteral("/");
             return r.tree + QStringLiteral("/");
         },
         "are the same folder or one holds the other", 1, false},
        {"--old inside --new",
         [](Run& r) {
             r.more << QStringLiteral("--old") << r.tree + QStringLiteral("/data");
             return r.tree + QStringLiteral("/data");
         },
         "are the same folder or one holds the other", 1, false},
        {"key inside --new",
         [](Run& r) {
             QFile::copy(r.key, r.tree + QStringLiteral("/publisher.der"));
             r.key = r.tree + QStringLiteral("/publisher.der");
             return r.key;
         },
         "clients would download it", 1, false},
        {"key below 1024 bits",
         [&](Run& r) {
             r.key = keys + QStringLiteral("test_private_512.pem");
             return r.key;
         },
         "512-bit key; the updater refuses keys under 1024 bits", 1, false},
        {"key above the updater's key block",
         [&](Run& r) {
             r.key = keys + QStringLiteral("test_private_16384.pem");
             return r.key;
         },
         "16384-bit key; the updater holds public keys of at most 2048 bytes", 1, false},
        {"unreadable folder",
         [&](Run& r) {
             write(r.tree + QStringLiteral("/vb/sub/g.txt"));
             QFile::setPermissions(r.tree + QStringLiteral("/vb/sub"), {});
             return r.tree + QStringLiteral("/vb/sub");
         },
         "cannot read the folder", 2, true},
        {"unreadable file",
         [&](Run& r) {
             write(r.tree + QStringLiteral("/data/secret.dat"));
             QFile::setPermissions(r.tree + QStringLiteral("/data/secret.dat"), QFile::ReadOwner | QFile::WriteOwner);
             return r.tree + QStringLiteral("/data/secret.dat");
         },
         "cannot read", 2, true},
    };
    ASSERT_TRUE(QFile::setPermissions(
        dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        ++n;
        if (row.asUser && user.name.isEmpty()) {
            std::printf("skipped \"%s\": no user can be made to run the publisher as\n", row.why);
            continue;
        }
        Run run{dir.filePath(QStringLiteral("tree%1").arg(n)),
                dir.filePath(QStringLiteral("out%1").arg(n)),
                testPrivateKeyPath(),
                {}};
        ASSERT_TRUE(QDir().mkpath(run.tree));
        ASSERT_TRUE(copyTree(v2, run.tree));
        const QString named = row.change(run);
        const QStringList args =
            QStringList{QStringLiteral("--new"), run.tree, QStringLiteral("--out"),     run.out,
                        QStringLiteral("--key"), run.key,  QStringLiteral("--version"), QStringLiteral("2")}
            + run.more;
        QByteArray said;
        if (row.asUser) {
            ASSERT_TRUE(QDir().mkpath(run.out));
            ASSERT_TRUE(runToSuccess(QStringLiteral("chown"), {user.name, run.out}));
            EXPECT_EQ(user.publish(args, &said), row.code) << said.constData();
        } else {
            EXPECT_EQ(runPublisher(args, &said), row.code) << said.constData();
        }
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
        EXPECT_TRUE(said.contains(named.toUtf8())) << named.toStdString() << ": " << said.constData();
        const QStringList inOut = QDir(run.out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        EXPECT_TRUE(inOut.isEmpty()) << inOut.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral(".out*")}, QDir::AllEntries | QDir::Hidden).isEmpty());
    }
}

// A raw tree with many faults is refused in one run that names each of
// them, folders that would be empty once the refused entries go included.
TEST_F(PublisherTest, ListsEveryRefusedPathOfATreeInOneRun)
{
    const QString tree = dir.filePath(QStringLiteral("raw"));
    ASSERT_TRUE(QDir().mkpath(tree));
    ASSERT_TRUE(copyTree(v2, tree));
    const auto at = [&](const char* rel) { return QDir(tree).filePath(QLatin1String(rel)); };
    const auto link = [&](const QString& target, const char* rel) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(at(rel)).absolutePath()));
        ASSERT_TRUE(QFile::link(target, at(rel)));
    };
    for (const char* d : {"empty1", "empty2", "data/empty3"})
        ASSERT_TRUE(QDir().mkpath(at(d)));
    link(testPrivateKeyPath(), "bin/outside");
    link(at("data"), "dirlink1");
    link(QStringLiteral("../data"), "data/dirlink2");
    link(at("nothing"), "broken/a");
    link(at("nothing"), "broken/b");
    link(QStringLiteral("missing"), "deep/x/c");
    ASSERT_TRUE(writeAllMakingDirs(at("data/tool_patch_"), "x"));
    ASSERT_TRUE(writeAllMakingDirs(at("update.ini"), "x"));
    const struct
    {
        const char* path;
        const char* why;
    } rows[] = {
        {"empty1", "an empty folder cannot be published"},
        {"empty2", "an empty folder cannot be published"},
        {"data/empty3", "an empty folder cannot be published"},
        {"bin/outside", "outside the tree"},
        {"dirlink1", "a link to a folder"},
        {"data/dirlink2", "a link to a folder"},
        {"broken/a", "a broken link"},
        {"broken/b", "a broken link"},
        {"deep/x/c", "a broken link"},
        {"bin", "so it would be an empty folder"},
        {"broken", "so it would be an empty folder"},
        {"deep/x", "so it would be an empty folder"},
        {"deep", "so it would be an empty folder"},
        {"data/tool_patch_", "its name ends in _patch_"},
        {"update.ini", "belongs to the updater"},
    };
    QByteArray said;
    EXPECT_EQ(runPublisher({QStringLiteral("--new"), tree, QStringLiteral("--out"), repo, QStringLiteral("--key"),
                            testPrivateKeyPath(), QStringLiteral("--version"), QStringLiteral("2")},
                           &said),
              2);
    const QList<QByteArray> lines = said.split('\n');
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const QByteArray named = (at(row.path) + QStringLiteral(": ")).toUtf8();
        int found = 0;
        for (const QByteArray& line : lines) {
            if (line.contains(named) && line.contains(row.why))
                ++found;
        }
        EXPECT_EQ(found, 1) << said.constData();
    }
    // Nothing else is refused, and nothing is published.
    EXPECT_EQ(said.count(": ") - 1, int(sizeof rows / sizeof rows[0])) << said.constData();
    EXPECT_TRUE(leftInRepo().isEmpty()) << leftInRepo().join(QLatin1Char(' ')).toStdString();
}

// A publish killed midway leaves nothing a server of OUT could serve; the
// next run removes what it left and publishes.
TEST_F(PublisherTest, KilledPublishLeavesNothingInOutAndTheNextRunCleansUp)
{
    // Big enough that packing it takes a while.
    QByteArray big(16 * 1024 * 1024, Qt::Uninitialized);
    quint32 seed = 18;
    for (int i = 0; i < big.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        big[i] = char((seed >> 24) & (i & 0x100000 ? 0x0f : 0xff));
    }
    ASSERT_TRUE(writeAllMakingDirs(QDir(v2).filePath(QStringLiteral("a_big.pak")), big));
    const QStringList stages = {QStringLiteral(".repo.qnd_publish-*")};
    QByteArray said;
    // A kill of the publisher alone, and a Ctrl-C, which reaches its whole
    // process group (setsid gives it one of its own here).
    for (const bool ctrlC : {false, true}) {
        SCOPED_TRACE(ctrlC ? "Ctrl-C" : "kill");
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (ctrlC)
            p.start(QStringLiteral("setsid"), QStringList{QStringLiteral(QND_PUBLISH)} + publishArgs(2));
        else
            p.start(QStringLiteral(QND_PUBLISH), publishArgs(2));
        said.clear();
        // Stopped once the big file is being packed.
        ASSERT_TRUE(waitFor(
            [&] {
                said += p.readAll();
                return said.contains("  gzip:") || p.state() == QProcess::NotRunning;
            },
            120000));
        ASSERT_EQ(p.state(), QProcess::Running) << said.constData();
        // Beside OUT, where a server may list it: unreadable to others until moved into place.
        const QStringList staged = QDir(dir.path()).entryList(stages, QDir::Dirs | QDir::Hidden);
        ASSERT_EQ(staged.size(), 1);
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(dir.filePath(staged.first())).constData(), &st), 0);
        EXPECT_EQ(int(st.st_mode & 07777), 0700);
        if (ctrlC)
            ASSERT_EQ(::kill(-pid_t(p.processId()), SIGINT), 0);
        else
            p.kill();
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_TRUE(leftInRepo().isEmpty()) << leftInRepo().join(QLatin1Char(' ')).toStdString();
        // Removed as soon as the run is gone, without waiting for the next one.
        EXPECT_TRUE(
            waitFor([&] { return QDir(dir.path()).entryList(stages, QDir::Dirs | QDir::Hidden).isEmpty(); }, 30000));
    }

    // What a run leaves when it and its sweeper are both gone (a power cut)
    // goes with the next run.
    QByteArray endedPid;
    ASSERT_EQ(runProgram(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")}, &endedPid), 0);
    ASSERT_TRUE(writeAllMakingDirs(
        dir.filePath(
            QStringLiteral(".repo.qnd_publish-%1-AbCdEf/2/client/a_big.pak").arg(endedPid.trimmed().constData())),
        "half"));
    const QStringList quick{QStringLiteral("--form"), QStringLiteral("plain")};
    ASSERT_EQ(runPublisher(publishArgs(2, quick), &said), 0) << said.constData();
    EXPECT_TRUE(said.contains("left by an interrupted run")) << said.constData();
    EXPECT_TRUE(QDir(dir.path()).entryList(stages, QDir::Dirs | QDir::Hidden).isEmpty());
    EXPECT_EQ(leftInRepo(), QStringList{QStringLiteral("2")});

    // Killed while it moved a target into an existing version: what it moved
    // before the packed ini goes with the next run.
    ASSERT_TRUE(writeAllMakingDirs(QDir(repo).filePath(QStringLiteral("2/update/update")), "partial"));
    ASSERT_TRUE(writeAllMakingDirs(QDir(repo).filePath(QStringLiteral("2/update_linux_amd64.ini")), "partial"));
    ASSERT_EQ(runPublisher(publishArgs(2, quick + QStringList{QStringLiteral("--updater")}), &said), 0)
        << said.constData();
    EXPECT_TRUE(said.contains("2/update_linux_amd64.ini, left by an interrupted run")) << said.constData();
    EXPECT_TRUE(CheckSigFunc(QDir(repo).filePath(QStringLiteral("2/update_linux_amd64.ini")), QString()).run());
}

// The ini says which files are executable and removes what the old trees
// had and the new one lacks, folders after their files and only when empty;
// the server gets every file readable by all, whatever its source mode.
TEST_F(PublisherTest, IniCarriesExecuteBitsAndRemovedFoldersAndServedFilesAreReadableByAll)
{
    const struct
    {
        const char* file;
        int mode;
        const char* record; // its item in the executables record, if any
        const char* note;   // what the publisher says about its mode, if anything
    } files[] = {
        {"bin/newtool", 0755, "111::bin/newtool", nullptr},
        {"bin/helper.sh", 0700, "100::bin/helper.sh", nullptr},
        {"scripts/pre.sh", 0750, "110::scripts/pre.sh", nullptr},
        {"data/private.dat", 0600, nullptr, nullptr},
        {"data/shared.dat", 0664, nullptr, "write bits other than the owner's"},
        {"bin/setuid", 04755, "111::bin/setuid", "set-user-ID"},
        {"bin/odd", 0711, "111::bin/odd", "an execute bit without its read bit"},
        {"data.so.1", 0644, nullptr, nullptr},
    };
    for (const auto& f : files) {
        const QString path = QDir(v2).filePath(QString::fromLatin1(f.file));
        ASSERT_TRUE(writeAllMakingDirs(path, QByteArray("#!/bin/sh\n") + f.file));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode_t(f.mode)), 0);
    }
    // A link inside the tree comes as its target's content.
    ASSERT_TRUE(QFile::link(QStringLiteral("data.so.1"), QDir(v2).filePath(QStringLiteral("data.so"))));
    // Removed folder trees, a file that becomes a folder, a folder that
    // becomes a file.
    for (const char* f : {"docs/sub/a.txt", "docs/b.txt", "plugins/x/y.dat", "foo", "gone/old.txt"})
        ASSERT_TRUE(writeAllMakingDirs(QDir(v1).filePath(QLatin1String(f)), "old"));
    ASSERT_TRUE(writeAllMakingDirs(QDir(v2).filePath(QStringLiteral("foo/bar")), "new"));
    ASSERT_TRUE(writeAllMakingDirs(QDir(v2).filePath(QStringLiteral("gone")), "new"));

    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(options(true), &report, &error)) << error.toStdString();
    QSettings ini(report.iniPath, QSettings::IniFormat);
    QStringList expected{QStringLiteral("111::qndclient_linux_amd64"), QStringLiteral("111::qndclient_runscript.sh")};
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        if (f.record)
            expected << QString::fromLatin1(f.record);
        const QString path = QDir(v2).filePath(QString::fromLatin1(f.file));
        const QStringList said = report.notes.filter(path + QStringLiteral(" has mode"));
        EXPECT_EQ(said.size(), f.note ? 1 : 0) << report.notes.join(QLatin1Char('\n')).toStdString();
        if (f.note) {
            EXPECT_TRUE(said.value(0).contains(QLatin1String(f.note))) << said.value(0).toStdString();
        }
    }
    expected.sort();
    QStringList record = ini.value(QStringLiteral("executables")).toStringList();
    record.sort();
    EXPECT_EQ(record, expected);
    EXPECT_TRUE(report.notes.contains(QStringLiteral("data.so is a link: clients get a copy of data.so.1")))
        << report.notes.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(readAllOrMissing(served(QStringLiteral("client"), QStringLiteral("data.so"))), "#!/bin/sh\ndata.so.1");

    // The reader takes every removal, none of them recursive, and keeps the
    // paths the new tree still has, whatever their type.
    ASSERT_TRUE(copyTree(v1, install));
    const ReaderRun run = readWithUpdater(report.iniPath, 1, temp, install);
    ASSERT_TRUE(run.ok);
    QStringList removed;
    for (const DeleteFileData& d : run.lists.deletions) {
        removed << d.path;
        EXPECT_FALSE(d.recursive) << d.path.toStdString();
    }
    removed.sort();
    EXPECT_EQ(removed,
              (QStringList{QStringLiteral("data/old_notes.txt"), QStringLiteral("docs"), QStringLiteral("docs/b.txt"),
                           QStringLiteral("docs/sub"), QStringLiteral("docs/sub/a.txt"), QStringLiteral("gone/old.txt"),
                           QStringLiteral("plugins"), QStringLiteral("plugins/x"), QStringLiteral("plugins/x/y.dat")}));
    // Files first, then folders deepest first, as the report lists them.
    EXPECT_EQ(report.deleted.mid(report.deleted.indexOf(QStringLiteral("plugins/x/y.dat")) + 1),
              (QStringList{QStringLiteral("docs/sub"), QStringLiteral("plugins/x"), QStringLiteral("docs"),
                           QStringLiteral("plugins")}));

    QDirIterator it(report.versionDir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(int(st.st_mode & 07777), it.fileInfo().isDir() ? 0755 : 0644) << path.toStdString();
    }

    // A tree without executables still says so.
    QDir(repo).removeRecursively();
    const QString plain = dir.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(writeAllMakingDirs(plain + QStringLiteral("/readme.txt"), "text"));
    PublishOptions o = options(false);
    o.newDir = plain;
    ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
    QSettings bare(report.iniPath, QSettings::IniFormat);
    EXPECT_TRUE(bare.contains(QStringLiteral("executables")));
    EXPECT_TRUE(bare.value(QStringLiteral("executables")).toStringList().isEmpty());
}

TEST_F(PublisherTest, CommandLineWritesTheTreeAndRejectsBadArguments)
{
    const QString ver = QStringLiteral("--version"), out = QStringLiteral("--out"), nw = QStringLiteral("--new"),
                  old = QStringLiteral("--old"), key = QStringLiteral("--key"), testKey = testPrivateKeyPath();
    const struct
    {
        QStringList args;
        int code;
        const char* says;
    } rows[] = {
        {{QStringLiteral("--help")}, 0, "--preinstall-optional <COMMAND>"},
        {{QStringLiteral("--help")}, 0, "(update.ini, .qnd-replace, .qnd-lock, .qnd-updater) at the top of"},
        {{QStringLiteral("--help")}, 0, "A client tree must hold the updater program update at its top"},
        {{}, 2, "--new, --out and --key are required"},
        {{nw, v2, out, repo, ver, QStringLiteral("4")}, 2, "--new, --out and --key are required"},
        {{nw, v2, out, repo, key, testKey, ver, QStringLiteral("two")}, 2, "--version must be a number above 0"},
        {publishArgs(2, {QStringLiteral("--form"), QStringLiteral("zip")}), 2, "--form is auto, plain, gz or lzma2"},
        {publishArgs(2, {QStringLiteral("--bogus")}), 2, "Unknown option 'bogus'"},
        {publishArgs(2, {QStringLiteral("--channel"), QStringLiteral("stable")}), 2,
         "--channel and --versions-dir go together"},
        {publishArgs(2, {QStringLiteral("stray")}), 2, "unexpected argument stray"},
        {publishArgs(2, {QStringLiteral("--section"), QStringLiteral("delete")}), 2,
         "delete cannot name a file section"},
        {{QStringLiteral("--reply-only"), out, repo, ver, QStringLiteral("2")},
         2,
         "--reply-only needs --out, --version, --channel"},
        // An option that lost its value, or that the mode would ignore, is named.
        {{ver, nw, v2, out, repo, key, testKey}, 2, "--version needs a value, but --new follows it"},
        {publishArgs(2, {QStringLiteral("--section"), QStringLiteral("-old"), v1}), 2,
         "--section needs a value, but -old follows it"},
        {publishArgs(2, {QStringLiteral("--reply-only")}), 2, "--new has no effect with --reply-only"},
        {{QStringLiteral("--reply-only"), out, repo, ver, QStringLiteral("2"), QStringLiteral("--channel"),
          QStringLiteral("stable"), QStringLiteral("--versions-dir"), repo, QStringLiteral("--public-key"), testKey},
         2,
         "--public-key has no effect with --reply-only"},
        {{QStringLiteral("--verify"), out, repo, ver, QStringLiteral("2"), QStringLiteral("--public-key"), testKey, key,
          testKey},
         2,
         "--key has no effect with --verify"},
        {{QStringLiteral("--verify"), QStringLiteral("--reply-only"), out, repo, ver, QStringLiteral("2")},
         2,
         "--reply-only has no effect with --verify"},
        {{nw, v2 + QStringLiteral("-missing"), out, repo, ver, QStringLiteral("2"), key, testKey},
         1,
         "no new client directory"},
        {{old, v1, nw, v2, out, repo, ver, QStringLiteral("2"), QStringLiteral("--updater"), key, testKey},
         0,
         "update_linux_amd64.ini"},
        {{old, v1, nw, v2, out, repo, ver, QStringLiteral("3"), QStringLiteral("--form"), QStringLiteral("gz"), key,
          testKey},
         0,
         "patch     qndclient_linux_amd64"},
        // A version is never rewritten, also not for the other target.
        {publishArgs(3), 1, "already exists: a published version is never rewritten"},
        {publishArgs(2), 0, "qnd_client_linux_amd64.ini"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.join(QLatin1Char(' ')).toStdString());
        QByteArray said;
        EXPECT_EQ(runPublisher(row.args, &said), row.code) << said.constData();
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
    }
    EXPECT_TRUE(CheckSigFunc(iniOf(3), QString()).run());
    EXPECT_TRUE(QFileInfo::exists(QDir(repo).filePath(QStringLiteral("3/client/data/map.bin.gz"))));
    EXPECT_TRUE(QFileInfo::exists(QDir(repo).filePath(QStringLiteral("2/update_linux_amd64.ini.sig"))));
    EXPECT_TRUE(CheckSigFunc(iniOf(2), QString()).run());
    EXPECT_EQ(leftInRepo(), QStringList({QStringLiteral("2"), QStringLiteral("3")}));
}

// A publish refuses, before any work, an old tree that holds no version
// already published in OUT (unless OUT holds none of the target yet) and a
// key that is not the private half of the updater's; the version number
// stays free.
TEST_F(PublisherTest, RefusesAnOldTreeOrKeyThatIsNotWhatClientsHold)
{
    QByteArray said;
    ASSERT_EQ(runPublisher(publishArgs(2, {QStringLiteral("--old"), v1}), &said), 0) << said.constData();
    const QString v3 = dir.filePath(QStringLiteral("v3")), first = dir.filePath(QStringLiteral("first"));
    ASSERT_TRUE(makeDemoClient(v3, 3));
    const QString otherKey = dir.filePath(QStringLiteral("other.pem")),
                  otherPublic = dir.filePath(QStringLiteral("other_public.pem"));
    ASSERT_TRUE(runToSuccess(QStringLiteral("openssl"),
                             {QStringLiteral("genrsa"), QStringLiteral("-out"), otherKey, QStringLiteral("2048")}));
    ASSERT_TRUE(runToSuccess(QStringLiteral("openssl"),
                             {QStringLiteral("rsa"), QStringLiteral("-in"), otherKey, QStringLiteral("-pubout"),
                              QStringLiteral("-out"), otherPublic}));
    // An old tree: a copy of version 1 or 2 as a row changes it.
    const auto oldTree = [&](const QString& name, const QString& from,
                             const std::function<void(const QString&)>& change) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(QDir().mkpath(path));
        EXPECT_TRUE(copyTree(from, path));
        if (change)
            change(path);
        return path;
    };
    const QString pub = QStringLiteral("--public-key"), updater = QStringLiteral("--updater");
    const QString publicKey = QStringLiteral(QND_FIXTURES_DIR "/keys/test_public.pem");
    const struct
    {
        const char* why;
        QString newDir, old, out, key;
        QStringList more;
        int code;
        const char* says;
    } rows[] = {
        {"--new and --old swapped", v1, v3, repo, testPrivateKeyPath(), {}, 1, "is no version published in"},
        {"a changed file",
         v3,
         oldTree(QStringLiteral("changed"), v2,
                 [](const QString& t) { writeAllMakingDirs(t + QStringLiteral("/data/news.txt"), "edited"); }),
         repo,
         testPrivateKeyPath(),
         {},
         1,
         "data/news.txt has another size"},
        {"same size, other bytes",
         v3,
         oldTree(QStringLiteral("flipped"), v2,
                 [](const QString& t) {
                     QByteArray b = readAllOrMissing(t + QStringLiteral("/data/news.txt"));
                     b[0] = char(b[0] ^ 1);
                     writeAllMakingDirs(t + QStringLiteral("/data/news.txt"), b);
                 }),
         repo,
         testPrivateKeyPath(),
         {},
         1,
         "data/news.txt has other bytes"},
        {"a file too many",
         v3,
         oldTree(QStringLiteral("more"), v2,
                 [](const QString& t) { writeAllMakingDirs(t + QStringLiteral("/data/mine.txt"), "x"); }),
         repo,
         testPrivateKeyPath(),
         {},
         1,
         "data/mine.txt is not in it"},
        {"a file missing",
         v3,
         oldTree(QStringLiteral("less"), v2,
                 [](const QString& t) { QFile::remove(t + QStringLiteral("/data/news.txt")); }),
         repo,
         testPrivateKeyPath(),
         {},
         1,
         "it lacks data/news.txt"},
        {"a key the updater was not built with",
         v3,
         v2,
         repo,
         otherKey,
         {pub, publicKey},
         1,
         "is not the private half of --public-key"},
        // Whatever --public-key says, OUT's newest version names the key.
        {"a key that did not sign version 2", v3, v2, repo, otherKey, {}, 1, "does not verify the signature of"},
        {"a key that did not sign version 2, with its own public half",
         v3,
         v2,
         repo,
         otherKey,
         {pub, otherPublic},
         1,
         "does not verify the signature of"},
        {"a public key that is not one",
         v3,
         v2,
         repo,
         testPrivateKeyPath(),
         {pub, otherKey},
         1,
         "it holds a private key"},
        // An installation also holds the updater's own files.
        {"an installed version 2",
         v3,
         oldTree(QStringLiteral("installed"), v2,
                 [](const QString& t) {
                     writeAllMakingDirs(t + QStringLiteral("/update.ini"), "[General]\n");
                     writeAllMakingDirs(t + QStringLiteral("/.qnd-replace/journal"), "x");
                     writeAllMakingDirs(t + QStringLiteral("/update"), "program");
                 }),
         repo,
         testPrivateKeyPath(),
         {pub, publicKey},
         0,
         "patch     "},
        // OUT holds no updater yet: its first publish takes any old tree.
        {"a first updater", v3, v2, repo, testPrivateKeyPath(), {updater}, 0, "update_linux_amd64.ini"},
        {"a first publish", v3, v1, first, testPrivateKeyPath(), {}, 0, "qnd_client_linux_amd64.ini"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const QStringList args = QStringList{QStringLiteral("--new"),     row.newDir,
                                             QStringLiteral("--old"),     row.old,
                                             QStringLiteral("--out"),     row.out,
                                             QStringLiteral("--key"),     row.key,
                                             QStringLiteral("--version"), QStringLiteral("3")}
            + row.more;
        EXPECT_EQ(runPublisher(args, &said), row.code) << said.constData();
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
        if (row.code != 0) {
            // The refusal names the tree or the key at fault.
            EXPECT_TRUE(said.contains(row.old.toUtf8()) || said.contains(otherKey.toUtf8())) << said.constData();
            EXPECT_FALSE(QFileInfo::exists(QDir(row.out).filePath(QStringLiteral("3"))));
        }
    }
    EXPECT_TRUE(CheckSigFunc(iniOf(3), QString()).run());
}

// Private keys as openssl writes them sign trees the updater accepts; every
// other key, and a key that cannot make a valid signature, is refused and the
// version never appears.
TEST_F(PublisherTest, SignsWithPkcs1AndPkcs8KeysInPemAndDerAndRefusesTheRest)
{
    const QString keys = QStringLiteral(QND_FIXTURES_DIR "/keys/");
    // Its last part (the CRT coefficient) spoiled: it loads, but cannot sign.
    QByteArray spoiled = readAllOrMissing(testPrivateKeyPath());
    spoiled[spoiled.size() - 1] = char(spoiled[spoiled.size() - 1] ^ 0x55);
    const QString spoiledKey = dir.filePath(QStringLiteral("spoiled.der"));
    ASSERT_TRUE(writeAllMakingDirs(spoiledKey, spoiled));
    const struct
    {
        QString key;
        int code;
        const char* says;
    } rows[] = {
        {keys + QStringLiteral("test_private.der"), 0, "ini "},
        {keys + QStringLiteral("test_private.pem"), 0, "ini "},
        {keys + QStringLiteral("test_private_pkcs1.pem"), 0, "ini "},
        {keys + QStringLiteral("test_private_pkcs8.der"), 0, "ini "},
        {keys + QStringLiteral("test_private_encrypted.pem"), 1, "encrypted keys are not read"},
        {keys + QStringLiteral("test_public.pem"), 1, "it holds a public key; signing needs the private key"},
        {keys + QStringLiteral("test_public_x509.der"), 1, "it holds a public key; signing needs the private key"},
        {keys + QStringLiteral("test_public.der"), 1, "it holds a public key; signing needs the private key"},
        {keys + QStringLiteral("signed_sample.txt"), 1, "not an RSA key in PEM or DER form"},
        {keys + QStringLiteral("missing.der"), 1, "cannot read the key"},
        {spoiledKey, 1, "rsa_sign_hash"},
    };
    int version = 10;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key.toStdString());
        QByteArray said;
        EXPECT_EQ(runPublisher(publishArgs(++version, {QStringLiteral("--no-patches")}, row.key), &said), row.code)
            << said.constData();
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
        if (row.code == 0) {
            EXPECT_TRUE(CheckSigFunc(iniOf(version), QString()).run());
        } else {
            EXPECT_FALSE(QFileInfo::exists(QDir(repo).filePath(QString::number(version))));
        }
    }
    // Nothing but the published versions: no staging directory is left behind.
    EXPECT_EQ(leftInRepo(),
              QStringList({QStringLiteral("11"), QStringLiteral("12"), QStringLiteral("13"), QStringLiteral("14")}));
}

// Each file is served in its smallest whole form: incompressible bytes as they
// are (never grown), compressible ones packed by whichever packs them best.
TEST_F(PublisherTest, WholeDownloadsAreTheSmallestForm)
{
    QByteArray noise(65536, Qt::Uninitialized);
    quint32 seed = 7;
    for (char& c : noise) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    ASSERT_TRUE(writeAllMakingDirs(QDir(v2).filePath(QStringLiteral("data/noise.bin")), noise));
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(options(false), &report, &error)) << error.toStdString();
    EXPECT_TRUE(report.plain.contains(QStringLiteral("data/noise.bin")));
    EXPECT_FALSE(report.gzip.isEmpty());
    EXPECT_FALSE(report.lzma2.isEmpty());
    const ReaderRun run = readWithUpdater(report.iniPath, 1, temp, install);
    ASSERT_TRUE(run.ok);
    for (const DownloadFileData& d : run.lists.downloads) {
        const QString rel = d.name.endsWith(QLatin1String(".gz")) ? d.name.chopped(3)
                                                                  : d.name.section(QStringLiteral("._lzma2_"), 0, 0);
        SCOPED_TRACE(rel.toStdString());
        const QString source = QDir(v2).filePath(rel);
        const QString gz = QDir(temp).filePath(QStringLiteral("candidate.gz")),
                      xz = QDir(temp).filePath(QStringLiteral("candidate.xz"));
        QFile::remove(gz);
        QFile::remove(xz);
        ASSERT_TRUE(gzipFile(source, gz));
        const bool packs = deltapatch::GenerateLzmaFile(QFile::encodeName(source).constData(),
                                                        QFile::encodeName(xz).constData(), false);
        qint64 smallest = qMin(QFileInfo(source).size(), QFileInfo(gz).size());
        if (packs)
            smallest = qMin(smallest, QFileInfo(xz).size());
        EXPECT_EQ(qint64(d.size), smallest);
    }
}

// The verify mode checks a tree as clients would meet it, and names what a
// tampered tree got wrong.
TEST_F(PublisherTest, VerifyModeNamesWhatIsWrongWithATree)
{
    QByteArray said;
    const QString replies = dir.filePath(QStringLiteral("versions"));
    ASSERT_EQ(runPublisher(publishArgs(2, {QStringLiteral("--old"), v1}), &said), 0) << said.constData();
    ASSERT_EQ(runPublisher(
                  publishArgs(2,
                              {QStringLiteral("--updater"), QStringLiteral("--no-patches"), QStringLiteral("--channel"),
                               QStringLiteral("stable"), QStringLiteral("--versions-dir"), replies}),
                  &said),
              0)
        << said.constData();
    const QStringList verify{QStringLiteral("--verify"),
                             QStringLiteral("--out"),
                             repo,
                             QStringLiteral("--version"),
                             QStringLiteral("2"),
                             QStringLiteral("--old"),
                             v1,
                             QStringLiteral("--public-key"),
                             QStringLiteral(QND_FIXTURES_DIR "/keys/test_public.pem"),
                             QStringLiteral("--versions-dir"),
                             replies,
                             QStringLiteral("--channel"),
                             QStringLiteral("stable")};
    ASSERT_EQ(runPublisher(verify, &said), 0) << said.constData();
    EXPECT_TRUE(said.contains("3 patches applied, 0 problems")) << said.constData();

    const QString pristine = dir.filePath(QStringLiteral("pristine"));
    ASSERT_TRUE(QDir().mkpath(pristine + QStringLiteral("/repo")));
    ASSERT_TRUE(QDir().mkpath(pristine + QStringLiteral("/versions")));
    ASSERT_TRUE(copyTree(repo, pristine + QStringLiteral("/repo")));
    ASSERT_TRUE(copyTree(replies, pristine + QStringLiteral("/versions")));
    // An updater tree of version 2 that the client tree does not carry, signed
    // and whole: what two publishes racing each other could leave.
    const QString otherUpdater = pristine + QStringLiteral("/other");
    ASSERT_EQ(
        runPublisher({QStringLiteral("--new"), v1, QStringLiteral("--out"), otherUpdater, QStringLiteral("--version"),
                      QStringLiteral("2"), QStringLiteral("--key"), testPrivateKeyPath(), QStringLiteral("--updater")},
                     &said),
        0)
        << said.constData();
    const QString ini = QStringLiteral("repo/2/qnd_client_linux_amd64.ini"),
                  reply = QStringLiteral("versions/qnd-client-2");
    // The byte changed: -1 the middle one, -2 the stable channel's version
    // number, -3 the last one (its version text).
    const struct
    {
        QString file;
        bool remove;
        int at;
        const char* says;
        bool swapUpdater = false; // put the other updater tree in place of the file's
    } rows[] = {
        {QStringLiteral("repo/2/client/data/news.txt"), false, -1,
         "client/data/news.txt does not have the digest its line gives"},
        {QStringLiteral("repo/2/client/data/map.bin.gz"), false, -1, "client/data/map.bin.gz does not have the digest"},
        {QStringLiteral("repo/2/client/data/extra.dat"), true, -1, "client/data/extra.dat is not on the server"},
        {ini, false, -1, "the signature does not verify"},
        {ini + QStringLiteral(".sig"), false, -1, "the signature does not verify"},
        {ini + QStringLiteral("._lzma2_"), false, -1, "does not unpack to the signed ini"},
        {reply, false, -1, "does not name the stable channel"},
        {reply, false, -2, "the stable channel names version 34"},
        {reply, false, -3, "the stable channel names version 2 (\"\x12\"), not 2"},
        {QStringLiteral("repo/2/update_linux_amd64.ini._lzma2_"), true, -1, "the stable channel names version 2, but"},
        {QStringLiteral("repo/2/update_linux_amd64.ini"), false, 0,
         "the client tree does not carry the updater's data/old_notes.txt byte for byte", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file.toStdString());
        for (const char* d : {"repo", "versions"}) {
            QDir(dir.filePath(QLatin1String(d))).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(dir.filePath(QLatin1String(d))));
            ASSERT_TRUE(copyTree(pristine + QLatin1Char('/') + QLatin1String(d), dir.filePath(QLatin1String(d))));
        }
        const QString victim = dir.filePath(row.file);
        if (row.swapUpdater) {
            ASSERT_TRUE(QDir(dir.filePath(QStringLiteral("repo/2/update"))).removeRecursively());
            for (const char* suffix : {"", ".sig", "._lzma2_"})
                ASSERT_TRUE(QFile::remove(victim + QLatin1String(suffix)));
            ASSERT_TRUE(copyTree(otherUpdater + QStringLiteral("/2"), dir.filePath(QStringLiteral("repo/2"))));
        } else if (row.remove) {
            ASSERT_TRUE(QFile::remove(victim));
        } else {
            QByteArray bytes = readAllOrMissing(victim);
            const int at = row.at == -1 ? bytes.size() / 2
                : row.at == -2          ? bytes.indexOf("\x10\x02") + 1
                                        : bytes.size() - 1;
            ASSERT_GT(at, 0);
            bytes[at] = char(bytes[at] ^ 0x20);
            ASSERT_TRUE(writeAllMakingDirs(victim, bytes));
        }
        EXPECT_EQ(runPublisher(verify, &said), 1) << said.constData();
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
    }
    // An old tree that is not there is a mistake, not a note.
    EXPECT_EQ(
        runPublisher(verify + QStringList{QStringLiteral("--old"), dir.filePath(QStringLiteral("nothere"))}, &said), 1);
    EXPECT_TRUE(said.contains("no old client directory")) << said.constData();
}

// An ini whose lines cannot all hold in one tree is what the updater refuses
// before reading a line; signed with the right key, --verify still says so.
TEST_F(PublisherTest, VerifyModeReportsInisTheUpdaterRefuses)
{
    QByteArray said;
    ASSERT_EQ(runPublisher(publishArgs(2, {QStringLiteral("--no-patches")}), &said), 0) << said.constData();
    const QString ini = QDir(repo).filePath(QStringLiteral("2/qnd_client_linux_amd64.ini"));
    const QByteArray pristine = readAllOrMissing(ini);
    const QByteArray h = QByteArray(128, 'a');
    const struct
    {
        const char* label;
        QByteArray from, to;
        const char* says;
    } rows[] = {
        {"a file below a file", "[client]\n", "[client]\ndata/levels.dat/b=" + h + "::1\n",
         "the updater refuses the whole ini: [client] data/levels.dat._lzma2_ installs the file data/levels.dat, which "
         "[client] data/levels.dat/b needs as a folder"},
        {"one name installed twice", "[client]\n", "[client]\ndata/n.gz=" + h + "::1::" + h + "::1::data/news.txt\n",
         "the updater refuses the whole ini: [client] data/n.gz and [client] data/news.txt both install "
         "data/news.txt"},
        {"an executable listed twice", "111::qndclient_runscript.sh",
         "111::qndclient_runscript.sh, 000::qndclient_runscript.sh",
         "the updater refuses the whole ini: executables items 111::qndclient_runscript.sh and "
         "000::qndclient_runscript.sh both name qndclient_runscript.sh"},
        {"a deletion of an installed file", "[client]\n", "[delete]\ndata/empty.dat=1\n[client]\n",
         "the updater refuses the whole ini: [delete] data/empty.dat deletes data/empty.dat, which [client] "
         "data/empty.dat installs"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        QByteArray text = pristine;
        const int at = text.indexOf(row.from);
        ASSERT_GE(at, 0);
        text.replace(at, row.from.size(), row.to);
        ASSERT_TRUE(writeAll(ini, text));
        ASSERT_TRUE(writeAll(ini + QStringLiteral(".sig"), signWithTestKey(text)));
        ASSERT_TRUE(deltapatch::GenerateLzmaFile(QFile::encodeName(ini).constData(),
                                                 QFile::encodeName(ini + QStringLiteral("._lzma2_")).constData(),
                                                 false));
        EXPECT_EQ(runPublisher({QStringLiteral("--verify"), QStringLiteral("--out"), repo, QStringLiteral("--version"),
                                QStringLiteral("2"), QStringLiteral("--public-key"),
                                QStringLiteral(QND_FIXTURES_DIR "/keys/test_public.pem")},
                               &said),
                  1)
            << said.constData();
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
        EXPECT_FALSE(said.contains("the signature does not verify")) << said.constData();
    }
}

// Channels named on later runs join the reply; the others keep their version.
TEST_F(PublisherTest, VersionReplyNamesEachChannelsNewestVersion)
{
    const QString replies = dir.filePath(QStringLiteral("versions"));
    const QString reply = QDir(replies).filePath(QStringLiteral("qnd-client-2"));
    const QString channel = QStringLiteral("--channel"), versionsDir = QStringLiteral("--versions-dir");
    QByteArray said;
    // A reply names only versions whose updater tree is there too.
    for (int version : {2, 3}) {
        ASSERT_EQ(
            runPublisher(publishArgs(version, {QStringLiteral("--updater"), QStringLiteral("--no-patches")}), &said), 0)
            << said.constData();
    }
    ASSERT_EQ(
        runPublisher(
            publishArgs(2, {channel, QStringLiteral("stable"), channel, QStringLiteral("alpha"), versionsDir, replies}),
            &said),
        0)
        << said.constData();
    ASSERT_EQ(
        runPublisher(publishArgs(3,
                                 {channel, QStringLiteral("beta"), channel, QStringLiteral("alpha"),
                                  QStringLiteral("--version-text"), QStringLiteral("3.0 beta"), versionsDir, replies}),
                     &said),
        0)
        << said.constData();
    const auto parsedReply = [&] {
        const QByteArray bytes = readAllOrMissing(reply);
        ServerVersions parsed;
        EXPECT_EQ(parseVersions(reinterpret_cast<const unsigned char*>(bytes.constData()), bytes.size(), &parsed),
                  VersionsParse_Ok);
        return parsed;
    };
    ServerVersions parsed = parsedReply();
    EXPECT_EQ(parsed.channels, (std::vector<std::string>{"stable", "alpha", "beta"}));
    EXPECT_EQ(channelVersionNumber(parsed, "stable"), 2);
    EXPECT_EQ(channelVersionString(parsed, "stable"), "2");
    EXPECT_EQ(channelVersionNumber(parsed, "alpha"), 3);
    EXPECT_EQ(channelVersionString(parsed, "beta"), "3.0 beta");
    EXPECT_EQ(QFileInfo(reply).permissions() & 0x0777,
              QFile::ReadOther | QFile::ReadGroup | QFile::ReadUser | QFile::WriteUser);

    // Each mistake stops the run before anything is published or changed;
    // the reply alone can be written for a published version.
    ASSERT_TRUE(writeAllMakingDirs(reply + QStringLiteral("-bad/qnd-client-2"), "<html>maintenance</html>"));
    const QString bad = reply + QStringLiteral("-bad"), replyOnly = QStringLiteral("--reply-only");
    const struct
    {
        QStringList args;
        int code;
        const char* says;
    } rows[] = {
        {publishArgs(4, {channel, QStringLiteral("nightly"), versionsDir, bad}), 2, "unknown channel nightly"},
        {publishArgs(4, {channel, QStringLiteral("stable"), versionsDir, bad}), 1,
         "is not a version reply the updater can read"},
        {publishArgs(4, {channel, QStringLiteral("stable"), versionsDir, replies}), 1, "has no updater tree"},
        {{replyOnly, QStringLiteral("--out"), repo, QStringLiteral("--version"), QStringLiteral("4"), channel,
          QStringLiteral("stable"), versionsDir, replies},
         1,
         "has no client tree"},
        {{replyOnly, QStringLiteral("--out"), repo, QStringLiteral("--version"), QStringLiteral("2"), channel,
          QStringLiteral("alpha"), versionsDir, replies},
         1,
         "the alpha channel names version 3: naming version 2 would move it back"},
        {publishArgs(4, {QStringLiteral("--allow-older")}), 2, "--allow-older goes with --channel"},
        {publishArgs(4, {QStringLiteral("--version-text"), QStringLiteral("4.0")}), 2,
         "--version-text goes with --channel"},
        {{replyOnly, QStringLiteral("--out"), repo, QStringLiteral("--version"), QStringLiteral("3"), channel,
          QStringLiteral("stable"), versionsDir, replies},
         0,
         "reply "},
        {{replyOnly, QStringLiteral("--out"), repo, QStringLiteral("--version"), QStringLiteral("2"), channel,
          QStringLiteral("beta"), QStringLiteral("--allow-older"), versionsDir, replies},
         0,
         "reply "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.join(QLatin1Char(' ')).toStdString());
        const QByteArray before = readAllOrMissing(reply);
        EXPECT_EQ(runPublisher(row.args, &said), row.code) << said.constData();
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
        EXPECT_FALSE(QFileInfo::exists(QDir(repo).filePath(QStringLiteral("4"))));
        if (row.code != 0) {
            EXPECT_EQ(readAllOrMissing(reply), before);
        }
    }
    parsed = parsedReply();
    EXPECT_EQ(channelVersionNumber(parsed, "stable"), 3);
    EXPECT_EQ(channelVersionNumber(parsed, "alpha"), 3);
    EXPECT_EQ(channelVersionNumber(parsed, "beta"), 2);
}

// A reply write killed at any moment leaves the served folder a whole reply
// and at most its own temp name, which the next run that writes the reply
// removes; a name of a run still going is kept.
TEST_F(PublisherTest, KilledReplyWriteLeavesAWholeReplyAndTheNextRunCleansUp)
{
    const QString replies = dir.filePath(QStringLiteral("versions"));
    const QString reply = QDir(replies).filePath(QStringLiteral("qnd-client-2"));
    const QStringList replyArgs{QStringLiteral("--channel"), QStringLiteral("stable"), QStringLiteral("--versions-dir"),
                                replies};
    QByteArray said;
    ASSERT_EQ(runPublisher(publishArgs(2, {QStringLiteral("--updater"), QStringLiteral("--no-patches")}), &said), 0);
    ASSERT_EQ(runPublisher(publishArgs(2, replyArgs), &said), 0) << said.constData();
    const QByteArray written = readAllOrMissing(reply);
    // A temp name of a run that has ended, and one of a run still going (this test's).
    QByteArray endedPid;
    ASSERT_EQ(runProgram(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")}, &endedPid), 0);
    const QString ended = QStringLiteral(".qnd-client-2.qnd_publish-") + QString::fromLatin1(endedPid.trimmed()),
                  running = QStringLiteral(".qnd-client-2.qnd_publish-%1").arg(::getpid());
    ASSERT_TRUE(writeAllMakingDirs(QDir(replies).filePath(ended), "half"));
    ASSERT_TRUE(writeAllMakingDirs(QDir(replies).filePath(running), "half"));

    const QStringList only{QStringLiteral("--reply-only"), QStringLiteral("--out"), repo, QStringLiteral("--version"),
                           QStringLiteral("2")};
    const auto inReplies = [&] {
        QStringList names = QDir(replies).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(running);
        names.removeAll(QStringLiteral("qnd-client-2"));
        return names;
    };
    // How many looks at the folder a whole run lasts, to spread the kills over it.
    QProcess whole;
    whole.start(QStringLiteral(QND_PUBLISH), only + replyArgs);
    ASSERT_TRUE(whole.waitForStarted(30000));
    int runLooks = 0;
    for (; !whole.waitForFinished(0) && whole.state() == QProcess::Running; ++runLooks)
        inReplies();
    ASSERT_EQ(whole.exitCode(), 0);
    int killedRunning = 0;
    for (int kill = 0; kill < 40; ++kill) {
        SCOPED_TRACE(kill);
        QProcess p;
        p.start(QStringLiteral(QND_PUBLISH), only + replyArgs);
        ASSERT_TRUE(p.waitForStarted(30000));
        for (int look = 0; look < runLooks * kill / 40 && !p.waitForFinished(0) && p.state() == QProcess::Running;
             ++look)
            inReplies();
        if (p.state() == QProcess::Running) {
            ++killedRunning;
            p.kill();
            ASSERT_TRUE(p.waitForFinished(30000));
        }
        EXPECT_EQ(readAllOrMissing(reply), written);
        const QStringList left = inReplies();
        EXPECT_TRUE(left.isEmpty() || left == QStringList{ended}
                    || (left.size() == 1 && left.first().startsWith(QLatin1String(".qnd-client-2.qnd_publish-"))))
            << left.join(QLatin1Char(' ')).toStdString();
    }
    std::printf("%d of 40 kills landed while the publisher ran (a run lasts %d looks)\n", killedRunning, runLooks);
    EXPECT_GT(killedRunning, 0);
    ASSERT_EQ(runPublisher(only + replyArgs, &said), 0) << said.constData();
    EXPECT_TRUE(inReplies().isEmpty()) << inReplies().join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(QFileInfo::exists(QDir(replies).filePath(running)));
    EXPECT_EQ(readAllOrMissing(reply), written);
    EXPECT_EQ(QFileInfo(reply).permissions() & 0x0777,
              QFile::ReadOther | QFile::ReadGroup | QFile::ReadUser | QFile::WriteUser);
}

// The build refuses a public key the updater could not import, before it
// compiles anything, and warns when it embeds the test key.
TEST(PublicKeyConfigureCheck, RefusesKeysTheUpdaterCannotImport)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString keys = QStringLiteral(QND_FIXTURES_DIR "/keys/");
    const struct
    {
        const char* key;
        int code;
        const char* says;
    } rows[] = {
        {"test_public.pem", 1, "does not import as an RSA key"},
        {"test_private.der", 1, "holds a private key; the updater must be built with its public half only"},
        {"signed_sample.txt", 1, "does not import as an RSA key"},
        {"test_public_x509.der", 0, "Updater public key:"},
        {"test_public.der", 0, "built with the TEST public key"},
    };
    // One build folder, as a developer who changes the key configures again:
    // the compiler and package checks are made once, and the key is checked
    // again whenever its bytes differ from the last one that passed.
    const QString build = scratch.filePath(QStringLiteral("build"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        QProcess cmake;
        cmake.setProcessChannelMode(QProcess::MergedChannels);
        cmake.start(QStringLiteral(QND_CMAKE),
                    {QStringLiteral("-S"), QStringLiteral(QND_SOURCE_DIR), QStringLiteral("-B"), build,
                     QStringLiteral("-G"), QStringLiteral(QND_CMAKE_GENERATOR), QStringLiteral("-DQND_BUILD_TESTS=OFF"),
                     QStringLiteral("-DQND_PUBLIC_KEY_FILE=") + keys + QLatin1String(row.key)});
        ASSERT_TRUE(cmake.waitForFinished(300000));
        const QByteArray said = cmake.readAll();
        EXPECT_EQ(cmake.exitCode() == 0 ? 0 : 1, row.code) << said.constData();
        EXPECT_TRUE(said.simplified().contains(row.says)) << said.constData();
    }
}

} // namespace
