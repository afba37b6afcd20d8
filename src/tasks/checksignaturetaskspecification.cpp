#include "checksignaturetaskspecification.h"

#include "crypt.h"
#include "failurelog.h"
#include "fdio.h"
#include "productininames.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far above any signature the built-in key block can hold; a bigger ".sig" is
// not read into memory at all.
constexpr qint64 maxSignatureSize = 64 * 1024;
// Large enough that reading costs little next to hashing, small enough that
// parallel checks do not hold whole files.
constexpr int hashChunkSize = 1024 * 1024;
// Enough of a digest to tell two apart at a glance.
constexpr int kShownDigestChars = 16;

} // namespace

CheckSigFunc::CheckSigFunc(const QString& filePath, const QString& sha512Hex)
    : m_FilePath(filePath), m_Sha512Hex(sha512Hex)
{
}

bool CheckSigFunc::run()
{
    return m_Sha512Hex.isEmpty() ? checkRSA() : checkSHA512();
}

bool CheckSigFunc::readWholeFile(const QString& path, QByteArray& out, qint64 maxSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    if (size < 0 || size > maxSize) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(path));
        return false;
    }
    out.resize(static_cast<int>(size));
    const qint64 got = size ? file.read(out.data(), size) : 0;
    if (got != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(path));
        return false;
    }
    file.close();
    return true;
}

bool CheckSigFunc::hashFile(const QString& path, const ltc_hash_descriptor& hash, QByteArray& digest)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    // Streams the file through a buffer, so files of any size verify and
    // parallel checks do not hold whole files in memory. libtomcrypt's
    // SHA-512 is about twice as fast as Qt's and gives the same digest.
    hash_state state;
    hash.init(&state);
    QByteArray buffer(hashChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), hashChunkSize);
        if (got < 0) {
            emit message(QStringLiteral("could not read file %1 correctly").arg(path));
            return false;
        }
        if (got == 0)
            break;
        hash.process(&state, reinterpret_cast<const unsigned char*>(buffer.constData()),
                     static_cast<unsigned long>(got));
    }
    digest.resize(static_cast<int>(hash.hashsize));
    hash.done(&state, reinterpret_cast<unsigned char*>(digest.data()));
    return true;
}

bool CheckSigFunc::hashOpenFile(int fd, qint64 size, const ltc_hash_descriptor& hash, QByteArray& digest)
{
    hash_state state;
    hash.init(&state);
    QByteArray buffer(int(qMin<qint64>(hashChunkSize, qMax<qint64>(size, 1))), Qt::Uninitialized);
    // From the start whatever the descriptor's offset, and never past size:
    // a file that grows meanwhile is read no further.
    for (qint64 at = 0; at < size;) {
        const qint64 got = readFullyAt(fd, buffer.data(), qMin<qint64>(buffer.size(), size - at), at);
        if (got <= 0) {
            emit message(QStringLiteral("could not read file %1 correctly").arg(m_FilePath));
            return false;
        }
        hash.process(&state, reinterpret_cast<const unsigned char*>(buffer.constData()),
                     static_cast<unsigned long>(got));
        at += got;
    }
    digest.resize(static_cast<int>(hash.hashsize));
    hash.done(&state, reinterpret_cast<unsigned char*>(digest.data()));
    return true;
}

bool CheckSigFunc::checkOpenFile(int fd, qint64 size, int signatureFd)
{
    const bool bySignature = m_Sha512Hex.isEmpty();
    QByteArray digest;
    if (fd < 0 || size < 0 || !hashOpenFile(fd, size, bySignature ? sha1_desc : sha512_desc, digest))
        return false;
    if (!bySignature)
        return digestMatches(digest);
    struct stat st;
    if (signatureFd < 0 || ::fstat(signatureFd, &st) != 0 || st.st_size > maxSignatureSize) {
        qDebug() << "RSA check failed, no signature for" << m_FilePath;
        return false;
    }
    QByteArray sig(int(st.st_size), Qt::Uninitialized);
    if (::pread(signatureFd, sig.data(), size_t(sig.size()), 0) != ssize_t(sig.size())) {
        qDebug() << "RSA check failed, could not read the signature of" << m_FilePath;
        return false;
    }
    return signatureMatches(digest, sig);
}

bool CheckSigFunc::checkRSA()
{
    QByteArray digest;
    if (!hashFile(m_FilePath, sha1_desc, digest)) {
        qDebug() << "RSA check failed, could not read" << m_FilePath;
        return false;
    }
    const QString sigPath = m_FilePath + productIniSignatureSuffix;
    QByteArray sig;
    if (!readWholeFile(sigPath, sig, maxSignatureSize)) {
        qDebug() << "RSA check failed, could not read" << sigPath;
        return false;
    }
    return signatureMatches(digest, sig);
}

bool CheckSigFunc::signatureMatches(const QByteArray& digest, const QByteArray& sig)
{
    try {
        // Imported afresh for every check: checks run in parallel and share
        // nothing mutable.
        crypt_key_holder key;
        crypt_import_key(key, crypt_builtin_key, crypt_key_block_size);
        const bool ok = crypt_verify_hash(key.get(), reinterpret_cast<const unsigned char*>(digest.constData()),
                                          static_cast<unsigned long>(digest.size()),
                                          reinterpret_cast<const unsigned char*>(sig.constData()),
                                          static_cast<unsigned long>(sig.size()));
        qDebug() << "RSA check" << ok;
        return ok;
    } catch (const crypt_exception& e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        return false;
    }
}

bool CheckSigFunc::checkSHA512()
{
    QByteArray digest;
    return hashFile(m_FilePath, sha512_desc, digest) && digestMatches(digest);
}

bool CheckSigFunc::digestMatches(const QByteArray& digest)
{
    const QString computed = QString::fromLatin1(digest.toHex());
    const bool ok = computed.compare(m_Sha512Hex, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << m_Sha512Hex << computed << "=>" << ok;
    if (!ok && !m_MismatchExpected) {
        // The one line that tells a corrupt or replaced download apart from
        // a broken installation: which file, from where, and both digests.
        const QString name = m_ReportedPath.isEmpty() ? m_FilePath : m_ReportedPath;
        const QString from = m_Url.isEmpty() ? QString() : QStringLiteral(" from %1").arg(m_Url);
        qCWarning(lcFailure).noquote() << QStringLiteral("SHA-512 of %1%2 does not match: expected %3..., got %4...")
                                              .arg(name, from, m_Sha512Hex.left(kShownDigestChars),
                                                   computed.left(kShownDigestChars));
    }
    return ok;
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& filePath, const QString& sha512Hex,
                                                                 bool failOnMismatch, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_FilePath(filePath), m_Sha512Hex(sha512Hex),
      m_FailOnMismatch(failOnMismatch)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunc()
{
    auto* func = new CheckSigFunc(m_FilePath, m_Sha512Hex);
    func->setOrigin(m_ReportedPath, m_SourceUrl);
    return func;
}

void CheckSignatureTaskSpecification::runDone(bool res)
{
    // A result that outlived a reset or cancel ends nothing.
    if (state() != TASK_RUNNING)
        return;
    if (res) {
        emit checkDone(true, this);
        setFinished();
        return;
    }
    const QString& reported = m_ReportedPath.isEmpty() ? m_FilePath : m_ReportedPath;
    qDebug() << "Signature check failed for" << reported;
    const QString text = QStringLiteral("Signature check failed for %1").arg(reported);
    emit message(text);
    emit checkDone(false, this);
    if (!m_FailOnMismatch) {
        setFinished();
        return;
    }
    setFailed(text);
}
