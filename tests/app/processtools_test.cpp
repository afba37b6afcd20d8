#include "processtools.h"

#include "support/qtmessages.h"
#include "support/testfiles.h"
#include "support/waitfor.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The started programs report their working directory and arguments, one a
// line, into "report" beside them; the rename makes the report appear whole.
const QByteArray kReporter = "{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > report.part\n"
                             "mv report.part report\n";

class ProcessToolsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = QDir(dir.path()).canonicalPath();
    }

    QByteArray waitForReport() const
    {
        QFile report(path + "/report");
        if (!waitFor([&] { return report.exists(); }))
            return "<no report>";
        report.open(QIODevice::ReadOnly);
        return report.readAll();
    }
    bool logged(const QString& text) const
    {
        for (const QString& line : QtMessageCapture::lines())
            if (line.contains(text))
                return true;
        return false;
    }

    QtMessageCapture capture;
    QTemporaryDir dir;
    QString path;
};

TEST_F(ProcessToolsTest, NewUpdaterStartsInItsDirectoryWithEveryArgumentIntact)
{
    ASSERT_TRUE(writeScript(path + "/update", kReporter));
    ProcessTools::startClientUpdater(path, {"--clientupdate", "client_linux_amd64", "1234", "3.0 beta *"});
    EXPECT_EQ(waitForReport(),
              (path + "\n[--clientupdate]\n[client_linux_amd64]\n[1234]\n[3.0 beta *]\n").toLocal8Bit());
    EXPECT_TRUE(logged("starting"));
}

TEST_F(ProcessToolsTest, ClientRunScriptStartsInInstallDirectoryWithoutArguments)
{
    ASSERT_TRUE(writeScript(path + "/qndclient_runscript.sh", kReporter));
    ProcessTools::startQndClient(path);
    EXPECT_EQ(waitForReport(), (path + "\n").toLocal8Bit());
}

// Whatever is missing or unusable, the call returns and nothing is run.
TEST_F(ProcessToolsTest, MissingOrUnusableProgramsStartNothing)
{
    ProcessTools::startClientUpdater(path, {"--clientupdate"});
    EXPECT_TRUE(logged("Failed to find"));

    ProcessTools::startQndClient(path);
    EXPECT_TRUE(logged("starting "));

    // Present but not executable, and a directory in the program's place.
    QFile plain(path + "/qndclient_runscript.sh");
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("#!/bin/sh\ntouch report\n");
    plain.close();
    ProcessTools::startQndClient(path);
    ASSERT_TRUE(QDir(path).mkdir("update"));
    ProcessTools::startClientUpdater(path, {});

    EXPECT_EQ(QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"qndclient_runscript.sh", "update"}));
    EXPECT_TRUE(logged("Failed to start"));
}

} // namespace
