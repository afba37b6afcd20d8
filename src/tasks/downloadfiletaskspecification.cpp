#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <limits>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadFileData& entry,
                                                             QNetworkAccessManager* manager, Configuration* config,
                                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Entry(entry), m_Manager(manager), m_Config(config)
{
}

QString DownloadFileTaskSpecification::localPath() const
{
    return (m_Config ? m_Config->m_TempDir : QString()) + QLatin1Char('/') + m_Entry.name;
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
    auto* download = new DownloadTaskSpecification(m_Manager, m_Entry.section + QLatin1Char('/') + m_Entry.name,
                                                   m_Config ? m_Config->m_Version : 0, local, size, this, 0.8);
    addSubTask(download);
    // A mismatch fails the entry: whole-file downloads are installed as they
    // are and the new updater's files are run from the temp directory, neither
    // checked again, so an unverified download must never get that far.
    auto* check = new CheckSignatureTaskSpecification(local, m_Entry.hash, true, this, 0.2);
    check->setSourceUrl(download->downloadUrl().toString());
    addSubTask(check);
    startSubTasks();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    ComposedTaskSpecification::reset();
}
