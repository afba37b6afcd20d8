#include "replacejournal.h"

#include "downloadreplacelistdata.h"
#include "durablefile.h"
#include "fdio.h"
#include "productininames.h"
#include "relativepath.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kJournalName = "journal";

// The journal is a text file of lines "<kind> <field>...", fields
// percent-encoded and separated by one space. Its first line "V <version>"
// gives the version it was written in; a journal without one is of the
// first version. A reader refuses, untouched, a journal of a later version
// than it knows or with a kind it does not know (or not in that version):
// undoing only part of a session would leave the installation mixed.
//
// To add a kind: a RollbackOp that undoes it, a row below with the version
// that first writes it (raising kJournalVersion to that version), and its
// fields in ReplaceJournal::note() and replay().
const int kJournalVersion = 3;

struct LineKind
{
    const char* tag;
    int fields; // the tag included
    int since;  // first version that writes it
    int op;     // the RollbackOp that undoes it, -1 for none
};

const LineKind kLineKinds[] = {
    {"T", 2, 1, -1},           // T <temp dir>: the session's temp directory, first
    {"F", 1, 1, -1},           // F: the session has ended well; nothing is undone
    {"C", 2, 1, FILE_CREATE},  // C <path>: a new file, removed when undone
    {"D", 2, 1, DIR_CREATE},   // D <path>: a new directory, removed when undone
    {"R", 3, 1, FILE_RESTORE}, // R <path> <stage>: the entry at path kept aside as stage, put back when undone
    {"M", 3, 3, FILE_MODE},    // M <path> <octal mode>: path's mode before it was changed, set again when undone
};

const LineKind* lineKind(const QByteArray& tag, int fields, int version)
{
    for (const LineKind& kind : kLineKinds) {
        if (tag == kind.tag)
            return kind.fields == fields && kind.since <= version ? &kind : nullptr;
    }
    return nullptr;
}

// The kind of line that notes a change undone by op; null for none.
const LineKind* kindUndoneBy(int op)
{
    for (const LineKind& kind : kLineKinds) {
        if (kind.op == op)
            return &kind;
    }
    return nullptr;
}

QByteArray encodePath(const QString& path)
{
    return QFile::encodeName(path).toPercentEncoding();
}

QString decodePath(const QByteArray& field)
{
    return QFile::decodeName(QByteArray::fromPercentEncoding(field));
}

// Whether an entry of this type at a step's path can be what the session
// made there. A restore's path is its stage, whose name no other entry ever
// has, so any entry there is the one kept aside. The session makes only
// files and links where nothing stood, only folders for new folders, and
// changes the mode of regular files only: anything else there is the old
// entry that an earlier replay already put back, or not the session's.
bool isWhatTheSessionMade(int op, mode_t type)
{
    switch (op) {
    case FILE_RESTORE: return true;
    case FILE_CREATE: return S_ISREG(type) || S_ISLNK(type);
    case DIR_CREATE: return S_ISDIR(type);
    case FILE_MODE: return S_ISREG(type);
    }
    return false;
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

// No session notes more than this: a journal larger than it is no journal
// of ours, and is refused rather than read into memory.
const qint64 kMaxJournalSize = qint64(256) << 20;

// Reads the whole journal; false with errno (EFBIG when it is larger than
// any session writes).
bool readWhole(int fd, QByteArray* out)
{
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > kMaxJournalSize) {
        errno = EFBIG;
        return false;
    }
    return readAllAt(fd, kMaxJournalSize, out);
}

bool isOwnDirectory(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

QString notOwnFolderText(const QString& folder)
{
    return QStringLiteral("Refusing to use '%1': it is not a folder of this user; remove it to update").arg(folder);
}

QString cannotUndoText(const QString& folder)
{
    return QStringLiteral("Could not undo the unfinished update in '%1'").arg(folder);
}

// Opens the install directory's folder when it is a real directory of this
// user; -1 otherwise, with the reason in *why (empty when there is none).
int openOwnFolder(int root, const QString& folder, QString* why)
{
    const QByteArray name = QFile::encodeName(ReplaceJournal::folderName());
    struct stat st;
    if (::fstatat(root, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            *why = cannotUndoText(folder) + QStringLiteral(": ") + errnoText(errno);
        return -1;
    }
    const int fd =
        isOwnDirectory(st) ? ::openat(root, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    // Looked at again through the descriptor: it may have been swapped since.
    if (fd < 0 || ::fstat(fd, &st) != 0 || !isOwnDirectory(st)) {
        if (fd >= 0)
            ::close(fd);
        *why = notOwnFolderText(folder);
        return -1;
    }
    return fd;
}

} // namespace

ReplaceJournal::ReplaceJournal(const QString& installDir, const QString& tempDir)
    : m_InstallDir(QDir::cleanPath(installDir)), m_TempDir(tempDir), m_Folder(folderPath(installDir))
{
}

ReplaceJournal::~ReplaceJournal()
{
    close();
}

void ReplaceJournal::close()
{
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Fd = -1;
    m_FolderFd.reset();
}

QString ReplaceJournal::folderName()
{
    return replaceFolderName;
}

QString ReplaceJournal::folderPath(const QString& installDir)
{
    return QDir::cleanPath(installDir) + QLatin1Char('/') + folderName();
}

bool ReplaceJournal::begin(QString* error)
{
    if (isOpen())
        return true;
    const QString journal = m_Folder + QLatin1Char('/') + QLatin1String(kJournalName);
    const UniqueFd root(openInstallDir(m_InstallDir));
    if (!root.isValid()) {
        *error = QStringLiteral("Could not write '%1': %2").arg(m_Folder, errnoText(errno));
        return false;
    }
    QString ignored, why;
    struct stat st;
    const QByteArray name = QFile::encodeName(folderName());
    if ((::fstatat(root.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        && !recover(m_InstallDir, &ignored, &why)) {
        *error = why.isEmpty() ? cannotUndoText(m_Folder) : why;
        return false;
    }
    if (::mkdirat(root.get(), name.constData(), 0700) != 0) {
        *error = QStringLiteral("Could not write '%1': %2").arg(m_Folder, writeFailureReason(m_Folder, errno));
        return false;
    }
    m_FolderFd.reset(openOwnFolder(root.get(), m_Folder, &why));
    if (!m_FolderFd.isValid()) {
        *error = why;
        return false;
    }
    // Locked before its first line: a start-up that finds it can tell a live
    // session from a dead one.
    m_Fd =
        ::openat(m_FolderFd.get(), kJournalName, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool ok = m_Fd >= 0 && ::flock(m_Fd, LOCK_EX | LOCK_NB) == 0
        && writeLine(m_Fd, "V " + QByteArray::number(kJournalVersion) + "\nT " + encodePath(m_TempDir) + '\n')
        && ::fsync(m_FolderFd.get()) == 0 && ::fsync(root.get()) == 0;
    if (!ok) {
        *error = QStringLiteral("Could not write '%1': %2").arg(journal, writeFailureReason(journal, errno));
        removeFolder(root.get(), m_FolderFd.get());
        close();
        return false;
    }
    m_Next = 0;
    return true;
}

QString ReplaceJournal::newStagePath()
{
    QString name;
    for (;;) {
        name = QString::number(m_Next++, 36);
        struct stat st;
        const bool taken = m_FolderFd.isValid()
            ? ::fstatat(m_FolderFd.get(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
            : exists(m_Folder + QLatin1Char('/') + name);
        if (!taken)
            break;
    }
    return m_Folder + QLatin1Char('/') + name;
}

QString ReplaceJournal::boundPath(const QString& stagePath) const
{
    // Without /proc (a bare sandbox) the folder's own path, checked to be a
    // real directory of ours when it was opened, has to do.
    static const bool procMounted = ::access("/proc/self/fd", X_OK) == 0;
    return m_FolderFd.isValid() && procMounted ? pathThroughFd(m_FolderFd.get(), QFileInfo(stagePath).fileName())
                                               : stagePath;
}

bool ReplaceJournal::note(const RollbackData& record, QString* error)
{
    const QString prefix = m_InstallDir + QLatin1Char('/');
    const QString journal = m_Folder + QLatin1Char('/') + QLatin1String(kJournalName);
    const QString installed = QDir::cleanPath(record.op() == FILE_RESTORE ? record.oldPath() : record.path());
    // Only what a replay can undo is noted, and nothing is begun for the rest.
    const LineKind* kind = record.isValid() ? kindUndoneBy(record.op()) : nullptr;
    if (!kind) {
        *error = QStringLiteral("Could not write '%1': %2").arg(journal, QStringLiteral("unknown change"));
        return false;
    }
    QByteArray line = QByteArray(kind->tag) + ' ';
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

bool ReplaceJournal::moveAside(const QString& path, QString* error, QString* stagePath)
{
    if (!begin(error))
        return false;
    InstallLocation at;
    if (!openInstallLocation(m_InstallDir, path, &at)) {
        *error = errno == ELOOP ? outsideInstallDirText(path) : errnoText(errno);
        return false;
    }
    const QString stage = newStagePath();
    if (!note(RollbackData(FILE_RESTORE, path, stage), error))
        return false;
    const QByteArray name = QFile::encodeName(QFileInfo(stage).fileName());
    if (::renameat(at.dir.get(), at.leaf.constData(), m_FolderFd.get(), name.constData()) != 0) {
        *error = errnoText(errno);
        return false;
    }
    if (stagePath)
        *stagePath = stage;
    // Both entries on the disk before the finish line can be; the entry is
    // moved all the same, and its note undoes it.
    if (::fsync(at.dir.get()) != 0 || ::fsync(m_FolderFd.get()) != 0) {
        *error = writeFailureReason(path, errno);
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
    if (ok)
        removeFolder(UniqueFd(openInstallDir(m_InstallDir)).get(), m_FolderFd.get());
    close();
    if (!ok) {
        *error = QStringLiteral("Could not write '%1': %2").arg(journal, writeFailureReason(journal, errnum));
        return false;
    }
    return true;
}

bool ReplaceJournal::rollBack(QObject* reporter)
{
    if (!m_FolderFd.isValid()) {
        close();
        return true;
    }
    // The lock stays held by this session while it undoes its own changes.
    const UniqueFd journal(::openat(m_FolderFd.get(), kJournalName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    InstallRoot root;
    QString temp, why;
    bool ok = journal.isValid() && openInstallRootAsNamed(m_InstallDir, &root)
        && replay(root, journal.get(), reporter, &temp, &why);
    if (!why.isEmpty())
        RollbackData::message(reporter, why);
    ok = ok && removeFolder(root.fd.get(), m_FolderFd.get());
    close();
    return ok;
}

void ReplaceJournal::discard()
{
    if (m_FolderFd.isValid())
        removeFolder(UniqueFd(openInstallDir(m_InstallDir)).get(), m_FolderFd.get());
    close();
}

bool ReplaceJournal::recover(const QString& installDir, QString* tempDir, QString* why)
{
    InstallRoot root;
    if (openInstallRoot(installDir, &root))
        return recover(root, tempDir, why);
    // A link in place of the folder is not followed, nor taken for a missing
    // installation, which would skip its journal.
    struct stat st;
    const bool link = ::lstat(QFile::encodeName(installDir).constData(), &st) == 0 && S_ISLNK(st.st_mode);
    QString reason;
    if (link) {
        reason = cannotUndoText(folderPath(installDir)) + QStringLiteral(": the install directory's name is a link");
        qWarning().noquote() << reason;
    }
    if (why)
        *why = reason;
    return !link; // otherwise there is no installation, nothing to undo
}

bool ReplaceJournal::recover(const InstallRoot& root, QString* tempDir, QString* why)
{
    QString reason;
    const bool ok = [&] {
        const QString folder = folderPath(root.path);
        const UniqueFd dir(openOwnFolder(root.fd.get(), folder, &reason));
        if (!dir.isValid())
            return reason.isEmpty();
        const UniqueFd journal(::openat(dir.get(), kJournalName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!journal.isValid()) {
            if (errno != ENOENT) {
                reason = cannotUndoText(folder) + QStringLiteral(": ") + errnoText(errno);
                return false;
            }
            // No note was ever flushed, so nothing was changed; what a
            // settled session left goes, a journal made meanwhile stays.
            removeEntriesIn(dir.get(), kJournalName);
            return ::unlinkat(root.fd.get(), QFile::encodeName(folderName()).constData(), AT_REMOVEDIR) == 0;
        }
        if (::flock(journal.get(), LOCK_EX | LOCK_NB) != 0) {
            reason = cannotUndoText(folder) + QStringLiteral(": the update that made it is still running");
            return false;
        }
        if (!replay(root, journal.get(), nullptr, tempDir, &reason))
            return false;
        qDebug() << "Recovered unfinished update in" << root.path;
        return removeFolder(root.fd.get(), dir.get());
    }();
    if (!reason.isEmpty())
        qWarning().noquote() << reason;
    if (why)
        *why = reason;
    return ok;
}

bool ReplaceJournal::replay(const InstallRoot& root, int journal, QObject* reporter, QString* tempDir, QString* why)
{
    const QString installDir = root.path;
    const QString folder = folderPath(installDir);
    QByteArray text;
    if (!readWhole(journal, &text)) {
        *why = cannotUndoText(folder)
            + (errno == EFBIG ? QStringLiteral(": its journal is larger than %1 MiB").arg(kMaxJournalSize >> 20)
                              : QStringLiteral(": ") + errnoText(errno));
        return false;
    }
    // A line cut short by the crash (after the last newline) was never acted on.
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast();
    RollbackDataList changes;
    const QString prefix = installDir + QLatin1Char('/');
    int version = 1;
    bool finished = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        if (i == 0 && fields.value(0) == "V" && fields.size() == 2) {
            bool number = false;
            version = fields.at(1).toInt(&number);
            if (!number || version < 1 || version > kJournalVersion) {
                *why = cannotUndoText(folder)
                    + QStringLiteral(": its journal is of version %1, this updater knows up to %2")
                          .arg(QString::fromLatin1(fields.at(1)), QString::number(kJournalVersion));
                return false;
            }
            continue;
        }
        const LineKind* kind = lineKind(fields.value(0), fields.size(), version);
        if (!kind) {
            *why = cannotUndoText(folder)
                + QStringLiteral(": line %1 of its journal holds a change this updater does not know").arg(i + 1);
            return false;
        }
        if (fields.at(0) == "F") {
            finished = true;
            continue;
        }
        if (fields.at(0) == "T") {
            *tempDir = decodePath(fields.at(1));
            continue;
        }
        // No session notes a path outside the install directory: such a line
        // stands for no change.
        const QString rel = decodePath(fields.at(1));
        if (!isContainedRelativePath(rel))
            continue;
        if (kind->op == FILE_MODE) {
            bool number = false;
            const int mode = fields.at(2).toInt(&number, 8);
            if (number && mode >= 0 && mode <= 07777)
                changes.append(RollbackData::modeChange(prefix + rel, mode));
            continue;
        }
        if (kind->op != FILE_RESTORE) {
            changes.append(RollbackData(kind->op, prefix + rel));
            continue;
        }
        const QString stage = decodePath(fields.at(2));
        if (!stage.isEmpty() && !stage.contains(QLatin1Char('/')) && stage != QLatin1String(".."))
            changes.append(RollbackData(FILE_RESTORE, prefix + rel, folder + QLatin1Char('/') + stage));
    }
    if (finished)
        return true;
    // Each step is looked at just before it is undone, newest first: a step
    // noted but never made, or already undone by an earlier replay that was
    // stopped, finds nothing of the session's at its path and is skipped, so
    // a replay can be stopped and run again any number of times. Nor is
    // anything undone through a link that leads out of the install directory.
    bool ok = true;
    const QList<RollbackData>& steps = changes.records();
    for (int i = steps.size() - 1; i >= 0; --i) {
        const RollbackData& change = steps.at(i);
        const QString installed = change.op() == FILE_RESTORE ? change.oldPath() : change.path();
        InstallLocation at;
        struct stat st;
        if (openInstallLocation(root, change.path(), &at)
            && ::fstatat(at.dir.get(), at.leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
            && isWhatTheSessionMade(change.op(), st.st_mode) && staysInsideInstallDir(root, installed))
            ok = change.rollbackAt(root, reporter) && ok;
    }
    return ::fsync(root.fd.get()) == 0 && ok;
}

bool ReplaceJournal::removeFolder(int root, int folder)
{
    // The journal goes last: a crash before leaves it to say what the rest was.
    bool ok = removeEntriesIn(folder, kJournalName);
    ok = (::unlinkat(folder, kJournalName, 0) == 0 || errno == ENOENT) && ok;
    // Only an empty directory goes; a link swapped in meanwhile stays.
    ok = ::unlinkat(root, QFile::encodeName(folderName()).constData(), AT_REMOVEDIR) == 0 && ok;
    return ::fsync(root) == 0 && ok;
}
