#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "durablefile.h"
#include "fdio.h"
#include "filemode.h"
#include "globals.h"
#include "installpath.h"
#include "productininames.h"
#include "productinishape.h"
#include "replacejournal.h"
#include "treeconflicts.h"
#include "relativepath.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>
#include <QThreadPool>

#include <cerrno>
#include <limits>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sizes are handed to the download as a signed 64-bit length, so anything
// above that range is as unusable as text that is not a number.
bool parseSize(const QString& text, quint64& size)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 10);
    if (!ok || v > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
        return false;
    size = v;
    return true;
}

// Empty is allowed: it turns the check into a signature check.
bool isDigest(const QString& text)
{
    if (text.isEmpty())
        return true;
    if (text.size() != 128)
        return false;
    for (const QChar c : text) {
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex)
            return false;
    }
    return true;
}

// The ini as its bytes are now. QSettings keeps what it parsed of a file
// for the whole process and serves it again while the file's size and
// modification time (to the millisecond) are unchanged, so an ini rewritten
// as fast with as many bytes would be read as the one before. The bytes are
// read through one descriptor, within the bound an ini may have, into a file
// of a name this process has never used, which QSettings must parse; the
// file goes once parsed. Null when the ini cannot be read.
std::unique_ptr<QSettings> readProductIni(const QString& tempDir, const QString& iniPath)
{
    static QAtomicInt reads;
    const UniqueFd fd(openInstalledFile(tempDir, iniPath));
    struct stat st;
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || st.st_size > kMaxProductIniBytes)
        return nullptr;
    QByteArray bytes(int(st.st_size), Qt::Uninitialized);
    if (readFullyAt(fd.get(), bytes.data(), bytes.size(), 0) != bytes.size())
        return nullptr;
    QTemporaryFile copy(QStringLiteral("%1/.%2.read%3.XXXXXX")
                            .arg(tempDir, QFileInfo(iniPath).fileName(), QString::number(reads.fetchAndAddRelaxed(1))));
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return nullptr;
    return std::unique_ptr<QSettings>(new QSettings(copy.fileName(), QSettings::IniFormat));
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* config, DownloadReplaceListData* result)
    : m_Result(result)
{
    if (config) {
        m_TempDir = config->m_TempDir;
        m_InstallDir = config->m_InstallDir;
        m_ClientUpdate = config->m_ClientUpdate;
        m_Version = config->m_Version;
    }
}

QString MakeDownloadReplaceListFunc::productIniPath() const
{
    return m_TempDir + QLatin1Char('/') + productIniFileName(m_ClientUpdate);
}

int MakeDownloadReplaceListFunc::countIniKeys(QSettings& settings)
{
    int total = 0;
    const QStringList groups = settings.childGroups();
    for (const QString& g : groups) {
        settings.beginGroup(g);
        total += settings.allKeys().size();
        settings.endGroup();
    }
    return total;
}

int MakeDownloadReplaceListFunc::platformId(const QString& name)
{
    const QString n = name.toLower();
    if (n == QLatin1String("win32"))
        return 1;
    if (n == QLatin1String("win64"))
        return 2;
    if (n == QLatin1String("linux32"))
        return 3;
    if (n == productIniPlatformName)
        return 4;
    if (n == QLatin1String("mac"))
        return 5;
    return 0;
}

void MakeDownloadReplaceListFunc::step()
{
    ++m_Step;
    if (m_Total > 0)
        emit progress(static_cast<qreal>(m_Step) / m_Total);
}

bool MakeDownloadReplaceListFunc::rejectLine(const QString& group, const QString& key, const QString& reason)
{
    qWarning() << "Rejected product ini line" << group << key << reason;
    emit message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(group));
    return failWith(QStringLiteral("Rejected product ini line %1: %2").arg(key, reason));
}

bool MakeDownloadReplaceListFunc::isUpdaterOwnPath(const QString& relativePath) const
{
    return m_ClientUpdate == 1 && isReservedClientName(relativePath);
}

bool MakeDownloadReplaceListFunc::fileMatches(const QString& root, const QString& path, int fd, quint64 size,
                                              const QString& sha512Hex)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 0 || quint64(st.st_size) != size)
        return false;
    // A signature lies beside each name, so only digest checks are shared.
    // The times tell a file rewritten in place from the one checked before.
    QByteArray identity;
    if (!sha512Hex.isEmpty()) {
        for (const qint64 n : {qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size), qint64(st.st_mtim.tv_sec),
                               qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)})
            identity += QByteArray::number(n) + ':';
        identity += sha512Hex.toLower().toLatin1();
        const auto known = m_DigestChecks.constFind(identity);
        if (known != m_DigestChecks.constEnd())
            return known.value();
    }
    UniqueFd signature;
    if (sha512Hex.isEmpty())
        signature.reset(openInstalledFile(root, path + productIniSignatureSuffix));
    // Synchronous, in this thread; its signals are connected to nothing. A
    // mismatch is an answer here (not current, not this patch's base), never
    // a failure.
    CheckSigFunc check(path, sha512Hex);
    check.setMismatchExpected(true);
    const bool matches = check.checkOpenFile(fd, qint64(size), signature.get());
    if (!identity.isEmpty())
        m_DigestChecks.insert(identity, matches);
    return matches;
}

bool MakeDownloadReplaceListFunc::run()
{
    if (!m_Result)
        return false;
    *m_Result = DownloadReplaceListData();
    m_PatchesByTarget.clear();
    m_Targets.clear();
    m_InstalledDigests.clear();
    m_SharedFiles.clear();
    m_DigestChecks.clear();
    m_HasExecutables = false;
    m_ExecuteBits.clear();
    m_Step = 0;

    const QString iniPath = productIniPath();
    qDebug() << "prodIni" << iniPath;
    emit message(QStringLiteral("Compiling download and replace list for ")
                 + (m_ClientUpdate == 1 ? QStringLiteral("client") : QStringLiteral("updater")));

    // Without a temp directory the path would be read from the filesystem root.
    const std::unique_ptr<QSettings> read = m_TempDir.isEmpty() ? nullptr : readProductIni(m_TempDir, iniPath);
    if (!read)
        return failWith(QStringLiteral("No files in product ini"));
    QSettings& ini = *read;
    if (!versionMatches(ini) || !readExecutables(ini) || !fitsOneTree(ini))
        return false;
    m_Total = countIniKeys(ini);
    if (m_Total == 0)
        return failWith(QStringLiteral("No files in product ini"));
    if (!installationFits(ini))
        return false;

    const QStringList groups = ini.childGroups();
    for (const QString& g : groups) {
        const bool fileGroup =
            g != productIniDeleteGroup && g != productIniPreInstallGroup && g != productIniPostInstallGroup;
        // A file group names a directory on the file server: one that climbs
        // out of the version's folder (a decoded "%2E%2E", say) is refused.
        if (fileGroup && !isPlainRelativePath(g)) {
            qWarning() << "Rejected product ini section" << g;
            return failWith(QStringLiteral("Rejected product ini section %1: not a relative directory name").arg(g));
        }
        ini.beginGroup(g);
        QStringList keys = ini.allKeys();
        QStringList patchKeys;
        for (int i = 0; i < keys.size();) {
            if (keys.at(i).endsWith(productIniPatchSuffix))
                patchKeys.append(keys.takeAt(i));
            else
                ++i;
        }
        bool ok = true;
        for (const QString& key : qAsConst(patchKeys)) {
            if (!readPatchLine(g, key, ini.value(key).toString())) {
                ok = false;
                break;
            }
        }
        for (int i = 0; ok && i < keys.size(); ++i) {
            const QString& key = keys.at(i);
            if (fileGroup)
                ok = readFileLine(g, key, ini.value(key).toString());
            else if (g == productIniDeleteGroup)
                ok = readDeleteLine(key, ini.value(key));
            else
                ok = readInstallCommand(g, key, ini.value(key));
        }
        ini.endGroup();
        m_PatchesByTarget.clear();
        // A refused ini leaves no half list behind.
        if (!ok) {
            *m_Result = DownloadReplaceListData();
            return false;
        }
    }
    // Resolved once every group is read: the command's group may come first.
    for (QList<PrePostInstallData>* list : {&m_Result->preInstall, &m_Result->postInstall}) {
        for (PrePostInstallData& cmd : *list) {
            const QString name = QDir::cleanPath(cmd.program);
            cmd.sha512 = m_InstalledDigests.value(name);
            cmd.installedPath = m_InstallDir + QLatin1Char('/') + name;
        }
    }
    if (!treeFitsInstallation()) {
        *m_Result = DownloadReplaceListData();
        return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::readExecutables(QSettings& ini)
{
    // Outside every group, where readers that do not know it never look.
    m_HasExecutables = ini.contains(executablesIniKey);
    m_Result->executeBitsListed = m_HasExecutables;
    if (!m_HasExecutables)
        return true;
    const QStringList items = ini.value(executablesIniKey).toStringList();
    for (const QString& item : items) {
        if (item.isEmpty())
            continue;
        const int split = item.indexOf(productIniPartSeparator);
        const QString bitsText = item.left(split);
        const QString name = item.mid(split + productIniPartSeparator.size());
        bool ok = split > 0 && bitsText.size() <= 3;
        for (const QChar c : bitsText)
            ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('7');
        const int bits = ok ? bitsText.toInt(&ok, 8) : -1;
        if (!ok || (bits & ~0111) != 0 || !isContainedRelativePath(name)) {
            qWarning() << "Rejected product ini execute bits" << item;
            return failWith(QStringLiteral("Rejected product ini execute bits %1").arg(item));
        }
        m_ExecuteBits.insert(QDir::cleanPath(name), bits);
    }
    return true;
}

int MakeDownloadReplaceListFunc::executeBits(const QString& installedName) const
{
    return m_HasExecutables ? m_ExecuteBits.value(QDir::cleanPath(installedName), 0) : -1;
}

bool MakeDownloadReplaceListFunc::followExecuteBits(int oldMode, const QString& installedName, const QString& copyPath)
{
    const int bits = executeBits(installedName);
    if (bits < 0 || oldMode < 0)
        return true;
    const int old = oldMode & 07777;
    const mode_t wanted = treeFileMode(old, bits, processUmask());
    if (copyPath.isEmpty()) {
        if (wanted != mode_t(old))
            m_Result->modeChanges.append(ModeChangeData{installedName, bits});
        return true;
    }
    QString error;
    if (applyFileModeBelow(m_TempDir, copyPath, exactMode(wanted), nullptr, &error))
        return true;
    return failWith(error);
}

bool MakeDownloadReplaceListFunc::treeFitsInstallation()
{
    if (m_ClientUpdate != 1)
        return true;
    QStringList targets;
    for (const ReplaceFileData& entry : qAsConst(m_Result->replacements))
        targets << entry.targetName();
    for (const TreeConflict& conflict : findTreeConflicts(m_InstallDir, targets, m_Result->deletions)) {
        if (conflict.kept.isEmpty())
            continue;
        const QString text = keptEntryText(m_InstallDir, conflict);
        qWarning() << text;
        return failWith(text);
    }
    return true;
}

bool MakeDownloadReplaceListFunc::installationFits(QSettings& ini)
{
    const ProductIniNames names = productIniNames(ini);
    const InstalledNamesCheck check =
        checkInstalledNames(m_InstallDir, names.installed, names.deleted, m_ClientUpdate == 1);
    m_SharedFiles = check.sharedFiles;
    if (check.refusal.isEmpty())
        return true;
    qWarning() << check.refusal;
    return failWith(check.refusal);
}

bool MakeDownloadReplaceListFunc::fitsOneTree(QSettings& ini)
{
    const QStringList problems = productIniShapeProblems(ini);
    if (problems.isEmpty())
        return true;
    // Every one is shown, so that a publisher fixes them in one go; the
    // first is what the session fails on.
    for (const QString& problem : problems) {
        qWarning() << "Rejected product ini lines:" << problem;
        const QString text = QStringLiteral("Rejected product ini lines: %1").arg(problem);
        if (&problem == &problems.first())
            failWith(text);
        else
            emit message(text);
    }
    return false;
}

bool MakeDownloadReplaceListFunc::versionMatches(QSettings& ini)
{
    // Outside every group; an ini without it is read as it always was.
    const QVariant value = ini.value(productIniVersionKey);
    if (!value.isValid())
        return true;
    const QString text = value.toString();
    bool ok = false;
    const int version = text.toInt(&ok, 10);
    if (ok && version == m_Version)
        return true;
    qWarning() << "Product ini version" << text << "is not the session's" << m_Version;
    return failWith(QStringLiteral("The product ini is for version %1, not for the requested version %2")
                        .arg(text, QString::number(m_Version)));
}

bool MakeDownloadReplaceListFunc::readPatchLine(const QString& group, const QString& key, const QString& value)
{
    const QStringList parts = value.split(productIniPartSeparator);
    if (parts.size() != 5)
        return rejectLine(group, key, QStringLiteral("a patch line needs 5 parts"));
    PatchData patch;
    patch.section = group;
    patch.name = key;
    patch.hash = parts.at(0);
    patch.target = parts.at(4);
    patch.baseHash = parts.at(2);
    if (!isContainedRelativePath(key) || !isContainedRelativePath(patch.target))
        return rejectLine(group, key, QStringLiteral("file name outside the target directory"));
    if (!parseSize(parts.at(1), patch.size) || !parseSize(parts.at(3), patch.baseSize))
        return rejectLine(group, key, QStringLiteral("size is not a decimal number"));
    if (!isDigest(patch.hash) || !isDigest(patch.baseHash))
        return rejectLine(group, key, QStringLiteral("digest is not SHA-512 hex"));
    m_PatchesByTarget.insert(patch.target, patch);
    qDebug() << "ADD PATCH" << patch.target << patch.name << patch.hash << patch.size << patch.baseHash
             << patch.baseSize;
    return true;
}

MakeDownloadReplaceListFunc::LineRead
MakeDownloadReplaceListFunc::parseFileLine(const QString& group, const QString& key, const QString& value,
                                           DownloadFileData* download, ReplaceFileData* replace)
{
    download->section = group;
    download->name = key;
    replace->section = group;
    replace->name = key;

    // A line of another shape is reported and skipped, so that an ini with
    // lines this reader does not know still updates what it does know. A line
    // of a known shape with values that cannot be read fails the run instead:
    // installing it would leave the install half updated.
    const QStringList parts = value.split(productIniPartSeparator);
    if (parts.size() != 2 && parts.size() != 5) {
        qDebug() << "Skipped product ini line" << group << key;
        emit message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(group));
        return LineRead::Skipped;
    }
    download->hash = parts.at(0);
    if (parts.size() == 2)
        replace->fileHash = download->hash;
    if (!parseSize(parts.at(1), download->size)) {
        rejectLine(group, key, QStringLiteral("size is not a decimal number"));
        return LineRead::Rejected;
    }
    if (parts.size() == 5) {
        replace->installedHash = parts.at(2);
        replace->target = parts.at(4);
        if (!parseSize(parts.at(3), replace->installedSize)) {
            rejectLine(group, key, QStringLiteral("size is not a decimal number"));
            return LineRead::Rejected;
        }
    }
    if (!isDigest(download->hash) || !isDigest(replace->installedHash)) {
        rejectLine(group, key, QStringLiteral("digest is not SHA-512 hex"));
        return LineRead::Rejected;
    }
    if (!isContainedRelativePath(key) || (replace->hasTargetName() && !isContainedRelativePath(replace->target))) {
        rejectLine(group, key, QStringLiteral("file name outside the target directory"));
        return LineRead::Rejected;
    }
    return LineRead::Read;
}

bool MakeDownloadReplaceListFunc::claimInstalledName(const QString& group, const QString& key,
                                                     const QString& installedName, const DownloadFileData& download,
                                                     ReplaceFileData* replace)
{
    // Two lines for one installed file would race each other and undo each
    // other's work; the session record is not the client's to replace. The
    // updater's program is: the client step replaces it like any client
    // file (journaled, under the lock), which is how the installed updater
    // gets updated. Nothing may stand below its name, nor delete it.
    if (installedName != updaterProgramName && isUpdaterOwnPath(installedName))
        return rejectLine(group, key, QStringLiteral("the updater's own file"));
    if (m_Targets.contains(installedName))
        return rejectLine(group, key, QStringLiteral("installed file named twice"));
    m_Targets.insert(installedName);
    m_InstalledDigests.insert(installedName, replace->hasTargetName() ? replace->installedHash : download.hash);
    m_Result->treeFiles << installedName;
    replace->executeBits = executeBits(installedName);
    return true;
}

bool MakeDownloadReplaceListFunc::choosePatch(int installed, const QString& installedPath, const QString& key,
                                              DownloadFileData* download, ReplaceFileData* replace)
{
    // values() lists the record added last first.
    const QList<PatchData> candidates = m_PatchesByTarget.values(replace->target);
    for (const PatchData& patch : candidates) {
        const bool pass = fileMatches(m_InstallDir, installedPath, installed, patch.baseSize, patch.baseHash);
        qDebug() << "Check Sig" << installedPath << patch.baseHash << "=>" << pass;
        if (pass) {
            replace->patchFile = patch.name;
            replace->baseSize = patch.baseSize;
            download->name = patch.name;
            download->hash = patch.hash;
            download->size = patch.size;
            qDebug() << "Found patch for" << key << installedPath;
            return true;
        }
    }
    return false;
}

bool MakeDownloadReplaceListFunc::queueDownload(const QString& key, const DownloadFileData& download,
                                                const ReplaceFileData& replace)
{
    m_Result->replacements.append(replace);
    // The temp directory is walked as the installation is: nothing outside
    // it is read, nor a fifo opened.
    const QString local = m_TempDir + QLatin1Char('/') + download.name;
    const UniqueFd fetched(openInstalledFile(m_TempDir, local));
    if (fileMatches(m_TempDir, local, fetched.get(), download.size, download.hash))
        return true;
    m_Result->downloads.append(download);
    qDebug() << "Queueing download:" << key;
    return true;
}

bool MakeDownloadReplaceListFunc::readFileLine(const QString& group, const QString& key, const QString& value)
{
    step();
    DownloadFileData download;
    ReplaceFileData replace;
    const LineRead read = parseFileLine(group, key, value, &download, &replace);
    if (read != LineRead::Read)
        return read == LineRead::Skipped;
    const QString installedName = QDir::cleanPath(replace.targetName());
    if (!claimInstalledName(group, key, installedName, download, &replace))
        return false;

    const QString target = replace.target;
    const QString installedPath = m_InstallDir + QLatin1Char('/') + replace.targetName();
    // Opened once, through the install directory's descriptors, for every
    // check below. A link that leads out, a fifo or a device is not opened
    // and counts as missing: the file is fetched whole and takes its place.
    const UniqueFd installed(openInstalledFile(m_InstallDir, installedPath));
    struct stat st;
    const bool exists = installed.isValid() && ::fstat(installed.get(), &st) == 0;
    const bool hasPatches = m_PatchesByTarget.contains(target);
    qDebug() << "CHECK PATCH" << target << exists << hasPatches;
    if (!exists)
        return queueDownload(key, download, replace);
    if (!target.isEmpty() && hasPatches && choosePatch(installed.get(), installedPath, key, &download, &replace))
        return queueDownload(key, download, replace);

    const QString expected = target.isEmpty() ? download.hash : replace.installedHash;
    const quint64 size = target.isEmpty() ? download.size : replace.installedSize;
    if (!fileMatches(m_InstallDir, installedPath, installed.get(), size, expected))
        return queueDownload(key, download, replace);
    if (m_ClientUpdate != 1)
        return carryOver(installed.get(), size, int(st.st_mode), installedPath, replace.targetName(), expected)
            && followExecuteBits(int(st.st_mode), installedName, m_TempDir + QLatin1Char('/') + replace.targetName());
    if (!m_SharedFiles.contains(installedName))
        return followExecuteBits(int(st.st_mode), installedName, QString());
    // The new tree holds a file of its own here: the shared bytes are
    // copied into one.
    replace.keepsBytes = true;
    replace.baseSize = size;
    m_Result->replacements.append(replace);
    return true;
}

bool MakeDownloadReplaceListFunc::carryOver(int fd, quint64 size, int mode, const QString& installedPath,
                                            const QString& targetName, const QString& expected)
{
    // The new updater is assembled in the temp directory, so unchanged files
    // are carried over there. A file already lying there from an earlier run
    // (a partial download under the same name, say) would otherwise be kept
    // in place of the current one, since a copy never overwrites.
    const QString copyPath = m_TempDir + QLatin1Char('/') + targetName;
    const UniqueFd there(openInstalledFile(m_TempDir, copyPath));
    bool copied = fileMatches(m_TempDir, copyPath, there.get(), size, expected);
    if (!copied) {
        QFile::remove(copyPath);
        QDir().mkpath(QFileInfo(copyPath).path());
        // The bytes just checked, from the same descriptor, with the
        // installed file's mode as a copy would give it.
        QString reason;
        copied = copyOpenFileDurably(fd, qint64(size), copyPath, &reason)
            && applyFileModeAt(copyPath, exactMode(mode_t(mode & 0777)), nullptr);
    }
    qDebug() << "Copying updater files:" << installedPath << "to" << copyPath << copied;
    // A new updater missing one of its files must not be started.
    if (!copied)
        return failWith(QStringLiteral("Could not copy %1 to %2").arg(installedPath, copyPath));
    return true;
}

bool MakeDownloadReplaceListFunc::readDeleteLine(const QString& key, const QVariant& value)
{
    step();
    // Checked before existence: a path that leaves the install directory is a
    // broken ini even when nothing lies there today.
    if (!isContainedRelativePath(key))
        return rejectLine(productIniDeleteGroup, key, QStringLiteral("path outside the install directory"));
    if (isUpdaterOwnPath(QDir::cleanPath(key)))
        return rejectLine(productIniDeleteGroup, key, QStringLiteral("the updater's own file"));
    // Looked at, never followed: a link is deleted itself.
    InstalledName at;
    if (!locateInstalledName(m_InstallDir, m_InstallDir + QLatin1Char('/') + key, &at) || !at.exists)
        return true;
    const int v = value.toString().toInt();
    if (v < 10 || v == 12) {
        DeleteFileData entry;
        entry.path = key;
        entry.recursive = v == 2;
        m_Result->deletions.append(entry);
    }
    return true;
}

bool MakeDownloadReplaceListFunc::readInstallCommand(const QString& group, const QString& key, const QVariant& value)
{
    const QStringList items = value.toStringList();
    qDebug() << "prepostinstall cmd" << key << "v" << items;
    // The program is started from the temp directory. Checked first: the ini
    // format reads no value for an absolute key, which must not make the
    // command vanish unnoticed.
    if (!isContainedRelativePath(key))
        return rejectLine(group, key, QStringLiteral("program outside the temp directory"));
    if (items.isEmpty())
        return true;

    const QStringList osNames = items.at(0).split(productIniPartSeparator);
    QStringList args;
    if (items.size() > 1)
        args = items.at(1).split(productIniPartSeparator);
    const bool required = !(items.size() > 2 && items.at(2) == productIniOptionalWord);
    qDebug() << "--->" << key << "os list" << osNames << "args" << args << "required" << required;
    for (QString& arg : args)
        arg.replace(productIniDirPlaceholder, m_InstallDir);
    qDebug() << "replaced args: " << args;

    QList<PrePostInstallData>& list = group == productIniPreInstallGroup ? m_Result->preInstall : m_Result->postInstall;
    for (const QString& os : osNames) {
        if (platformId(os) != 4)
            continue;
        PrePostInstallData cmd;
        cmd.program = key;
        cmd.arguments = args;
        cmd.required = required;
        list.append(cmd);
    }
    return true;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(Configuration* config,
                                                                                   DownloadReplaceListData* result,
                                                                                   QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_Config(config), m_Result(result)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification()
{
    if (state() == TASK_RUNNING)
        QThreadPool::globalInstance()->waitForDone(-1);
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    return new MakeDownloadReplaceListFunc(m_Config, &m_Own);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool res)
{
    // Only a complete result reaches the main record.
    if (res && state() == TASK_RUNNING && m_Result)
        *m_Result = m_Own;
    ASyncTaskSpecification::runDone(res);
}
