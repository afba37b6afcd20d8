#include "slowfileopspecification.h"

#include "durablefile.h"
#include "filemode.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {

// Creates a new, empty, unused file beside destination.
bool makePartFile(const QString& destination, QString& partPath)
{
    const QFileInfo info(destination);
    for (int attempt = 0; attempt < 16; ++attempt) {
        QFile part(info.dir().filePath(
            QStringLiteral(".%1.qnd-part-%2")
                .arg(info.fileName(),
                     QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, QLatin1Char('0')))));
        if (part.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            partPath = part.fileName();
            return true;
        }
        if (!QFileInfo::exists(part.fileName()))
            return false; // not a name clash: the directory is missing or not writable
    }
    return false;
}

} // namespace

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : m_Source(source), m_Destination(destination)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& secondInput, const QString& destination)
    : m_Source(source), m_SecondInput(secondInput), m_Destination(destination)
{
}

bool SlowFileOpFunc::writeBeside(const QString& destination, const Writer& write)
{
    QString part;
    if (!makePartFile(destination, part))
        return false;
    bool ok = write(part) && syncFile(part);
    if (ok) {
        struct stat old;
        if (::stat(QFile::encodeName(destination).constData(), &old) == 0)
            applyFileModeAt(part, exactMode(old.st_mode & 0777), nullptr);
        // rename(2) replaces the destination in one step; a symbolic link
        // there is replaced itself, not written through.
        ok = std::rename(QFile::encodeName(part).constData(), QFile::encodeName(destination).constData()) == 0;
    }
    if (!ok)
        QFile::remove(part);
    return ok;
}

bool SlowFileOpFunc::produce(const Writer& write)
{
    const QString out = m_Part.isEmpty() ? m_Destination : m_Part;
    errno = 0;
    const bool ok = m_Part.isEmpty() ? writeBeside(m_Destination, write) : write(m_Part) && syncFile(m_Part);
    if (ok)
        return true;
    // Looked at before the part goes, while the disk is still as full as the
    // write found it.
    const QString reason = diskFailureReason(out, errno);
    if (!m_Part.isEmpty())
        QFile::remove(m_Part);
    if (!reason.isEmpty())
        failWith(QStringLiteral("Could not write '%1': %2").arg(m_Destination, reason));
    return false;
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorText, RollbackDataList* list,
                                                 const QString& source, const QString& destination, QObject* parent,
                                                 qreal weight)
    : SlowFileOpSpecification(errorText, list, source, QString(), destination, parent, weight)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorText, RollbackDataList* list,
                                                 const QString& source, const QString& secondInput,
                                                 const QString& destination, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_RollbackList(list), m_Source(source), m_SecondInput(secondInput),
      m_Destination(destination), m_ErrorText(errorText)
{
}

ASyncFunc* SlowFileOpSpecification::prepared(SlowFileOpFunc* func) const
{
    func->setPartPath(m_Part);
    return func;
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (ok) {
        if (m_RollbackList)
            m_RollbackList->append(RollbackData(FILE_CREATE, outputPath()));
        ASyncTaskSpecification::runDone(ok);
        return;
    }
    emit message(m_ErrorText);
    if (state() == TASK_RUNNING)
        // The work's own cause (a full disk, say) comes first and says more.
        setFailed(workFailure().isEmpty() ? m_ErrorText : workFailure());
}
