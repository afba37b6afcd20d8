#include "filedeletetaskspecification.h"
#include "replacejournal.h"
#include "support/tasktest.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

namespace {

// One directory per case: "victim" is what is deleted, "outside" stands for
// data beyond the installation.
struct Tree
{
    QTemporaryDir dir;
    QString at(const QString& rel) const { return dir.filePath(rel); }
};

struct Row
{
    const char* name;
    std::function<void(Tree&)> setup;
    bool failOnError;
    bool recursive;
    int state;
    const char* message; // %1 = the victim's path; null for none
    std::function<bool(Tree&)> check;
    const char* victim = nullptr; // relative path; "victim" when null
};

TEST(FileDeleteTest, DeletesByKindAndReportsByFlags)
{
    auto dirWithFile = [](Tree& t) {
        QDir().mkpath(t.at("victim/sub"));
        writeAll(t.at("victim/sub/f"), "x");
    };
    auto gone = [](Tree& t) { return !QFileInfo::exists(t.at("victim")) && !QFileInfo(t.at("victim")).isSymLink(); };
    auto stays = [](Tree& t) { return QFileInfo::exists(t.at("victim/sub/f")); };

    const Row rows[] = {
        {"missing file, errors ignored", [](Tree&) {}, false, false, TASK_FINISHED, nullptr, gone},
        {"missing file, errors fail", [](Tree&) {}, true, false, TASK_FAILED, "Could not delete '%1'", gone},
        {"file", [](Tree& t) { writeAll(t.at("victim"), "x"); }, true, false, TASK_FINISHED, "Deleted file '%1'", gone},
        {"non-empty directory, not recursive, errors fail", dirWithFile, true, false, TASK_FAILED,
         "Could not delete '%1'", stays},
        {"non-empty directory, not recursive, errors ignored", dirWithFile, false, false, TASK_FINISHED, nullptr,
         stays},
        {"directory tree, recursive", dirWithFile, true, true, TASK_FINISHED, "Recursively deleted directory '%1'",
         gone},
        // Only the directory itself: its empty parent stays.
        {"empty directory in an empty parent", [](Tree& t) { QDir().mkpath(t.at("parent/victim")); }, true, false,
         TASK_FINISHED, "Deleted directory '%1'",
         [](Tree& t) { return QFileInfo(t.at("parent")).isDir() && !QFileInfo::exists(t.at("parent/victim")); },
         "parent/victim"},
        // A link to a directory is removed as a link; what it points at is untouched.
        {"link to a directory, recursive",
         [](Tree& t) {
             QDir().mkpath(t.at("outside"));
             writeAll(t.at("outside/precious"), "x");
             QFile::link(t.at("outside"), t.at("victim"));
         },
         true, true, TASK_FINISHED, "Deleted file '%1'",
         [](Tree& t) { return !QFileInfo(t.at("victim")).isSymLink() && QFileInfo::exists(t.at("outside/precious")); }},
        {"dangling link", [](Tree& t) { QFile::link(t.at("nowhere"), t.at("victim")); }, true, false, TASK_FINISHED,
         "Deleted file '%1'", gone},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Tree tree;
        ASSERT_TRUE(tree.dir.isValid());
        row.setup(tree);
        const QString victim = tree.at(row.victim ? row.victim : "victim");
        FileDeleteTaskSpecification task(row.failOnError, victim, row.recursive, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();

        EXPECT_EQ(task.state(), row.state);
        EXPECT_EQ(spyTexts(messages), row.message ? QStringList{QString(row.message).arg(victim)} : QStringList{});
        // A failure's message is its cause.
        EXPECT_EQ(task.failureReason(), row.state == TASK_FAILED ? QString(row.message).arg(victim) : QString());
        EXPECT_TRUE(row.check(tree));
    }
}

// Within a session every deletion moves the entry aside into the journal's
// folder. An entry that is there but cannot be moved aside (here the
// journal's folder cannot be made) fails the deletion with the reason, even
// where a missing entry would be let pass, and the entry stays.
TEST(FileDeleteTest, EntryThatCannotBeMovedAsideFailsTheDeletion)
{
    struct JournalRow
    {
        const char* name;
        bool present;
        bool failOnError;
        int state;
    };
    const JournalRow rows[] = {
        {"present, errors ignored", true, false, TASK_FAILED},
        {"present, errors fail", true, true, TASK_FAILED},
        {"missing, errors ignored", false, false, TASK_FINISHED},
    };
    for (const JournalRow& row : rows) {
        SCOPED_TRACE(row.name);
        Tree tree;
        ASSERT_TRUE(tree.dir.isValid());
        const QString install = tree.at("install"), victim = install + "/victim";
        const QString folder = ReplaceJournal::folderPath(install);
        ASSERT_TRUE(writeAllMakingDirs(folder, "a file"));
        if (row.present) {
            ASSERT_TRUE(writeAll(victim, "x"));
        }
        ReplaceJournal journal(install, tree.at("temp"));
        FileDeleteTaskSpecification task(row.failOnError, victim, false, nullptr, 1.0);
        task.setJournal(&journal);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();

        EXPECT_EQ(task.state(), row.state);
        const QString refusal =
            QString("Refusing to use '%1': it is not a folder of this user; remove it to update").arg(folder);
        EXPECT_EQ(spyTexts(messages),
                  row.present ? QStringList{QString("Could not delete '%1': %2").arg(victim, refusal)} : QStringList{});
        EXPECT_EQ(task.failureReason(),
                  row.present ? QString("Could not delete '%1': %2").arg(victim, refusal) : QString());
        EXPECT_EQ(readAllOrMissing(victim), row.present ? QByteArray("x") : QByteArray("<missing>"));
    }
}

} // namespace
