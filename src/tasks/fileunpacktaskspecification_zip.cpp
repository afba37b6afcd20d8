#include "fileunpacktaskspecification_zip.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

struct GzCloser {
    void operator()(gzFile_s* f) const { gzclose(f); }
};
using GzHandle = std::unique_ptr<gzFile_s, GzCloser>;

// Creates a new, unused file beside destination, with the permissions the
// process's umask gives new files.
bool openPartFile(const QString& destination, QFile& part)
{
    const QFileInfo info(destination);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name = QStringLiteral(".%1.qnd-part-%2")
                                 .arg(info.fileName())
                                 .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        part.setFileName(info.dir().filePath(name));
        if (part.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
        if (!QFileInfo::exists(part.fileName()))
            return false;  // not a name clash: the directory is missing or not writable
    }
    return false;
}

}  // namespace

bool FileUnpackFunc_Zip::unpackFile(const QString& destination, const QString& source)
{
    QFile part;
    if (!openPartFile(destination, part))
        return false;

    auto fail = [&part]() {
        part.close();
        part.remove();
        return false;
    };

    // "e": the descriptor must not leak into install commands started meanwhile.
    GzHandle gz(gzopen(source.toUtf8().constData(), "rbe"));
    if (!gz)
        return fail();
    gzrewind(gz.get());

    static const unsigned chunk = 16384;
    char buffer[chunk];
    for (;;) {
        const int n = gzread(gz.get(), buffer, chunk);
        if (n < 0)
            return fail();
        if (n == 0)
            break;
        if (part.write(buffer, n) != n)
            return fail();
    }
    // zlib reports a stream cut short as a quiet end of data, with the error
    // kept aside; a truncated download must not pass as a good unpack.
    int errnum = Z_OK;
    gzerror(gz.get(), &errnum);
    if (errnum != Z_OK)
        return fail();
    gz.reset();

    if (!part.flush() || ::fsync(part.handle()) != 0)
        return fail();
    // An existing file keeps its permissions, as it would if overwritten in place.
    if (QFileInfo::exists(destination))
        part.setPermissions(QFile::permissions(destination));
    part.close();

    // rename(2) replaces the destination in one step; a symbolic link there is
    // replaced itself, not written through.
    if (::rename(QFile::encodeName(part.fileName()).constData(), QFile::encodeName(destination).constData()) != 0) {
        part.remove();
        return false;
    }
    return true;
}

bool FileUnpackFunc_Zip::run()
{
    const bool ok = unpackFile(m_Destination, m_Source);
    qDebug() << "unzipFile" << m_Source << m_Destination << (ok ? "true" : "false");
    return ok;
}

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList* list, const QString& source,
                                                                 const QString& destination, QObject* parent,
                                                                 qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not unzip '%1' to '%2'").arg(source, destination), list,
                              source, destination, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(source(), destination());
}
