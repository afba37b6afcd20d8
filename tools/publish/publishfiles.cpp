#include "publishfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <zlib.h>

#include <cerrno>
#include <memory>

#include <signal.h>

namespace {

struct GzCloser
{
    void operator()(gzFile_s* f) const
    {
        if (f)
            gzclose(f);
    }
};
using GzPtr = std::unique_ptr<gzFile_s, GzCloser>;

const int kChunk = 1 << 20;

} // namespace

bool ensureParent(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}

QByteArray readWholeFile(const QString& path, bool* ok)
{
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    if (!*ok)
        return QByteArray();
    const QByteArray data = f.readAll();
    *ok = data.size() == f.size();
    return data;
}

QString sha512HexOfFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!hash.addData(&f))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

bool gzipFile(const QString& source, const QString& destination)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly) || !ensureParent(destination))
        return false;
    GzPtr out(gzopen(QFile::encodeName(destination).constData(), "wb9"));
    if (!out)
        return false;
    QByteArray chunk;
    while (!(chunk = in.read(kChunk)).isEmpty()) {
        if (gzwrite(out.get(), chunk.constData(), unsigned(chunk.size())) != chunk.size())
            return false;
    }
    return in.error() == QFileDevice::NoError && gzclose(out.release()) == Z_OK;
}

bool gunzipFile(const QString& source, const QString& destination, qint64 maxBytes)
{
    GzPtr in(gzopen(QFile::encodeName(source).constData(), "rb"));
    QSaveFile out(destination);
    if (!in || !ensureParent(destination) || !out.open(QIODevice::WriteOnly))
        return false;
    QByteArray buf(kChunk, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const int n = gzread(in.get(), buf.data(), unsigned(buf.size()));
        if (n < 0)
            return false;
        if (n == 0)
            break;
        total += n;
        if (total > maxBytes || out.write(buf.constData(), n) != n)
            return false;
    }
    // gzclose reports a stream that ended before its trailer.
    return gzclose(in.release()) == Z_OK && out.commit();
}

bool leftByEndedRun(const QString& name, const QString& prefix)
{
    if (!name.startsWith(prefix))
        return false;
    bool ok = false;
    const int pid = name.mid(prefix.size()).section(QLatin1Char('-'), 0, 0).toInt(&ok);
    return !(ok && pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM));
}
