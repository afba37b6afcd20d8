#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "durablefile.h"
#include "filemode.h"
#include "filecopytaskspecification.h"
#include "filetaskspecification_patch.h"
#include "globals.h"
#include "installpath.h"
#include "replacejournal.h"
#include "unpacktask.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceFileData& entry,
                                                           RollbackDataList* parentRollback,
                                                           Configuration* configuration, QObject* parent, qreal weight,
                                                           ReplaceJournal* journal)
    : ComposedTaskSpecification(1, parent, weight), m_Entry(entry), m_ParentRollback(parentRollback),
      m_Configuration(configuration), m_Journal(journal)
{
}

FileReplaceTaskSpecification::~FileReplaceTaskSpecification() = default;

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(m_Entry.name));
    makeSubtasksAndStart();
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
             << " dstFile:" << installed << " hasPatch:" << m_Entry.hasPatch() << " patchFile:" << m_Entry.patchFile;

    const QString savedBase = m_Entry.savedBasePath(temp);
    SlowFileOpSpecification* writer = nullptr;
    const qreal weight = m_Entry.hasTargetName() ? 0.8 : 1.0;
    if (m_Entry.keepsBytes || !m_Entry.hasTargetName()) {
        auto* copy = new FileCopyTaskSpecification(&m_Rollback, m_Entry.keepsBytes ? savedBase : downloaded, installed,
                                                   this, weight);
        copy->setExpectedHash(m_Entry.expectedHash());
        writer = copy;
    } else if (m_Entry.hasPatch()) {
        const QString patchPath = QDir(temp).filePath(m_Entry.patchFile);
        emit message(QStringLiteral("Patching %1").arg(target));
        writer = new FileTaskSpecification_patch(&m_Rollback, savedBase, patchPath, installed, this, weight);
    } else {
        writer = newUnpackTask(&m_Rollback, downloaded, installed, m_Entry.installedSize, this, weight);
    }

    QString refusal;
    if (!staysInsideInstallDir(install, installed)) {
        refusal = outsideInstallDirText(installed);
    } else {
        // A directory in the way is not something an update may replace by a file.
        const QFileInfo info(installed);
        if (info.isDir() && !info.isSymLink())
            refusal = writer->errorText();
        // The entry takes its base now unless its list took it before its
        // first change (for a name reached through a link).
        else if (m_Entry.readsInstalledBytes() && !m_BaseCopied)
            copyInstalledBase(install, installed, savedBase, m_Entry.baseSize, &refusal);
    }
    if (refusal.isEmpty() && !m_Journal) {
        m_OwnJournal.reset(new ReplaceJournal(install, temp));
        m_Journal = m_OwnJournal.get();
    }
    QStringList lines;
    if (!refusal.isEmpty()) {
        lines << refusal;
    } else if (!m_Journal->begin(&refusal)) {
        // Why the journal cannot begin is the cause; the entry's text follows.
        if (!refusal.isEmpty())
            lines << refusal;
        lines << writer->errorText();
    }
    if (!lines.isEmpty()) {
        delete writer;
        setState(TASK_RUNNING);
        for (const QString& line : qAsConst(lines))
            emit message(line);
        setFailed(lines.first());
        return;
    }

    // The part is written and checked through the open folder, so what is
    // checked is what is put in place.
    m_Part = m_Journal->newStagePath();
    writer->setPartPath(m_Journal->boundPath(m_Part));
    addSubTask(writer);
    if (m_Entry.hasTargetName()) {
        auto* check =
            new CheckSignatureTaskSpecification(m_Journal->boundPath(m_Part), m_Entry.installedHash, true, this, 0.2);
        check->setReportedPath(installed);
        addSubTask(check);
    }
    setState(TASK_RUNNING);
    startSubTasks();
}

bool FileReplaceTaskSpecification::keepAside(const InstallLocation& at, const QString& backup, QString* error)
{
    const QByteArray name = QFile::encodeName(QFileInfo(backup).fileName());
    const int folder = m_Journal->folderFd();
    if (::linkat(at.dir.get(), at.leaf.constData(), folder, name.constData(), 0) == 0)
        return true;
    // A link is kept as a link (a copy would read what it leads to, and put
    // a file back in its place).
    char text[4096];
    const ssize_t n = ::readlinkat(at.dir.get(), at.leaf.constData(), text, sizeof text - 1);
    if (n >= 0) {
        text[n] = '\0';
        const bool whole = n < ssize_t(sizeof text - 1);
        if (whole && ::symlinkat(text, folder, name.constData()) == 0)
            return true;
        *error = QStringLiteral("Could not write '%1': %2").arg(backup, errnoText(whole ? errno : ENAMETOOLONG));
        return false;
    }
    // No hard links here (or too many): a flushed copy, which gets its name
    // only once complete, does as well.
    const QString copy = QFileInfo(m_Journal->newStagePath()).fileName();
    QString reason;
    if (copyFileDurably(pathThroughFd(at.dir.get(), QFile::decodeName(at.leaf)), pathThroughFd(folder, copy), &reason)
        && ::renameat(folder, QFile::encodeName(copy).constData(), folder, name.constData()) == 0)
        return true;
    if (reason.isEmpty())
        reason = errnoText(errno);
    ::unlinkat(folder, QFile::encodeName(copy).constData(), 0);
    *error = QStringLiteral("Could not write '%1': %2").arg(backup, reason);
    return false;
}

bool FileReplaceTaskSpecification::putInPlace(QString* error)
{
    const QString install = m_Configuration ? m_Configuration->m_InstallDir : QString();
    // Everything below goes through the directory opened here: a directory
    // swapped for a link after this cannot send the file elsewhere.
    InstallLocation at;
    if (!openInstallLocation(install, m_Installed, &at)) {
        *error = errno == ELOOP ? outsideInstallDirText(m_Installed)
                                : QStringLiteral("Could not write '%1': %2").arg(m_Installed, errnoText(errno));
        return false;
    }
    struct stat st;
    const bool existed = ::fstatat(at.dir.get(), at.leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const int mode = installedMode(existed && S_ISREG(st.st_mode) ? int(st.st_mode & 07777) : -1);

    QString backup;
    if (existed) {
        backup = m_Journal->newStagePath();
        if (!m_Journal->note(RollbackData(FILE_RESTORE, m_Installed, backup), error) || !keepAside(at, backup, error))
            return false;
    } else if (!m_Journal->note(RollbackData(FILE_CREATE, m_Installed), error)) {
        return false;
    }
    const int folder = m_Journal->folderFd();
    const QByteArray part = QFile::encodeName(QFileInfo(m_Part).fileName());
    const UniqueFd written(::openat(folder, part.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    // The backup must be on the disk before the file it keeps is replaced.
    if ((existed && ::fsync(folder) != 0) || !written.isValid()
        || (mode >= 0 && !setOpenFileMode(written.get(), mode_t(mode)))
        || ::renameat(folder, part.constData(), at.dir.get(), at.leaf.constData()) != 0) {
        *error = QStringLiteral("Could not write '%1': %2").arg(m_Installed, writeFailureReason(m_Installed, errno));
        if (existed)
            ::unlinkat(folder, QFile::encodeName(QFileInfo(backup).fileName()).constData(), 0);
        return false;
    }
    // The part is gone; what undoes this entry now is putting the old file
    // back, or removing the new one.
    m_Rollback = RollbackDataList();
    m_Rollback.append(
        (existed ? RollbackData(FILE_RESTORE, m_Installed, backup) : RollbackData(FILE_CREATE, m_Installed))
            .inside(install));
    if (::fsync(at.dir.get()) != 0) {
        *error = QStringLiteral("Could not write '%1': %2").arg(m_Installed, writeFailureReason(m_Installed, errno));
        return false;
    }
    return true;
}

int FileReplaceTaskSpecification::installedMode(int oldMode) const
{
    if (m_Entry.executeBits >= 0)
        return int(treeFileMode(oldMode, m_Entry.executeBits, processUmask()));
    // Without the tree's bits: a new file keeps the mode the umask gave its
    // part, a replaced one the old file's, and listed names become programs.
    return isExecutableName(m_Installed) ? int(kExecutableMode) : oldMode;
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (subtasksResult() == TASK_FINISHED) {
        QString error;
        if (putInPlace(&error)) {
            if (m_ParentRollback)
                m_ParentRollback->appendList(m_Rollback);
            if (m_OwnJournal)
                m_OwnJournal->finish(&error);
            ComposedTaskSpecification::subtasksDone();
            return;
        }
        emit message(error);
        m_Rollback.rollback(this);
        if (m_OwnJournal)
            m_OwnJournal->discard();
        setFailed(error);
        return;
    }
    m_Rollback.rollback(this);
    if (m_OwnJournal)
        m_OwnJournal->discard();
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    m_Rollback.rollback(this);
    if (m_OwnJournal)
        m_OwnJournal->discard();
    TaskSpecification::reset();
}

bool FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path, QString* error)
{
    const QFileInfo info(path);
    return !isExecutableName(path) || applyFileModeBelow(info.path(), path, exactMode(kExecutableMode), nullptr, error);
}
