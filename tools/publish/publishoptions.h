#ifndef QND_PUBLISH_PUBLISHOPTIONS_H
#define QND_PUBLISH_PUBLISHOPTIONS_H

// What a publishing run is asked to do and what it reports back; every part
// of the publisher reads these.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// A program the updater runs before or after it replaces the files. The
// program is a file of the new tree (relative path); it is published whole,
// so that its download lies in the session's temp directory, where the
// updater starts it from.
struct PublishInstallCommand
{
    QString program;
    QStringList arguments; // "__QND_DIR__" stands for the client directory
    bool optional = false; // its failure does not fail the update
};

struct PublishOptions
{
    enum Form { Auto, Plain, Gzip, Lzma2 };

    QString oldDir;      // installed version to patch from; empty for none
    QStringList oldDirs; // more installed versions to patch from
    QString newDir;      // the version being published
    QString outDir;      // root of the file-server tree
    QString keyPath;     // RSA private key; required: nothing is signed without one
    QString section;     // server directory of the files; empty: "client" or "update"
    int version = 0;     // number in the URL, above 0
    int targetKind = 1;  // 1 client, 0 updater
    Form form = Auto;    // form of files fetched whole; Auto: the smallest
    // The updater's public key; when given, keyPath must be its private half.
    QString publicKeyPath;
    bool patches = true;
    bool lzmaPreprocess = false; // store executables disassembled in "._lzma2_" files
    QList<PublishInstallCommand> preInstall, postInstall;
    // The version-query reply: these channels ("stable", "beta", "alpha")
    // name this version, with versionText (default: the number) as its text,
    // in versionsDir + "/qnd-client-2"; other channels there stay as they are.
    // A reply only names versions whose client and updater trees are both in
    // outDir, and never moves a channel to an older version unless allowOlder.
    QStringList channels;
    QString versionText;
    QString versionsDir;
    bool allowOlder = false;
    // Told what is being worked on, one line at a time; may be empty.
    std::function<void(const QString&)> progress;
};

struct PublishReport
{
    QString versionDir;
    QString iniPath;
    QStringList plain, gzip, lzma2, patched, unchanged, deleted;
    QStringList notes;   // patches that were dropped, links copied, modes clients do not get
    QStringList refused; // paths of the new tree that cannot be published, each with the reason
    QString versionsReplyPath;
};

#endif // QND_PUBLISH_PUBLISHOPTIONS_H
