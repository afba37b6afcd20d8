#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"
#include "downloadreplacelistdata.h"
#include "relativepath.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QPair>
#include <QSet>

namespace {

// The entries in list order, those of one digest and size together in the
// group of the first of them; an entry without a digest stands alone.
QList<QList<DownloadFileData>> groupBySameContent(const QList<DownloadFileData>& entries)
{
    QList<QList<DownloadFileData>> groups;
    QHash<QPair<QString, quint64>, int> groupOf;
    for (const DownloadFileData& entry : entries) {
        // An entry without a digest is trusted through its own signature
        // file, which a copy of another download would not match.
        if (!entry.hash.isEmpty()) {
            const QPair<QString, quint64> content(entry.hash.toLower(), entry.size);
            const auto it = groupOf.constFind(content);
            if (it != groupOf.constEnd()) {
                groups[it.value()].append(entry);
                continue;
            }
            groupOf.insert(content, groups.size());
        }
        groups.append({entry});
    }
    return groups;
}

} // namespace

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<DownloadFileData>* list,
                                                                     QNetworkAccessManager* manager,
                                                                     Configuration* config, QObject* parent,
                                                                     qreal weight)
    : ComposedTaskSpecification(config ? config->m_Streams : 1, parent, weight), m_List(list), m_Manager(manager),
      m_Config(config)
{
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (!m_List || m_List->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        setFinished();
        return;
    }
    if (!createTargetDirs())
        return;
    emit message(QStringLiteral("Downloading files"));
    const QList<QList<DownloadFileData>> groups = groupBySameContent(*m_List);
    const qreal weight = 1.0 / m_List->size();
    for (const QList<DownloadFileData>& group : groups) {
        const DownloadFileData& first = group.first();
        auto* sub = new DownloadFileTaskSpecification(first, m_Manager, m_Config, this, weight * group.size());
        for (int i = 1; i < group.size(); ++i)
            sub->addCopy(group.at(i));
        addSubTask(sub);
        // Saturates: the sum is only a progress figure.
        m_TotalSize = first.size > ~quint64(0) - m_TotalSize ? ~quint64(0) : m_TotalSize + first.size;
    }
    startSubTasks();
}

bool DownloadFileListTaskSpecification::createTargetDirs()
{
    const QString tempDir = m_Config ? m_Config->m_TempDir : QString();
    QSet<QString> made;
    made.insert(QStringLiteral("."));
    QSet<QString> files;
    QDir dir(tempDir);
    for (const DownloadFileData& entry : qAsConst(*m_List)) {
        // Every local file lies under the temp directory; a name that would
        // leave it (or an unset temp directory) is refused before any write.
        if (tempDir.isEmpty() || !isContainedRelativePath(entry.name)) {
            failWith(QStringLiteral("Refusing to download %1 outside the temp directory").arg(entry.name));
            return false;
        }
        // The local name drops the section, so two sections may name one
        // local file; two parallel downloads into it would mix their bytes.
        const QString local = QDir::cleanPath(entry.name);
        if (files.contains(local)) {
            failWith(QStringLiteral("Two downloads share the local file %1").arg(entry.name));
            return false;
        }
        files.insert(local);
        const QString rel = QFileInfo(entry.name).path();
        if (made.contains(rel))
            continue;
        if (!dir.mkpath(rel)) {
            const QString canonical = dir.canonicalPath();
            failWith(QStringLiteral("Could not create dir %1")
                         .arg((canonical.isEmpty() ? tempDir : canonical) + QLatin1Char('/') + rel));
            return false;
        }
        made.insert(rel);
    }
    return true;
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    m_TotalSize = 0;
    ComposedTaskSpecification::reset();
}

void DownloadFileListTaskSpecification::getDownloadProgress(qulonglong& downloadDone, qulonglong& downloadTotal,
                                                            qulonglong& speed, bool& downloading)
{
    ComposedTaskSpecification::getDownloadProgress(downloadDone, downloadTotal, speed, downloading);
    downloadTotal = m_TotalSize;
}
