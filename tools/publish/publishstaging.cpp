#include "publishstaging.h"

#include "productininames.h"
#include "publishfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Served whatever the source's mode: a web server running as another user
// must read every file.
bool setServedModes(const QString& root)
{
    bool ok = ::chmod(QFile::encodeName(root).constData(), 0755) == 0;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        ok = ::chmod(QFile::encodeName(path).constData(), it.fileInfo().isDir() ? 0755 : 0644) == 0 && ok;
    }
    return ok;
}

QList<StageSite> stageSites(const QString& outDir)
{
    const QFileInfo out(QFileInfo(outDir).absoluteFilePath());
    const QString parent = out.absolutePath();
    struct stat a, b;
    const bool beside = ::stat(QFile::encodeName(parent).constData(), &a) == 0
        && ::stat(QFile::encodeName(out.filePath()).constData(), &b) == 0 && a.st_dev == b.st_dev
        && ::access(QFile::encodeName(parent).constData(), W_OK | X_OK) == 0;
    const StageSite inside{out.filePath(), QStringLiteral(".qnd_publish-")};
    if (!beside)
        return {inside};
    return {{parent, QLatin1Char('.') + out.fileName() + QStringLiteral(".qnd_publish-")}, inside};
}

// Staging directories of runs that no longer exist (killed, or older
// publishers that staged inside OUT).
void removeStaleStages(const QList<StageSite>& sites, QStringList* notes)
{
    for (const StageSite& site : sites) {
        const QStringList found = QDir(site.dir).entryList({site.prefix + QLatin1Char('*')},
                                                           QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
        for (const QString& name : found) {
            if (!leftByEndedRun(name, site.prefix))
                continue;
            const QString path = QDir(site.dir).filePath(name);
            if (QDir(path).removeRecursively())
                notes->append(QStringLiteral("removed %1, left by an interrupted run").arg(path));
        }
    }
}

// The staged entries of one target, in the order they are moved into place:
// the files first and the ini the updater fetches first last, so that a
// client never finds an ini whose files are still missing.
QStringList stagedEntries(const QString& section, const QString& iniName)
{
    return {section, iniName, iniName + productIniSignatureSuffix, iniName + productIniPackedSuffix};
}

bool alreadyPublished(const QString& versionDir, const QStringList& entries, QString* error)
{
    for (const QString& e : entries) {
        const QString path = QDir(versionDir).filePath(e);
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            *error = QStringLiteral("%1 already exists: a published version is never rewritten; publish a new version "
                                    "number or remove the old tree first")
                         .arg(path);
            return true;
        }
    }
    return false;
}

// Entries moved into place by a run killed before it moved the last one (the
// packed ini, which no updater can fetch yet): never served, so removed.
void removeInterruptedMove(const QString& versionDir, const QStringList& entries, QStringList* notes)
{
    const QDir version(versionDir);
    if (QFileInfo::exists(version.filePath(entries.last())))
        return;
    for (const QString& e : entries) {
        const QString path = version.filePath(e);
        const bool removed = QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path);
        if (removed)
            notes->append(QStringLiteral("removed %1, left by an interrupted run").arg(path));
    }
}

bool moveEntries(const QString& stagedVersion, const QString& versionDir, const QStringList& entries, QString* error)
{
    if (alreadyPublished(versionDir, entries, error))
        return false;
    if (!QFileInfo::exists(versionDir)) {
        if (QDir().rename(stagedVersion, versionDir))
            return true;
        *error = QStringLiteral("cannot move %1 to %2").arg(stagedVersion, versionDir);
        return false;
    }
    for (const QString& e : entries) {
        const QString from = QDir(stagedVersion).filePath(e), to = QDir(versionDir).filePath(e);
        if (!QDir().rename(from, to)) {
            *error = QStringLiteral("cannot move %1 to %2; the version is incomplete").arg(from, to);
            return false;
        }
    }
    return true;
}

} // namespace

PublishStaging::PublishStaging(const QString& outDir, const QString& versionDir, const QString& section,
                               const QString& iniName)
    : m_VersionDir(versionDir), m_Section(section), m_Entries(stagedEntries(section, iniName)),
      m_Sites(stageSites(outDir))
{
}

bool PublishStaging::prepare(QStringList* notes, QString* error)
{
    removeInterruptedMove(m_VersionDir, m_Entries, notes);
    if (alreadyPublished(m_VersionDir, m_Entries, error))
        return false;
    removeStaleStages(m_Sites, notes);
    return true;
}

bool PublishStaging::create(int version, QString* error)
{
    const StageSite& site = m_Sites.first();
    m_Dir = std::make_unique<QTemporaryDir>(
        QDir(site.dir).filePath(site.prefix + QString::number(::getpid()) + QStringLiteral("-XXXXXX")));
    m_StagedVersion = m_Dir->filePath(QString::number(version));
    m_Scratch = m_Dir->filePath(QStringLiteral("scratch"));
    if (!m_Dir->isValid() || !QDir().mkpath(m_StagedVersion) || !QDir().mkpath(m_Scratch)) {
        *error = QStringLiteral("cannot create a staging directory in %1").arg(site.dir);
        return false;
    }
    m_Sweeper.emplace(m_Dir->path());
    return true;
}

bool PublishStaging::moveIntoPlace(QString* error)
{
    QDir(QDir(m_StagedVersion).filePath(m_Section)).mkpath(QStringLiteral("."));
    if (!setServedModes(m_StagedVersion)) {
        *error = QStringLiteral("cannot set the modes of the files in %1").arg(m_StagedVersion);
        return false;
    }
    return moveEntries(m_StagedVersion, m_VersionDir, m_Entries, error);
}
