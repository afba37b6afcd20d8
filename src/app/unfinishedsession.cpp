#include "unfinishedsession.h"

#include "configuration.h"
#include "replacejournal.h"
#include "updateinidata.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

void recoverUnfinishedSession()
{
    const QString appDir = applicationDirPath();
    QStringList installDirs{appDir};
    // Read as it stands: the record's temp directory may be gone already.
    QSettings record(UpdateIniData::iniPath(), QSettings::IniFormat);
    const QString recorded = record.value(QStringLiteral("current/qnddir")).toString();
    if (!recorded.isEmpty() && QFileInfo(recorded).isAbsolute()
        && QFileInfo(recorded).canonicalFilePath() != QFileInfo(appDir).canonicalFilePath())
        installDirs.append(recorded);

    for (const QString& installDir : qAsConst(installDirs)) {
        QString tempDir;
        if (!ReplaceJournal::recover(installDir, &tempDir)) {
            qWarning() << "Could not undo the unfinished update in" << installDir;
            continue;
        }
        // Never the directory this updater runs from (a new updater started
        // from its session's temp directory).
        if (tempDir.isEmpty() || !UpdateIniData::isSessionTempDir(tempDir)
            || QFileInfo(tempDir).canonicalFilePath() == QFileInfo(appDir).canonicalFilePath())
            continue;
        qDebug() << "Removing the unfinished session's temp directory" << tempDir;
        QDir(tempDir).removeRecursively();
    }
}
