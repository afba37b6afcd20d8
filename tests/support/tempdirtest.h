#ifndef QND_TESTS_TEMPDIRTEST_H
#define QND_TESTS_TEMPDIRTEST_H

#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// A test with a scratch directory of its own, removed with everything in it
// when the test ends; at() names a path inside it.
class TempDirTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }
    QString at(const QString& rel) const { return tmp.filePath(rel); }

    QTemporaryDir tmp;
};

#endif // QND_TESTS_TEMPDIRTEST_H
