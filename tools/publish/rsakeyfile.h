#ifndef QND_PUBLISH_RSAKEYFILE_H
#define QND_PUBLISH_RSAKEYFILE_H

#include "crypt.h"

#include <QString>

// Reads an RSA key from a PEM or DER file: a private key for signing (PKCS#1
// "RSA PRIVATE KEY" or PKCS#8 "PRIVATE KEY"), or a public key for checking
// (PKCS#1 "RSA PUBLIC KEY" or X.509 "PUBLIC KEY"). Anything else, an encrypted
// key included, is refused with a reason that names the file.
enum class RsaKeyKind { Private, Public };
bool readRsaKeyFile(const QString& path, RsaKeyKind kind, crypt_key_holder& key, QString* error);

// Whether sig is key's RSA-PSS signature of data, checked as the updater
// checks a product ini; false for anything malformed.
bool rsaSignatureVerifies(crypt_key_holder& key, const QByteArray& data, const QByteArray& sig);

#endif // QND_PUBLISH_RSAKEYFILE_H
