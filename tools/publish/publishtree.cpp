#include "publishtree.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DirCloser
{
    void operator()(DIR* d) const { closedir(d); }
};

bool isUtf8(const QByteArray& name)
{
    return QString::fromUtf8(name).toUtf8() == name;
}

QByteArray realPath(const QByteArray& path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.constData(), nullptr), &std::free);
    return resolved ? QByteArray(resolved.get()) : QByteArray();
}

class TreeScanner
{
public:
    // refused is null for an old tree: its first error stops the scan.
    TreeScanner(QStringList* refused, PublishTree* tree, QStringList* notes, QString* error)
        : m_Strict(refused != nullptr), m_Refused(refused), m_Tree(tree), m_Notes(notes), m_Error(error)
    {
    }

    bool scan(const QString& root)
    {
        *m_Tree = PublishTree();
        m_Root = QFile::encodeName(root);
        m_RealRoot = realPath(m_Root);
        if (m_RealRoot.isEmpty()) {
            fail(QStringLiteral("cannot read the folder %1: %2").arg(root, QString::fromLocal8Bit(strerror(errno))));
            return false;
        }
        if (!walk(m_Root, QString()))
            return false;
        m_Tree->files.sort();
        return !m_Strict || m_Refused->isEmpty();
    }

private:
    // A tree to publish is walked to its end, so that one run names every
    // path to fix; an old tree stops at its first error.
    bool fail(const QString& text)
    {
        if (m_Strict) {
            m_Refused->append(text);
            return true;
        }
        *m_Error = text;
        return false;
    }
    // Refused in a tree to publish, skipped with a note in an old one.
    bool reject(const QByteArray& path, const QString& why)
    {
        if (m_Strict)
            return fail(QStringLiteral("%1: %2").arg(printablePath(path), why));
        m_Notes->append(QStringLiteral("%1 is left out of the old tree: %2").arg(printablePath(path), why));
        return true;
    }
    bool walk(const QByteArray& dir, const QString& rel);
    bool entry(const QByteArray& path, const QString& rel);
    void addFile(const QString& rel, const struct stat& st)
    {
        m_Tree->files << rel;
        m_Tree->modes.insert(rel, int(st.st_mode & 07777));
        m_Tree->sizes.insert(rel, qint64(st.st_size));
    }

    int refusedCount() const { return m_Strict ? m_Refused->size() : 0; }

    const bool m_Strict;
    QStringList* m_Refused;
    int m_Unread = 0; // folders whose entries could not be listed
    PublishTree* m_Tree;
    QStringList* m_Notes;
    QString* m_Error;
    QByteArray m_Root, m_RealRoot;
};

bool TreeScanner::walk(const QByteArray& dir, const QString& rel)
{
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.constData()));
    if (!d) {
        ++m_Unread;
        return fail(QStringLiteral("cannot read the folder %1: %2")
                        .arg(printablePath(dir), QString::fromLocal8Bit(strerror(errno))));
    }
    std::vector<QByteArray> names;
    errno = 0;
    while (const dirent* e = readdir(d.get())) {
        const QByteArray name(e->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    if (errno != 0) {
        ++m_Unread;
        return fail(QStringLiteral("cannot read the folder %1: %2")
                        .arg(printablePath(dir), QString::fromLocal8Bit(strerror(errno))));
    }
    d.reset();
    // Clients get files only; a folder nothing lands in never reaches them.
    if (names.empty() && !rel.isEmpty() && m_Strict)
        return fail(QStringLiteral("%1: an empty folder cannot be published (clients only receive files); put a "
                                   "file in it or remove it")
                        .arg(printablePath(dir)));
    std::sort(names.begin(), names.end());
    const int filesBefore = m_Tree->files.size(), unreadBefore = m_Unread, refusedBefore = refusedCount();
    for (const QByteArray& name : names) {
        const QByteArray path = dir + '/' + name;
        if (!isUtf8(name)) {
            if (!reject(path, QStringLiteral("the name is not valid UTF-8, which the product ini cannot carry")))
                return false;
            continue;
        }
        const QString child =
            rel.isEmpty() ? QString::fromUtf8(name) : rel + QLatin1Char('/') + QString::fromUtf8(name);
        if (!entry(path, child))
            return false;
    }
    // Named now rather than on the run after its refused entries are gone.
    if (m_Strict && !rel.isEmpty() && m_Tree->files.size() == filesBefore && m_Unread == unreadBefore
        && refusedCount() > refusedBefore)
        return fail(QStringLiteral("%1: none of its entries can be published, so it would be an empty folder")
                        .arg(printablePath(dir)));
    return true;
}

bool TreeScanner::entry(const QByteArray& path, const QString& rel)
{
    struct stat st;
    if (lstat(path.constData(), &st) != 0)
        return fail(
            QStringLiteral("cannot read %1: %2").arg(printablePath(path), QString::fromLocal8Bit(strerror(errno))));
    if (S_ISDIR(st.st_mode)) {
        m_Tree->dirs.insert(rel);
        return walk(path, rel);
    }
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        if (stat(path.constData(), &target) != 0)
            return reject(path, QStringLiteral("a broken link"));
        if (S_ISDIR(target.st_mode))
            return reject(path, QStringLiteral("a link to a folder; put the folder itself in the tree"));
        const QByteArray real = realPath(path);
        if (m_Strict && !real.startsWith(m_RealRoot + '/'))
            return fail(QStringLiteral("%1: a link to %2, outside the tree; put the file itself in the tree")
                            .arg(printablePath(path), printablePath(real)));
        if (!S_ISREG(target.st_mode))
            return reject(path, QStringLiteral("a link to something that is not a file"));
        if (m_Strict)
            m_Notes->append(QStringLiteral("%1 is a link: clients get a copy of %2")
                                .arg(rel, QString::fromUtf8(real.mid(m_RealRoot.size() + 1))));
        st = target;
    } else if (!S_ISREG(st.st_mode)) {
        return reject(path, QStringLiteral("not a file, folder or link"));
    }
    // Refused here rather than after hours of packing.
    const int fd = m_Strict ? open(path.constData(), O_RDONLY | O_CLOEXEC) : -2;
    if (fd == -1)
        return fail(
            QStringLiteral("cannot read %1: %2").arg(printablePath(path), QString::fromLocal8Bit(strerror(errno))));
    if (fd >= 0)
        close(fd);
    addFile(rel, st);
    return true;
}

} // namespace

QString printablePath(const QByteArray& path)
{
    QString out;
    for (int i = 0; i < path.size();) {
        const uchar lead = uchar(path.at(i));
        const int len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        const QByteArray ch = path.mid(i, len);
        if (len > 0 && ch.size() == len && isUtf8(ch)) {
            out += QString::fromUtf8(ch);
            i += len;
        } else {
            out += QStringLiteral("\\x%1").arg(lead, 2, 16, QLatin1Char('0'));
            ++i;
        }
    }
    return out;
}

bool scanNewTree(const QString& root, PublishTree* tree, QStringList* notes, QStringList* refused)
{
    QString unused;
    return TreeScanner(refused, tree, notes, &unused).scan(root);
}

bool scanOldTree(const QString& root, PublishTree* tree, QStringList* notes, QString* error)
{
    return TreeScanner(nullptr, tree, notes, error).scan(root);
}
