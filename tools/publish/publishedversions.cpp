#include "publishedversions.h"

#include "productininames.h"
#include "publishfiles.h"
#include "publishrules.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSettings>

#include <algorithm>

namespace {

struct InstalledFile
{
    QString hash;
    qint64 size = -1;
};

// The files a published product ini installs, by their names in the client
// directory: whole lines name the file themselves, packed lines in their
// fifth part; patch lines only say how to get there.
QHash<QString, InstalledFile> installedFiles(const QString& iniPath)
{
    QHash<QString, InstalledFile> files;
    QSettings ini(iniPath, QSettings::IniFormat);
    const QStringList groups = ini.childGroups();
    for (const QString& group : groups) {
        if (group == productIniDeleteGroup || group == productIniPreInstallGroup || group == productIniPostInstallGroup)
            continue;
        ini.beginGroup(group);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            if (key.endsWith(productIniPatchSuffix))
                continue;
            const QStringList parts = ini.value(key).toString().split(productIniPartSeparator);
            if (parts.size() == 2)
                files.insert(key, {parts.at(0).toLower(), parts.at(1).toLongLong()});
            else if (parts.size() == 5)
                files.insert(parts.at(4), {parts.at(2).toLower(), parts.at(3).toLongLong()});
        }
        ini.endGroup();
    }
    return files;
}

} // namespace

// The packed ini is moved into place last.
QList<int> publishedVersions(const QString& outDir, int targetKind)
{
    QList<int> versions;
    const QString ini = productIniName(targetKind) + productIniPackedSuffix;
    const QStringList names = QDir(outDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        bool ok = false;
        const int v = name.toInt(&ok, 10);
        if (ok && v > 0 && name == QString::number(v)
            && QFileInfo(QDir(outDir).filePath(name + QLatin1Char('/') + ini)).isFile())
            versions << v;
    }
    std::sort(versions.begin(), versions.end(), std::greater<int>());
    return versions;
}

QString updaterFileNotCarried(const QHash<QString, QString>& updater, const QHash<QString, QString>& client)
{
    QStringList names = updater.keys();
    names.sort();
    for (const QString& name : qAsConst(names)) {
        if (client.value(name) != updater.value(name))
            return name;
    }
    return QString();
}

const char kCarryReason[] =
    "a version's client tree carries its updater's files byte for byte, so that the client step replaces the "
    "installed updater";

namespace {

// Where the tree first differs from a published version; empty when it holds
// exactly that version.
class TreeComparer
{
public:
    TreeComparer(const QString& root, const PublishTree& tree, int targetKind)
        : m_Root(root), m_Own(updaterOwnNames(targetKind))
    {
        for (const QString& rel : tree.files) {
            if (!m_Own.contains(rel.section(QLatin1Char('/'), 0, 0)))
                m_Sizes.insert(rel, tree.sizes.value(rel));
        }
    }

    QString difference(const QHash<QString, InstalledFile>& published)
    {
        for (auto it = published.cbegin(); it != published.cend(); ++it) {
            if (!m_Sizes.contains(it.key()) && !m_Own.contains(it.key().section(QLatin1Char('/'), 0, 0)))
                return QStringLiteral("it lacks %1").arg(it.key());
        }
        QStringList names = m_Sizes.keys();
        names.sort();
        for (const QString& rel : qAsConst(names)) {
            if (!published.contains(rel))
                return QStringLiteral("%1 is not in it").arg(rel);
            if (published.value(rel).size != m_Sizes.value(rel))
                return QStringLiteral("%1 has another size").arg(rel);
        }
        for (const QString& rel : qAsConst(names)) {
            if (!m_Digests.contains(rel))
                m_Digests.insert(rel, sha512HexOfFile(QDir(m_Root).filePath(rel)).toLower());
            if (m_Digests.value(rel) != published.value(rel).hash)
                return QStringLiteral("%1 has other bytes").arg(rel);
        }
        return QString();
    }

private:
    const QString m_Root;
    // Left out on both sides: an installed updater may be another build than
    // the one a client tree published with it.
    const QStringList m_Own;
    QHash<QString, qint64> m_Sizes;
    QHash<QString, QString> m_Digests; // read once, whatever the number of versions compared
};

} // namespace

QHash<QString, QString> publishedDigests(const QString& iniPath)
{
    QHash<QString, QString> digests;
    if (!QFileInfo(iniPath).isFile())
        return digests;
    const QHash<QString, InstalledFile> files = installedFiles(iniPath);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        digests.insert(it.key(), it.value().hash);
    return digests;
}

bool matchesPublishedVersion(const QString& outDir, int targetKind, const QString& root, const PublishTree& tree,
                             QString* error)
{
    const QList<int> versions = publishedVersions(outDir, targetKind);
    if (versions.isEmpty())
        return true;
    TreeComparer comparer(root, tree, targetKind);
    QString newest;
    QStringList numbers;
    for (int v : versions) {
        const QString iniPath = QDir(outDir).filePath(QStringLiteral("%1/%2").arg(v).arg(productIniName(targetKind)));
        const QString difference = comparer.difference(installedFiles(iniPath));
        if (difference.isEmpty())
            return true;
        if (newest.isEmpty())
            newest = difference;
        numbers.prepend(QString::number(v));
    }
    *error = QStringLiteral("--old %1 is no version published in %2 (%3): against version %4, %5; give the installed "
                            "files of a published version")
                 .arg(root, outDir, numbers.join(QStringLiteral(", ")), QString::number(versions.first()), newest);
    return false;
}
