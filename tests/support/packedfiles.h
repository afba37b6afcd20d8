#ifndef QND_TESTS_PACKEDFILES_H
#define QND_TESTS_PACKEDFILES_H

// Downloads in every packed form the updater unpacks, made by the engine's
// own writers and by zlib. Each makes the directory it writes into.

#include "ensemblepatchgenerator.h"
#include "unpacklzmafile.h"
#include "support/testfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <zlib.h>

// A file in the packed-file container holding data; scratch takes the input.
inline bool writePacked(const QString& path, const QByteArray& data, const QTemporaryDir& scratch)
{
    const QString raw = scratch.filePath(QStringLiteral("packed-input"));
    return writeAllMakingDirs(raw, data) && QDir().mkpath(QFileInfo(path).absolutePath())
        && deltapatch::GenerateLzmaFile(QFile::encodeName(raw).constData(), QFile::encodeName(path).constData(), false);
}

// An ensemble patch from oldData to newData; scratch takes both inputs.
inline bool writePatch(const QString& path, const QByteArray& oldData, const QByteArray& newData,
                       const QTemporaryDir& scratch)
{
    const QString o = scratch.filePath(QStringLiteral("patch-old"));
    const QString n = scratch.filePath(QStringLiteral("patch-new"));
    return writeAllMakingDirs(o, oldData) && writeAllMakingDirs(n, newData)
        && QDir().mkpath(QFileInfo(path).absolutePath())
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

#endif // QND_TESTS_PACKEDFILES_H
