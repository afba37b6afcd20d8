#include "installpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// More links than this in one path are taken for a loop.
const int kMaxLinks = 40;

enum class Walk { Opened, Missing, Outside, NotDir, Failed };

QString absoluteClean(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// The components of path below installDir; false when it is not below it.
bool componentsBelow(const QString& installDir, const QString& path, QStringList* parts)
{
    QString base = absoluteClean(installDir);
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    const QString full = absoluteClean(path);
    if (!full.startsWith(base))
        return false;
    *parts = full.mid(base.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return !parts->isEmpty();
}

// Where the link name in dir leads, as components below the install
// directory (root's names: as given and resolved); false when it leads out.
bool linkTarget(int dir, const QByteArray& name, const QStringList& roots, const QStringList& done, QStringList* target)
{
    char buffer[4096];
    const ssize_t n = ::readlinkat(dir, name.constData(), buffer, sizeof buffer);
    if (n <= 0 || size_t(n) >= sizeof buffer)
        return false;
    const QString text = QFile::decodeName(QByteArray(buffer, int(n)));
    if (!text.startsWith(QLatin1Char('/'))) {
        *target = done + text.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        return true;
    }
    const QString clean = QDir::cleanPath(text);
    for (const QString& root : roots) {
        if (root.isEmpty())
            continue;
        if (clean == root) {
            target->clear();
            return true;
        }
        const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
        if (clean.startsWith(prefix)) {
            *target = clean.mid(prefix.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
            return true;
        }
    }
    return false;
}

// The folder links a walk met: for messages that name the one to change.
struct WalkTrace
{
    QString firstLink; // the first one followed
    QString firstLinkText;
    QString badLink; // one that leads out or nowhere
    QString badLinkText;
};

QString linkText(int dir, const QByteArray& name)
{
    char text[4096];
    const ssize_t n = ::readlinkat(dir, name.constData(), text, sizeof text);
    return n > 0 ? QFile::decodeName(QByteArray(text, int(n))) : QString();
}

// Opens dirs below root one component at a time without following links;
// a link is resolved by hand and the walk starts over along its target,
// which must be an existing directory inside. *out gets the last directory,
// and *opened (when given) its components below root.
Walk walkDirs(int root, const QStringList& roots, QStringList dirs, UniqueFd* out, int* links,
              QStringList* opened = nullptr, WalkTrace* trace = nullptr)
{
    for (;;) {
        UniqueFd cur(::openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!cur.isValid())
            return Walk::Failed;
        QStringList done;
        bool again = false;
        for (int i = 0; i < dirs.size() && !again; ++i) {
            const QString& part = dirs.at(i);
            if (part.isEmpty() || part == QLatin1String("."))
                continue;
            if (part == QLatin1String("..")) {
                if (done.isEmpty()) {
                    errno = ELOOP;
                    return Walk::Outside;
                }
                done.removeLast();
                dirs = done + dirs.mid(i + 1);
                again = true;
                break;
            }
            const QByteArray name = QFile::encodeName(part);
            const int fd = ::openat(cur.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                cur.reset(fd);
                done << part;
                continue;
            }
            const int err = errno;
            if (err == ENOENT)
                return Walk::Missing;
            struct stat st;
            if ((err == ELOOP || err == ENOTDIR)
                && ::fstatat(cur.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                QStringList target;
                UniqueFd probe;
                const QString here = (done + QStringList(part)).join(QLatin1Char('/'));
                if (trace && trace->firstLink.isEmpty()) {
                    trace->firstLink = here;
                    trace->firstLinkText = linkText(cur.get(), name);
                }
                if (++*links > kMaxLinks || !linkTarget(cur.get(), name, roots, done, &target)
                    || walkDirs(root, roots, target, &probe, links) != Walk::Opened) {
                    if (trace) {
                        trace->badLink = here;
                        trace->badLinkText = linkText(cur.get(), name);
                    }
                    errno = ELOOP;
                    return Walk::Outside;
                }
                dirs = target + dirs.mid(i + 1);
                again = true;
                break;
            }
            errno = err;
            return err == ENOTDIR || err == ELOOP ? Walk::NotDir : Walk::Failed;
        }
        if (!again) {
            *out = std::move(cur);
            if (opened)
                *opened = done;
            return Walk::Opened;
        }
    }
}

QStringList installRoots(const QString& installDir)
{
    return {absoluteClean(installDir), QFileInfo(installDir).canonicalFilePath()};
}

bool openRoot(const QString& installDir, int flags, InstallRoot* out)
{
    if (installDir.isEmpty()) {
        errno = ENOENT;
        return false;
    }
    // The names are taken now: later the name may lead elsewhere.
    out->names = installRoots(installDir);
    out->path = QDir::cleanPath(installDir);
    out->fd.reset(::open(QFile::encodeName(installDir).constData(), flags | O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return out->fd.isValid();
}

// Walks from root to the directory that holds path; *leaf gets its last
// component.
Walk walkToParent(const InstallRoot& root, const QString& path, UniqueFd* out, QByteArray* leaf,
                  WalkTrace* trace = nullptr)
{
    if (!root.fd.isValid())
        return Walk::Failed;
    QStringList parts;
    if (!componentsBelow(root.path, path, &parts)) {
        errno = ELOOP;
        return Walk::Outside;
    }
    *leaf = QFile::encodeName(parts.takeLast());
    int links = 0;
    return walkDirs(root.fd.get(), root.names, parts, out, &links, nullptr, trace);
}

// The same from the install directory opened by its name, as the user
// chose it, links and all.
Walk walkToParent(const QString& installDir, const QString& path, UniqueFd* out, QByteArray* leaf,
                  WalkTrace* trace = nullptr)
{
    QStringList parts;
    if (!componentsBelow(installDir, path, &parts)) {
        errno = ELOOP;
        return Walk::Outside;
    }
    InstallRoot root;
    openInstallRootAsNamed(installDir, &root);
    return walkToParent(root, path, out, leaf, trace);
}

// openInstallLocation()'s outcome of a walk.
bool opensLocation(Walk walk, UniqueFd dir, const QByteArray& leaf, InstallLocation* out)
{
    if (walk == Walk::Missing)
        errno = ENOENT;
    if (walk != Walk::Opened)
        return false;
    out->dir = std::move(dir);
    out->leaf = leaf;
    return true;
}

// What is missing below the deepest existing directory is created by us as
// real directories; a file in the way fails later, with its own text.
bool staysInside(Walk walk)
{
    return walk == Walk::Opened || walk == Walk::Missing || walk == Walk::NotDir;
}

} // namespace

int openInstallDir(const QString& installDir)
{
    if (installDir.isEmpty()) {
        errno = ENOENT;
        return -1;
    }
    return ::open(QFile::encodeName(installDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool openInstallRoot(const QString& installDir, InstallRoot* out)
{
    return openRoot(installDir, O_NOFOLLOW, out);
}

bool openInstallRootAsNamed(const QString& installDir, InstallRoot* out)
{
    return openRoot(installDir, 0, out);
}

bool openInstallLocation(const QString& installDir, const QString& path, InstallLocation* out)
{
    UniqueFd dir;
    QByteArray leaf;
    const Walk walk = walkToParent(installDir, path, &dir, &leaf);
    return opensLocation(walk, std::move(dir), leaf, out);
}

bool openInstallLocation(const InstallRoot& root, const QString& path, InstallLocation* out)
{
    UniqueFd dir;
    QByteArray leaf;
    const Walk walk = walkToParent(root, path, &dir, &leaf);
    return opensLocation(walk, std::move(dir), leaf, out);
}

int openInstalledFile(const QString& installDir, const QString& path)
{
    QStringList parts;
    if (!componentsBelow(installDir, path, &parts)) {
        errno = ELOOP;
        return -1;
    }
    UniqueFd root(openInstallDir(installDir));
    if (!root.isValid())
        return -1;
    const QStringList roots = installRoots(installDir);
    int links = 0;
    for (;;) {
        const QString last = parts.takeLast();
        // A link's text may end in "." or "..": that names a folder, and one
        // that may lie above the walk's start.
        if (last.isEmpty() || last == QLatin1String(".") || last == QLatin1String("..")) {
            errno = ELOOP;
            return -1;
        }
        const QByteArray leaf = QFile::encodeName(last);
        UniqueFd dir;
        QStringList done;
        const Walk walk = walkDirs(root.get(), roots, parts, &dir, &links, &done);
        if (walk != Walk::Opened) {
            if (walk == Walk::Missing)
                errno = ENOENT;
            return -1;
        }
        // Only a regular file is opened at all: opening a fifo can wake its
        // writer and opening a device can act on it. Non-blocking, so that
        // a fifo swapped in after the look cannot hold the open either.
        struct stat entry;
        if (::fstatat(dir.get(), leaf.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (!S_ISREG(entry.st_mode) && !S_ISLNK(entry.st_mode)) {
            errno = EISDIR;
            return -1;
        }
        UniqueFd file(::openat(dir.get(), leaf.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.isValid()) {
            struct stat st;
            if (::fstat(file.get(), &st) != 0)
                return -1;
            if (!S_ISREG(st.st_mode)) {
                errno = EISDIR;
                return -1;
            }
            const int flags = ::fcntl(file.get(), F_GETFL);
            if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
                return -1;
            return file.release();
        }
        if (errno != ELOOP)
            return -1;
        if (++links > kMaxLinks || !linkTarget(dir.get(), leaf, roots, done, &parts) || parts.isEmpty()) {
            errno = ELOOP;
            return -1;
        }
    }
}

bool locateInstalledName(const QString& installDir, const QString& path, InstalledName* out)
{
    *out = InstalledName();
    UniqueFd dir;
    WalkTrace trace;
    const Walk walk = walkToParent(installDir, path, &dir, &out->leaf, &trace);
    out->firstLink = trace.firstLink;
    out->firstLinkText = trace.firstLinkText;
    out->linkOut = trace.badLink;
    out->linkOutText = trace.badLinkText;
    if (walk != Walk::Opened || ::fstat(dir.get(), &out->folder) != 0)
        return false;
    out->exists = ::fstatat(dir.get(), out->leaf.constData(), &out->entry, AT_SYMLINK_NOFOLLOW) == 0;
    return true;
}

bool staysInsideInstallDir(const QString& installDir, const QString& path)
{
    UniqueFd dir;
    QByteArray leaf;
    return staysInside(walkToParent(installDir, path, &dir, &leaf));
}

bool staysInsideInstallDir(const InstallRoot& root, const QString& path)
{
    UniqueFd dir;
    QByteArray leaf;
    return staysInside(walkToParent(root, path, &dir, &leaf));
}

QString outsideInstallDirText(const QString& path)
{
    return QStringLiteral("Refusing to write '%1': its real location is outside the install directory").arg(path);
}

bool removeTreeAt(int dir, const QByteArray& name)
{
    struct stat st;
    if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dir, name.constData(), 0) == 0 || errno == ENOENT;
    UniqueFd inner(::openat(dir, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const bool emptied = inner.isValid() && removeEntriesIn(inner.get());
    return ::unlinkat(dir, name.constData(), AT_REMOVEDIR) == 0 && emptied;
}

bool removeEntriesIn(int dir, const QByteArray& except)
{
    // Read through a duplicate: closedir() closes the descriptor it is given.
    const int fd = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR* entries = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!entries) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::rewinddir(entries);
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(entries)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != ".." && name != except)
            names << name;
    }
    ::closedir(entries);
    bool ok = true;
    for (const QByteArray& name : qAsConst(names))
        ok = removeTreeAt(dir, name) && ok;
    return ok;
}

QString pathThroughFd(int dir, const QString& name)
{
    return QStringLiteral("/proc/self/fd/%1/%2").arg(QString::number(dir), name);
}
