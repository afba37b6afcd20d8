#ifndef QND_TESTS_FILEREPLACE_TESTUTIL_H
#define QND_TESTS_FILEREPLACE_TESTUTIL_H

// Real packed files, patches, gzip files and directory snapshots for the
// replacement and self-update tests.

#include "ensemblepatchgenerator.h"
#include "unpacklzmafile.h"

#include "configuration.h"
#include "replacefiledata.h"
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

#include <gtest/gtest.h>

#include <zlib.h>

#include <memory>

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

inline ReplaceFileData entry(const QString& name, const QString& target = QString(),
                             const QString& installedHash = QString(), const QString& patchFile = QString())
{
    ReplaceFileData e;
    e.section = "client";
    e.name = name;
    e.target = target;
    e.installedHash = installedHash;
    e.patchFile = patchFile;
    return e;
}

// An installation and a replacement list for it: lib/a.so patched, bin/tool
// unpacked from LZMA2, share/data.txt copied whole, deep/er/x unpacked from
// gzip into directories that do not exist yet.
class ReplaceListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        tempDir.reset(new QTemporaryDir);
        installDir.reset(new QTemporaryDir);
        ASSERT_TRUE(tempDir->isValid() && installDir->isValid() && scratch.isValid());
        config.m_TempDir = tempDir->path();
        config.m_InstallDir = installDir->path();
        oldLib = textBytes(40000, 31);
        newLib = oldLib;
        newLib.replace(100, 4, "NEW!");
        newTool = textBytes(9000, 32);
        newData = randomBytes(3000, 33);
        // An installation: lib/a.so will be patched, bin/tool replaced by an
        // unpack, share/data.txt by a whole-file copy; deep/er/x is new.
        writeAll(inInstall("lib/a.so"), oldLib);
        writeAll(inInstall("bin/tool"), "old tool");
        QFile::setPermissions(inInstall("bin/tool"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        writeAll(inInstall("share/data.txt"), "old data");
        writeAll(inInstall("untouched"), "stays");
        writePatch(inTemp("a.so_patch_"), oldLib, newLib, scratch);
        writePacked(inTemp("bin/tool._lzma2_"), newTool, scratch);
        writeAll(inTemp("share/data.txt"), newData);
        writeGzip(inTemp("x.gz"), "new file");
        list = {
            entry("a.so_patch_", "lib/a.so", sha512Hex(newLib), "a.so_patch_"),
            entry("bin/tool._lzma2_", "bin/tool", sha512Hex(newTool)),
            entry("share/data.txt"),
            entry("x.gz", "deep/er/x", sha512Hex("new file")),
        };
    }
    QString inTemp(const QString& rel) const { return tempDir->filePath(rel); }
    QString inInstall(const QString& rel) const { return installDir->filePath(rel); }

    std::unique_ptr<QTemporaryDir> tempDir, installDir;
    QTemporaryDir scratch;
    Configuration config;
    QByteArray oldLib, newLib, newTool, newData;
    QList<ReplaceFileData> list;
};

}  // namespace replacetest

#endif
