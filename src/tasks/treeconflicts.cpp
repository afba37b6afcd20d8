#include "treeconflicts.h"

#include "installpath.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>

#include <dirent.h>
#include <sys/stat.h>

namespace {

bool lstatPath(const QString& path, struct stat* st)
{
    return ::lstat(QFile::encodeName(path).constData(), st) == 0;
}

class DeletedPaths
{
public:
    explicit DeletedPaths(const QList<DeleteFileData>& deletions)
    {
        for (const DeleteFileData& d : deletions)
            (d.recursive ? m_Trees : m_Paths).insert(QDir::cleanPath(d.path));
    }
    // A folder goes with all it holds only by a recursive line; a plain line
    // removes it only when it is empty.
    bool covers(const QString& rel, bool isFolder) const
    {
        if (!isFolder && m_Paths.contains(rel))
            return true;
        for (QString p = rel;; p = p.left(p.lastIndexOf(QLatin1Char('/')))) {
            if (m_Trees.contains(p))
                return true;
            if (!p.contains(QLatin1Char('/')))
                return false;
        }
    }

private:
    QSet<QString> m_Paths, m_Trees;
};

// The first thing below rel (a real folder) that the deletions leave: a
// file, a link or anything else that is not a folder, or a folder that
// cannot be read, whose content is unknown.
QString firstKept(const QString& root, const QString& rel, const DeletedPaths& deleted)
{
    const QByteArray path = QFile::encodeName(root + QLatin1Char('/') + rel);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return rel;
    QList<QByteArray> names;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    // In name order, not the file system's: the entry named is the same
    // wherever the installation lies.
    std::sort(names.begin(), names.end());
    QStringList folders;
    QString kept;
    for (int i = 0; kept.isEmpty() && i < names.size(); ++i) {
        const QString child = rel + QLatin1Char('/') + QFile::decodeName(names.at(i));
        struct stat st;
        if (lstatPath(root + QLatin1Char('/') + child, &st) && S_ISDIR(st.st_mode))
            folders << child;
        else if (!deleted.covers(child, false))
            kept = child;
    }
    for (int i = 0; kept.isEmpty() && i < folders.size(); ++i) {
        if (!deleted.covers(folders.at(i), true))
            kept = firstKept(root, folders.at(i), deleted);
    }
    return kept;
}

} // namespace

QList<TreeConflict> findTreeConflicts(const QString& installDir, const QStringList& targets,
                                      const QList<DeleteFileData>& deletions)
{
    const QString root = QDir::cleanPath(installDir);
    const DeletedPaths deleted(deletions);
    QList<TreeConflict> found;
    QSet<QString> seen;
    const auto add = [&](const QString& rel, bool isFolder) {
        if (seen.contains(rel))
            return;
        seen.insert(rel);
        // A file where the new tree needs a folder is the old tree's: the
        // reader refuses an ini that installs a name and a name below it.
        TreeConflict c{rel, isFolder, QString()};
        if (isFolder && !deleted.covers(rel, true))
            c.kept = firstKept(root, rel, deleted);
        found << c;
    };
    for (const QString& target : targets) {
        const QStringList parts = QDir::cleanPath(target).split(QLatin1Char('/'));
        QString rel;
        for (int i = 0; i < parts.size(); ++i) {
            rel += (i ? QStringLiteral("/") : QString()) + parts.at(i);
            struct stat st;
            if (!lstatPath(root + QLatin1Char('/') + rel, &st))
                break; // nothing deeper exists
            const bool last = i + 1 == parts.size();
            if (last) {
                if (S_ISDIR(st.st_mode))
                    add(rel, true);
            } else if (!S_ISDIR(st.st_mode)) {
                // A link to a folder is written through, as it always was; the
                // install-directory checks keep that inside.
                struct stat target;
                const bool folderLink = S_ISLNK(st.st_mode)
                    && ::stat(QFile::encodeName(root + QLatin1Char('/') + rel).constData(), &target) == 0
                    && S_ISDIR(target.st_mode);
                if (!folderLink) {
                    add(rel, false);
                    break; // nothing deeper can stand below a file
                }
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const TreeConflict& a, const TreeConflict& b) {
        return a.path.count(QLatin1Char('/')) < b.path.count(QLatin1Char('/'));
    });
    return found;
}

QString keptEntryText(const QString& installDir, const TreeConflict& conflict)
{
    const QString path = QDir::cleanPath(installDir) + QLatin1Char('/') + conflict.path;
    const QString kept = QDir::cleanPath(installDir) + QLatin1Char('/') + conflict.kept;
    return QStringLiteral("The update needs a file at '%1', where a folder stands that holds '%2', which is not "
                          "part of the client. Move it elsewhere and start the update again.")
        .arg(path, kept);
}

namespace {

QString identity(const struct stat& st)
{
    return QStringLiteral("%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
}

} // namespace

InstalledNamesCheck checkInstalledNames(const QString& installDir, const QStringList& installed,
                                        const QStringList& deleted, bool entriesCount)
{
    InstalledNamesCheck check;
    const QString root = QDir::cleanPath(installDir);
    const auto inRoot = [&](const QString& rel) { return root + QLatin1Char('/') + rel; };
    // Folder and name in it -> the first listed name that reaches it (as its
    // index: installed names come first); a file of several names -> the
    // first installed name of it. Looked up only, so the ini's order alone
    // decides which pair is named.
    QHash<QString, int> entries;
    QHash<QString, QString> files;
    for (int i = 0; i < installed.size() + deleted.size(); ++i) {
        const bool installs = i < installed.size();
        const QString& name = installs ? installed.at(i) : deleted.at(i - installed.size());
        InstalledName at;
        if (!locateInstalledName(root, inRoot(name), &at)) {
            if (at.linkOut.isEmpty())
                continue; // its folder is made by the update
            check.refusal = QStringLiteral("'%1' is a folder link to '%2', which is not a folder inside the "
                                           "installation. Put the folder itself in place of the link and start the "
                                           "update again.")
                                .arg(inRoot(at.linkOut), at.linkOutText);
            return check;
        }
        if (installs && at.exists && S_ISLNK(at.entry.st_mode))
            check.sharedFiles.insert(name);
        // A deletion that finds nothing is dropped; one that finds a listed
        // name's entry would remove what the update put there.
        if (!entriesCount || (!installs && !at.exists))
            continue;
        const QString entry = identity(at.folder) + QLatin1Char('/') + QFile::decodeName(at.leaf);
        const auto other = entries.constFind(entry);
        if (other == entries.constEnd()) {
            entries.insert(entry, i);
        } else if (installs || *other < installed.size()) {
            const QString& first = installed.at(*other);
            InstalledName firstAt;
            locateInstalledName(root, inRoot(first), &firstAt);
            const InstalledName& linked = at.firstLink.isEmpty() ? firstAt : at;
            check.refusal = linked.firstLink.isEmpty()
                ? QStringLiteral("'%1' and '%2' are one file in this installation. Make each a file of its own and "
                                 "start the update again.")
                      .arg(inRoot(first), inRoot(name))
                : QStringLiteral("'%1' and '%2' are one file in this installation: the folder '%3' is a link to "
                                 "'%4'. Put a folder of its own in place of the link and start the update again.")
                      .arg(inRoot(first), inRoot(name), inRoot(linked.firstLink), linked.firstLinkText);
            return check;
        }
        if (installs && at.exists && S_ISREG(at.entry.st_mode) && at.entry.st_nlink > 1) {
            const QString file = identity(at.entry);
            const auto twin = files.constFind(file);
            if (twin == files.constEnd()) {
                files.insert(file, name);
            } else {
                check.sharedFiles.insert(*twin);
                check.sharedFiles.insert(name);
            }
        }
    }
    return check;
}
