#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "filecopytaskspecification.h"

#include <QFile>

#include <limits>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadFileData& entry,
                                                             QNetworkAccessManager* manager, Configuration* config,
                                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Entry(entry), m_Manager(manager), m_Config(config)
{
}

QString DownloadFileTaskSpecification::localPath() const
{
    return localPathOf(m_Entry);
}

QString DownloadFileTaskSpecification::localPathOf(const DownloadFileData& entry) const
{
    return (m_Config ? m_Config->m_TempDir : QString()) + QLatin1Char('/') + entry.name;
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString local = localPath();
    // The download takes a signed length; a size beyond it cannot be right and
    // is kept at the largest value so that the download still fails on it.
    const qint64 maxSize = std::numeric_limits<qint64>::max();
    const qint64 size = m_Entry.size > static_cast<quint64>(maxSize) ? maxSize : static_cast<qint64>(m_Entry.size);
    // The download and its check share one part of the weight with each copy.
    const qreal share = 1.0 / (1 + m_Copies.size());
    auto* download = new DownloadTaskSpecification(m_Manager, m_Entry.section + QLatin1Char('/') + m_Entry.name,
                                                   m_Config ? m_Config->m_Version : 0, local, size, this, 0.8 * share);
    addSubTask(download);
    // A mismatch fails the entry: whole-file downloads are installed as they
    // are and the new updater's files are run from the temp directory, neither
    // checked again, so an unverified download must never get that far.
    auto* check = new CheckSignatureTaskSpecification(local, m_Entry.hash, true, this, 0.2 * share);
    check->setSourceUrl(download->downloadUrl().toString());
    addSubTask(check);
    for (const DownloadFileData& other : qAsConst(m_Copies)) {
        const QString copyPath = localPathOf(other);
        // Left by an earlier session with other bytes (the list holds only
        // names not yet in place); the copy makes a new file, never
        // writing into one that is there.
        QFile::remove(copyPath);
        // Checked where it is written, and removed again on a mismatch, so
        // that an unverified copy never stands under the name.
        auto* copy = new FileCopyTaskSpecification(nullptr, local, copyPath, this, share);
        copy->setPartPath(copyPath);
        copy->setExpectedHash(other.hash);
        addSubTask(copy);
    }
    startSubTasks();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    ComposedTaskSpecification::reset();
}
