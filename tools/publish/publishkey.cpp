#include "publishkey.h"

#include "globals.h"
#include "productininames.h"
#include "publishedversions.h"
#include "publishfiles.h"
#include "publishrules.h"
#include "rsakeyfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <vector>

namespace {

// The key's public half as the updater holds it; empty when it does not fit.
QByteArray publicBlock(crypt_key_holder& key)
{
    std::vector<unsigned char> block(crypt_key_block_size);
    unsigned long len = static_cast<unsigned long>(block.size());
    if (rsa_export(block.data(), &len, PK_PUBLIC, key.get()) != CRYPT_OK)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(block.data()), int(len));
}

} // namespace

// The updater refuses keys under 1024 bits, and is built with the public half
// in a fixed block; a key outside that range is refused before any work.
bool checkKeySize(crypt_key_holder& key, const QString& path, QString* error)
{
    const int bits = ltc_mp.count_bits(key.get()->N);
    if (bits < 1024) {
        *error = QStringLiteral("%1 is a %2-bit key; the updater refuses keys under 1024 bits")
                     .arg(path, QString::number(bits));
        return false;
    }
    if (publicBlock(key).isEmpty()) {
        *error = QStringLiteral("%1 is a %2-bit key; the updater holds public keys of at most %3 bytes (16272 bits)")
                     .arg(path, QString::number(bits), QString::number(crypt_key_block_size));
        return false;
    }
    return true;
}

// A key other than the updater's signs trees every client refuses, and the
// version number is used up by then.
bool checkKeyPair(crypt_key_holder& key, const PublishOptions& options, QString* error)
{
    if (options.publicKeyPath.isEmpty())
        return true;
    crypt_key_holder updaterKey;
    if (!readRsaKeyFile(options.publicKeyPath, RsaKeyKind::Public, updaterKey, error))
        return false;
    if (publicBlock(key) == publicBlock(updaterKey))
        return true;
    *error = QStringLiteral("%1 is not the private half of --public-key %2: the updater would refuse every tree it "
                            "signs")
                 .arg(options.keyPath, options.publicKeyPath);
    return false;
}

// A key that does not verify the newest version OUT serves is not the one the
// updater is built with: it would use up a version number on a tree no
// updater accepts. Checked with or without --public-key.
bool checkKeyAgainstPublished(crypt_key_holder& key, const PublishOptions& options, QString* error)
{
    int newest = 0;
    for (int kind : {1, 0}) {
        const QList<int> versions = publishedVersions(options.outDir, kind);
        if (!versions.isEmpty())
            newest = std::max(newest, versions.first());
    }
    const QDir versionDir(QDir(options.outDir).filePath(QString::number(newest)));
    for (int kind : {1, 0}) {
        const QString ini = versionDir.filePath(productIniName(kind));
        if (newest == 0 || !QFileInfo(ini + productIniPackedSuffix).isFile())
            continue;
        // No signature the updater checks is larger than its key block.
        const QString sigPath = ini + productIniSignatureSuffix;
        bool ok =
            QFileInfo(ini).size() <= kMaxProductIniBytes && QFileInfo(sigPath).size() <= qint64(crypt_key_block_size);
        const QByteArray data = ok ? readWholeFile(ini, &ok) : QByteArray();
        const QByteArray sig = ok ? readWholeFile(sigPath, &ok) : QByteArray();
        if (ok && rsaSignatureVerifies(key, data, sig))
            continue;
        *error = QStringLiteral("%1 does not verify the signature of %2, the newest version published in %3: the "
                                "updater would refuse every tree it signs")
                     .arg(options.keyPath, ini, options.outDir);
        return false;
    }
    return true;
}

// The RSA-PSS signature of the ini, checked with the same key before it is
// kept: a key whose parts disagree must not publish a tree nobody can verify.
bool signIni(crypt_key_holder& key, const QString& iniPath, QString* error)
{
    bool ok = false;
    const QByteArray data = readWholeFile(iniPath, &ok);
    if (!ok) {
        *error = QStringLiteral("cannot read %1").arg(iniPath);
        return false;
    }
    const QString name = QFileInfo(iniPath).fileName();
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    std::vector<unsigned char> sig(std::max<size_t>(1024, (ltc_mp.count_bits(key.get()->N) + 7) / 8));
    unsigned long sigLen = static_cast<unsigned long>(sig.size());
    try {
        crypt_sign(key.get(), bytes, static_cast<unsigned long>(data.size()), sig.data(), &sigLen);
        if (!crypt_verify(key.get(), bytes, static_cast<unsigned long>(data.size()), sig.data(), sigLen)) {
            *error = QStringLiteral("the signature of %1 does not verify with the key's own public half").arg(name);
            return false;
        }
    } catch (const crypt_exception& e) {
        *error = QStringLiteral("signing %1 failed: %2").arg(name, QString::fromLocal8Bit(e.what()));
        return false;
    }
    QFile out(iniPath + productIniSignatureSuffix);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(reinterpret_cast<const char*>(sig.data()), qint64(sigLen)) != qint64(sigLen) || !out.flush()) {
        *error = QStringLiteral("cannot write %1").arg(out.fileName());
        return false;
    }
    return true;
}
