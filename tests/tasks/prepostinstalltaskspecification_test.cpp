#include "prepostinstalltaskspecification.h"
#include "configuration.h"
#include "globals.h"
#include "support/tempdirtest.h"
#include "support/testfiles.h"
#include "support/waitfor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <memory>

namespace {

// Stands in for the main window: counts reboot requests.
class RebootWindow : public QObject
{
    Q_OBJECT
public:
    int requests = 0;
public slots:
    void onRebootWithConfirmation() { ++requests; }
};

QStringList lines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {"<missing>"};
    QStringList out = QString::fromUtf8(f.readAll()).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

class PrePostInstallTest : public TempDirTest
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(TempDirTest::SetUp());
        config.m_TempDir = tmp.path();
    }
    void TearDown() override { mainWindowInstance = nullptr; }

    // The entry as the product-ini reader gives it when a file line installs
    // the program that now lies in the temp directory.
    PrePostInstallData pinned(PrePostInstallData entry) const
    {
        if (entry.sha512.isEmpty() && QFileInfo(at(entry.program)).isFile())
            entry.sha512 = sha512Hex(readAll(at(entry.program)));
        return entry;
    }

    // Runs one command task to its end and returns its texts.
    QStringList run(const PrePostInstallData& given, int expectState, bool pin = true, QString* cause = nullptr)
    {
        PrePostInstallData entry = pin ? pinned(given) : given;
        PrePostInstallTaskSpecification task(&entry, &config, nullptr, 1.0);
        QStringList texts;
        QObject::connect(&task, &TaskSpecification::message, &task, [&texts](const QString& m) { texts.append(m); });
        task.execute();
        EXPECT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
        EXPECT_EQ(task.state(), expectState);
        if (cause)
            *cause = task.failureReason();
        return texts;
    }

    Configuration config;
};

// The exit code decides; a failure fails the task only for a required command,
// and every failure is explained.
TEST_F(PrePostInstallTest, ExitCodeAndRequiredFlagDecideTheEnd)
{
    struct Row
    {
        const char* body;
        bool required;
        int state;
        QStringList extra; // after "Starting cmd.sh"
        int reboots;
        bool executable = true; // a download has no execute bit
    };
    const Row rows[] = {
        {"exit 0", true, TASK_FINISHED, {"cmd.sh completed sucessfully"}, 0},
        {"exit 1", true, TASK_FAILED, {"Failed to complete cmd.sh, exit code: 1"}, 0},
        {"exit 1", false, TASK_FINISHED, {"Failed to complete cmd.sh, exit code: 1"}, 0},
        {"exit 2", true, TASK_FAILED, {"Failed to complete cmd.sh, exit code: 2"}, 0},
        {"exit 2", false, TASK_FINISHED, {"Failed to complete cmd.sh, exit code: 2"}, 0},
        {"kill -SEGV $$", true, TASK_FAILED, {"Failed to run cmd.sh: Process crashed"}, 0},
        {"kill -SEGV $$", false, TASK_FINISHED, {"Failed to run cmd.sh: Process crashed"}, 0},
        // The shell keeps the low 8 bits, as every Linux exit status does.
        {"exit 1010", true, TASK_FINISHED, {"cmd.sh completed sucessfully, reboot required"}, 1},
        {"exit 0", true, TASK_FINISHED, {"cmd.sh completed sucessfully"}, 0, false},
    };
    RebootWindow window;
    mainWindowInstance = &window;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.body) + (row.required ? " required" : " optional"));
        ASSERT_TRUE(writeScript(at("cmd.sh"), row.body, row.executable));
        window.requests = 0;
        PrePostInstallData entry{"cmd.sh", {}, row.required};

        QString cause;
        const QStringList texts = run(entry, row.state, true, &cause);
        EXPECT_EQ(texts, QStringList{"Starting cmd.sh"} + row.extra);
        // A failed optional command fails nothing, so it names no cause.
        EXPECT_EQ(cause, row.state == TASK_FAILED ? row.extra.value(0) : QString());
        drainEvents();
        EXPECT_EQ(window.requests, row.reboots);
    }
}

TEST_F(PrePostInstallTest, ProgramThatCannotStartFailsWithItsReason)
{
    // Bytes that no kernel runs, even once made executable.
    QFile garbage(at("garbage.bin"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(64, '\x01')) == 64);
    garbage.close();
    QTemporaryDir outside;
    ASSERT_TRUE(writeScript(outside.filePath("escape.sh"), "touch \"$(dirname \"$0\")/ran\""));
    const QString escape = "../" + QFileInfo(outside.path()).fileName() + "/escape.sh";

    struct Row
    {
        QString program;
        QString reasonStart; // the start of %2
    };
    const Row rows[] = {
        {"garbage.bin", ""},
        {"missing.sh", ""},
        {"", "program is not inside the temp directory"},
        {escape, "program is not inside the temp directory"},
        {outside.filePath("escape.sh"), "program is not inside the temp directory"},
    };
    for (const Row& row : rows) {
        for (bool required : {true, false}) {
            SCOPED_TRACE(row.program.toStdString() + (required ? " required" : " optional"));
            PrePostInstallData entry{row.program, {}, required};
            const QStringList texts = run(entry, required ? TASK_FAILED : TASK_FINISHED);
            ASSERT_EQ(texts.size(), 2);
            EXPECT_EQ(texts[0], "Starting " + row.program);
            const QString prefix = QString("Failed to start %1: ").arg(row.program);
            EXPECT_TRUE(texts[1].startsWith(prefix + row.reasonStart)) << texts[1].toStdString();
            EXPECT_GT(texts[1].size(), prefix.size());
        }
    }
    EXPECT_FALSE(QFileInfo::exists(outside.filePath("ran")));

    // Without a temp directory the name would be taken from the root.
    config.m_TempDir.clear();
    PrePostInstallData entry{"bin/true", {}, true};
    EXPECT_EQ(run(entry, TASK_FAILED),
              (QStringList{"Starting bin/true", "Failed to start bin/true: program is not inside the temp directory"}));
}

// Arguments reach the program one by one with "--" in front, and nothing in
// them is interpreted by a shell.
TEST_F(PrePostInstallTest, ArgumentsArePassedVerbatimWithPrefix)
{
    ASSERT_TRUE(writeScript(at("args.sh"), "cd \"$(dirname \"$0\")\" && printf '%s\\n' \"$@\" > args.txt"));
    const QStringList args{"dir=/opt/qnd client", "$(touch pwned)", "a;b", "", "ünïcode"};
    PrePostInstallData entry{"args.sh", args, true};
    run(entry, TASK_FINISHED);

    EXPECT_EQ(lines(at("args.txt")),
              (QStringList{"--dir=/opt/qnd client", "--$(touch pwned)", "--a;b", "--", "--ünïcode"}));
    EXPECT_FALSE(QFileInfo::exists(at("pwned")));
    EXPECT_EQ(PrePostInstallFunc::prepareArguments({"x"}), QStringList{"--x"});
}

TEST_F(PrePostInstallTest, ProgramRunsFromTheTempDirectoryPath)
{
    ASSERT_TRUE(QDir().mkdir(at("sub")));
    ASSERT_TRUE(writeScript(at("sub/where.sh"), "printf '%s\\n' \"$0\" > \"$(dirname \"$0\")/where.txt\""));
    PrePostInstallData entry{"sub/where.sh", {}, true};
    run(entry, TASK_FINISHED);
    EXPECT_EQ(lines(at("sub/where.txt")), QStringList{at("sub/where.sh")});
}

// A command runs only as the bytes its file line installs: the download in
// the temp directory, or else a copy of the installed program (a program
// already current is not downloaded), checked before it starts.
TEST_F(PrePostInstallTest, ProgramRunsOnlyWithTheDigestOfItsFileLine)
{
    const QByteArray good = "touch \"$(dirname \"$0\")/ran_good\"";
    const QByteArray bad = "touch \"$(dirname \"$0\")/ran_bad\"";
    QTemporaryDir install;
    struct Row
    {
        const char* name;
        bool hasLine;
        const QByteArray* inTemp;    // null: not downloaded
        const QByteArray* installed; // null: not installed
        const char* failure;         // null: runs the good program
    };
    const Row rows[] = {
        {"no file line", false, &good, &good, "no file line of the product ini installs it"},
        {"downloaded", true, &good, nullptr, nullptr},
        {"current in the installation", true, nullptr, &good, nullptr},
        {"stale copy in the temp directory", true, &bad, &good, nullptr},
        {"installed bytes of another version", true, nullptr, &bad,
         "its SHA-512 is not the one of its product ini line"},
        {"nowhere", true, nullptr, nullptr, "cannot copy it from"},
    };
    ASSERT_TRUE(QDir().mkpath(at("tools")) && QDir().mkpath(install.filePath("tools")));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const QString& d : {tmp.path(), install.path()}) {
            for (const char* f : {"tools/cmd.sh", "tools/ran_good", "tools/ran_bad"})
                QFile::remove(QDir(d).filePath(QLatin1String(f)));
        }
        if (row.inTemp) {
            ASSERT_TRUE(writeScript(at("tools/cmd.sh"), *row.inTemp, false));
        }
        if (row.installed) {
            ASSERT_TRUE(writeScript(install.filePath("tools/cmd.sh"), *row.installed));
        }
        PrePostInstallData entry{"tools/cmd.sh", {}, true};
        entry.installedPath = install.filePath("tools/cmd.sh");
        if (row.hasLine)
            entry.sha512 = sha512Hex(QByteArray("#!/bin/sh\n") + good + "\n");
        const QStringList texts = run(entry, row.failure ? TASK_FAILED : TASK_FINISHED, false);
        EXPECT_FALSE(QFileInfo::exists(at("tools/ran_bad")));
        EXPECT_FALSE(QFileInfo::exists(install.filePath("tools/ran_good")));
        if (row.failure) {
            EXPECT_TRUE(texts.value(1).startsWith(QString("Failed to start tools/cmd.sh: ") + row.failure))
                << texts.value(1).toStdString();
            EXPECT_FALSE(QFileInfo::exists(at("tools/ran_good")));
        } else {
            EXPECT_EQ(texts.value(1), "tools/cmd.sh completed sucessfully");
            EXPECT_TRUE(QFileInfo::exists(at("tools/ran_good")));
        }
    }
}

TEST_F(PrePostInstallTest, RebootRequestWithoutWindowIsConnectedToNothing)
{
    ASSERT_TRUE(writeScript(at("cmd.sh"), "exit 1010"));
    RebootWindow window;
    mainWindowInstance = nullptr;
    PrePostInstallData entry{"cmd.sh", {}, true};
    const QStringList texts = run(entry, TASK_FINISHED);
    EXPECT_EQ(texts.value(1), "cmd.sh completed sucessfully, reboot required");
    drainEvents();
    EXPECT_EQ(window.requests, 0);
}

// A half-run installer is worse than a late cancel: the running command is
// left to end by itself, and its task ends as the command did.
TEST_F(PrePostInstallTest, CancelWaitsForARunningCommandToItsEnd)
{
    ASSERT_TRUE(writeScript(at("slow.sh"),
                            "d=\"$(dirname \"$0\")\"; touch \"$d/started\"\n"
                            "while [ ! -e \"$d/go\" ]; do sleep 0.02; done\n"
                            "touch \"$d/completed\"; exit \"$(cat \"$d/go\")\""));
    const struct
    {
        const char* code;
        int state;
        const char* last;
    } rows[] = {{"0", TASK_FINISHED, "slow.sh completed sucessfully"},
                {"1", TASK_FAILED, "Failed to complete slow.sh, exit code: 1"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        for (const char* name : {"started", "go", "completed"})
            QFile::remove(at(name));
        PrePostInstallData entry = pinned({"slow.sh", {}, true});
        PrePostInstallTaskSpecification task(&entry, &config, nullptr, 1.0);
        QStringList texts;
        QObject::connect(&task, &TaskSpecification::message, &task, [&texts](const QString& m) { texts.append(m); });
        task.execute();
        ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(at("started")); }));

        task.cancel();
        EXPECT_FALSE(waitFor([&] { return task.state() != TASK_RUNNING; }, 1000));
        EXPECT_FALSE(QFileInfo::exists(at("completed")));
        QFile go(at("go"));
        ASSERT_TRUE(go.open(QIODevice::WriteOnly));
        go.write(row.code);
        go.close();
        ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
        EXPECT_EQ(task.state(), row.state);
        EXPECT_TRUE(QFileInfo::exists(at("completed")));
        EXPECT_EQ(texts, (QStringList{"Starting slow.sh", row.last}));
    }
}

// Neither dropping the task nor resetting it may leave the pool waiting on a
// command that never ends.
TEST_F(PrePostInstallTest, DestroyedOrResetTaskStopsItsCommand)
{
    ASSERT_TRUE(writeScript(at("hang.sh"), "touch \"$(dirname \"$0\")/started\"; exec sleep 600"));
    PrePostInstallData entry = pinned({"hang.sh", {}, true});
    for (bool destroy : {true, false}) {
        SCOPED_TRACE(destroy ? "destroyed" : "reset");
        QFile::remove(at("started"));
        auto task = std::make_unique<PrePostInstallTaskSpecification>(&entry, &config, nullptr, 1.0);
        task->execute();
        ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(at("started")); }));
        if (destroy) {
            task.reset();
            EXPECT_TRUE(QThreadPool::globalInstance()->waitForDone(20000));
        } else {
            task->reset();
            EXPECT_EQ(task->state(), TASK_IDLE);
            drainEvents();
            EXPECT_EQ(task->state(), TASK_IDLE);
        }
    }
}

TEST_F(PrePostInstallTest, CancelAfterTheCommandEndedChangesNothing)
{
    ASSERT_TRUE(writeScript(at("cmd.sh"), "exit 0"));
    PrePostInstallData entry = pinned({"cmd.sh", {}, true});
    PrePostInstallTaskSpecification task(&entry, &config, nullptr, 1.0);
    task.execute();
    ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
    task.cancel();
    drainEvents();
    EXPECT_EQ(task.state(), TASK_FINISHED);
}

} // namespace

#include "prepostinstalltaskspecification_test.moc"
