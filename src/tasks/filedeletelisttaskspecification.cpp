#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "downloadreplacelistdata.h"
#include "filedeletetaskspecification.h"
#include "relativepath.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

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
    QList<DeleteFileData> entries = m_List ? *m_List : QList<DeleteFileData>();
    // Deepest first: whatever lies inside a folder is named by a longer path.
    std::stable_sort(entries.begin(), entries.end(), [](const DeleteFileData& a, const DeleteFileData& b) {
        return QDir::cleanPath(a.path).count(QLatin1Char('/')) > QDir::cleanPath(b.path).count(QLatin1Char('/'));
    });
    QSet<QString> kept;
    for (const QString& file : m_TreeFiles ? *m_TreeFiles : QStringList()) {
        for (QString p = QDir::cleanPath(file); !p.isEmpty(); p = p.left(qMax(0, p.lastIndexOf(QLatin1Char('/')))))
            kept.insert(p);
    }
    const qreal weight = entries.isEmpty() ? 0 : 1.0 / entries.size();
    for (const DeleteFileData& entry : qAsConst(entries)) {
        // A file that becomes a folder (or the reverse) was moved aside by
        // the replacement; what stands there now is the new tree's.
        if (kept.contains(QDir::cleanPath(entry.path))) {
            qDebug() << "Kept" << entry.path << "which the new tree holds";
            continue;
        }
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
