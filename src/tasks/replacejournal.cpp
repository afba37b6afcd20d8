#include "replacejournal.h"

#include "downloadreplacelistdata.h"
#include "durablefile.h"
#include "installpath.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kJournalName = "journal";

QByteArray encodePath(const QString& path)
{
    return QFile::encodeName(path).toPercentEncoding();
}

QString decodePath(const QByteArray& field)
{
    return QFile::decodeName(QByteArray::fromPercentEncoding(field));
}

bool exists(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool writeLine(int fd, const QByteArray& line)
{
    return writeFully(fd, line.constData(), line.size()) && ::fdatasync(fd) == 0;
}

} // namespace

ReplaceJournal::ReplaceJournal(const QString& installDir, const QString& tempDir)
    : m_InstallDir(QDir::cleanPath(installDir)), m_TempDir(tempDir), m_Folder(folderPath(installDir))
{
}

ReplaceJournal::~ReplaceJournal()
{
    if (m_Fd >= 0)
        ::close(m_Fd);
}

QString ReplaceJournal::folderName()
{
    return QStringLiteral(".qnd-replace");
}

QString ReplaceJournal::folderPath(const QString& installDir)
{
    return QDir::cleanPath(installDir) + QLatin1Char('/') + folderName();
}

bool ReplaceJournal::begin(QString* error)
{
    if (isOpen())
        return true;
    QString ignored;
    if (exists(m_Folder) && !recover(m_InstallDir, &ignored)) {
        *error = QStringLiteral("Could not undo the unfinished update in '%1'").arg(m_Folder);
        return false;
    }
    const QByteArray folder = QFile::encodeName(m_Folder);
    const QString journal = m_Folder + QLatin1Char('/') + QLatin1String(kJournalName);
    if (::mkdir(folder.constData(), 0700) != 0) {
        *error = QStringLiteral("Could not write '%1': %2").arg(m_Folder, writeFailureReason(m_Folder, errno));
        return false;
    }
    m_Fd = ::open(QFile::encodeName(journal).constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (m_Fd < 0 || !writeLine(m_Fd, "T " + encodePath(m_TempDir) + '\n') || !syncDir(m_Folder)
        || !syncDir(m_InstallDir)) {
        *error = QStringLiteral("Could not write '%1': %2").arg(journal, writeFailureReason(journal, errno));
        if (m_Fd >= 0)
            ::close(m_Fd);
        m_Fd = -1;
        removeFolder(m_InstallDir);
        return false;
    }
    m_Next = 0;
    return true;
}

QString ReplaceJournal::newStagePath()
{
    QString path;
    do
        path = m_Folder + QLatin1Char('/') + QString::number(m_Next++, 36);
    while (exists(path));
    return path;
}

bool ReplaceJournal::note(const RollbackData& record, QString* error)
{
    const QString prefix = m_InstallDir + QLatin1Char('/');
    const QString journal = m_Folder + QLatin1Char('/') + QLatin1String(kJournalName);
    const QString installed = QDir::cleanPath(record.op() == FILE_RESTORE ? record.oldPath() : record.path());
    // Only what a replay can undo is noted, and nothing is begun for the rest.
    QByteArray line;
    switch (record.isValid() ? record.op() : -1) {
    case FILE_CREATE: line = "C "; break;
    case DIR_CREATE: line = "D "; break;
    case FILE_RESTORE: line = "R "; break;
    case FILE_MODE: line = "M "; break;
    default:
        *error = QStringLiteral("Could not write '%1': %2").arg(journal, QStringLiteral("unknown change"));
        return false;
    }
    if (!begin(error))
        return false;
    if (!installed.startsWith(prefix)) {
        *error =
            QStringLiteral("Could not write '%1': %2").arg(journal, QStringLiteral("not inside the install directory"));
        return false;
    }
    line += encodePath(installed.mid(prefix.size()));
    if (record.op() == FILE_RESTORE)
        line += ' ' + encodePath(QFileInfo(record.path()).fileName());
    if (record.op() == FILE_MODE)
        line += ' ' + QByteArray::number(record.oldMode(), 8);
    line += '\n';
    if (!writeLine(m_Fd, line)) {
        *error = QStringLiteral("Could not write '%1': %2").arg(journal, writeFailureReason(journal, errno));
        return false;
    }
    return true;
}

bool ReplaceJournal::finish(QString* error)
{
    if (!isOpen())
        return true;
    const QString journal = m_Folder + QLatin1Char('/') + QLatin1String(kJournalName);
    // Once this line is on the disk the session counts as done: a crash
    // while the backups are removed only leaves them for the next start.
    const bool ok = writeLine(m_Fd, "F\n");
    const int errnum = errno;
    ::close(m_Fd);
    m_Fd = -1;
    if (!ok) {
        *error = QStringLiteral("Could not write '%1': %2").arg(journal, writeFailureReason(journal, errnum));
        return false;
    }
    removeFolder(m_InstallDir);
    return true;
}

bool ReplaceJournal::rollBack(QObject* reporter)
{
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Fd = -1;
    QString temp;
    bool finished = false;
    if (!replay(m_InstallDir, reporter, &temp, &finished))
        return false;
    return removeFolder(m_InstallDir);
}

void ReplaceJournal::discard()
{
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Fd = -1;
    removeFolder(m_InstallDir);
}

bool ReplaceJournal::recover(const QString& installDir, QString* tempDir)
{
    const QString folder = folderPath(installDir);
    struct stat st;
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0)
        return true;
    // Only a real directory of ours is a journal folder; anything else under
    // that name is not touched.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    bool finished = false;
    const bool undone = replay(QDir::cleanPath(installDir), nullptr, tempDir, &finished);
    qDebug() << "Recovered unfinished update in" << installDir << (finished ? "finished" : "rolled back") << undone;
    return undone && removeFolder(installDir);
}

bool ReplaceJournal::replay(const QString& installDir, QObject* reporter, QString* tempDir, bool* finished)
{
    const QString folder = folderPath(installDir);
    QFile file(folder + QLatin1Char('/') + QLatin1String(kJournalName));
    if (!file.open(QIODevice::ReadOnly))
        return true; // no note was ever flushed, so nothing was changed
    RollbackDataList changes;
    const QString prefix = installDir + QLatin1Char('/');
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        // A line cut short by the crash was never acted on.
        if (!line.endsWith('\n'))
            break;
        const QList<QByteArray> fields = line.trimmed().split(' ');
        const QByteArray op = fields.value(0);
        if (op == "F") {
            *finished = true;
            continue;
        }
        if (op == "T" && fields.size() == 2) {
            *tempDir = decodePath(fields[1]);
            continue;
        }
        const QString rel = decodePath(fields.value(1));
        if (!isContainedRelativePath(rel))
            continue;
        if (op == "C" && fields.size() == 2) {
            changes.append(RollbackData(FILE_CREATE, prefix + rel));
        } else if (op == "D" && fields.size() == 2) {
            changes.append(RollbackData(DIR_CREATE, prefix + rel));
        } else if (op == "M" && fields.size() == 3) {
            bool ok = false;
            const int mode = fields[2].toInt(&ok, 8);
            if (ok && mode >= 0 && mode <= 07777)
                changes.append(RollbackData::modeChange(prefix + rel, mode));
        } else if (op == "R" && fields.size() == 3) {
            const QString stage = decodePath(fields[2]);
            if (!stage.isEmpty() && !stage.contains(QLatin1Char('/')) && stage != QLatin1String(".."))
                changes.append(RollbackData(FILE_RESTORE, prefix + rel, folder + QLatin1Char('/') + stage));
        }
    }
    if (*finished)
        return true;
    // Steps noted but never made have nothing to undo; nor is anything
    // undone through a link that leads out of the install directory.
    RollbackDataList made;
    for (const RollbackData& change : changes.records()) {
        const QString installed = change.op() == FILE_RESTORE ? change.oldPath() : change.path();
        if (exists(change.path()) && staysInsideInstallDir(installDir, installed))
            made.append(change);
    }
    const bool ok = made.rollback(reporter);
    syncDir(installDir);
    return ok;
}

bool ReplaceJournal::removeFolder(const QString& installDir)
{
    const QString folder = folderPath(installDir);
    // removeRecursively() removes links themselves, never what they point to.
    const bool ok = !exists(folder) || QDir(folder).removeRecursively();
    syncDir(installDir);
    return ok;
}
