#ifndef QND_TESTS_TESTSIGNING_H
#define QND_TESTS_TESTSIGNING_H

#include <QByteArray>
#include <QFile>
#include <QString>

#include "crypt.h"

// The signature the publisher would write for data with the private key in
// keyPath (a DER key file).
inline QByteArray signWithKeyFile(const QString& keyPath, const QByteArray& data)
{
    crypt_key_holder key;
    crypt_import_key_file(key, keyPath.toStdString());
    unsigned char sig[512];
    unsigned long len = sizeof sig;
    crypt_sign(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
               static_cast<unsigned long>(data.size()), sig, &len);
    return QByteArray(reinterpret_cast<const char*>(sig), static_cast<int>(len));
}

// The private half (DER PKCS#1) of the test key pair the test builds trust.
inline QString testPrivateKeyPath()
{
    return QStringLiteral(QND_FIXTURES_DIR "/keys/test_private.der");
}

inline QByteArray signWithTestKey(const QByteArray& data)
{
    return signWithKeyFile(testPrivateKeyPath(), data);
}

// Whether the build trusts the committed test key: tests that need a file
// signed with the built-in key skip in a build with a publisher's key.
inline bool builtInKeyIsTestKey()
{
    QFile f(QStringLiteral(QND_FIXTURES_DIR "/keys/test_public.der"));
    const QByteArray testKey = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    return !testKey.isEmpty()
        && QByteArray::fromRawData(reinterpret_cast<const char*>(crypt_builtin_key), testKey.size()) == testKey;
}

#endif // QND_TESTS_TESTSIGNING_H
