#include "publishrules.h"

#include "globals.h"
#include "productininames.h"
#include "publishedversions.h"
#include "publishfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

namespace {

// The canonical form of a path that may not exist yet: its deepest existing
// ancestor resolved, the rest appended.
QString resolvedPath(const QString& path)
{
    QString head = QFileInfo(path).absoluteFilePath(), tail;
    while (!QFileInfo::exists(head) && head != QLatin1String("/")) {
        tail = QFileInfo(head).fileName() + (tail.isEmpty() ? QString() : QLatin1Char('/') + tail);
        head = QFileInfo(head).absolutePath();
    }
    const QString canonical = QFileInfo(head).canonicalFilePath();
    return QDir::cleanPath(canonical + (tail.isEmpty() ? QString() : QLatin1Char('/') + tail));
}

bool within(const QString& inner, const QString& outer)
{
    return inner == outer || inner.startsWith(outer == QLatin1String("/") ? outer : outer + QLatin1Char('/'));
}

// Paths that would ship the server tree, the key or an old version to
// clients, or publish a tree over itself.
QString nestingProblem(const PublishOptions& options, const QStringList& olds)
{
    const QString newDir = resolvedPath(options.newDir), out = resolvedPath(options.outDir);
    if (within(out, newDir))
        return QStringLiteral("--out %1 is inside --new %2: the next version would ship the server tree to clients")
            .arg(options.outDir, options.newDir);
    if (within(newDir, out))
        return QStringLiteral("--new %1 is inside --out %2: a server would serve the unpublished files")
            .arg(options.newDir, options.outDir);
    if (!options.versionsDir.isEmpty() && within(resolvedPath(options.versionsDir), newDir))
        return QStringLiteral("--versions-dir %1 is inside --new %2").arg(options.versionsDir, options.newDir);
    if (!options.keyPath.isEmpty() && within(resolvedPath(options.keyPath), newDir))
        return QStringLiteral("the key %1 is inside --new %2: clients would download it")
            .arg(options.keyPath, options.newDir);
    for (const QString& old : olds) {
        const QString o = resolvedPath(old);
        if (within(o, newDir) || within(newDir, o))
            return QStringLiteral("--old %1 and --new %2 are the same folder or one holds the other")
                .arg(old, options.newDir);
    }
    return QString();
}

QHash<QString, QString> treeDigests(const PublishTree& tree, const QString& root)
{
    QHash<QString, QString> digests;
    for (const QString& rel : tree.files)
        digests.insert(rel, sha512HexOfFile(QDir(root).filePath(rel)).toLower());
    return digests;
}

} // namespace

QString productIniName(int targetKind)
{
    return productIniFileName(targetKind);
}

QString sectionProblem(const QString& section)
{
    // "General" is where the ini format keeps keys outside every group.
    if (section == productIniDeleteGroup || section == productIniPreInstallGroup
        || section == productIniPostInstallGroup || section == productIniGeneralGroup
        || section.contains(QLatin1Char('/')) || section.startsWith(QLatin1Char('.')))
        return QStringLiteral("%1 cannot name a file section").arg(section);
    return QString();
}

QStringList oldTrees(const PublishOptions& options)
{
    QStringList olds;
    if (!options.oldDir.isEmpty())
        olds << options.oldDir;
    for (const QString& d : options.oldDirs) {
        if (!olds.contains(d))
            olds << d;
    }
    return olds;
}

bool checkOptions(const PublishOptions& options, const QStringList& olds, const QString& section, QString* error)
{
    if (options.version <= 0)
        *error = QStringLiteral("the version must be a number above 0");
    else if (options.keyPath.isEmpty())
        *error = QStringLiteral("no signing key given: the tree is signed with the private key named");
    else if (options.outDir.isEmpty())
        *error = QStringLiteral("no output directory given");
    else if (!QFileInfo(options.newDir).isDir())
        *error = QStringLiteral("no new client directory %1").arg(options.newDir);
    else
        *error = sectionProblem(section);
    for (const QString& old : olds) {
        if (error->isEmpty() && !QFileInfo(old).isDir())
            *error = QStringLiteral("no old client directory %1").arg(old);
    }
    if (error->isEmpty())
        *error = nestingProblem(options, olds);
    return error->isEmpty();
}

// Paths of the tree whose names the updater reads otherwise: its own names
// at the top of an installation, and names the reader takes for patches. The
// updater's program is not among them in a client tree: that tree carries it,
// so that the client step replaces the installed updater like any other file.
QStringList reservedNameProblems(const PublishTree& tree, const PublishOptions& options)
{
    QStringList problems;
    for (const QString& name : updaterOwnNames(0)) {
        if (tree.files.contains(name) || tree.dirs.contains(name))
            problems << QStringLiteral("%1: the name %2 belongs to the updater in a client directory")
                            .arg(QDir(options.newDir).filePath(name), name);
    }
    const QString program = updaterProgramName;
    // The client step would move the installed updater aside for a folder.
    if (options.targetKind == 1 && tree.dirs.contains(program))
        problems << QStringLiteral("%1: the name %2 belongs to the updater's program in a client directory")
                        .arg(QDir(options.newDir).filePath(program), program);
    // Installed as it is published: without its owner's execute bit every
    // later start of the updater would fail.
    if (options.targetKind == 1 && tree.files.contains(program) && !(tree.modes.value(program) & 0100))
        problems << QStringLiteral("%1: the updater program must be executable by its owner, or clients lose their "
                                   "updater")
                        .arg(QDir(options.newDir).filePath(program));
    for (const QString& rel : tree.files) {
        if (rel.endsWith(productIniPatchSuffix))
            problems << QStringLiteral("%1: its name ends in _patch_, which the updater reads as a patch")
                            .arg(QDir(options.newDir).filePath(rel));
    }
    return problems;
}

// Checked by whichever of a version's two trees is published second.
QString updaterFilesProblem(const PublishTree& tree, const PublishOptions& options, const QString& versionDir)
{
    const QString otherIni = QDir(versionDir).filePath(productIniName(options.targetKind == 1 ? 0 : 1));
    if (!QFileInfo(otherIni).isFile())
        return QString();
    const QHash<QString, QString> published = publishedDigests(otherIni);
    const QHash<QString, QString> mine = treeDigests(tree, options.newDir);
    if (options.targetKind == 1) {
        const QString name = updaterFileNotCarried(published, mine);
        return name.isEmpty() ? QString()
                              : QStringLiteral("%1 must be the updater's %2 of version %3 as published in %4: %5")
                                    .arg(QDir(options.newDir).filePath(name), name, QString::number(options.version),
                                         versionDir, QLatin1String(kCarryReason));
    }
    const QString name = updaterFileNotCarried(mine, published);
    return name.isEmpty()
        ? QString()
        : QStringLiteral("%1: the client tree of version %2 in %3 does not carry this file byte for byte; %4. "
                         "Remove %3 and publish the client tree again with the updater's files in it")
              .arg(QDir(options.newDir).filePath(name), QString::number(options.version), versionDir,
                   QLatin1String(kCarryReason));
}

// A line carries at least the name, a digest and a size.
bool iniCanFit(const PublishTree& tree, QString* error)
{
    qint64 least = 0;
    for (const QString& rel : tree.files)
        least += rel.toUtf8().size() + 130;
    if (least <= kMaxProductIniBytes)
        return true;
    *error = QStringLiteral("%1 files need a product ini of more than %2 bytes, which the updater refuses")
                 .arg(tree.files.size())
                 .arg(kMaxProductIniBytes);
    return false;
}
