#ifndef QND_TESTS_FILEREPLACE_TESTUTIL_H
#define QND_TESTS_FILEREPLACE_TESTUTIL_H

// Replacement entries and an installation with a list that takes every form,
// for the replacement and self-update tests.

#include "configuration.h"
#include "replacefiledata.h"
#include "replacejournal.h"
#include "support/packedfiles.h"
#include "support/tasktest.h"
#include "support/testfiles.h"

#include <QDirIterator>
#include <QFile>
#include <QList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace replacetest {

inline ReplaceFileData entry(const QString& name, const QString& target = QString(),
                             const QString& installedHash = QString(), const QString& patchFile = QString())
{
    ReplaceFileData e;
    e.section = "client";
    e.name = name;
    e.target = target;
    e.installedHash = installedHash;
    // What the product ini declares: room for any file of these tests.
    e.installedSize = 64 * 1024 * 1024;
    e.baseSize = e.installedSize;
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
        writeAllMakingDirs(inInstall("lib/a.so"), oldLib);
        writeAllMakingDirs(inInstall("bin/tool"), "old tool");
        QFile::setPermissions(inInstall("bin/tool"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        writeAllMakingDirs(inInstall("share/data.txt"), "old data");
        writeAllMakingDirs(inInstall("untouched"), "stays");
        writePatch(inTemp("a.so_patch_"), oldLib, newLib, scratch);
        writePacked(inTemp("bin/tool._lzma2_"), newTool, scratch);
        writeAllMakingDirs(inTemp("share/data.txt"), newData);
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

// The journal's folder and anything written in parts, wherever it lies.
inline QStringList backups(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        if (p.contains(ReplaceJournal::folderName()) || p.contains(".qnd-part-"))
            out.append(p);
    }
    return out;
}

} // namespace replacetest

#endif
