#ifndef QND_TESTS_FILEREPLACE_TESTUTIL_H
#define QND_TESTS_FILEREPLACE_TESTUTIL_H

// Real packed files, patches, gzip files and directory snapshots for the
// replacement and self-update tests.

#include "ensemblepatchgenerator.h"
#include "unpacklzmafile.h"

#include "taskspecification.h"
#include "support/waitfor.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>

#include <zlib.h>

namespace replacetest {

inline bool writeAll(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline QByteArray randomBytes(int n, quint32 seed)
{
    QByteArray b(n, '\0');
    QRandomGenerator gen(seed);
    for (char& c : b)
        c = char(gen.bounded(256));
    return b;
}

// Like randomBytes but with runs a compressor and a differ can find.
inline QByteArray textBytes(int n, quint32 seed)
{
    QByteArray b;
    QRandomGenerator gen(seed);
    while (b.size() < n)
        b += "line " + QByteArray::number(gen.bounded(1000)) + " of some installed file\n";
    b.truncate(n);
    return b;
}

inline QString sha512Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

// A packed file of data at path, made by the engine's own writer.
inline bool writePacked(const QString& path, const QByteArray& data, const QTemporaryDir& scratch)
{
    const QString raw = scratch.filePath(QStringLiteral("packed-input"));
    return writeAll(raw, data) && QDir().mkpath(QFileInfo(path).absolutePath())
           && deltapatch::GenerateLzmaFile(QFile::encodeName(raw).constData(), QFile::encodeName(path).constData(),
                                           false);
}

// An ensemble patch from oldData to newData at path.
inline bool writePatch(const QString& path, const QByteArray& oldData, const QByteArray& newData,
                       const QTemporaryDir& scratch)
{
    const QString o = scratch.filePath(QStringLiteral("patch-old"));
    const QString n = scratch.filePath(QStringLiteral("patch-new"));
    return writeAll(o, oldData) && writeAll(n, newData) && QDir().mkpath(QFileInfo(path).absolutePath())
           && deltapatch::GenerateEnsemblePatchFiles(QFile::encodeName(o).constData(), QFile::encodeName(n).constData(),
                                                     QFile::encodeName(path).constData())
                  == deltapatch::StatusOk;
}

inline bool writeGzip(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    gzFile gz = gzopen(QFile::encodeName(path).constData(), "wb");
    if (!gz)
        return false;
    const bool ok = data.isEmpty() || gzwrite(gz, data.constData(), unsigned(data.size())) == data.size();
    return gzclose(gz) == Z_OK && ok;
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
            out.insert(rel, readAll(path) + "|mode " + QByteArray::number(int(info.permissions()), 16));
    }
    return out;
}

// Runs a task to its end, recording its messages.
inline bool runToEnd(TaskSpecification& task, QStringList* messages = nullptr)
{
    if (messages)
        QObject::connect(&task, &TaskSpecification::message, &task,
                         [messages](const QString& m) { messages->append(m); });
    task.execute();
    return waitFor([&] { return task.state() != TASK_RUNNING && task.state() != TASK_IDLE; });
}

}  // namespace replacetest

#endif
