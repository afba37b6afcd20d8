#include "unfinishedsession.h"

#include "globals.h"
#include "installlock.h"
#include "sessiontempdir.h"
#include "support/appinilock.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// With no session record, a start removes the temp directories that earlier
// runs of this installation noted and left (a killed one leaves its
// directory empty and unmarked) and the copy of a new updater a kill left in
// the installation; another installation's directory is not its to remove.
TEST(UnfinishedSessionTest, RecoveryRemovesWhatEarlierRunsOfThisInstallationLeft)
{
    CleanAppIni appIni(applicationDirPath());
    ASSERT_TRUE(appIni.isLocked());
    QTemporaryDir tmp, install, other;
    ASSERT_TRUE(tmp.isValid() && install.isValid() && other.isValid());
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));

    InstallLock lock;
    ASSERT_EQ(lock.acquire(install.path()), InstallLock::Held) << lock.errorString().toStdString();
    const QString left = tmp.filePath(QStringLiteral("quendrail_temp_11"));
    const QString unmarked = tmp.filePath(QStringLiteral("quendrail_temp_12"));
    const QString others = tmp.filePath(QStringLiteral("quendrail_temp_13"));
    for (const QString& dir : {left, unmarked, others}) {
        ASSERT_TRUE(SessionTempDir::note(lock, dir));
        ASSERT_TRUE(QDir().mkpath(dir));
    }
    ASSERT_TRUE(SessionTempDir::mark(left, install.path()));
    ASSERT_TRUE(writeAll(left + QStringLiteral("/a.gz"), "part"));
    ASSERT_TRUE(SessionTempDir::mark(others, other.path()));
    ASSERT_TRUE(writeAllMakingDirs(install.filePath(QStringLiteral(".qnd-updater/update")), "new updater"));

    EXPECT_FALSE(sessionRunsWithoutLock(lock));
    recoverUnfinishedSession(lock);
    EXPECT_FALSE(QFileInfo::exists(left));
    EXPECT_FALSE(QFileInfo::exists(unmarked));
    EXPECT_TRUE(QFileInfo::exists(others));
    EXPECT_TRUE(SessionTempDir::listed(lock).isEmpty()) << SessionTempDir::listed(lock).join(' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(install.filePath(QStringLiteral(".qnd-updater"))));
    lock.release();
    qputenv("TMPDIR", oldTmp);
}

} // namespace
