#include "makedownloadreplacelisttaskspecification.h"

#include "configuration.h"
#include "crypt.h"
#include "waitfor.h"
#include "support/openwatch.h"
#include "support/qtmessages.h"
#include "support/tempdirtest.h"
#include "support/testfiles.h"
#include "support/testsigning.h"
#include "relativepath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString keysDir = QStringLiteral(QND_FIXTURES_DIR "/keys/");
const QString invalidLine = QStringLiteral("Warning: product ini contains invalid line in section %1");

// Old and new contents of installed files, and patches between them.
const QByteArray oldA("old a\n");
const QByteArray newA("new a\n");
const QByteArray packedA("packed a");
const QByteArray patchA("patch a");

class ProductIniTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(placeFolders(root, FolderMode::Make, {{&tempDir, "temp"}, {&installDir, "install"}}));
        config.m_TempDir = tempDir;
        config.m_InstallDir = installDir;
        config.m_ClientUpdate = 1;
        config.m_Version = 7;
    }

    QString iniPath() const
    {
        return tempDir
            + (config.m_ClientUpdate == 1 ? QStringLiteral("/qnd_client_linux_amd64.ini")
                                          : QStringLiteral("/update_linux_amd64.ini"));
    }
    void writeIni(const QByteArray& text) { ASSERT_TRUE(writeAllMakingDirs(iniPath(), text)); }
    void install(const QString& name, const QByteArray& data)
    {
        ASSERT_TRUE(writeAllMakingDirs(installDir + "/" + name, data));
    }
    void inTemp(const QString& name, const QByteArray& data)
    {
        ASSERT_TRUE(writeAllMakingDirs(tempDir + "/" + name, data));
    }

    // Runs the reader synchronously, as the pool thread would.
    bool read()
    {
        messages.clear();
        MakeDownloadReplaceListFunc func(&config, &result);
        QObject::connect(&func, &ASyncFunc::message, [this](const QString& m) { messages << m; });
        QObject::connect(&func, &ASyncFunc::progress, [this](qreal p) { progress << p; });
        return func.run();
    }

    QStringList downloadNames() const
    {
        QStringList names;
        for (const DownloadFileData& d : result.downloads)
            names << d.section + ":" + d.name;
        return names;
    }
    QStringList replacementNames() const
    {
        QStringList names;
        for (const ReplaceFileData& r : result.replacements)
            names << r.name + ">" + r.target + "+" + r.patchFile;
        return names;
    }

    QTemporaryDir root;
    QString tempDir;
    QString installDir;
    Configuration config;
    DownloadReplaceListData result;
    QStringList messages;
    QList<qreal> progress;
};

// ---- lines that must fail the whole run ------------------------------------

struct RejectRow
{
    const char* label;
    QByteArray ini;
    const char* message; // expected among the messages
};

void PrintTo(const RejectRow& row, std::ostream* os)
{
    *os << row.label;
}

class ProductIniRejects : public ProductIniTest, public ::testing::WithParamInterface<RejectRow>
{};

const QByteArray h64 = QByteArray(128, 'a');

const RejectRow rejectRows[] = {
    {"OnlyKeysOutsideGroups", "a=" + h64 + "::1\nb=x\n", "No files in product ini"},
    {"EmptyIni", "", "No files in product ini"},
    {"PatchLineWithFourPartsInDelete", "[delete]\na_patch_=1::2::3::4\n",
     "Warning: product ini contains invalid line in section delete"},
    {"PatchLineWithFourPartsInFiles", "[files]\nb=" + h64 + "::1\na_patch_=" + h64 + "::1::" + h64 + "::1\n",
     "Warning: product ini contains invalid line in section files"},
    {"NonNumericSize", "[files]\na=" + h64 + "::12x\n", "Rejected product ini line a: size is not a decimal number"},
    {"NegativeSize", "[files]\na=" + h64 + "::-5\n", "Rejected product ini line a: size is not a decimal number"},
    {"EmptySize", "[files]\na=" + h64 + "::\n", "Rejected product ini line a: size is not a decimal number"},
    {"SizeBeyondSigned64Bit", "[files]\na=" + h64 + "::9223372036854775808\n",
     "Rejected product ini line a: size is not a decimal number"},
    {"NegativeInstalledSize", "[files]\na.gz=" + h64 + "::1::" + h64 + "::-1::a\n",
     "Rejected product ini line a.gz: size is not a decimal number"},
    {"NonHexDigest", "[files]\na=" + QByteArray(128, 'z') + "::1\n",
     "Rejected product ini line a: digest is not SHA-512 hex"},
    {"ShortDigest", "[files]\na=" + QByteArray(127, 'a') + "::1\n",
     "Rejected product ini line a: digest is not SHA-512 hex"},
    {"BadInstalledDigest", "[files]\na.gz=" + h64 + "::1::abc::1::a\n",
     "Rejected product ini line a.gz: digest is not SHA-512 hex"},
    {"PatchSizeNotANumber", "[files]\na_patch_=" + h64 + "::big::" + h64 + "::1::a\n",
     "Rejected product ini line a_patch_: size is not a decimal number"},
    {"PatchBaseDigestBad", "[files]\na_patch_=" + h64 + "::1::" + QByteArray(128, 'g') + "::1::a\n",
     "Rejected product ini line a_patch_: digest is not SHA-512 hex"},
    {"KeyClimbsOut", "[files]\n..\\..\\evil=" + h64 + "::1\n",
     "Rejected product ini line ../../evil: file name outside the target directory"},
    {"TargetClimbsOut", "[files]\na.gz=" + h64 + "::1::" + h64 + "::1::../../evil\n",
     "Rejected product ini line a.gz: file name outside the target directory"},
    {"TargetAbsolute", "[files]\na.gz=" + h64 + "::1::" + h64 + "::1::/tmp/evil\n",
     "Rejected product ini line a.gz: file name outside the target directory"},
    {"PatchTargetClimbsOut", "[files]\na_patch_=" + h64 + "::1::" + h64 + "::1::sub/../../x\n",
     "Rejected product ini line a_patch_: file name outside the target directory"},
    {"DeletePathClimbsOut", "[delete]\n..=2\n", "Rejected product ini line ..: path outside the install directory"},
    {"InstallProgramClimbsOut", "[preinstall]\n..\\bin\\sh=linux64\n",
     "Rejected product ini line ../bin/sh: program outside the temp directory"},
    // The ini format reads no value for such a key; the command must not vanish.
    {"InstallProgramAbsolute", "[postinstall]\n/bin/sh=linux64\n",
     "Rejected product ini line /bin/sh: program outside the temp directory"},
    // Lines that cannot all hold in one tree are refused before any is read
    // (each shape's problem is pinned in productinishape_test).
    {"SameFileInTwoGroups", "[files]\nb=" + h64 + "::1\n[more]\nb=" + h64 + "::1\n",
     "Rejected product ini lines: [files] b and [more] b both install b"},
    {"TargetBelowTheUpdatersName", "[files]\nu.gz=" + h64 + "::1::" + h64 + "::1::update/u\n",
     "Rejected product ini line u.gz: the updater's own file"},
    {"DeletesBelowTheUpdatersName", "[delete]\nupdate/x=0\n",
     "Rejected product ini line update/x: the updater's own file"},
    {"FileIsTheSessionRecord", "[files]\nupdate.ini=" + h64 + "::1\n",
     "Rejected product ini line update.ini: the updater's own file"},
    {"TargetInTheJournalFolder", "[files]\nj.gz=" + h64 + "::1::" + h64 + "::1::.qnd-replace/journal\n",
     "Rejected product ini line j.gz: the updater's own file"},
    {"DeletesTheUpdater", "[delete]\nupdate=0\n", "Rejected product ini line update: the updater's own file"},
    {"TargetInTheNewUpdatersFolder", "[files]\nn.gz=" + h64 + "::1::" + h64 + "::1::.qnd-updater/update\n",
     "Rejected product ini line n.gz: the updater's own file"},
    {"DeletesTheNewUpdatersFolder", "[delete]\n.qnd-updater=0\n",
     "Rejected product ini line .qnd-updater: the updater's own file"},
    // Group names are read decoded, and name a directory on the file server.
    {"GroupClimbsOutOfTheVersion", "[%2E%2E]\na=" + h64 + "::1\n",
     "Rejected product ini section ..: not a relative directory name"},
    {"GroupIsTheVersionItself", "[.]\na=" + h64 + "::1\n",
     "Rejected product ini section .: not a relative directory name"},
    {"GroupIsEmptyAfterDecoding", "[%2Fetc]\na=" + h64 + "::1\n",
     "Rejected product ini section : not a relative directory name"},
    // A genuinely signed ini of another release, replayed for this one.
    {"IniOfAnotherVersion", "version=6\n[files]\na=" + h64 + "::1\n",
     "The product ini is for version 6, not for the requested version 7"},
    {"VersionThatIsNoNumber", "version=7a\n[files]\na=" + h64 + "::1\n",
     "The product ini is for version 7a, not for the requested version 7"},
    // The execute bits are the tree's promise about its programs: a list that
    // cannot be read must not install files with guessed modes.
    {"ExecuteBitsNotOctal", "executables=191::a\n[files]\na=" + h64 + "::1\n",
     "Rejected product ini execute bits 191::a"},
    {"ExecuteBitsBeyondExecute", "executables=644::a\n[files]\na=" + h64 + "::1\n",
     "Rejected product ini execute bits 644::a"},
    {"ExecuteBitsWithoutName", "executables=111\n[files]\na=" + h64 + "::1\n", "Rejected product ini execute bits 111"},
    {"ExecuteBitsNameClimbsOut", "executables=111::../evil\n[files]\na=" + h64 + "::1\n",
     "Rejected product ini execute bits 111::../evil"},
};

INSTANTIATE_TEST_SUITE_P(Lines, ProductIniRejects, ::testing::ValuesIn(rejectRows),
                         [](const ::testing::TestParamInfo<RejectRow>& info) { return std::string(info.param.label); });

TEST_P(ProductIniRejects, FailsWithAClearMessageAndQueuesNothing)
{
    writeIni(GetParam().ini);
    install(QStringLiteral("a"), oldA);
    EXPECT_FALSE(read());
    EXPECT_TRUE(messages.contains(QString::fromUtf8(GetParam().message))) << messages.join("\n").toStdString();
    // Nothing outside the two directories was touched or queued.
    EXPECT_FALSE(QFileInfo::exists(root.filePath(QStringLiteral("evil"))));
    EXPECT_TRUE(result.downloads.isEmpty());
}

// The neighbours of the refused shapes that a publisher does write.
TEST_F(ProductIniTest, LinesThatFitOneTreeAreRead)
{
    const struct
    {
        const char* label;
        QByteArray ini;
        int replacements;
    } rows[] = {
        {"names that only share a prefix",
         "[data]\nlevels.dat=" + h64 + "::1\nlevels.dat.bak=" + h64 + "::1\nlevels.datb/c=" + h64 + "::1\n", 3},
        {"one file name in two folders", "[a]\nx/f=" + h64 + "::1\n[b]\ny/f=" + h64 + "::1\n", 2},
        {"a file that was a folder, its old content deleted", "[files]\nd=" + h64 + "::1\n[delete]\nd/old=1\n", 1},
        {"a folder of the tree that was a file, deleted", "[files]\nd/new=" + h64 + "::1\n[delete]\nd=1\n", 1},
        {"a deletion beside an installed file", "[files]\ndata/x=" + h64 + "::1\n[delete]\ndata/y=1\ndat=1\n", 1},
        {"a patch line and the file line it serves",
         "[files]\nx.gz=" + h64 + "::1::" + h64 + "::1::x\nx_patch_=" + h64 + "::1::" + h64 + "::1::x\n", 1},
        {"each executable once", "executables=111::a, 100::b\n[files]\na=" + h64 + "::1\nb=" + h64 + "::1\n", 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        result = DownloadReplaceListData();
        writeIni(row.ini);
        ASSERT_TRUE(read()) << messages.join("\n").toStdString();
        EXPECT_EQ(result.replacements.size(), row.replacements);
    }
}

// An updater run copies current files into the temp directory as it reads
// them; a refused ini must not have copied any.
TEST_F(ProductIniTest, RefusedIniChangesNothingFirst)
{
    config.m_ClientUpdate = 0;
    install(QStringLiteral("a"), newA);
    writeIni("[files]\na=" + sha512Hex(newA).toLatin1() + "::6\n[more]\na/b=" + h64 + "::1\n");
    EXPECT_FALSE(read());
    EXPECT_FALSE(QFileInfo::exists(tempDir + "/a"));
    EXPECT_TRUE(result.replacements.isEmpty() && result.downloads.isEmpty());
    EXPECT_EQ(messages.last(),
              "Rejected product ini lines: [files] a installs the file a, which [more] a/b needs as "
              "a folder");
}

// Whether an installed file is current or a patch's base is a question: a
// "no" must not read as a failure on standard error.
TEST_F(ProductIniTest, ProbingInstalledFilesReportsNoFailure)
{
    install(QStringLiteral("a"), oldA);
    writeIni("[files]\na.gz=" + h64 + "::1::" + sha512Hex(newA).toLatin1() + "::6::a\na_patch_=" + h64
             + "::1::" + sha512Hex(packedA).toLatin1() + "::8::a\n");
    QtMessageCapture capture;
    ASSERT_TRUE(read()) << messages.join("\n").toStdString();
    EXPECT_EQ(downloadNames(), QStringList({"files:a.gz"}));
    EXPECT_TRUE(QtMessageCapture::find("warning", "does not match").isEmpty())
        << QtMessageCapture::lines().join("\n").toStdString();
}

// The updater's program is a file of the client tree: the client step
// replaces it like any other, with the execute bits the tree gives it.
TEST_F(ProductIniTest, UpdaterProgramIsReplacedLikeAnyClientFile)
{
    writeIni("executables=111::update\n[files]\nupdate.gz=" + h64 + "::9::" + sha512Hex(newA).toLatin1()
             + "::6::update\n");
    install(QStringLiteral("update"), oldA);
    ASSERT_TRUE(read()) << messages.join("\n").toStdString();
    EXPECT_EQ(downloadNames(), QStringList({"files:update.gz"}));
    ASSERT_EQ(result.replacements.size(), 1);
    EXPECT_EQ(result.replacements.at(0).targetName(), QStringLiteral("update"));
    EXPECT_EQ(result.replacements.at(0).executeBits, 0111);
}

// A file line of another shape is reported and skipped; the rest of the ini
// is still read and the run succeeds.
TEST_F(ProductIniTest, FileLineOfUnknownShapeIsReportedAndSkipped)
{
    for (const QByteArray& odd : {QByteArray("::1::x"), QByteArray(""), QByteArray("::1,2")}) {
        messages.clear();
        result = DownloadReplaceListData();
        writeIni("[files]\nodd=" + h64 + odd + "\nb=" + sha512Hex(newA).toLatin1() + "::6\n");
        ASSERT_TRUE(read()) << messages.join("\n").toStdString();
        EXPECT_TRUE(messages.contains(invalidLine.arg("files"))) << odd.constData();
        EXPECT_EQ(downloadNames(), QStringList({"files:b"}));
    }
}

// The version outside every group is the publisher's; an ini without it
// reads as it always did.
TEST_F(ProductIniTest, IniOfTheSessionsVersionOrWithoutOneIsRead)
{
    for (const QByteArray& head : {QByteArray("version=7\n"), QByteArray()}) {
        result = DownloadReplaceListData();
        writeIni(head + "[files]\nb=" + sha512Hex(newA).toLatin1() + "::6\n");
        ASSERT_TRUE(read()) << messages.join("\n").toStdString();
        EXPECT_EQ(downloadNames(), QStringList({"files:b"})) << head.constData();
    }
}

TEST_F(ProductIniTest, MissingIniFailsWithNoFiles)
{
    EXPECT_FALSE(read());
    EXPECT_EQ(messages, QStringList({"Compiling download and replace list for client", "No files in product ini"}));
}

TEST_F(ProductIniTest, PatchLineFailureStopsBeforeLaterGroups)
{
    writeIni("[a]\nx_patch_=1::2\n[b]\nf=" + h64 + "::1\n");
    EXPECT_FALSE(read());
    EXPECT_TRUE(messages.contains(invalidLine.arg("a")));
    EXPECT_TRUE(result.replacements.isEmpty());
}

// ---- file lines: current, patch or whole download ---------------------------

TEST_F(ProductIniTest, WholeFileLineQueuesOnlyWhatDiffersFromTheInstalledFile)
{
    install(QStringLiteral("current"), newA);
    install(QStringLiteral("stale"), oldA);
    writeIni("[files]\ncurrent=" + sha512Hex(newA).toLatin1() + "::6\nmissing=" + sha512Hex(newA).toLatin1()
             + "::6\nstale=" + sha512Hex(newA).toLatin1() + "::6\n");
    ASSERT_TRUE(read()) << messages.join("\n").toStdString();
    EXPECT_EQ(downloadNames(), QStringList({"files:missing", "files:stale"}));
    EXPECT_EQ(replacementNames(), QStringList({"missing>+", "stale>+"}));
    const ReplaceFileData& r = result.replacements.at(1);
    EXPECT_TRUE(r.installedHash.isEmpty());
    EXPECT_EQ(r.installedSize, 0u);
    EXPECT_EQ(r.targetName(), QStringLiteral("stale"));
    EXPECT_EQ(result.downloads.at(1).hash, sha512Hex(newA));
    EXPECT_EQ(result.downloads.at(1).size, 6u);
    // Three file lines stepped the progress to its end.
    EXPECT_EQ(progress, QList<qreal>({1.0 / 3, 2.0 / 3, 1.0}));
}

TEST_F(ProductIniTest, PackedLineChoosesPatchOnlyWhenTheInstalledFileMatchesItsBase)
{
    const QByteArray packedLine =
        "a.gz=" + sha512Hex(packedA).toLatin1() + "::8::" + sha512Hex(newA).toLatin1() + "::6::bin/a\n";
    const QByteArray patchLine =
        "bin/a_patch_=" + sha512Hex(patchA).toLatin1() + "::7::" + sha512Hex(oldA).toLatin1() + "::6::bin/a\n";

    // Installed file missing: whole download although a patch exists.
    writeIni("[files]\n" + packedLine + patchLine);
    ASSERT_TRUE(read());
    EXPECT_EQ(downloadNames(), QStringList({"files:a.gz"}));
    EXPECT_EQ(replacementNames(), QStringList({"a.gz>bin/a+"}));
    EXPECT_EQ(result.replacements.at(0).installedHash, sha512Hex(newA));
    EXPECT_EQ(result.replacements.at(0).installedSize, 6u);

    // Installed file is the patch's base: the patch is fetched instead.
    install(QStringLiteral("bin/a"), oldA);
    ASSERT_TRUE(read());
    ASSERT_EQ(result.downloads.size(), 1);
    EXPECT_EQ(result.downloads.at(0).name, QStringLiteral("bin/a_patch_"));
    EXPECT_EQ(result.downloads.at(0).hash, sha512Hex(patchA));
    EXPECT_EQ(result.downloads.at(0).size, 7u);
    EXPECT_EQ(replacementNames(), QStringList({"a.gz>bin/a+bin/a_patch_"}));

    // Installed file is neither base nor result: whole download.
    install(QStringLiteral("bin/a"), "something else");
    ASSERT_TRUE(read());
    EXPECT_EQ(downloadNames(), QStringList({"files:a.gz"}));

    // Installed file already is the result: nothing to do.
    install(QStringLiteral("bin/a"), newA);
    ASSERT_TRUE(read());
    EXPECT_TRUE(result.downloads.isEmpty());
    EXPECT_TRUE(result.replacements.isEmpty());
}

// An installed name that is a link to another file of the installation is
// checked as that file: its patch is chosen from the file's bytes, and when
// those are current the link still gets an entry that makes it a file of
// its own, with nothing fetched. A link that leads out of the installation
// (or nowhere) is no base: the file is fetched whole.
TEST_F(ProductIniTest, LinkedNameIsCheckedAsTheFileItLeadsToInsideTheInstallation)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    ASSERT_TRUE(writeAllMakingDirs(outside.filePath("a"), oldA));
    ASSERT_TRUE(writeAllMakingDirs(outside.filePath("new"), newA));
    struct Row
    {
        const char* name;
        QString link; // what bin/a leads to
        QStringList downloads, replacements;
        bool keepsBytes;
    } rows[] = {
        {"link to the base", "../lib/a.so", {"files:bin/a_patch_"}, {"a.gz>bin/a+bin/a_patch_"}, false},
        {"link to a link to the base", "chain", {"files:bin/a_patch_"}, {"a.gz>bin/a+bin/a_patch_"}, false},
        {"link to a current file", "../lib/new.so", {}, {"a.gz>bin/a+"}, true},
        {"link leading out to the base", outside.filePath("a"), {"files:a.gz"}, {"a.gz>bin/a+"}, false},
        {"link leading out to a current file", outside.filePath("new"), {"files:a.gz"}, {"a.gz>bin/a+"}, false},
        {"relative link climbing out",
         "../../../../../../../../.." + outside.filePath("a"),
         {"files:a.gz"},
         {"a.gz>bin/a+"},
         false},
        {"link to a folder", "../lib", {"files:a.gz"}, {"a.gz>bin/a+"}, false},
        {"broken link", "../lib/gone", {"files:a.gz"}, {"a.gz>bin/a+"}, false},
    };
    install(QStringLiteral("lib/a.so"), oldA);
    install(QStringLiteral("lib/new.so"), newA);
    ASSERT_TRUE(QDir().mkpath(installDir + QStringLiteral("/bin")));
    ASSERT_TRUE(QFile::link(QStringLiteral("../lib/a.so"), installDir + QStringLiteral("/bin/chain")));
    writeIni("[files]\na.gz=" + sha512Hex(packedA).toLatin1() + "::8::" + sha512Hex(newA).toLatin1()
             + "::6::bin/a\nbin/a_patch_=" + sha512Hex(patchA).toLatin1() + "::7::" + sha512Hex(oldA).toLatin1()
             + "::6::bin/a\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(installDir + QStringLiteral("/bin/a"));
        ASSERT_TRUE(QFile::link(row.link, installDir + QStringLiteral("/bin/a")));
        ASSERT_TRUE(read()) << messages.join("\n").toStdString();
        EXPECT_EQ(downloadNames(), row.downloads);
        EXPECT_EQ(replacementNames(), row.replacements);
        ASSERT_EQ(result.replacements.size(), 1);
        EXPECT_EQ(result.replacements.at(0).keepsBytes, row.keepsBytes);
        EXPECT_TRUE(result.modeChanges.isEmpty());
    }
}

// Names that lead to one file (a program installed under many names) have
// its bytes read once for all of them; a file of the same bytes elsewhere is
// read on its own. Each name still gets its own patch.
TEST_F(ProductIniTest, NamesOfOneInstalledFileHaveItsBytesReadOnce)
{
    install(QStringLiteral("lib/a.so"), oldA);
    install(QStringLiteral("bin/copy"), oldA);
    QStringList names = {QStringLiteral("bin/copy")};
    for (int i = 0; i < 5; ++i) {
        names << QStringLiteral("bin/a%1").arg(i);
        ASSERT_TRUE(QFile::link(QStringLiteral("../lib/a.so"), installDir + "/" + names.last()));
    }
    QByteArray ini = "[files]\n";
    QStringList expected;
    for (const QString& name : names) {
        const QByteArray n = name.toUtf8();
        ini += n + ".gz=" + sha512Hex(packedA).toLatin1() + "::8::" + sha512Hex(newA).toLatin1() + "::6::" + n + "\n"
            + n + "_patch_=" + sha512Hex(patchA).toLatin1() + "::7::" + sha512Hex(oldA).toLatin1() + "::6::" + n + "\n";
        expected << "files:" + name + "_patch_";
    }
    writeIni(ini);
    QtMessageCapture capture;
    ASSERT_TRUE(read()) << messages.join("\n").toStdString();
    QStringList got = downloadNames();
    got.sort();
    expected.sort();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(QtMessageCapture::find("debug", "SHA512 check:").size(), 2)
        << QtMessageCapture::lines().join("\n").toStdString();
}

// A folder link on the way to a listed name is followed only to another
// folder of the installation; one that leads elsewhere stops the run before
// any file is read, naming the link, and nothing outside is opened. Two
// listed names that reach one entry through a link stop a client run naming
// both (an updater run copies each to a file of its own); two that are hard
// links of one current file each get a file of their own.
TEST_F(ProductIniTest, FolderLinkOnTheWayIsFollowedOnlyToAnotherFolderOfTheInstallation)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    // A read of the fifo would block; the watch sees any other.
    ASSERT_EQ(::mkfifo(QFile::encodeName(outside.filePath("a")).constData(), 0644), 0);
    ASSERT_TRUE(writeAllMakingDirs(outside.filePath("b"), newA));
    const QByteArray h = sha512Hex(newA).toLatin1(), hOld = sha512Hex(oldA).toLatin1();
    const QString linkOut = "'%I/data' is a folder link to '%O', which is not a folder inside the installation. "
                            "Put the folder itself in place of the link and start the update again.";
    const QString oneFile = "'%I/lib/x' and '%I/plugins/x' are one file in this installation: the folder "
                            "'%I/plugins' is a link to 'lib'. Put a folder of its own in place of the link and "
                            "start the update again.";
    const QString climbing = "../../../../../../../../.." + outside.path();
    struct Row
    {
        const char* label;
        QMap<QString, QString> links;     // name -> link text, %O the outside folder
        QMap<QString, QString> hardLinks; // name -> the installed file it is another name of
        QByteArray ini;
        QString stops; // the refusal, %I the installation; empty when the run goes on
        QStringList downloads;
        QStringList kept; // entries that keep the installed bytes in a file of their own
        bool updaterRun;
    } rows[] = {
        {"folder link to another folder of the installation",
         {{"plugins", "lib"}},
         {},
         "[c]\nplugins/x=" + h + "::6\nplugins/y=" + h + "::6\n",
         "",
         {"c:plugins/y"},
         {},
         false},
        {"absolute folder link out",
         {{"data", "%O"}},
         {},
         "[c]\ndata/a=" + h + "::6\ndata/b=" + h + "::6\n",
         linkOut,
         {},
         {},
         false},
        {"relative folder link climbing out",
         {{"data", climbing}},
         {},
         "[c]\ndata/a=" + h + "::6\ndata/b=" + h + "::6\n",
         QString(linkOut).replace("%O", climbing),
         {},
         {},
         false},
        {"folder link out on a patch's way",
         {{"data", "%O"}},
         {},
         "[c]\nb.gz=" + h + "::6::" + h + "::6::data/b\ndata/b_patch_=" + h + "::6::" + hOld + "::6::data/b\n",
         linkOut,
         {},
         {},
         false},
        {"folder link out met by a deletion",
         {{"data", "%O"}},
         {},
         "[c]\nz=" + h + "::6\n[delete]\ndata/b=1\n",
         linkOut,
         {},
         {},
         false},
        {"folder link out in an updater run",
         {{"data", "%O"}},
         {},
         "[c]\ndata/b=" + h + "::6\n",
         linkOut,
         {},
         {},
         true},
        {"folder link to a missing folder",
         {{"data", "gone"}},
         {},
         "[c]\ndata/b=" + h + "::6\n",
         QString(linkOut).replace("%O", "gone"),
         {},
         {},
         false},
        {"two names of one file through a folder link",
         {{"plugins", "lib"}},
         {},
         "[c]\nlib/x=" + h + "::6\nplugins/x=" + hOld + "::6\n",
         oneFile,
         {},
         {},
         false},
        {"two new names of one entry through a folder link",
         {{"plugins", "lib"}},
         {},
         "[c]\nlib/n=" + h + "::6\nplugins/n=" + hOld + "::6\n",
         QString(oneFile).replace("/x'", "/n'"),
         {},
         {},
         false},
        {"deletion of an installed name's file through a folder link",
         {{"plugins", "lib"}},
         {},
         "[c]\nlib/x=" + h + "::6\n[delete]\nplugins/x=1\n",
         oneFile,
         {},
         {},
         false},
        {"two deletions of one file",
         {{"plugins", "lib"}},
         {},
         "[c]\nz=" + h + "::6\n[delete]\nlib/x=1\nplugins/x=1\n",
         "",
         {"c:z"},
         {},
         false},
        {"two names of one file in an updater run",
         {{"plugins", "lib"}},
         {},
         "[c]\nlib/x=" + h + "::6\nplugins/x=" + hOld + "::6\n",
         "",
         {"c:plugins/x"},
         {},
         true},
        {"hard links of one current file",
         {},
         {{"plugins/x", "lib/x"}},
         "[c]\nlib/x=" + h + "::6\nplugins/x=" + h + "::6\n",
         "",
         {},
         {"lib/x", "plugins/x"},
         false},
        {"hard link of an unlisted file", {}, {{"lib/x.bak", "lib/x"}}, "[c]\nlib/x=" + h + "::6\n", "", {}, {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        QDir(installDir).removeRecursively();
        QDir(tempDir).removeRecursively();
        install("lib/x", newA);
        for (auto it = row.links.begin(); it != row.links.end(); ++it)
            ASSERT_TRUE(QFile::link(QString(it.value()).replace("%O", outside.path()), installDir + "/" + it.key()));
        for (auto it = row.hardLinks.begin(); it != row.hardLinks.end(); ++it) {
            ASSERT_TRUE(QDir().mkpath(QFileInfo(installDir + "/" + it.key()).path()));
            ASSERT_EQ(::link(QFile::encodeName(installDir + "/" + it.value()).constData(),
                             QFile::encodeName(installDir + "/" + it.key()).constData()),
                      0);
        }
        config.m_ClientUpdate = row.updaterRun ? 0 : 1;
        writeIni(row.ini);
        result = DownloadReplaceListData();
        OpenWatch watch(outside.path());
        ASSERT_TRUE(watch.isValid());
        const FifoDeadline deadline({outside.filePath("a")}, 20000);
        const bool ok = read();
        EXPECT_EQ(watch.opens(), 0);
        EXPECT_EQ(ok, row.stops.isEmpty()) << messages.join("\n").toStdString();
        if (!row.stops.isEmpty()) {
            const QString text = QString(row.stops).replace("%I", installDir).replace("%O", outside.path());
            EXPECT_TRUE(messages.contains(text)) << messages.join("\n").toStdString();
            EXPECT_TRUE(result.replacements.isEmpty() && result.downloads.isEmpty() && result.deletions.isEmpty());
            continue;
        }
        EXPECT_EQ(downloadNames(), row.downloads);
        QStringList kept;
        for (const ReplaceFileData& r : result.replacements) {
            if (r.keepsBytes)
                kept << r.targetName();
            EXPECT_EQ(r.keepsBytes ? r.baseSize : 6u, 6u);
        }
        EXPECT_EQ(kept, row.kept);
    }
    config.m_ClientUpdate = 1;
}

// A fifo at a listed name would block an open, a device would never end:
// anything but a regular file is never opened and is fetched whole. A file
// of another size than listed is not read at all.
TEST_F(ProductIniTest, NameThatIsNoFileOfTheListedSizeIsFetchedWholeWithoutBeingRead)
{
    const QByteArray h = sha512Hex(newA).toLatin1();
    const struct
    {
        const char* label;
        std::function<bool(const QString& path)> make;
        bool opened; // opened to look at its size, never read
    } rows[] = {
        {"fifo", [](const QString& path) { return ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0; }, false},
        {"larger than listed",
         [](const QString& path) { return writeAllMakingDirs(path, newA + QByteArray(1 << 20, 'x')); }, true},
        {"smaller than listed", [](const QString& path) { return writeAllMakingDirs(path, newA.left(3)); }, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        QDir(installDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(installDir + "/watched"));
        ASSERT_TRUE(row.make(installDir + "/watched/x"));
        ASSERT_TRUE(row.make(installDir + "/watched/y"));
        writeIni("[c]\nwatched/x=" + h + "::6\ny.gz=" + h + "::9::" + h + "::6::watched/y\nwatched/y_patch_=" + h
                 + "::3::" + sha512Hex(oldA).toLatin1() + "::6::watched/y\n");
        result = DownloadReplaceListData();
        OpenWatch watch(installDir + "/watched");
        ASSERT_TRUE(watch.isValid());
        const FifoDeadline deadline({installDir + "/watched/x", installDir + "/watched/y"}, 20000);
        ASSERT_TRUE(read()) << messages.join("\n").toStdString();
        EXPECT_EQ(downloadNames(), QStringList({"c:watched/x", "c:y.gz"}));
        EXPECT_EQ(watch.reads(), 0);
        if (!row.opened) {
            EXPECT_EQ(watch.entryOpens(), 0);
        }
    }
}

TEST_F(ProductIniTest, OfTwoMatchingPatchesTheOneReadLaterWins)
{
    install(QStringLiteral("a"), oldA);
    writeIni("[files]\np.gz=" + sha512Hex(packedA).toLatin1() + "::8::" + sha512Hex(newA).toLatin1()
             + "::6::a\n"
               "a1_patch_="
             + sha512Hex("one").toLatin1() + "::3::" + sha512Hex(oldA).toLatin1()
             + "::6::a\n"
               "a2_patch_="
             + sha512Hex("two").toLatin1() + "::3::" + sha512Hex(oldA).toLatin1() + "::6::a\n");
    ASSERT_TRUE(read());
    EXPECT_EQ(replacementNames(), QStringList({"p.gz>a+a2_patch_"}));
    EXPECT_EQ(downloadNames(), QStringList({"files:a2_patch_"}));
}

TEST_F(ProductIniTest, PatchLineServesOnlyItsOwnGroup)
{
    install(QStringLiteral("a"), oldA);
    writeIni("[one]\na_patch_=" + sha512Hex(patchA).toLatin1() + "::7::" + sha512Hex(oldA).toLatin1()
             + "::6::a\n"
               "[two]\na.gz="
             + sha512Hex(packedA).toLatin1() + "::8::" + sha512Hex(newA).toLatin1() + "::6::a\n");
    ASSERT_TRUE(read());
    EXPECT_EQ(downloadNames(), QStringList({"two:a.gz"}));
    EXPECT_EQ(replacementNames(), QStringList({"a.gz>a+"}));
}

TEST_F(ProductIniTest, DownloadAlreadyInTempWithRightDigestIsNotFetchedAgain)
{
    install(QStringLiteral("a"), oldA);
    inTemp(QStringLiteral("a"), newA);
    inTemp(QStringLiteral("b"), "half a download");
    writeIni("[files]\na=" + sha512Hex(newA).toLatin1() + "::6\nb=" + sha512Hex(newA).toLatin1() + "::6\n");
    ASSERT_TRUE(read());
    EXPECT_EQ(replacementNames(), QStringList({"a>+", "b>+"}));
    EXPECT_EQ(downloadNames(), QStringList({"files:b"}));
}

TEST_F(ProductIniTest, EmptyDigestChecksTheInstalledFileBySignature)
{
    if (!builtInKeyIsTestKey())
        GTEST_SKIP() << "built with a key other than the test key";
    install(QStringLiteral("signed.txt"), readAll(keysDir + "signed_sample.txt"));
    install(QStringLiteral("signed.txt.sig"), readAll(keysDir + "signed_sample.txt.sig"));
    install(QStringLiteral("unsigned.txt"), readAll(keysDir + "signed_sample.txt"));
    const QByteArray size = QByteArray::number(readAll(keysDir + "signed_sample.txt").size());
    writeIni("[files]\nsigned.txt=::" + size + "\nunsigned.txt=::" + size + "\n");
    ASSERT_TRUE(read());
    EXPECT_EQ(downloadNames(), QStringList({"files:unsigned.txt"}));
    EXPECT_EQ(result.downloads.at(0).hash, QString());
}

TEST_F(ProductIniTest, UpdaterRunCarriesCurrentFilesIntoTempReplacingStaleCopies)
{
    install(QStringLiteral("lib/current.so"), newA);
    install(QStringLiteral("partial"), newA);
    install(QStringLiteral("stale"), oldA);
    install(QStringLiteral("bin/a"), newA);
    const QByteArray ini = "[files]\nlib/current.so=" + sha512Hex(newA).toLatin1()
        + "::6\npartial=" + sha512Hex(newA).toLatin1() + "::6\nstale=" + sha512Hex(newA).toLatin1()
        + "::6\na.gz=" + sha512Hex(packedA).toLatin1() + "::8::" + sha512Hex(newA).toLatin1() + "::6::bin/a\n";

    config.m_ClientUpdate = 0;
    writeIni(ini);
    // Left by an earlier run under the same name: must not survive as the new
    // updater's file.
    inTemp(QStringLiteral("partial"), "half a downl");
    ASSERT_TRUE(read());
    EXPECT_EQ(messages.value(0), QStringLiteral("Compiling download and replace list for updater"));
    EXPECT_EQ(replacementNames(), QStringList({"stale>+"}));
    EXPECT_EQ(readAll(tempDir + "/lib/current.so"), newA);
    EXPECT_EQ(readAll(tempDir + "/partial"), newA);
    EXPECT_EQ(readAll(tempDir + "/bin/a"), newA);
    EXPECT_FALSE(QFileInfo::exists(tempDir + "/stale"));

    // A carried-over file that cannot be written fails the run.
    QDir(tempDir + "/lib").removeRecursively();
    inTemp(QStringLiteral("lib"), "a file where the directory belongs");
    ASSERT_FALSE(read());
    EXPECT_TRUE(
        messages.contains("Could not copy " + installDir + "/lib/current.so to " + tempDir + "/lib/current.so"));
    QFile::remove(tempDir + "/lib");

    // A client run leaves current files where they are.
    QDir(tempDir + "/lib").removeRecursively();
    config.m_ClientUpdate = 1;
    writeIni(ini);
    ASSERT_TRUE(read());
    EXPECT_FALSE(QFileInfo::exists(tempDir + "/lib/current.so"));
}

// Lines assembled from hostile pieces: whatever the reader makes of them, it
// answers, and every name it hands on stays inside its directory.
TEST_F(ProductIniTest, HostileLinesNeverQueueANameOutsideItsDirectory)
{
    const QByteArray keys[] = {"a",        "../a", "a/../../b", "%2E%2E/c", "d_patch_", "..\\e_patch_", "f\\..\\..\\g",
                               "\xff\xfe", "h i",  "x%00y"};
    const QByteArray values[] = {h64 + "::1",
                                 "::",
                                 "::::::::",
                                 h64 + "::1::" + h64 + "::1::../t",
                                 "::1::::1::t",
                                 h64 + "::18446744073709551615",
                                 "\"" + h64 + "::1\"",
                                 "linux64,../x,optional",
                                 "2",
                                 h64 + "::1::" + h64 + "::1::" + QByteArray(300, 'a')};
    const QByteArray groups[] = {"files", "delete", "preinstall", "postinstall", "x/y"};
    install(QStringLiteral("a"), oldA);
    quint32 seed = 12345;
    auto next = [&seed](quint32 n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int round = 0; round < 150; ++round) {
        QByteArray ini;
        for (int g = 0; g < 3; ++g) {
            ini += "[" + groups[next(5)] + "]\n";
            for (int l = 0; l < 3; ++l)
                ini += keys[next(10)] + "=" + values[next(10)] + "\n";
        }
        writeIni(ini);
        read();
        for (const DownloadFileData& d : qAsConst(result.downloads))
            EXPECT_TRUE(isContainedRelativePath(d.name)) << ini.constData();
        for (const ReplaceFileData& r : qAsConst(result.replacements))
            EXPECT_TRUE(isContainedRelativePath(r.name) && isContainedRelativePath(r.targetName())) << ini.constData();
        for (const DeleteFileData& d : qAsConst(result.deletions))
            EXPECT_TRUE(isContainedRelativePath(d.path)) << ini.constData();
        for (const PrePostInstallData& c : result.preInstall + result.postInstall)
            EXPECT_TRUE(isContainedRelativePath(c.program)) << ini.constData();
    }
    EXPECT_FALSE(QFileInfo::exists(root.filePath("t")));
}

// ---- execute bits and entries in the new tree's way -------------------------

// With the list every entry carries its file's bits (none when unlisted), and
// a current file whose execute bits differ is noted for a mode change; without
// it nothing changes from before.
TEST_F(ProductIniTest, ExecuteBitsReachEveryEntryAndCurrentFilesWhoseBitsDiffer)
{
    const QByteArray h = sha512Hex(newA).toLatin1();
    const QByteArray files = "[client]\nbin/new=" + h + "::6\nbin/stale=" + h + "::6\nrun.sh=" + h + "::6\nlib.so=" + h
        + "::6\ndata=" + h + "::6\nprog=" + h + "::6\n";
    const struct
    {
        const char* label;
        QByteArray head;
        bool listed;
        QStringList bits;    // executeBits of bin/new, bin/stale
        QStringList changes; // mode changes of current files
    } rows[] = {
        {"listed",
         "executables=111::bin/new, 100::./bin/stale, 111::run.sh, 111::prog\n",
         true,
         {"111", "100"},
         // run.sh gains its bits, lib.so (a program by its old name rule)
         // loses them; prog already has them, data never had any.
         {"lib.so:0", "run.sh:111"}},
        {"listed empty", "executables=@Invalid()\n", true, {"0", "0"}, {"lib.so:0", "prog:0"}},
        {"not listed", "", false, {"-1", "-1"}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        QDir(installDir).removeRecursively();
        install("bin/stale", oldA);
        for (const char* name : {"run.sh", "lib.so", "data", "prog"})
            install(name, newA);
        ASSERT_TRUE(QFile::setPermissions(
            installDir + "/lib.so", QFile::permissions(installDir + "/data") | QFile::ExeOwner | QFile::ExeGroup));
        ASSERT_TRUE(QFile::setPermissions(installDir + "/prog",
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                              | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        result = DownloadReplaceListData();
        writeIni(row.head + files);
        ASSERT_TRUE(read()) << messages.join("\n").toStdString();
        EXPECT_EQ(result.executeBitsListed, row.listed);
        QStringList bits, changes;
        for (const ReplaceFileData& r : result.replacements)
            bits << (r.executeBits < 0 ? QStringLiteral("-1") : QString::number(r.executeBits, 8));
        for (const ModeChangeData& m : result.modeChanges)
            changes << m.path + ":" + QString::number(m.executeBits, 8);
        EXPECT_EQ(bits, row.bits);
        EXPECT_EQ(changes, row.changes);
        EXPECT_EQ(result.treeFiles, (QStringList{"bin/new", "bin/stale", "data", "lib.so", "prog", "run.sh"}));
    }
}

// In an updater run the new updater is assembled in the temp directory: a
// current file's copy there gets the tree's execute bits instead.
TEST_F(ProductIniTest, UpdaterRunGivesCarriedFilesTheTreesExecuteBits)
{
    config.m_ClientUpdate = 0;
    const QByteArray h = sha512Hex(newA).toLatin1();
    install("update", newA);
    install("helper.sh", newA);
    ASSERT_TRUE(QFile::setPermissions(installDir + "/helper.sh", QFile::ReadOwner | QFile::WriteOwner));
    writeIni("executables=111::update, 111::helper.sh\n[update]\nupdate=" + h + "::6\nhelper.sh=" + h + "::6\n");
    ASSERT_TRUE(read()) << messages.join("\n").toStdString();
    EXPECT_TRUE(result.replacements.isEmpty());
    EXPECT_TRUE(result.modeChanges.isEmpty());
    EXPECT_EQ(readAllOrMissing(tempDir + "/helper.sh"), newA);
    // Its old mode 0600 keeps its read bits: only the owner may run it.
    EXPECT_EQ(int(QFile::permissions(tempDir + "/helper.sh") & 0x0FFF), 0x0700);
    EXPECT_TRUE(QFileInfo(tempDir + "/update").isExecutable());
}

// A file where the new tree needs a folder goes; a folder where it needs a
// file only when the ini deletes all it holds: anything else in it is a
// user's, and the run stops naming it before anything is queued.
TEST_F(ProductIniTest, EntryInTheNewTreesWayStopsTheRunOnlyWhenItHoldsAUsersFile)
{
    const QByteArray h = sha512Hex(newA).toLatin1();
    const struct
    {
        const char* label;
        QStringList installed;
        QByteArray deletions;
        const char* stopsFor; // the kept path named, empty when the run goes on
        bool folder;
    } rows[] = {
        {"file becomes folder", {"foo"}, "foo=1\n", "", false},
        {"file becomes folder, not deleted", {"foo"}, "", "", false},
        {"folder becomes file, all deleted",
         {"docs/old.txt", "docs/sub/x"},
         "docs/old.txt=1\ndocs/sub/x=0\n",
         "",
         true},
        {"folder below it deleted recursively",
         {"docs/old.txt", "docs/sub/x", "docs/sub/y/z"},
         "docs/old.txt=1\ndocs/sub=2\n",
         "",
         true},
        {"user's file in the folder",
         {"docs/old.txt", "docs/sub/mine"},
         "docs/old.txt=1\ndocs/sub=0\n",
         "docs/sub/mine",
         true},
        {"user's hidden file", {"docs/old.txt", "docs/.mine"}, "docs/old.txt=1\n", "docs/.mine", true},
        // The first by name, whatever order the file system lists them in.
        {"two users' files", {"docs/old.txt", "docs/mine-b", "docs/mine-a"}, "docs/old.txt=1\n", "docs/mine-a", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        QDir(installDir).removeRecursively();
        for (const QString& name : row.installed)
            install(name, oldA);
        result = DownloadReplaceListData();
        writeIni("[client]\n" + QByteArray(row.folder ? "docs" : "foo/bar") + "=" + h + "::6\n[delete]\n"
                 + row.deletions);
        const bool ok = read();
        const QString stops = QString::fromLatin1(row.stopsFor);
        EXPECT_EQ(ok, stops.isEmpty()) << messages.join("\n").toStdString();
        if (stops.isEmpty()) {
            EXPECT_EQ(result.replacements.size(), 1);
            continue;
        }
        EXPECT_TRUE(result.replacements.isEmpty() && result.downloads.isEmpty());
        const QString kept = installDir + "/" + stops;
        EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const QString& m) {
            return m.contains("'" + kept + "'");
        })) << messages.join("\n").toStdString();
    }
}

// The ini is read as it is now, however fast it was rewritten: an ini of as
// many bytes with the same modification time is not taken for the one read
// before.
TEST_F(ProductIniTest, IniRewrittenWithAsManyBytesAtTheSameTimeIsReadAnew)
{
    install(QStringLiteral("a"), newA);
    writeIni("[files]\na=" + sha512Hex(newA).toLatin1() + "::6\n");
    ASSERT_TRUE(read()) << messages.join("\n").toStdString();
    EXPECT_TRUE(result.downloads.isEmpty());
    struct stat before;
    ASSERT_EQ(::stat(QFile::encodeName(iniPath()).constData(), &before), 0);
    writeIni("[files]\na=" + sha512Hex(oldA).toLatin1() + "::6\n");
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(iniPath()).constData(), times, 0), 0);
    ASSERT_TRUE(read()) << messages.join("\n").toStdString();
    EXPECT_EQ(downloadNames(), QStringList({"files:a"}));
    // Nothing of the reading is left beside the ini.
    EXPECT_EQ(QDir(tempDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({QFileInfo(iniPath()).fileName()}));
}

// ---- deletions and install commands ------------------------------------------

TEST_F(ProductIniTest, DeletionValuesBelowTenOrTwelveAreTakenAndOnlyTwoIsRecursive)
{
    const struct
    {
        const char* value;
        bool taken;
        bool recursive;
    } rows[] = {{"0", true, false},   {"1", true, false},  {"2", true, true},    {"9", true, false},
                {"-1", true, false},  {"12", true, false}, {"10", false, false}, {"11", false, false},
                {"13", false, false}, {"x", true, false}};
    QByteArray ini = "[delete]\n";
    int i = 0;
    for (const auto& row : rows) {
        const QString name = QStringLiteral("d%1").arg(i++, 2, 10, QLatin1Char('0'));
        install(name, "x");
        ini += name.toLatin1() + "=" + row.value + "\n";
    }
    ini += "gone=2\n";
    writeIni(ini);
    ASSERT_TRUE(read());
    QMap<QString, bool> got;
    for (const DeleteFileData& d : result.deletions)
        got.insert(d.path, d.recursive);
    i = 0;
    for (const auto& row : rows) {
        const QString name = QStringLiteral("d%1").arg(i++, 2, 10, QLatin1Char('0'));
        SCOPED_TRACE(row.value);
        EXPECT_EQ(got.contains(name), row.taken);
        if (row.taken) {
            EXPECT_EQ(got.value(name), row.recursive);
        }
    }
    EXPECT_FALSE(got.contains(QStringLiteral("gone")));
}

TEST_F(ProductIniTest, InstallCommandsKeepLinux64NamesFlagsAndReplacedArguments)
{
    writeIni("[preinstall]\n"
             "both=win64::linux64,a::b\n"
             "twice=linux64::Linux64,x\n"
             "windows=win32,x\n"
             "capital=linux64,x,Optional\n"
             "emptyargs=linux64,,optional\n"
             "noargs=linux64\n"
             "[postinstall]\n"
             "dirs=linux64,--in=__QND_DIR__/a__QND_DIR__::__qnd_dir__,optional,extra\n"
             // A command's program is the file whose installed name is its
             // key, whatever the download is called.
             "[c]\n"
             "both="
             + QByteArray(128, 'a')
             + "::10\n"
               "noargs.lzma="
             + QByteArray(128, 'b') + "::5::" + QByteArray(128, 'c')
             + "::10::noargs\n"
               "capital="
             + QByteArray(128, 'd') + "::5::" + QByteArray(128, 'e') + "::10::other\n");
    ASSERT_TRUE(read());
    QMap<QString, QString> digests;
    for (const PrePostInstallData& c : result.preInstall + result.postInstall) {
        digests.insert(c.program, c.sha512.left(1));
        EXPECT_EQ(c.installedPath, installDir + "/" + c.program);
    }
    EXPECT_EQ(digests,
              (QMap<QString, QString>{
                  {"both", "a"}, {"capital", ""}, {"dirs", ""}, {"emptyargs", ""}, {"noargs", "c"}, {"twice", ""}}));
    QStringList pre;
    for (const PrePostInstallData& c : result.preInstall)
        pre << c.program + "(" + c.arguments.join("|") + ")" + (c.required ? "!" : "?")
                + QString::number(c.arguments.size());
    EXPECT_EQ(pre,
              QStringList({"both(a|b)!2", "capital(x)!1", "emptyargs()?1", "noargs()!0", "twice(x)!1", "twice(x)!1"}));
    ASSERT_EQ(result.postInstall.size(), 1);
    EXPECT_EQ(result.postInstall.at(0).arguments,
              QStringList({"--in=" + installDir + "/a" + installDir, "__qnd_dir__"}));
    EXPECT_FALSE(result.postInstall.at(0).required);
}

TEST(ProductIniPlatformTest, PlatformNamesMapCaseInsensitively)
{
    const struct
    {
        const char* name;
        int id;
    } rows[] = {{"win32", 1}, {"WIN64", 2}, {"linux32", 3}, {"Linux64", 4}, {"mac", 5}, {"linux", 0}, {"", 0}};
    for (const auto& row : rows)
        EXPECT_EQ(MakeDownloadReplaceListFunc::platformId(QString::fromUtf8(row.name)), row.id) << row.name;
}

// ---- the task: the main record changes only on success ----------------------

TEST_F(ProductIniTest, TaskCopiesTheResultOnlyWhenTheReaderSucceeds)
{
    DownloadReplaceListData main;
    main.deletions.append({QStringLiteral("sentinel"), false});

    writeIni("[files]\na=" + h64 + "::12x\n");
    auto task = std::make_unique<MakeDownloadReplaceListTaskSpecification>(&config, &main, nullptr, 0.05);
    QStringList taskMessages;
    QObject::connect(task.get(), &TaskSpecification::message, [&](const QString& m) { taskMessages << m; });
    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->state() != TASK_RUNNING; }));
    EXPECT_EQ(task->state(), TASK_FAILED);
    ASSERT_EQ(main.deletions.size(), 1);
    EXPECT_EQ(main.deletions.at(0).path, QStringLiteral("sentinel"));
    EXPECT_TRUE(taskMessages.contains(invalidLine.arg("files")));

    writeIni("[files]\na=" + sha512Hex(newA).toLatin1() + "::6\n");
    task->reset();
    task->execute();
    ASSERT_TRUE(waitFor([&] { return task->state() != TASK_RUNNING; }));
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task->progress(), 0.05);
    EXPECT_TRUE(main.deletions.isEmpty());
    ASSERT_EQ(main.downloads.size(), 1);
    EXPECT_EQ(main.downloads.at(0).name, QStringLiteral("a"));
    task.reset();
    drainEvents();
}

TEST_F(ProductIniTest, TaskDroppedWhileReadingWaitsForTheReader)
{
    QByteArray ini = "[files]\n";
    for (int i = 0; i < 400; ++i) {
        install(QStringLiteral("f%1").arg(i), oldA);
        ini += "f" + QByteArray::number(i) + "=" + sha512Hex(newA).toLatin1() + "::6\n";
    }
    writeIni(ini);
    DownloadReplaceListData main;
    auto task = std::make_unique<MakeDownloadReplaceListTaskSpecification>(&config, &main, nullptr, 0.05);
    task->execute();
    task.reset();
    drainEvents();
    // The reader wrote only into the dropped task's own record.
    EXPECT_TRUE(main.downloads.isEmpty());
}

} // namespace
