#ifndef QND_TESTS_TESTFILES_H
#define QND_TESTS_TESTFILES_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QString>

// The whole file, or nothing when it cannot be read.
inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The whole file, or "<missing>" so an absent file never equals an empty one.
inline QByteArray readAllOrMissing(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Replaces the file's content; fails where the directory does not exist.
inline bool writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// Replaces the file's content, making its directory first.
inline bool writeAllMakingDirs(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return writeAll(path, data);
}

// Removes path, whether a file or a whole directory tree.
inline void removeFileOrTree(const QString& path)
{
    if (QFileInfo(path).isDir())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

// Creates an empty file, or empties one; fails where the directory does not
// exist.
inline bool touch(const QString& path)
{
    return writeAll(path, QByteArray());
}

// Writes a shell script that runs body, executable by its owner unless told
// otherwise (as a download arrives).
inline bool writeScript(const QString& path, const QByteArray& body, bool executable = true)
{
    if (!writeAll(path, "#!/bin/sh\n" + body + "\n"))
        return false;
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    return QFile::setPermissions(path, permissions);
}

// Bytes no compressor or differ finds anything in, the same for each seed.
inline QByteArray randomBytes(int n, quint32 seed)
{
    QByteArray b(n, '\0');
    QRandomGenerator gen(seed);
    for (char& c : b)
        c = char(gen.bounded(256));
    return b;
}

// Text-like bytes with the runs a compressor and a differ find in real files.
inline QByteArray textBytes(int n, quint32 seed)
{
    QByteArray b;
    QRandomGenerator gen(seed);
    while (b.size() < n)
        b += "line " + QByteArray::number(gen.bounded(1000)) + " of some installed file\n";
    b.truncate(n);
    return b;
}

// Every entry below dir, hidden ones too: contents and mode of files, a
// marker for directories. Two equal snapshots mean an untouched tree.
inline QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(dir);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString rel = base.relativeFilePath(path);
        if (info.isDir() && !info.isSymLink())
            out.insert(rel, "<dir>");
        else
            out.insert(rel, readAllOrMissing(path) + "|mode " + QByteArray::number(int(info.permissions()), 16));
    }
    return out;
}

// The lower-case hex SHA-512 the update lists carry.
inline QString sha512Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

#endif // QND_TESTS_TESTFILES_H
