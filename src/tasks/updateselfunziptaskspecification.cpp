#include "updateselfunziptaskspecification.h"

#include "configuration.h"
#include "filemode.h"
#include "filereplacetaskspecification.h"
#include "filetaskspecification_patch.h"
#include "unpacktask.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sys/stat.h>

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(const QList<ReplaceFileData>* replacements,
                                                                   Configuration* configuration, QObject* parent,
                                                                   qreal weight, TempIniWriter writeTempIni)
    : ComposedTaskSpecification(2, parent, weight), m_Replacements(replacements), m_Configuration(configuration),
      m_WriteTempIni(writeTempIni),
      m_TranslationsSource(QCoreApplication::applicationDirPath() + QLatin1String("/translations"))
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    const QString temp = m_Configuration ? m_Configuration->m_TempDir : QString();
    const QString install = m_Configuration ? m_Configuration->m_InstallDir : QString();
    const QDir tempDir(temp);

    int count = 0;
    if (m_Replacements) {
        for (const ReplaceFileData& entry : *m_Replacements)
            count += entry.hasTargetName() ? 1 : 0;
    }
    // Each subtask's share of the task, so that progress never passes the
    // task's own weight.
    const qreal weight = count > 0 ? 1.0 / count : 1.0;

    if (m_Replacements) {
        for (const ReplaceFileData& entry : *m_Replacements) {
            // A whole-file download already lies where the new updater needs it.
            if (!entry.hasTargetName())
                continue;
            const QString target = entry.targetPath(QString());
            qDebug() << "Extracting updater file" << entry.name << target << entry.hasPatch();
            const QString newFile = QFileInfo(tempDir, target).filePath();
            const QString newDir = QFileInfo(newFile).absolutePath();
            if (!QDir(newDir).exists())
                QDir().mkpath(newDir);
            if (entry.hasPatch()) {
                const QString savedOld = tempDir.filePath(target + QLatin1String("_old"));
                // Read as the client's own bases are: nothing outside the
                // installation, and no more than the listed size.
                QString error;
                if (!copyInstalledBase(install, QFileInfo(QDir(install), target).filePath(), savedOld, entry.baseSize,
                                       &error)) {
                    setState(TASK_RUNNING);
                    failWith(error);
                    return;
                }
                emit message(QStringLiteral("Patching %1").arg(target));
                addSubTask(new FileTaskSpecification_patch(nullptr, savedOld, tempDir.filePath(entry.patchFile),
                                                           newFile, this, weight));
            } else {
                addSubTask(newUnpackTask(nullptr, QFileInfo(tempDir, entry.name).filePath(), newFile,
                                         entry.installedSize, this, weight));
            }
        }
    }
    setState(TASK_RUNNING);
    startSubTasks();
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    const QString temp = m_Configuration ? m_Configuration->m_TempDir : QString();

    // A new updater that cannot get its execute bits cannot be run: the
    // self-update fails here, as a client update does.
    QString modeError;
    const QString program = temp + QLatin1String("/update");
    const bool modesSet = m_ExecuteBitsListed && *m_ExecuteBitsListed
        ? followExecuteBits(&modeError)
        : !QFileInfo::exists(program) || FileReplaceTaskSpecification::makeSingleFileExecutable(program, &modeError);
    if (!modesSet) {
        failWith(modeError);
        return;
    }

    if (!m_WriteTempIni || !m_WriteTempIni(temp)) {
        qDebug() << "Failed to write temp update.ini";
        const QString text = QStringLiteral("Failed to write temp update.ini. The updater does not seem to have the "
                                            "required write permissions.");
        emit error(text);
        setFailed(text);
        return;
    }

    const QDir source(m_TranslationsSource);
    const QStringList files = source.entryList(QStringList{QStringLiteral("update_*.qm")}, QDir::Files, QDir::Unsorted);
    const QString destination = temp + QLatin1String("/translations");
    if (!QDir(destination).exists())
        QDir().mkdir(destination);
    for (const QString& name : files) {
        const QString from = m_TranslationsSource + QLatin1Char('/') + name;
        const QString to = destination + QLatin1Char('/') + name;
        qDebug() << "Copying qm file" << from << to;
        if (!QFileInfo::exists(to))
            QFile::copy(from, to);
    }

    ComposedTaskSpecification::subtasksDone();
}

bool UpdateSelfUnzipTaskSpecification::followExecuteBits(QString* error)
{
    if (!m_Replacements)
        return true;
    const QString temp = m_Configuration ? m_Configuration->m_TempDir : QString();
    const QString install = m_Configuration ? m_Configuration->m_InstallDir : QString();
    // Unchanged files got theirs when they were carried over.
    for (const ReplaceFileData& entry : *m_Replacements) {
        if (entry.executeBits < 0)
            continue;
        const QString target = entry.targetPath(QString());
        struct stat st;
        const bool replaces =
            ::lstat(QFile::encodeName(QDir(install).filePath(target)).constData(), &st) == 0 && S_ISREG(st.st_mode);
        if (!applyFileModeBelow(temp, QDir(temp).filePath(target),
                                treeBits(replaces ? int(st.st_mode & 07777) : -1, entry.executeBits), nullptr, error))
            return false;
    }
    return true;
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
