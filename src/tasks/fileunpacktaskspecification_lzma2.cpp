#include "fileunpacktaskspecification_lzma2.h"

#include "unpacklzmafile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdio>

std::string toOsString(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

bool makePartFile(const QString& destination, QString& partPath)
{
    const QFileInfo info(destination);
    for (int attempt = 0; attempt < 16; ++attempt) {
        QFile part(info.dir().filePath(QStringLiteral(".%1.qnd-part-%2")
                                           .arg(info.fileName())
                                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))));
        if (part.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            partPath = part.fileName();
            return true;
        }
        if (!QFileInfo::exists(part.fileName()))
            return false;  // not a name clash: the directory is missing or not writable
    }
    return false;
}

bool commitPartFile(const QString& partPath, const QString& destination)
{
    if (QFileInfo::exists(destination))
        QFile::setPermissions(partPath, QFile::permissions(destination));
    // rename(2) replaces the destination in one step; a symbolic link there is
    // replaced itself, not written through.
    if (std::rename(QFile::encodeName(partPath).constData(), QFile::encodeName(destination).constData()) != 0) {
        QFile::remove(partPath);
        return false;
    }
    return true;
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& source, const QString& destination)
{
    QString part;
    bool ok = makePartFile(destination, part);
    if (ok) {
        ok = deltapatch::UnpackLzmaFile(toOsString(source).c_str(), toOsString(part).c_str());
        if (ok)
            ok = commitPartFile(part, destination);
        else
            QFile::remove(part);
    }
    qDebug() << "unpackFile" << source << destination << (ok ? "true" : "false");
    return ok;
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_Source, m_Destination);
}

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList* list, const QString& source,
                                                                     const QString& destination, QObject* parent,
                                                                     qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not unpack '%1' to '%2'").arg(source, destination), list,
                              source, destination, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(source(), destination());
}
