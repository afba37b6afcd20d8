#ifndef QND_PUBLISH_PUBLISHKEY_H
#define QND_PUBLISH_PUBLISHKEY_H

// The signing key: checked before any work, so that no version number is
// used up on a tree the updater refuses, then used to sign the product ini.

#include "crypt.h"
#include "publishoptions.h"

#include <QString>

// Whether the updater takes a key of this size; path names it in *error.
bool checkKeySize(crypt_key_holder& key, const QString& path, QString* error);

// Whether key is the private half of options.publicKeyPath, when one is given.
bool checkKeyPair(crypt_key_holder& key, const PublishOptions& options, QString* error);

// Whether key verifies the newest version already published in options.outDir.
bool checkKeyAgainstPublished(crypt_key_holder& key, const PublishOptions& options, QString* error);

// Writes iniPath + ".sig", the RSA-PSS signature of the ini at iniPath.
bool signIni(crypt_key_holder& key, const QString& iniPath, QString* error);

#endif // QND_PUBLISH_PUBLISHKEY_H
