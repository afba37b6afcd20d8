#include "productinishape.h"

#include "downloadreplacelistdata.h"
#include "productininames.h"
#include "relativepath.h"

#include <QDir>
#include <QHash>
#include <QSettings>

namespace {

QString lineName(const QString& group, const QString& key)
{
    return QStringLiteral("[%1] %2").arg(group, key);
}

// Every folder above a cleaned relative name, nearest first.
QStringList foldersAbove(const QString& name)
{
    QStringList folders;
    for (int slash = name.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = name.lastIndexOf(QLatin1Char('/'), slash - 1))
        folders << name.left(slash);
    return folders;
}

// Calls f(group, key, installed name) for every line of the file groups
// that has the two or five parts of a file line; patch lines and the
// command and delete groups are not file lines.
template <typename F> void forEachFileLine(QSettings& ini, F&& f)
{
    const QStringList groups = ini.childGroups();
    for (const QString& g : groups) {
        if (g == productIniPreInstallGroup || g == productIniPostInstallGroup || g == productIniDeleteGroup)
            continue;
        ini.beginGroup(g);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            if (key.endsWith(productIniPatchSuffix))
                continue;
            const QStringList parts = ini.value(key).toString().split(productIniPartSeparator);
            if (parts.size() != 2 && parts.size() != 5)
                continue;
            f(g, key, parts.size() == 5 && !parts.at(4).isEmpty() ? parts.at(4) : key);
        }
        ini.endGroup();
    }
}

} // namespace

QStringList productIniShapeProblems(QSettings& ini)
{
    QStringList problems;
    // Cleaned installed name -> the line that installs it.
    QHash<QString, QString> installed;
    forEachFileLine(ini, [&](const QString& g, const QString& key, const QString& target) {
        const QString name = QDir::cleanPath(target);
        const QString line = lineName(g, key);
        const auto other = installed.constFind(name);
        if (other != installed.constEnd())
            problems << QStringLiteral("%1 and %2 both install %3").arg(*other, line, name);
        else
            installed.insert(name, line);
    });
    ini.beginGroup(productIniDeleteGroup);
    const QStringList deletions = ini.allKeys();
    ini.endGroup();
    // Folder of the new tree -> one line that installs something below it.
    // (Deleting such a folder is harmless: the delete list keeps every
    // folder of the new tree.)
    QHash<QString, QString> folders;
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        for (const QString& folder : foldersAbove(it.key())) {
            if (folders.contains(folder))
                break; // and so are the ones above it
            folders.insert(folder, it.value());
        }
    }
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        const auto below = folders.constFind(it.key());
        if (below != folders.constEnd())
            problems << QStringLiteral("%1 installs the file %2, which %3 needs as a folder")
                            .arg(it.value(), it.key(), *below);
    }
    for (const QString& key : qAsConst(deletions)) {
        const QString name = QDir::cleanPath(key);
        const auto file = installed.constFind(name);
        if (file != installed.constEnd())
            problems << QStringLiteral("%1 deletes %2, which %3 installs")
                            .arg(lineName(productIniDeleteGroup, key), name, *file);
    }
    QHash<QString, QString> listed;
    const QStringList items = ini.value(executablesIniKey).toStringList();
    for (const QString& item : items) {
        const int split = item.indexOf(productIniPartSeparator);
        if (split <= 0)
            continue;
        const QString name = QDir::cleanPath(item.mid(split + productIniPartSeparator.size()));
        const auto other = listed.constFind(name);
        if (other != listed.constEnd())
            problems << QStringLiteral("%1 items %2 and %3 both name %4").arg(executablesIniKey, *other, item, name);
        else
            listed.insert(name, item);
    }
    // QHash order is not stable between runs; the report must be.
    problems.sort();
    return problems;
}

ProductIniNames productIniNames(QSettings& ini)
{
    ProductIniNames names;
    forEachFileLine(ini, [&](const QString&, const QString&, const QString& target) {
        if (isContainedRelativePath(target))
            names.installed << QDir::cleanPath(target);
    });
    ini.beginGroup(productIniDeleteGroup);
    const QStringList deleted = ini.allKeys();
    ini.endGroup();
    for (const QString& name : deleted) {
        if (!name.endsWith(productIniPatchSuffix) && isContainedRelativePath(name))
            names.deleted << QDir::cleanPath(name);
    }
    return names;
}
