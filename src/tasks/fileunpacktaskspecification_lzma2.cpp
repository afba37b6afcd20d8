#include "fileunpacktaskspecification_lzma2.h"

#include "unpacklzmafile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

std::string toOsString(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& source, const QString& destination, quint64 outputLimit)
    : UnpackFunc(source, destination), m_OutputLimit(outputLimit)
{
}

bool FileUnpackFunc_lzma2::unpackTo(const QString& source, const QString& out, quint64 outputLimit)
{
    return deltapatch::UnpackLzmaFile(toOsString(source).c_str(), toOsString(out).c_str(), outputLimit);
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& source, const QString& destination, quint64 outputLimit)
{
    const bool ok = writeBeside(destination, [&](const QString& out) { return unpackTo(source, out, outputLimit); });
    qDebug() << "unpackFile" << source << destination << ok;
    return ok;
}

bool FileUnpackFunc_lzma2::unpackInto(const QString& out)
{
    return unpackTo(m_Source, out, m_OutputLimit);
}

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList* list, const QString& source,
                                                                     const QString& destination, QObject* parent,
                                                                     qreal weight)
    : UnpackTaskSpecification("unpack", list, source, destination, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_lzma2::createFunc()
{
    return prepared(new FileUnpackFunc_lzma2(source(), destination(), m_OutputLimit));
}
