#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "durablefile.h"
#include "filemode.h"
#include "filereplacetaskspecification.h"
#include "filetaskspecification_patch.h"
#include "installpath.h"
#include "replacejournal.h"
#include "treeconflicts.h"
#include "relativepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Whether the installed name is a link, or lies in a folder reached through
// one.
bool reachedThroughLink(const QDir& install, const QString& name)
{
    const QFileInfo info(install.filePath(name));
    if (info.isSymLink())
        return true;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return !folder.isEmpty()
        && folder != QDir::cleanPath(QDir(install.canonicalPath()).filePath(QFileInfo(name).path()));
}

} // namespace

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(const QList<ReplaceFileData>* replacements,
                                                                   Configuration* configuration, QObject* parent,
                                                                   qreal weight, ReplaceJournal* journal)
    : ComposedTaskSpecification(2, parent, weight), m_Replacements(replacements), m_Configuration(configuration),
      m_Journal(journal)
{
    if (!m_Journal) {
        m_OwnJournal.reset(new ReplaceJournal(configuration ? configuration->m_InstallDir : QString(),
                                              configuration ? configuration->m_TempDir : QString()));
        m_Journal = m_OwnJournal.get();
    }
}

FileReplaceListTaskSpecification::~FileReplaceListTaskSpecification() = default;

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    // Refused before anything is written, so no part of the list lands.
    const QString outside = firstOutsideTarget();
    if (!outside.isEmpty()) {
        setState(TASK_RUNNING);
        failWith(outsideInstallDirText(outside));
        return;
    }
    QString error;
    if (!copyInstalledBases(&error)) {
        setState(TASK_RUNNING);
        failWith(error);
        return;
    }
    if (!prepareTree(&error)) {
        setState(TASK_RUNNING);
        emit message(error);
        if (m_Rollback.rollback(this))
            m_Journal->discard();
        setFailed(error);
        return;
    }
    makeSubtasksAndStart();
}

bool FileReplaceListTaskSpecification::copyInstalledBases(QString* error)
{
    m_BasesCopied.clear();
    if (!m_Replacements || !m_Configuration)
        return true;
    // A name reached through a link reads another name's file, which that
    // name's entry may replace first: its base is taken before any entry
    // runs, so it holds the bytes the reader checked. Every other entry
    // takes its own when it starts, as only it changes its file.
    const QDir install(m_Configuration->m_InstallDir);
    for (const ReplaceFileData& entry : *m_Replacements) {
        const QString name = entry.targetPath(QString());
        if (!entry.readsInstalledBytes() || !reachedThroughLink(install, name))
            continue;
        if (!copyInstalledBase(install.path(), install.filePath(name), entry.savedBasePath(m_Configuration->m_TempDir),
                               entry.baseSize, error))
            return false;
        m_BasesCopied.insert(name);
    }
    return true;
}

bool FileReplaceListTaskSpecification::prepareTree(QString* error)
{
    const QString install = m_Configuration ? m_Configuration->m_InstallDir : QString();
    QStringList targets;
    if (m_Replacements && m_Deletions) {
        for (const ReplaceFileData& entry : *m_Replacements)
            targets << entry.targetName();
    }
    const QList<TreeConflict> conflicts =
        findTreeConflicts(install, targets, m_Deletions ? *m_Deletions : QList<DeleteFileData>());
    // All are looked at before the first is moved: a user's file stops the
    // list with nothing changed.
    for (const TreeConflict& conflict : conflicts) {
        if (!conflict.kept.isEmpty()) {
            *error = keptEntryText(install, conflict);
            return false;
        }
    }
    for (const TreeConflict& conflict : conflicts) {
        if (!moveAside(QDir(install).filePath(conflict.path), error))
            return false;
    }
    if (!m_ModeChanges)
        return true;
    const mode_t umask = processUmask();
    for (const ModeChangeData& change : *m_ModeChanges) {
        const QString path = QDir(install).filePath(change.path);
        if (!isContainedRelativePath(change.path)) {
            *error = outsideInstallDirText(path);
            return false;
        }
        // Noted before it is made, so that a crash right after it is undone.
        int old = -1;
        const auto note = [&](mode_t current, QString* why) {
            old = int(current);
            return m_Journal->note(RollbackData::modeChange(path, old).inside(install), why);
        };
        const auto wanted = [&](mode_t current) { return treeFileMode(int(current), change.executeBits, umask); };
        if (!applyFileModeBelow(install, path, wanted, note, error))
            return false;
        if (old >= 0)
            m_Rollback.append(RollbackData::modeChange(path, old).inside(install));
    }
    return true;
}

bool FileReplaceListTaskSpecification::moveAside(const QString& path, QString* error)
{
    QString stage;
    const bool moved = m_Journal->moveAside(path, error, &stage);
    if (!stage.isEmpty())
        m_Rollback.append(RollbackData(FILE_RESTORE, path, stage).inside(m_Journal->installDir()));
    if (!moved) {
        *error = QStringLiteral("Could not move '%1' out of the way: %2").arg(path, *error);
        return false;
    }
    emit message(QStringLiteral("Moved '%1' out of the way").arg(path));
    return true;
}

QString FileReplaceListTaskSpecification::firstOutsideTarget() const
{
    if (!m_Replacements)
        return QString();
    const QDir install(m_Configuration ? m_Configuration->m_InstallDir : QString());
    for (const ReplaceFileData& entry : *m_Replacements) {
        const QString path = QFileInfo(install, entry.targetPath(QString())).filePath();
        if (!staysInsideInstallDir(install.path(), path))
            return path;
    }
    return QString();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    const int n = makeDirSubtasks();
    makeReplaceSubtasks(n > 0);
    setState(TASK_RUNNING);
    startSubTasks();
}

int FileReplaceListTaskSpecification::makeDirSubtasks()
{
    if (!m_Replacements)
        return 0;
    const QDir install(m_Configuration ? m_Configuration->m_InstallDir : QString());
    QSet<QString> seen;
    QStringList missing;
    for (const ReplaceFileData& entry : *m_Replacements) {
        const QFileInfo info(install, entry.targetPath(QString()));
        const QString dir = info.path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!info.dir().exists())
            missing.append(dir);
    }
    // A parent sorts before its children, so it is created (and recorded) first.
    missing.sort(Qt::CaseSensitive);
    const int count = missing.size();
    for (const QString& dir : qAsConst(missing)) {
        auto* create = new DirCreateTaskSpecification(dir, &m_Rollback, this, 0.1 / count);
        create->setJournal(m_Journal);
        addSubTask(create);
    }
    return count;
}

void FileReplaceListTaskSpecification::makeReplaceSubtasks(bool withDirs)
{
    if (!m_Replacements || m_Replacements->isEmpty())
        return;
    const qreal weight = (withDirs ? 0.9 : 1.0) / m_Replacements->size();
    for (const ReplaceFileData& entry : *m_Replacements) {
        auto* replace = new FileReplaceTaskSpecification(entry, &m_Rollback, m_Configuration, this, weight, m_Journal);
        if (m_BasesCopied.contains(entry.targetPath(QString())))
            replace->setBaseCopied();
        addSubTask(replace);
    }
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (subtasksResult() != TASK_FINISHED) {
        emit message(QStringLiteral("rolling back file updates"));
        // What could not be undone now stays noted for the next start.
        if (m_Rollback.rollback(this))
            m_Journal->discard();
    } else if (m_OwnJournal) {
        // Every entry is in place: the old files kept aside go.
        QString error;
        if (!m_OwnJournal->finish(&error))
            emit message(error);
        m_Rollback = RollbackDataList();
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    if (m_Rollback.rollback(this))
        m_Journal->discard();
    TaskSpecification::reset();
}
