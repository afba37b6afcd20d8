#ifndef QND_TESTS_PUBLISHCACHE_H
#define QND_TESTS_PUBLISHCACHE_H

#include "publisher.h"

#include "support/childprocess.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QStringList>

#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Version folders published by earlier tests, reused by later ones: the
// end-to-end cases each run in a process of their own, and publishing the
// 22 MB updater takes far longer than any session that uses it. An entry is
// keyed by everything the publish reads (the trees' bytes, modes and links,
// the options) and by the test program itself, whose publisher may have
// changed since; a hit is copied, so a test may spoil what it serves.
class PublishCache
{
public:
    explicit PublishCache(const QString& root) : m_Root(root) {}

    // Adds the options of one publish, and the trees it reads, to key.
    static void addPublish(QCryptographicHash* key, const PublishOptions& o)
    {
        QStringList fields{o.section,
                           QString::number(o.version),
                           QString::number(o.targetKind),
                           QString::number(int(o.form)),
                           o.keyPath,
                           o.publicKeyPath,
                           QString::number(int(o.patches)),
                           QString::number(int(o.lzmaPreprocess))};
        for (const auto* commands : {&o.preInstall, &o.postInstall}) {
            fields << QStringLiteral("commands");
            for (const PublishInstallCommand& c : *commands)
                fields << c.program << c.arguments << QString::number(int(c.optional));
        }
        key->addData(fields.join(QChar(0)).toUtf8() + '\0');
        for (const QString& tree : QStringList{o.oldDir} + o.oldDirs + QStringList{o.newDir})
            addTree(key, tree);
    }

    // Fills versionDir with the entry of key, made by publish when there is
    // none yet; concurrent tests wait for the one that makes it.
    bool fill(const QByteArray& key, const QString& versionDir, const std::function<bool()>& publish) const
    {
        const QString stamp = programStamp();
        const QString entries = QDir(m_Root).filePath(stamp);
        if (!QDir().mkpath(entries))
            return false;
        const QString entry = QDir(entries).filePath(QString::fromLatin1(key.toHex()));
        const int lock =
            ::open(QFile::encodeName(entry + QStringLiteral(".lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
            if (lock >= 0)
                ::close(lock);
            return false;
        }
        removeFileOrTree(versionDir);
        bool ok = false;
        if (QFileInfo(entry).isDir()) {
            ok = copyTree(entry, versionDir);
        } else {
            dropOtherPrograms(stamp);
            // Renamed into place whole: a test killed meanwhile leaves no
            // entry that looks made.
            const QString part = entry + QStringLiteral(".part");
            removeFileOrTree(part);
            ok = publish() && copyTree(versionDir, part)
                && ::rename(QFile::encodeName(part).constData(), QFile::encodeName(entry).constData()) == 0;
        }
        ::close(lock);
        return ok;
    }

private:
    static void addTree(QCryptographicHash* key, const QString& root)
    {
        if (root.isEmpty())
            return;
        QStringList paths;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            paths << QDir(root).relativeFilePath(it.next());
        paths.sort();
        for (const QString& rel : qAsConst(paths)) {
            const QFileInfo info(QDir(root).filePath(rel));
            key->addData(rel.toUtf8() + '\0' + QByteArray::number(uint(info.permissions()), 16) + '\0');
            if (info.isSymLink())
                key->addData("-> " + QFile::encodeName(info.symLinkTarget()));
            else if (info.isFile())
                key->addData(readAllOrMissing(info.filePath()));
            key->addData("\0", 1);
        }
    }

    // Changes whenever the test program (and with it the publisher) is built
    // again.
    static QString programStamp()
    {
        const QFileInfo self(QStringLiteral("/proc/self/exe"));
        const QFileInfo program(self.symLinkTarget());
        return QStringLiteral("%1-%2").arg(QString::number(program.lastModified().toMSecsSinceEpoch()),
                                           QString::number(program.size()));
    }

    // Entries of earlier builds are never hit again.
    void dropOtherPrograms(const QString& stamp) const
    {
        for (const QString& name : QDir(m_Root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (name != stamp)
                removeFileOrTree(QDir(m_Root).filePath(name));
        }
    }

    static bool copyTree(const QString& from, const QString& to)
    {
        return runToSuccess(QStringLiteral("cp"), {QStringLiteral("-a"), from, to});
    }

    QString m_Root;
};

#endif // QND_TESTS_PUBLISHCACHE_H
