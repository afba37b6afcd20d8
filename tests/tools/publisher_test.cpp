// The publisher's trees must be exactly what the updater accepts: its own
// product-ini reader parses them, the built-in key verifies them, and every
// served file turns into the new client file the way the replacement does it.
#include "publisher.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadreplacelistdata.h"
#include "ensemblepatchapplier.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "unpacklzmafile.h"

#include "support/childprocess.h"
#include "support/testsigning.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <zlib.h>

namespace {

const char* const kMakeDemo = QND_SOURCE_DIR "/tests/tools/make_demo_client.sh";

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool makeDemo(const QString& dir, int version)
{
    return runToSuccess(QStringLiteral("bash"), {QString::fromLatin1(kMakeDemo), dir, QString::number(version)});
}

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
    return fileBytes(scratch);
}

// The session's view of one published version: the reader run over a copy of
// the ini in a temp directory, against an install directory.
struct ReaderRun
{
    bool ok = false;
    DownloadReplaceListData lists;
};

ReaderRun readWithUpdater(const PublishReport& report, int targetKind, const QString& tempDir,
                          const QString& installDir)
{
    ReaderRun run;
    const QString local = QDir(tempDir).filePath(productIniName(targetKind));
    QFile::remove(local);
    if (!QFile::copy(report.iniPath, local))
        return run;
    Configuration config;
    config.m_ClientUpdate = targetKind;
    config.m_TempDir = tempDir;
    config.m_InstallDir = installDir;
    MakeDownloadReplaceListFunc reader(&config, &run.lists);
    run.ok = reader.run();
    return run;
}

class PublisherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        v1 = dir.filePath(QStringLiteral("v1"));
        v2 = dir.filePath(QStringLiteral("v2"));
        repo = dir.filePath(QStringLiteral("repo"));
        temp = dir.filePath(QStringLiteral("temp"));
        install = dir.filePath(QStringLiteral("install"));
        ASSERT_TRUE(makeDemo(v1, 1));
        ASSERT_TRUE(makeDemo(v2, 2));
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

    QString served(const QString& section, const QString& name) const
    {
        return QDir(repo).filePath(QStringLiteral("2/") + section + QLatin1Char('/') + name);
    }

    QTemporaryDir dir;
    QString v1, v2, repo, temp, install;
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
    EXPECT_TRUE(fileBytes(report.iniPath).startsWith("version=2\n"));
    EXPECT_EQ(QSettings(report.iniPath, QSettings::IniFormat).value(QStringLiteral("version")).toInt(), 2);

    const ReaderRun run = readWithUpdater(report, 1, temp, install);
    ASSERT_TRUE(run.ok);

    // Expected decision per installed file: how it is fetched, or not at all.
    struct Row { const char* target; const char* how; };
    const Row rows[] = {
        {"qndclient_linux_amd64", "patch"},
        {"qndclient_runscript.sh", "patch"},
        {"data/readme.txt", "patch"},
        {"data/news.txt", "gz"},
        {"data/map.bin", "lzma2"},
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

// Whatever the reader picks, the served bytes must match the size and digest
// it will check, and must become the new client file by the replacement's
// own route (copy, gunzip, LZMA2 unpack or patch of the installed file).
TEST_F(PublisherTest, EveryChosenDownloadRebuildsTheNewClientFile)
{
    const struct { bool withOld; PublishOptions::Form form; } cases[] = {
        {true, PublishOptions::Auto},   {false, PublishOptions::Auto},
        {true, PublishOptions::Lzma2},  {false, PublishOptions::Gzip},
        {true, PublishOptions::Plain},  {false, PublishOptions::Plain},
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
        const ReaderRun run = readWithUpdater(report, 1, temp, install);
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
                got = fileBytes(src);
            } else if (r.hasPatch()) {
                QFile::remove(scratch);
                const deltapatch::PatchStatus st = deltapatch::ApplyEnsemblePatchFiles(
                    QFile::encodeName(QDir(install).filePath(r.targetName())).constData(),
                    QFile::encodeName(src).constData(), QFile::encodeName(scratch).constData());
                EXPECT_EQ(st, deltapatch::StatusOk) << name.toStdString();
                got = fileBytes(scratch);
            } else if (QFileInfo(src).suffix() == QLatin1String("_lzma2_")) {
                got = lzmaUnpack(src, scratch);
            } else {
                got = gunzip(src);
            }
            EXPECT_TRUE(got == fileBytes(want)) << r.targetName().toStdString() << " from " << name.toStdString();
            if (r.hasTargetName()) {
                EXPECT_EQ(r.installedHash, sha512HexOfFile(want)) << r.targetName().toStdString();
            }
            ++rebuilt;
        }
        // A fresh install fetches every file of the new version.
        if (!c.withOld) {
            EXPECT_EQ(rebuilt, QDir(v2).entryList(QDir::Files).size()
                                   + QDir(v2 + QStringLiteral("/data")).entryList(QDir::Files).size());
        }
    }
}

TEST_F(PublisherTest, PackedIniUnpacksToTheSignedIniAndTheBuiltInKeyVerifiesIt)
{
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(options(true), &report, &error)) << error.toStdString();
    EXPECT_EQ(fileBytes(report.iniPath),
              lzmaUnpack(report.iniPath + QStringLiteral("._lzma2_"), QDir(temp).filePath(QStringLiteral("ini"))));
    EXPECT_EQ(QFileInfo(report.iniPath + QStringLiteral(".sig")).size(), 128);

    // The updater's own check, as the ini download runs it.
    EXPECT_TRUE(CheckSigFunc(report.iniPath, QString()).run());

    // One changed byte anywhere in the ini, or in its signature, is refused.
    const QByteArray ini = fileBytes(report.iniPath);
    const QByteArray sig = fileBytes(report.iniPath + QStringLiteral(".sig"));
    for (int at : {0, int(ini.size() / 2), int(ini.size() - 1)}) {
        QByteArray bad = ini;
        bad[at] = char(bad[at] ^ 0x01);
        ASSERT_TRUE(writeBytes(report.iniPath, bad));
        EXPECT_FALSE(CheckSigFunc(report.iniPath, QString()).run()) << "ini byte " << at;
    }
    ASSERT_TRUE(writeBytes(report.iniPath, ini));
    QByteArray badSig = sig;
    badSig[5] = char(badSig[5] ^ 0x80);
    ASSERT_TRUE(writeBytes(report.iniPath + QStringLiteral(".sig"), badSig));
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
    const ReaderRun run = readWithUpdater(report, 0, temp, install);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.lists.replacements.size(), 6);
    // An updater run assembles the new updater in the temp directory, so
    // current files are carried over there.
    EXPECT_EQ(fileBytes(QDir(temp).filePath(QStringLiteral("data/levels.dat"))),
              fileBytes(QDir(v2).filePath(QStringLiteral("data/levels.dat"))));
}

// Install commands as the updater's reader hands them to the install tasks:
// arguments whole (placeholder replaced), flags kept, programs fetched whole
// into the temp directory they are started from.
TEST_F(PublisherTest, InstallCommandsReachTheReaderWithTheirArgumentsAndFlags)
{
    const QString a = QStringLiteral("setup/a.sh"), b = QStringLiteral("setup/b.sh"),
                  script = QStringLiteral("qndclient_runscript.sh"), levels = QStringLiteral("data/levels.dat");
    ASSERT_TRUE(writeBytes(QDir(v2).filePath(a), "#!/bin/sh\nexit 0\n"));
    ASSERT_TRUE(writeBytes(QDir(v2).filePath(b), "#!/bin/sh\nexit 1\n"));
    const QStringList awkward{QStringLiteral("plain"), QStringLiteral("with space"), QStringLiteral("comma,inside"),
                              QStringLiteral("quote\"d"), QStringLiteral(" padded "), QStringLiteral("dir=__QND_DIR__/x")};
    PublishOptions o = options(true);
    o.preInstall = {{levels, {}, false}, {a, awkward, false}, {b, {}, true}};
    o.postInstall = {{script, {QStringLiteral("x")}, true}, {a, {}, false}};
    PublishReport report;
    QString error;
    ASSERT_TRUE(publish(o, &report, &error)) << error.toStdString();
    ASSERT_TRUE(copyTree(v1, install));
    const ReaderRun run = readWithUpdater(report, 1, temp, install);
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
    EXPECT_TRUE(report.notes.join(QLatin1Char('\n')).contains(QStringLiteral("install program data/levels.dat is unchanged")))
        << report.notes.join(QLatin1Char('\n')).toStdString();
}

TEST_F(PublisherTest, RefusesOptionsThatCannotMakeAUsableTree)
{
    struct Row { const char* why; void (*change)(PublishOptions&); };
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
        {"program not in the tree", [](PublishOptions& o) { o.preInstall = {{QStringLiteral("setup.sh"), {}, false}}; }},
        {"argument with separator",
         [](PublishOptions& o) { o.postInstall = {{QStringLiteral("data/extra.dat"), {QStringLiteral("a::b")}, false}}; }},
        {"program twice in a group",
         [](PublishOptions& o) {
             o.preInstall = {{QStringLiteral("data/extra.dat"), {}, false}, {QStringLiteral("data/extra.dat"), {}, true}};
         }},
        {"commands out of run order",
         [](PublishOptions& o) {
             o.preInstall = {{QStringLiteral("data/news.txt"), {}, false}, {QStringLiteral("data/extra.dat"), {}, false}};
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        PublishOptions o = options(true);
        row.change(o);
        QString error;
        EXPECT_FALSE(publish(o, nullptr, &error));
        EXPECT_FALSE(error.isEmpty());
    }

    // Client files whose names the product ini cannot carry: a changed file
    // that must come packed would share its download with a plain new one.
    const struct { const char* file; PublishOptions::Form form; const char* message; } files[] = {
        {"data/tool_patch_", PublishOptions::Auto, "its name ends in _patch_"},
        {"data/readme.txt.gz", PublishOptions::Plain, "two downloads would share the name data/readme.txt.gz"},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const QString extra = QDir(v2).filePath(QString::fromLatin1(f.file));
        ASSERT_TRUE(writeBytes(extra, "x"));
        QString error;
        PublishOptions o = options(true);
        o.form = f.form;
        EXPECT_FALSE(publish(o, nullptr, &error));
        EXPECT_TRUE(error.contains(QString::fromLatin1(f.message))) << error.toStdString();
        QFile::remove(extra);
    }
}

} // namespace

namespace {

int runPublisher(const QStringList& args, QByteArray* out)
{
    QProcess p;
    p.start(QStringLiteral(QND_PUBLISH), args);
    if (!p.waitForFinished(120000))
        return -1;
    *out = p.readAllStandardOutput() + p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
}

TEST_F(PublisherTest, CommandLineWritesTheTreeAndRejectsBadArguments)
{
    const QString ver = QStringLiteral("--version"), out = QStringLiteral("--out"),
                  nw = QStringLiteral("--new"), old = QStringLiteral("--old"), key = QStringLiteral("--key"),
                  testKey = testPrivateKeyPath();
    const struct { QStringList args; int code; const char* says; } rows[] = {
        {{}, 2, "usage"},
        {{nw, v2, out, repo}, 2, "usage"},
        {{nw, v2, out, repo, ver, QStringLiteral("two")}, 2, "usage"},
        {{nw, v2, out, repo, ver, QStringLiteral("2"), QStringLiteral("--form"), QStringLiteral("zip")}, 2, "usage"},
        {{nw, v2, out, repo, ver, QStringLiteral("2"), QStringLiteral("--bogus")}, 2, "usage"},
        {{nw, v2 + QStringLiteral("-missing"), out, repo, ver, QStringLiteral("2"), key, testKey}, 1, "no new client directory"},
        {{nw, v2, out, repo, ver, QStringLiteral("4")}, 1, "no signing key given"},
        {{old, v1, nw, v2, out, repo, ver, QStringLiteral("2"), QStringLiteral("--updater"), key, testKey}, 0, "update_linux_amd64.ini"},
        {{old, v1, nw, v2, out, repo, ver, QStringLiteral("3"), QStringLiteral("--form"), QStringLiteral("gz"), key, testKey}, 0, "patch     qndclient_linux_amd64"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.join(QLatin1Char(' ')).toStdString());
        QByteArray said;
        EXPECT_EQ(runPublisher(row.args, &said), row.code) << said.constData();
        EXPECT_TRUE(said.contains(row.says)) << said.constData();
    }
    EXPECT_TRUE(QFileInfo::exists(QDir(repo).filePath(QStringLiteral("3/qnd_client_linux_amd64.ini.sig"))));
    EXPECT_TRUE(QFileInfo::exists(QDir(repo).filePath(QStringLiteral("3/client/data/map.bin.gz"))));
    EXPECT_TRUE(QFileInfo::exists(QDir(repo).filePath(QStringLiteral("2/update/data/map.bin._lzma2_"))));
    EXPECT_FALSE(QFileInfo::exists(QDir(repo).filePath(QStringLiteral("4/qnd_client_linux_amd64.ini.sig"))));
}

} // namespace
