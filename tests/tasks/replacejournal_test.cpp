#include "replacejournal.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A link's own text.
QByteArray readLink(const QString& path)
{
    char text[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), text, sizeof text);
    return n < 0 ? QByteArray() : QByteArray(text, int(n));
}

// A journal left by a session that ended at some instant is replayed at the
// next start: what was made is undone newest first, what was only noted (or
// cut short mid-line) is left alone, a finished session only loses its
// leftovers; the folder always goes and the session's temp directory is
// handed back for removal.
TEST(ReplaceJournalTest, RecoveryUndoesExactlyWhatWasMade)
{
    struct Row
    {
        const char* name;
        QByteArray journal;
        QStringList made;       // "path=bytes" in the install dir, "path/" for a directory, "path->text" for a link
        QStringList after;      // what is left, in the same form
        QStringList modes = {}; // "path=octal" of files afterwards
    };
    const Row rows[] = {
        {"changes made, undone newest first",
         "T %2Ftmp%2Fquendrail_temp_3\nD d\nC d/f\nR g 1\nR h 2\n",
         {"d/", "d/f=new", "g=new", ".qnd-replace/1=old", "h=new", ".qnd-replace/2=older"},
         {"g=old", "h=older"}},
        {"steps noted but never made", "T %2Ftmp%2Fquendrail_temp_3\nD e\nC x\nR g 5\n", {"g=current"}, {"g=current"}},
        {"a line cut short was never acted on",
         "T %2Ftmp%2Fquendrail_temp_3\nC x\nR g 1",
         {"x=new", "g=new", ".qnd-replace/1=old"},
         {"g=new"}},
        {"finished session keeps the new files",
         "T %2Ftmp%2Fquendrail_temp_3\nC x\nR g 1\nF\n",
         {"x=new", "g=new", ".qnd-replace/1=old"},
         {"g=new", "x=new"}},
        // A file's mode changed in place, and a folder moved aside for a
        // file: both come back; a mode note out of range is no change.
        {"mode changes and a folder moved aside",
         "V 3\nT %2Ftmp%2Fquendrail_temp_3\nM s 644\nM t 7777777\nR docs 3\nC docs\n",
         {"s=run", "t=data", "docs=new", ".qnd-replace/3/a.txt=old"},
         {"docs/", "s=run", "t=data"},
         {"s=644", "t=755", "docs/a.txt=755"}},
        {"a journal with its version line",
         "V 2\nT %2Ftmp%2Fquendrail_temp_3\nD d\nC d/f\nR g 1\n",
         {"d/", "d/f=new", "g=new", ".qnd-replace/1=old"},
         {"g=old"}},
        // A replay stopped after its last undo (only the journal left) or
        // midway: what an earlier replay put back is the old entry, never
        // the session's, whatever its type, and stays.
        {"replayed again after every step was undone",
         "V 3\nT %2Ftmp%2Fquendrail_temp_3\nR dir2 1\nR conv 2\nM s 644\nC dir2\nD conv\nC conv/f\n",
         {"dir2/", "dir2/a=old", "conv=old", "s=run"},
         {"conv=old", "dir2/", "s=run"},
         {"dir2/a=755", "conv=755", "s=644"}},
        {"replayed again after some steps were undone",
         "V 3\nT %2Ftmp%2Fquendrail_temp_3\nR dir2 1\nR conv 2\nM s 644\nC dir2\nD conv\nC conv/f\n",
         {"dir2/", "dir2/a=old", ".qnd-replace/2=old", "s=run"},
         {"conv=old", "dir2/", "s=run"},
         {"dir2/a=755", "conv=755", "s=644"}},
        {"a new entry's path taken by what is not the session's",
         "V 3\nT %2Ftmp%2Fquendrail_temp_3\nD f\nM d 600\n",
         {"f=the user's", "d/"},
         {"d/", "f=the user's"},
         {"d=755"}},
        // A link replaced by a file was kept aside as the link itself.
        {"a link kept aside comes back as a link",
         "V 3\nT %2Ftmp%2Fquendrail_temp_3\nR a.so 1\nR so 2\n",
         {"a.so=new", ".qnd-replace/1=old", "so=new", ".qnd-replace/2->a.so"},
         {"a.so=old", "so->a.so"}},
        {"names with spaces and newlines, nothing outside",
         "T %2Ftmp%2Fquendrail_temp_3\nC a%20b%0Ac\nC ..%2Fescape\n",
         {"a b\nc=new"},
         {}},
    };
    // The install directory's name may be swapped once its descriptor is
    // open: the replay stays on the folder it opened, and the folder now at
    // the name (holding the same journal and entries) is left untouched.
    enum class Swap { None, ForAFolder, ForALink };
    const struct
    {
        Swap swap;
        const char* name;
    } swaps[] = {{Swap::None, "not swapped"},
                 {Swap::ForAFolder, "swapped for another folder"},
                 {Swap::ForALink, "swapped for a link"}};
    for (const Row& row : rows) {
        for (const auto& swap : swaps) {
            SCOPED_TRACE(row.name);
            SCOPED_TRACE(swap.name);
            QTemporaryDir root;
            ASSERT_TRUE(root.isValid());
            const QString install = root.filePath("install"), other = root.filePath("other");
            ASSERT_TRUE(writeAllMakingDirs(root.filePath("escape"), "outside"));
            const auto lay = [&row](const QString& dir) {
                ASSERT_TRUE(writeAllMakingDirs(dir + "/.qnd-replace/journal", row.journal));
                for (const QString& m : row.made) {
                    if (m.endsWith('/')) {
                        ASSERT_TRUE(QDir().mkpath(dir + '/' + m));
                    } else if (m.contains("->")) {
                        ASSERT_TRUE(QFile::link(m.section("->", 1), dir + '/' + m.section("->", 0, 0)));
                        continue;
                    } else {
                        ASSERT_TRUE(writeAllMakingDirs(dir + '/' + m.section('=', 0, 0), m.section('=', 1).toUtf8()));
                    }
                    ASSERT_EQ(::chmod(QFile::encodeName(dir + '/' + m.section('=', 0, 0)).constData(), 0755), 0);
                }
            };
            lay(install);
            if (swap.swap != Swap::None)
                lay(other);
            const auto otherBefore = snapshot(other);

            InstallRoot opened;
            ASSERT_TRUE(openInstallRoot(install, &opened));
            QString worked = install;
            if (swap.swap != Swap::None) {
                worked = root.filePath("opened");
                ASSERT_TRUE(QDir().rename(install, worked));
                ASSERT_TRUE(swap.swap == Swap::ForAFolder ? QDir().rename(other, install)
                                                          : QFile::link(other, install));
            }
            QString temp;
            EXPECT_TRUE(ReplaceJournal::recover(opened, &temp));
            EXPECT_EQ(temp, "/tmp/quendrail_temp_3");
            QStringList after;
            for (const QString& name :
                 QDir(worked).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name))
                after << (QFileInfo(worked + '/' + name).isSymLink()
                              ? name + "->" + QFile::decodeName(readLink(worked + '/' + name))
                              : QFileInfo(worked + '/' + name).isDir() ? name + '/'
                                                                       : name + '=' + readAll(worked + '/' + name));
            EXPECT_EQ(after, row.after);
            for (const QString& m : row.modes) {
                struct stat st;
                ASSERT_EQ(::stat(QFile::encodeName(worked + '/' + m.section('=', 0, 0)).constData(), &st), 0);
                EXPECT_EQ(QString::number(st.st_mode & 07777, 8), m.section('=', 1)) << m.toStdString();
            }
            EXPECT_EQ(readAll(root.filePath("escape")), "outside");
            EXPECT_EQ(snapshot(swap.swap == Swap::ForAFolder ? install : other), otherBefore);
            // A second start finds nothing to do.
            EXPECT_TRUE(ReplaceJournal::recover(opened, &temp));
            if (swap.swap == Swap::None) {
                EXPECT_TRUE(ReplaceJournal::recover(install, &temp));
            }
        }
    }
}

// A journal that recovery cannot undo in full, or whose session may still be
// running, is left exactly as it is with a message saying why; a journal
// folder that is not a real directory of this user is neither followed nor
// removed. Nothing outside the install directory is ever touched, also when
// a directory of a noted path was swapped for a link leading out.
TEST(ReplaceJournalTest, RecoveryLeavesWhatItCannotFullyUndoUntouched)
{
    struct Row
    {
        const char* name;
        QByteArray journal; // written into the folder unless arrange makes it otherwise
        std::function<void(const QString& install, const QString& outside)> arrange;
        bool recovered;
        const char* why; // %1: the folder
    };
    const auto none = [](const QString&, const QString&) {};
    const Row rows[] = {
        {"a later version", "V 4\nT %2Ft\nC x\n", none, false,
         "Could not undo the unfinished update in '%1': its journal is of version 4, this updater knows up to 3"},
        {"an unknown kind", "V 2\nT %2Ft\nC x\nM x 644\n", none, false,
         "Could not undo the unfinished update in '%1': line 4 of its journal holds a change this updater does not "
         "know"},
        {"a known kind with a field too many", "T %2Ft\nC x y\n", none, false,
         "Could not undo the unfinished update in '%1': line 2 of its journal holds a change this updater does not "
         "know"},
        {"the session still holds the lock", "V 2\nT %2Ft\nC x\n", none, false,
         "Could not undo the unfinished update in '%1': the update that made it is still running"},
        {"the folder is a link to a directory outside", QByteArray(),
         [](const QString& install, const QString& outside) {
             ASSERT_TRUE(writeAll(outside + "/journal", "T %2Ft\nC precious\n"));
             ASSERT_TRUE(QFile::link(outside, install + "/.qnd-replace"));
         },
         false, "Refusing to use '%1': it is not a folder of this user; remove it to update"},
        {"the folder is a file", QByteArray(),
         [](const QString& install, const QString&) { ASSERT_TRUE(writeAll(install + "/.qnd-replace", "file")); },
         false, "Refusing to use '%1': it is not a folder of this user; remove it to update"},
        // Not followed: the folder it leads to is no longer the one named.
        {"the install directory's name is a link", "V 2\nT %2Ft\nC x\n",
         [](const QString& install, const QString&) {
             ASSERT_TRUE(QDir().rename(install, install + ".real"));
             ASSERT_TRUE(QFile::link(install + ".real", install));
         },
         false, "Could not undo the unfinished update in '%1': the install directory's name is a link"},
        {"a noted directory swapped for a link", "V 2\nT %2Ft\nC d/precious\nR d/g 1\n",
         [](const QString& install, const QString& outside) {
             ASSERT_TRUE(writeAll(install + "/.qnd-replace/1", "kept"));
             ASSERT_TRUE(QFile::link(outside, install + "/d"));
         },
         true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir root;
        ASSERT_TRUE(root.isValid());
        const QString install = root.filePath("install"), outside = root.filePath("outside");
        const QString folder = ReplaceJournal::folderPath(install);
        ASSERT_TRUE(writeAllMakingDirs(install + "/x", "new"));
        ASSERT_TRUE(writeAllMakingDirs(outside + "/precious", "outside"));
        ASSERT_TRUE(writeAll(outside + "/g", "outside"));
        if (!row.journal.isEmpty()) {
            ASSERT_TRUE(writeAllMakingDirs(folder + "/journal", row.journal));
        }
        row.arrange(install, outside);
        // A live session holds its journal locked.
        const int held = QString(row.name).contains("lock")
            ? ::open(QFile::encodeName(folder + "/journal").constData(), O_RDONLY | O_CLOEXEC)
            : -1;
        if (held >= 0) {
            ASSERT_EQ(::flock(held, LOCK_EX), 0);
        }
        const auto installBefore = snapshot(install), outsideBefore = snapshot(outside);

        QString temp, why;
        EXPECT_EQ(ReplaceJournal::recover(install, &temp, &why), row.recovered);
        EXPECT_EQ(why, QString(row.why).replace("%1", folder));
        EXPECT_EQ(snapshot(outside), outsideBefore);
        if (row.recovered) {
            EXPECT_FALSE(QFileInfo::exists(folder));
        } else {
            EXPECT_EQ(snapshot(install), installBefore);
            EXPECT_TRUE(QFileInfo::exists(folder) || QFileInfo(folder).isSymLink());
        }
        // Nor does a session begin over it.
        ReplaceJournal journal(install, root.filePath("temp"));
        QString error;
        EXPECT_EQ(journal.begin(&error), row.recovered) << error.toStdString();
        if (!row.recovered) {
            EXPECT_EQ(error, QString(row.why).replace("%1", folder));
            EXPECT_EQ(snapshot(install), installBefore);
        }
        EXPECT_EQ(snapshot(outside), outsideBefore);
        if (held >= 0)
            ::close(held);
    }
}

// A journal larger than any session writes is refused as it is, without
// being read into memory.
TEST(ReplaceJournalTest, JournalLargerThanAnySessionWritesIsRefusedUntouched)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString install = root.filePath("install"), folder = ReplaceJournal::folderPath(install);
    ASSERT_TRUE(writeAllMakingDirs(install + "/x", "new"));
    ASSERT_TRUE(writeAllMakingDirs(folder + "/journal", "V 3\nT %2Ft\nC x\n"));
    // Sparse: no disk space taken.
    ASSERT_EQ(::truncate(QFile::encodeName(folder + "/journal").constData(), off_t(257) << 20), 0);
    QString temp, why;
    EXPECT_FALSE(ReplaceJournal::recover(install, &temp, &why));
    EXPECT_EQ(why,
              QString("Could not undo the unfinished update in '%1': its journal is larger than 256 MiB").arg(folder));
    EXPECT_EQ(readAll(install + "/x"), "new");
    EXPECT_EQ(QFileInfo(folder + "/journal").size(), qint64(257) << 20);
}

// Only what a replay can undo is noted; anything else is refused before the
// journal's folder is even made.
TEST(ReplaceJournalTest, NoteRefusesWhatItCannotReplay)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString install = root.filePath("install");
    ASSERT_TRUE(QDir().mkpath(install));
    const QString f = install + "/f";
    const RollbackData records[] = {
        RollbackData(7, f),
        RollbackData(FILE_CREATE, f, f),
        RollbackData(FILE_RESTORE, f),
        RollbackData(FILE_RENAME, f, install + "/g"),
        RollbackData(FILE_MODE, f),
    };
    const QString folder = ReplaceJournal::folderPath(install);
    for (const RollbackData& record : records) {
        ReplaceJournal journal(install, root.filePath("temp"));
        QString error;
        EXPECT_FALSE(journal.note(record, &error)) << record.op();
        EXPECT_EQ(error, QString("Could not write '%1/journal': unknown change").arg(folder)) << record.op();
        EXPECT_FALSE(QFileInfo::exists(folder)) << record.op();
    }
}

} // namespace
