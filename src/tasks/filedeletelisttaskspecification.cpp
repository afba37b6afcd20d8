#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "downloadreplacelistdata.h"
#include "filedeletetaskspecification.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<DeleteFileData>* list, Configuration* config,
                                                                 QObject* parent, qreal weight, ReplaceJournal* journal)
    : ComposedTaskSpecification(1, parent, weight), m_List(list), m_Config(config), m_Journal(journal)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QString installDir = m_Config ? m_Config->m_InstallDir : QString();
    const QDir dir(installDir);
    const QString base = dir.canonicalPath();
    const QList<DeleteFileData> entries = m_List ? *m_List : QList<DeleteFileData>();
    const qreal weight = entries.isEmpty() ? 0 : 1.0 / entries.size();
    for (const DeleteFileData& entry : entries) {
        // Never delete outside the install directory, whatever the list says.
        if (installDir.isEmpty() || !isContainedRelativePath(entry.path)) {
            emit message(QStringLiteral("Refusing to delete %1 outside the install directory").arg(entry.path));
            continue;
        }
        const QString path = QFileInfo(dir, entry.path).filePath();
        // Nor through a linked directory inside it; the entry itself may be a
        // link, which the delete removes without following.
        const QString parent = QFileInfo(path).absoluteDir().canonicalPath();
        if (!parent.isEmpty() && parent != base && !parent.startsWith(base + QLatin1Char('/'))) {
            emit message(QStringLiteral("Refusing to delete %1 outside the install directory").arg(entry.path));
            continue;
        }
        auto* remove = new FileDeleteTaskSpecification(false, path, entry.recursive, this, weight);
        remove->setJournal(m_Journal);
        addSubTask(remove);
    }
    startSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    ComposedTaskSpecification::reset();
}
