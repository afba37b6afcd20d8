#include "fileunpacktaskspecification_zip.h"

#include <QFile>

#include <zlib.h>

#include <memory>

namespace {

struct GzCloser
{
    void operator()(gzFile_s* f) const { gzclose(f); }
};
using GzHandle = std::unique_ptr<gzFile_s, GzCloser>;

} // namespace

bool FileUnpackFunc_Zip::unzipTo(const QString& source, const QString& out)
{
    QFile part(out);
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;

    // "e": the descriptor must not leak into install commands started meanwhile.
    GzHandle gz(gzopen(source.toUtf8().constData(), "rbe"));
    if (!gz)
        return false;
    gzrewind(gz.get());

    static const unsigned chunk = 16384;
    char buffer[chunk];
    for (;;) {
        const int n = gzread(gz.get(), buffer, chunk);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (part.write(buffer, n) != n)
            return false;
    }
    // zlib reports a stream cut short as a quiet end of data, with the error
    // kept aside; a truncated download must not pass as a good unpack.
    int errnum = Z_OK;
    gzerror(gz.get(), &errnum);
    return errnum == Z_OK && part.flush();
}

bool FileUnpackFunc_Zip::unpackFile(const QString& source, const QString& destination)
{
    return writeBeside(destination, [&](const QString& out) { return unzipTo(source, out); });
}

bool FileUnpackFunc_Zip::unpackInto(const QString& out)
{
    return unzipTo(m_Source, out);
}

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList* list, const QString& source,
                                                                 const QString& destination, QObject* parent,
                                                                 qreal weight)
    : UnpackTaskSpecification("unzip", list, source, destination, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_zip::createFunc()
{
    return prepared(new FileUnpackFunc_Zip(source(), destination()));
}
