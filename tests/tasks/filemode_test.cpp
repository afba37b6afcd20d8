#include "filemode.h"
#include "installpath.h"
#include "support/testfiles.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : mode_t(-1);
}

// The tree's execute bits over a file new to the installation (masked by
// the umask) or over a replaced file's mode (kept but for its execute
// bits), set through the opened file: an execute bit only where its read
// bit is, the old mode noted before the change and nothing changed when the
// note fails, nothing noted when nothing changes, and no link, folder or
// link on the way out followed.
TEST(FileModeTest, TreeBitsAreSetThroughTheOpenedFileAndNotedFirst)
{
    struct Row
    {
        const char* name;
        mode_t umask;
        int base;        // the installed file's mode, -1 for a new file
        int bits;        // the tree's execute bits
        mode_t before;   // the file's mode before
        mode_t expected; // its mode after
        bool noteFails = false;
        const char* arrange = "file"; // "link", "folder" or "link on the way"
    };
    const Row rows[] = {
        {"new program, umask 022", 022, -1, 0111, 0600, 0755},
        {"new program, umask 011", 011, -1, 0111, 0600, 0766},
        {"new program, umask 077", 077, -1, 0111, 0600, 0700},
        {"new data file, umask 002", 002, -1, 0, 0600, 0664},
        {"replaced file readable by its owner only", 022, 0600, 0111, 0600, 0700},
        {"replaced file, execute without read for others", 022, 0640, 0011, 0640, 0650},
        {"replaced program loses its bits", 022, 0755, 0, 0755, 0644},
        {"replaced file keeps its special bits", 022, 02750, 0111, 02750, 02750},
        {"nothing changes, nothing noted", 022, 0755, 0111, 0755, 0755},
        {"a failed note leaves the mode", 022, 0644, 0111, 0644, 0644, true},
        {"a link is not followed", 022, 0644, 0111, 0644, 0644, false, "link"},
        {"a folder is no file", 022, 0644, 0111, 0755, 0755, false, "folder"},
        {"a link on the way out is refused", 022, 0644, 0111, 0644, 0644, false, "link on the way"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString root = dir.filePath("root"), outside = dir.filePath("outside");
        ASSERT_TRUE(writeAllMakingDirs(outside + "/f", "outside"));
        ASSERT_EQ(::chmod(QFile::encodeName(outside + "/f").constData(), row.before), 0);
        const QString arrange = row.arrange;
        QString path = root + "/sub/f";
        if (arrange == "link") {
            ASSERT_TRUE(QDir().mkpath(root + "/sub"));
            ASSERT_TRUE(QFile::link(outside + "/f", path));
        } else if (arrange == "folder") {
            ASSERT_TRUE(QDir().mkpath(path));
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), row.before), 0);
        } else if (arrange == "link on the way") {
            ASSERT_TRUE(QDir().mkpath(root));
            ASSERT_TRUE(QFile::link(outside, root + "/sub"));
        } else {
            ASSERT_TRUE(writeAllMakingDirs(path, "bytes"));
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), row.before), 0);
        }
        const mode_t saved = ::umask(row.umask);
        const WantedMode wanted = treeBits(row.base, row.bits);
        ::umask(saved);
        // The note must see the file still as it was.
        int noted = -1;
        const ModeNote note = [&](mode_t current, QString* why) {
            noted = int(modeOf(path));
            EXPECT_EQ(current, row.before);
            *why = "the journal is full";
            return !row.noteFails;
        };
        QString error;
        const bool ok = applyFileModeBelow(root, path, wanted, note, &error);
        const bool refused = row.noteFails || arrange != "file";
        EXPECT_EQ(ok, !refused) << error.toStdString();
        EXPECT_EQ(modeOf(arrange == "file" || arrange == "folder" ? path : outside + "/f"), row.expected);
        const bool changes = arrange == "file" && (row.noteFails || row.before != row.expected);
        EXPECT_EQ(noted, changes ? int(row.before) : -1);
        if (row.noteFails) {
            EXPECT_EQ(error, QString("Could not set the mode of '%1': the journal is full").arg(path));
        } else if (arrange == "link on the way") {
            EXPECT_EQ(error, outsideInstallDirText(path));
        } else if (refused) {
            EXPECT_TRUE(error.startsWith(QString("Could not set the mode of '%1': ").arg(path))) << error.toStdString();
        }
    }
}

} // namespace

// The rule a replaced file is made executable by: its file name or its
// complete suffix is listed, compared case-sensitively.
TEST(FileModeTest, ExecutableNamesAndSuffixesQualifyExactly)
{
    const struct
    {
        const char* path;
        bool executable;
    } rows[] = {
        {"dir/update", true},
        {"qndclient_linux_amd64", true},
        {"qndclient_linux_x86", true},
        {"bin/qndclient_runscript.sh", true},
        {"error_report", true},
        {"package_inst", true},
        {"QtWebEngineProcess", true},
        {"lib/libfoo.so", true},
        {"libQt5Core.so.5", true},
        {"libbar.so.0", true},
        {"libbar.so.1", true},
        {"libbar.so.4", true},
        {"Update", false},
        {"update.exe", false},
        {"libfoo.so.6", false},
        {"libfoo.SO", false},
        {"libQt5Core.so.5.15.2", false},
        {"readme.txt", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isExecutableName(QString::fromLatin1(row.path)), row.executable) << row.path;
    }
    EXPECT_EQ(executableFileNames.size(), 7);
    EXPECT_EQ(executableSuffixes.size(), 5);
}
