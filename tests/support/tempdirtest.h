#ifndef QND_TESTS_TEMPDIRTEST_H
#define QND_TESTS_TEMPDIRTEST_H

#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

enum class FolderMode { NameOnly, Make };

// Points each path at its name inside the scratch directory dir, and with
// FolderMode::Make makes the folder (with its parents); false when dir is not
// usable or a folder cannot be made.
inline bool placeFolders(const QTemporaryDir& dir, FolderMode mode,
                         std::initializer_list<std::pair<QString*, const char*>> folders)
{
    if (!dir.isValid())
        return false;
    for (const auto& folder : folders) {
        *folder.first = dir.filePath(QLatin1String(folder.second));
        if (mode == FolderMode::Make && !QDir().mkpath(*folder.first))
            return false;
    }
    return true;
}

// Where a file step (a copy, a rename) reads and where it writes, for
// tables of its cases.
struct FileStepPaths
{
    QString source;
    QString destination;
};

// A test with a scratch directory of its own, removed with everything in it
// when the test ends; at() names a path inside it.
class TempDirTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }
    QString at(const QString& rel) const { return tmp.filePath(rel); }

    QTemporaryDir tmp;
};

// The same with a second directory, for the work files of fixture builders
// (a patch or packed file made from bytes), kept apart from what is tested.
class ScratchDirTest : public TempDirTest
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(TempDirTest::SetUp());
        ASSERT_TRUE(scratch.isValid());
    }

    QTemporaryDir scratch;
};

#endif // QND_TESTS_TEMPDIRTEST_H
