#include "rsakeyfile.h"

#include <QFile>

namespace {

// Far above any RSA key file; a larger file is not one.
const qint64 kMaxKeyFileBytes = 64 * 1024;

const char kPemBegin[] = "-----BEGIN ";
const char kPemDashes[] = "-----";
// rsaEncryption, 1.2.840.113549.1.1.1
const QByteArray kRsaOid = QByteArray::fromHex("2a864886f70d010101");

const QString kDecryptHint = QStringLiteral("encrypted keys are not read; write an unencrypted copy with "
                                            "\"openssl pkey -in KEY -out PLAIN.pem\" and keep it safe");

QString kindMismatch(bool isPublic)
{
    return isPublic ? QStringLiteral("it holds a public key; signing needs the private key")
                    : QStringLiteral("it holds a private key; give the public key the updater is built with");
}

// One DER element; every length is checked against what is left.
struct DerElement
{
    unsigned char tag = 0;
    QByteArray body;
};

bool readDer(const QByteArray& data, int* pos, DerElement* out)
{
    const qint64 size = data.size();
    qint64 at = *pos;
    if (size - at < 2)
        return false;
    out->tag = static_cast<unsigned char>(data[int(at++)]);
    const unsigned char first = static_cast<unsigned char>(data[int(at++)]);
    qint64 length = first;
    if (first & 0x80) {
        const int count = first & 0x7f;
        if (count == 0 || count > 3 || size - at < count)
            return false;
        length = 0;
        for (int i = 0; i < count; ++i)
            length = (length << 8) | static_cast<unsigned char>(data[int(at++)]);
    }
    if (length > size - at)
        return false;
    out->body = data.mid(int(at), int(length));
    *pos = int(at + length);
    return true;
}

// The PKCS#1 key inside a PKCS#8 PrivateKeyInfo, or the data itself when it
// already is a PKCS#1 RSAPrivateKey (version, then the modulus).
bool unwrapPrivateKey(const QByteArray& der, QByteArray* pkcs1, QString* why)
{
    int pos = 0;
    DerElement outer, version, second;
    if (!readDer(der, &pos, &outer) || outer.tag != 0x30) {
        *why = QStringLiteral("not an RSA key in PEM or DER form");
        return false;
    }
    pos = 0;
    if (!readDer(outer.body, &pos, &version) || !readDer(outer.body, &pos, &second)) {
        *why = QStringLiteral("not an RSA key in PEM or DER form");
        return false;
    }
    if (version.tag == 0x30) {
        // EncryptedPrivateKeyInfo and SubjectPublicKeyInfo start with their
        // algorithm, not a version.
        *why = second.tag == 0x03 ? kindMismatch(true) : kDecryptHint;
        return false;
    }
    if (version.tag != 0x02) {
        *why = QStringLiteral("not an RSA key in PEM or DER form");
        return false;
    }
    if (second.tag == 0x02) {
        *pkcs1 = der;
        return true;
    }
    DerElement oid, octets;
    int algPos = 0;
    if (second.tag != 0x30 || !readDer(second.body, &algPos, &oid) || oid.tag != 0x06
        || !readDer(outer.body, &pos, &octets) || octets.tag != 0x04) {
        *why = QStringLiteral("not a PKCS#1 or PKCS#8 private key");
        return false;
    }
    if (oid.body != kRsaOid) {
        *why = QStringLiteral("not an RSA key (algorithm %1)").arg(QString::fromLatin1(oid.body.toHex()));
        return false;
    }
    *pkcs1 = octets.body;
    return true;
}

// The DER bytes of the first PEM block, with its label.
bool decodePem(const QByteArray& text, QByteArray* label, QByteArray* der, QString* why)
{
    const int begin = text.indexOf(kPemBegin);
    const int labelStart = begin + int(sizeof kPemBegin) - 1;
    const int labelEnd = begin < 0 ? -1 : text.indexOf(kPemDashes, labelStart);
    if (labelEnd < 0) {
        *why = QStringLiteral("no PEM block");
        return false;
    }
    *label = text.mid(labelStart, labelEnd - labelStart);
    const QByteArray endLine = "-----END " + *label + kPemDashes;
    const int bodyStart = labelEnd + int(sizeof kPemDashes) - 1;
    const int end = text.indexOf(endLine, bodyStart);
    if (end < 0) {
        *why = QStringLiteral("the PEM block %1 has no end line").arg(QString::fromLatin1(*label));
        return false;
    }
    const QByteArray body = text.mid(bodyStart, end - bodyStart);
    // "Proc-Type: 4,ENCRYPTED" and "DEK-Info: ..." headers.
    if (body.contains(':')) {
        *why = kDecryptHint;
        return false;
    }
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(body.simplified().replace(' ', ""), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty()) {
        *why = QStringLiteral("the PEM block %1 is not valid base64").arg(QString::fromLatin1(*label));
        return false;
    }
    *der = decoded.decoded;
    return true;
}

bool keyDer(const QByteArray& file, RsaKeyKind kind, QByteArray* der, QString* why)
{
    if (!file.contains(kPemBegin)) {
        if (kind == RsaKeyKind::Public) {
            // The library reads PKCS#1 and X.509 public keys itself.
            *der = file;
            return true;
        }
        return unwrapPrivateKey(file, der, why);
    }
    QByteArray label, pem;
    if (!decodePem(file, &label, &pem, why))
        return false;
    const bool isPrivate = label == "RSA PRIVATE KEY" || label == "PRIVATE KEY";
    const bool isPublic = label == "RSA PUBLIC KEY" || label == "PUBLIC KEY";
    if (label == "ENCRYPTED PRIVATE KEY") {
        *why = kDecryptHint;
        return false;
    }
    if (!isPrivate && !isPublic) {
        *why = QStringLiteral("not an RSA key (PEM block %1)").arg(QString::fromLatin1(label));
        return false;
    }
    if (isPublic != (kind == RsaKeyKind::Public)) {
        *why = kindMismatch(isPublic);
        return false;
    }
    if (isPublic) {
        *der = pem;
        return true;
    }
    return unwrapPrivateKey(pem, der, why);
}

} // namespace

bool readRsaKeyFile(const QString& path, RsaKeyKind kind, crypt_key_holder& key, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the key %1: %2").arg(path, f.errorString());
        return false;
    }
    if (f.size() > kMaxKeyFileBytes) {
        *error = QStringLiteral("%1 is not a key file: it has %2 bytes").arg(path, QString::number(f.size()));
        return false;
    }
    const QByteArray file = f.readAll();
    QByteArray der;
    QString why;
    if (!keyDer(file, kind, &der, &why)) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    }
    try {
        crypt_import_key(key, reinterpret_cast<const unsigned char*>(der.constData()),
                         static_cast<unsigned long>(der.size()));
    } catch (const crypt_exception& e) {
        *error =
            QStringLiteral("%1: not an RSA key in PEM or DER form (%2)").arg(path, QString::fromLocal8Bit(e.what()));
        return false;
    }
    const bool isPublic = key.get()->type == PK_PUBLIC;
    if (isPublic != (kind == RsaKeyKind::Public)) {
        *error = QStringLiteral("%1: %2").arg(path, kindMismatch(isPublic));
        return false;
    }
    return true;
}

bool rsaSignatureVerifies(crypt_key_holder& key, const QByteArray& data, const QByteArray& sig)
{
    try {
        return crypt_verify(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                            static_cast<unsigned long>(data.size()),
                            reinterpret_cast<const unsigned char*>(sig.constData()),
                            static_cast<unsigned long>(sig.size()));
    } catch (const crypt_exception&) {
        return false;
    }
}
