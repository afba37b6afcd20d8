#include "unfinishedsession.h"

#include "configuration.h"
#include "globals.h"
#include "installlock.h"
#include "newupdaterfolder.h"
#include "replacejournal.h"
#include "sessiontempdir.h"
#include "updateinidata.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace {

// The temp directories noted in the lock that no kept session needs: the
// record's (continued or cleaned up by the engine) and the one this updater
// runs from stay; another installation's (the name was reused after ours
// went) is left to it.
void removeLeftTempDirs(InstallLock& lock, const QString& appDir)
{
    QString recorded;
    UpdateIniData::recordedDirs(applicationDirPath(), &recorded, nullptr);
    SessionTempDir::removeLeftBehind(lock, {appDir, recorded});
    // The copy a self-update's second step ran from, left by a kill.
    if (!InstallLock::sameDirectory(NewUpdaterFolder::copyIn(lock.installDir()), appDir))
        NewUpdaterFolder::removeCopy(lock.installDir());
}

} // namespace

bool sessionRunsWithoutLock(const InstallLock& lock)
{
    int version = 0;
    QString dir;
    // The second step of a self-update shares its directory with the first,
    // which is handing over.
    return UpdateIniData::get(&version, nullptr, &dir, nullptr)
        && !InstallLock::sameDirectory(dir, applicationDirPath())
        && InstallLock::sameDirectory(SessionTempDir::installationOf(dir), lock.installDir())
        && SessionTempDir::inUse(dir);
}

void recoverUnfinishedSession(InstallLock& lock)
{
    const QString appDir = applicationDirPath();
    const QString installDir = lock.installDir();
    QString tempDir;
    if (!ReplaceJournal::recover(installDir, &tempDir)) {
        qWarning() << "Could not undo the unfinished update in" << installDir;
    } else if (!tempDir.isEmpty()
               && SessionTempDir::isSessionTempDir(tempDir)
               // Never the directory this updater runs from (a new updater
               // started from its session's temp directory).
               && !InstallLock::sameDirectory(tempDir, appDir)
               // The name may have gone and been taken again by another
               // installation's live session.
               && SessionTempDir::mayRemove(lock, tempDir)) {
        qDebug() << "Removing the unfinished session's temp directory" << tempDir;
        SessionTempDir::remove(&lock, tempDir);
    }
    removeLeftTempDirs(lock, appDir);
}
