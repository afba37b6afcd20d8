#ifndef QND_TESTS_DEMOCLIENT_H
#define QND_TESTS_DEMOCLIENT_H

#include "support/childprocess.h"
#include "support/tempdirtest.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Writes version `version` of the small demo client (a run script, a program
// and data files) into dir, with the script the demo uses.
inline bool makeDemoClient(const QString& dir, int version)
{
    return runToSuccess(
        QStringLiteral("bash"),
        {QStringLiteral(QND_SOURCE_DIR "/tests/tools/make_demo_client.sh"), dir, QString::number(version)});
}

// A test with versions 1 and 2 of the demo client in v1 and v2 of a scratch
// directory, and the path of a repository to publish them into.
class DemoVersionsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(placeFolders(dir, FolderMode::NameOnly, {{&v1, "v1"}, {&v2, "v2"}, {&repo, "repo"}}));
        ASSERT_TRUE(makeDemoClient(v1, 1));
        ASSERT_TRUE(makeDemoClient(v2, 2));
    }

    QTemporaryDir dir;
    QString v1, v2, repo;
};

#endif // QND_TESTS_DEMOCLIENT_H
