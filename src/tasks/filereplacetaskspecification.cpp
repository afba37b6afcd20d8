#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "globals.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace {

const QLatin1String backupMarker(".qnd-backup-");

QFileDevice::Permissions allPermissions()
{
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadUser
           | QFileDevice::WriteUser | QFileDevice::ExeUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup
           | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
}

}  // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceFileData& entry,
                                                           RollbackDataList* parentRollback,
                                                           Configuration* configuration, QObject* parent,
                                                           qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Entry(entry), m_ParentRollback(parentRollback),
      m_Configuration(configuration)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(m_Entry.name));
    makeSubtasksAndStart();
}

bool FileReplaceTaskSpecification::isBackupName(const QString& fileName)
{
    return fileName.startsWith(QLatin1Char('.')) && fileName.contains(backupMarker);
}

bool FileReplaceTaskSpecification::moveInstalledAside(const QString& installed)
{
    const QFileInfo info(installed);
    if (!info.exists() && !info.isSymLink())
        return true;
    // A directory in the way is not something an update may replace by a file.
    if (info.isDir() && !info.isSymLink())
        return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString backup = info.dir().filePath(
            QStringLiteral(".%1%2%3")
                .arg(info.fileName(), backupMarker)
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        if (QFileInfo::exists(backup) || QFileInfo(backup).isSymLink())
            continue;
        // QFile::rename never replaces an existing file, so no backup is lost.
        if (!QFile::rename(installed, backup))
            return false;
        m_Rollback.append(RollbackData(FILE_RENAME, installed, backup));
        m_Backup = backup;
        return true;
    }
    return false;
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString temp = m_Configuration ? m_Configuration->m_TempDir : QString();
    const QString install = m_Configuration ? m_Configuration->m_InstallDir : QString();
    const QString target = m_Entry.targetPath(QString());
    const QString downloaded = QFileInfo(QDir(temp), m_Entry.name).filePath();
    m_Installed = QFileInfo(QDir(install), target).filePath();
    const QString& installed = m_Installed;

    qDebug() << "FileReplaceTaskSpecification: spec:" << m_Entry.name << " src:" << downloaded
             << " dstFile:" << installed << " hasPatch:" << (m_Entry.hasPatch() ? "true" : "false")
             << " patchFile:" << m_Entry.patchFile;

    QString failText;
    TaskSpecification* writer = nullptr;
    if (!m_Entry.hasTargetName()) {
        failText = QStringLiteral("Could not copy '%1' to '%2'").arg(downloaded, installed);
        if (moveInstalledAside(installed))
            writer = new FileCopyTaskSpecification(&m_Rollback, downloaded, installed, this, 1.0);
    } else if (m_Entry.hasPatch()) {
        const QString savedOld = QDir(temp).filePath(target + QLatin1String("_old"));
        const QString patchPath = QDir(temp).filePath(m_Entry.patchFile);
        qDebug() << "HAS PATCH" << m_Entry.patchFile;
        qDebug() << "Remove" << savedOld << QFile::remove(savedOld);
        const QString oldDir = QFileInfo(savedOld).absolutePath();
        const bool oldDirExists = QDir(oldDir).exists();
        qDebug() << "tempOldAbsPath" << oldDir << oldDirExists;
        if (!oldDirExists)
            qDebug() << "Created" << oldDir << QDir().mkpath(oldDir);
        qDebug() << "Copy" << installed << "->" << savedOld << QFile::copy(installed, savedOld);
        emit message(QStringLiteral("Patching %1").arg(target));
        failText = QStringLiteral("Could not patch '%1' to '%2'").arg(savedOld, installed);
        if (moveInstalledAside(installed))
            writer = new FileTaskSpecification_patch(&m_Rollback, savedOld, patchPath, installed, this, 0.8);
    } else if (QFileInfo(downloaded).suffix() == QLatin1String("_lzma2_")) {
        failText = QStringLiteral("Could not unpack '%1' to '%2'").arg(downloaded, installed);
        if (moveInstalledAside(installed))
            writer = new FileUnpackTaskSpecification_lzma2(&m_Rollback, downloaded, installed, this, 0.8);
    } else {
        failText = QStringLiteral("Could not unzip '%1' to '%2'").arg(downloaded, installed);
        if (moveInstalledAside(installed))
            writer = new FileUnpackTaskSpecification_zip(&m_Rollback, downloaded, installed, this, 0.8);
    }

    if (!writer) {
        // The installed file is still in place and untouched.
        setState(TASK_RUNNING);
        emit message(failText);
        setFailed();
        return;
    }
    addSubTask(writer);
    if (m_Entry.hasTargetName())
        addSubTask(new CheckSignatureTaskSpecification(installed, m_Entry.installedHash, true, this, 0.2));

    setState(TASK_RUNNING);
    startSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (subtasksResult() == TASK_FINISHED) {
        // The new file keeps the mode of the one it replaces, as it would had it
        // been written over it in place.
        if (!m_Backup.isEmpty() && QFileInfo::exists(m_Backup))
            QFile::setPermissions(m_Installed, QFile::permissions(m_Backup));
        if (m_ParentRollback)
            m_ParentRollback->appendList(m_Rollback);
        // The file just written, wherever the updater itself runs from.
        makeSingleFileExecutable(m_Installed);
    } else {
        m_Rollback.rollback(this);
        m_Backup.clear();
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    m_Rollback.rollback(this);
    m_Backup.clear();
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    const QFileInfo info(path);
    qDebug() << "Executable check" << path << info.fileName() << info.completeSuffix();
    if (executableFileNames.contains(info.fileName(), Qt::CaseSensitive)
        || executableSuffixes.contains(info.completeSuffix(), Qt::CaseSensitive)) {
        QFile(path).setPermissions(allPermissions());
        qDebug() << "Set executable flag on" << path;
    }
}
