#ifndef QND_PUBLISH_TREEVERIFIER_H
#define QND_PUBLISH_TREEVERIFIER_H

// Checks a published version as the updater would meet it: the signature of
// each product ini against the public key the updater is built with, the
// packed ini, and every line: the served file's size and digest, what a
// packed file unpacks to, and every patch applied to each old tree that
// holds its base.

#include <QString>
#include <QStringList>

struct VerifyOptions
{
    QString outDir;        // root of the file-server tree
    int version = 0;       // the version directory to check
    QString publicKeyPath; // PEM or DER RSA public key
    QStringList oldDirs;   // installed versions to apply the patches to; each must exist
    // The version reply's document root; empty: the reply is not checked.
    // Every channel there must name a version with both trees in outDir;
    // the channels listed must name this version with versionText (default:
    // the number, as the publisher writes it).
    QString versionsDir;
    QStringList channels;
    QString versionText;
};

struct VerifyReport
{
    QStringList problems; // what is wrong, one line each
    QStringList notes;    // what could not be tried
    QStringList inis;     // the product inis checked
    int files = 0;        // served files checked
    int patchesApplied = 0;
};

// False with a reason in *error when the check cannot run at all (no key, no
// product ini, a missing old tree); otherwise true, with whatever is wrong in
// the report.
bool verifyTree(const VerifyOptions& options, VerifyReport* report, QString* error);

#endif // QND_PUBLISH_TREEVERIFIER_H
