#include "rollback.h"
#include "faketasks.h"
#include "support/qtmessages.h"
#include "support/tasktest.h"
#include "support/tempdirtest.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

namespace {

class RollbackTest : public TempDirTest
{
protected:
    FakeTask reporter{nullptr};
    QSignalSpy messages{&reporter, &TaskSpecification::message};
};

TEST_F(RollbackTest, UndoesFileBeforeTheDirectoryHoldingIt)
{
    RollbackDataList list;
    ASSERT_TRUE(QDir(tmp.path()).mkdir("d"));
    list.append(RollbackData(DIR_CREATE, at("d")));
    ASSERT_TRUE(writeAll(at("d/f"), "x"));
    list.append(RollbackData(FILE_CREATE, at("d/f")));

    EXPECT_TRUE(list.rollback(&reporter));
    EXPECT_FALSE(QFile::exists(at("d/f")));
    EXPECT_FALSE(QFile::exists(at("d")));
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(RollbackTest, RenameIsUndoneInItsOwnDirection)
{
    ASSERT_TRUE(writeAll(at("new"), "content"));
    RollbackDataList list;
    list.append(RollbackData(FILE_RENAME, at("old"), at("new")));

    EXPECT_TRUE(list.rollback(&reporter));
    EXPECT_TRUE(QFile::exists(at("old")));
    EXPECT_FALSE(QFile::exists(at("new")));
}

// The kept file goes back over the newer one in one step.
TEST_F(RollbackTest, RestorePutsTheKeptFileBackOverTheNewOne)
{
    ASSERT_TRUE(writeAll(at("installed"), "new"));
    ASSERT_TRUE(writeAll(at("kept"), "old"));
    RollbackDataList list;
    list.append(RollbackData(FILE_RESTORE, at("installed"), at("kept")));

    EXPECT_TRUE(list.rollback(&reporter));
    EXPECT_EQ(readAll(at("installed")), "old");
    EXPECT_FALSE(QFile::exists(at("kept")));
}

// Each failing record reports its warning, makes the result false and does not
// stop the records before it from being undone.
TEST_F(RollbackTest, FailedUndoReportsAndTheRestIsStillUndone)
{
    using At = std::function<QString(const char*)>;
    struct Row
    {
        const char* name;
        std::function<RollbackData(const At&)> make;
        std::function<QString(const At&)> warning;
        std::function<bool(const At&)> leftAlone;
    };
    const Row rows[] = {
        {"file already gone", [](const At& at) { return RollbackData(FILE_CREATE, at("gone")); },
         [](const At& at) { return QString("warning: rollback create file %1 failed").arg(at("gone")); },
         [](const At&) { return true; }},
        {"directory not empty",
         [](const At& at) {
             QDir().mkdir(at("full"));
             writeAll(at("full/keep"), "keep");
             return RollbackData(DIR_CREATE, at("full"));
         },
         [](const At& at) { return QString("warning: rollback create dir %1 failed").arg(at("full")); },
         [](const At& at) { return QFile::exists(at("full/keep")); }},
        {"renamed file gone", [](const At& at) { return RollbackData(FILE_RENAME, at("was"), at("is")); },
         [](const At& at) { return QString("warning: rollback rename %1 to %2 failed").arg(at("was"), at("is")); },
         [](const At& at) { return !QFile::exists(at("was")); }},
        {"rename back onto an existing file",
         [](const At& at) {
             writeAll(at("src"), "other");
             writeAll(at("dst"), "moved");
             return RollbackData(FILE_RENAME, at("src"), at("dst"));
         },
         [](const At& at) { return QString("warning: rollback rename %1 to %2 failed").arg(at("src"), at("dst")); },
         [](const At& at) { return QFile::exists(at("dst")) && QFile::exists(at("src")); }},
        {"kept file gone",
         [](const At& at) {
             writeAll(at("installed"), "new");
             return RollbackData(FILE_RESTORE, at("installed"), at("kept"));
         },
         [](const At& at) {
             return QString("warning: rollback rename %1 to %2 failed").arg(at("installed"), at("kept"));
         },
         [](const At& at) { return QFile::exists(at("installed")); }},
        // Undone through descriptors from the install directory "inst": a
        // directory there swapped for a link to "out" is not followed.
        {"restore through a directory swapped for a link",
         [](const At& at) {
             QDir().mkpath(at("inst"));
             writeAll(at("inst/kept"), "old");
             writeAllMakingDirs(at("out/installed"), "outside");
             QFile::link(at("out"), at("inst/d"));
             return RollbackData(FILE_RESTORE, at("inst/d/installed"), at("inst/kept")).inside(at("inst"));
         },
         [](const At& at) {
             return QString("warning: rollback rename %1 to %2 failed").arg(at("inst/d/installed"), at("inst/kept"));
         },
         [](const At& at) { return readAll(at("out/installed")) == "outside" && QFile::exists(at("inst/kept")); }},
        {"created file below a link",
         [](const At& at) {
             QDir().mkpath(at("inst"));
             writeAllMakingDirs(at("out/new"), "outside");
             QFile::link(at("out"), at("inst/d"));
             return RollbackData(FILE_CREATE, at("inst/d/new")).inside(at("inst"));
         },
         [](const At& at) { return QString("warning: rollback create file %1 failed").arg(at("inst/d/new")); },
         [](const At& at) { return readAll(at("out/new")) == "outside"; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const At at = [&dir](const char* rel) { return dir.filePath(rel); };
        messages.clear();

        ASSERT_TRUE(writeAll(at("earlier"), "e"));
        RollbackDataList list;
        list.append(RollbackData(FILE_CREATE, at("earlier")));
        list.append(row.make(at));

        EXPECT_FALSE(list.rollback(&reporter));
        EXPECT_EQ(spyTexts(messages), QStringList{row.warning(at)});
        EXPECT_FALSE(QFile::exists(at("earlier")));
        EXPECT_TRUE(row.leftAlone(at));
        EXPECT_TRUE(list.isEmpty());
    }
}

TEST_F(RollbackTest, SecondRollbackDoesNothing)
{
    RollbackDataList list;
    list.append(RollbackData(FILE_CREATE, at("missing")));
    EXPECT_FALSE(list.rollback(&reporter));
    messages.clear();

    EXPECT_TRUE(list.rollback(&reporter));
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(RollbackTest, AppendedListIsUndoneNewestFirst)
{
    RollbackDataList a;
    a.append(RollbackData(FILE_CREATE, at("A")));
    a.append(RollbackData(FILE_CREATE, at("B")));
    RollbackDataList list;
    list.append(RollbackData(FILE_CREATE, at("C")));
    list.appendList(a);
    EXPECT_EQ(a.records().size(), 2);

    // None of the files exists, so every undo reports, in undo order.
    EXPECT_FALSE(list.rollback(&reporter));
    const QString f("warning: rollback create file %1 failed");
    EXPECT_EQ(spyTexts(messages), (QStringList{f.arg(at("B")), f.arg(at("A")), f.arg(at("C"))}));
    // The source list keeps its records.
    EXPECT_EQ(a.records().size(), 2);
}

// A reporter without a message method leaves a diagnostic line instead; a null
// reporter gets nothing at all.
TEST_F(RollbackTest, ReporterWithoutMessageMethodOrNullGetsNothing)
{
    QObject plain;
    RollbackDataList list;
    bool plainResult = true;
    bool nullResult = true;
    QStringList plainLog;
    QStringList nullLog;
    {
        QtMessageCapture capture;
        list.append(RollbackData(FILE_CREATE, at("missing1")));
        plainResult = list.rollback(&plain);
        plainLog = QtMessageCapture::lines();
    }
    {
        QtMessageCapture capture;
        list.append(RollbackData(FILE_CREATE, at("missing2")));
        nullResult = list.rollback(nullptr);
        nullLog = QtMessageCapture::lines();
    }
    EXPECT_FALSE(plainResult);
    EXPECT_TRUE(plainLog.contains("debug: Warning: message signal was not found in RollbackData::message"))
        << plainLog.join('\n').toStdString();
    EXPECT_FALSE(nullResult);
    EXPECT_TRUE(nullLog.isEmpty());
}

// A record that names an unknown operation, or was made with the other
// form's constructor, touches nothing, reports and fails, and the records
// before it are still undone.
TEST_F(RollbackTest, InvalidRecordFailsWithoutStoppingTheRollback)
{
    struct Row
    {
        const char* name;
        RollbackData record;
        int op;
    };
    const Row rows[] = {
        {"unknown operation", RollbackData(7, at("whatever")), 7},
        {"created file with two paths", RollbackData(FILE_CREATE, at("other"), at("whatever")), FILE_CREATE},
        {"created directory with two paths", RollbackData(DIR_CREATE, at("other"), at("whatever")), DIR_CREATE},
        {"rename with one path", RollbackData(FILE_RENAME, at("whatever")), FILE_RENAME},
        {"restore with one path", RollbackData(FILE_RESTORE, at("whatever")), FILE_RESTORE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        messages.clear();
        ASSERT_TRUE(writeAll(at("earlier"), "e"));
        ASSERT_TRUE(writeAll(at("whatever"), "w"));
        ASSERT_TRUE(writeAll(at("other"), "o"));
        EXPECT_FALSE(row.record.isValid());
        RollbackDataList list;
        list.append(RollbackData(FILE_CREATE, at("earlier")));
        list.append(row.record);

        EXPECT_FALSE(list.rollback(&reporter));
        EXPECT_FALSE(QFile::exists(at("earlier")));
        EXPECT_EQ(readAllOrMissing(at("whatever")), "w");
        EXPECT_EQ(readAllOrMissing(at("other")), "o");
        EXPECT_EQ(
            spyTexts(messages),
            QStringList{
                QString("warning: rollback of unknown operation %1 on %2 failed").arg(row.op).arg(at("whatever"))});
    }
}

} // namespace
