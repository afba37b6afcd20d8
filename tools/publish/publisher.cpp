#include "publisher.h"

#include "crypt.h"
#include "outlock.h"
#include "productininames.h"
#include "publishcommands.h"
#include "publishedversions.h"
#include "publishini.h"
#include "publishkey.h"
#include "publishstaging.h"
#include "publishtree.h"
#include "rsakeyfile.h"
#include "serverversions.h"
#include "treewriter.h"
#include "versionsreply.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QSettings>

namespace {

bool writeReply(const PublishOptions& options, PublishReport& rep, QString* error)
{
    rep.versionsReplyPath = QDir(options.versionsDir).filePath(QLatin1String(kVersionReplyName));
    const QString text = options.versionText.isEmpty() ? QString::number(options.version) : options.versionText;
    return writeVersionsReply(rep.versionsReplyPath, options.channels, options.version, text, error);
}

// The checks that need no tree, then OUT locked for the rest of the run.
bool prepareRun(const PublishOptions& options, const QStringList& olds, const QString& section, crypt_key_holder& key,
                OutLock& lock, QString* error)
{
    if (!checkOptions(options, olds, section, error))
        return false;
    if (!readRsaKeyFile(options.keyPath, RsaKeyKind::Private, key, error) || !checkKeySize(key, options.keyPath, error)
        || !checkKeyPair(key, options, error))
        return false;
    if (!QDir().mkpath(options.outDir)) {
        *error = QStringLiteral("cannot create %1").arg(options.outDir);
        return false;
    }
    return lock.take(options.outDir, options.progress, error) && checkKeyAgainstPublished(key, options, error);
}

// The trees the run publishes and patches from.
struct RunTrees
{
    PublishTree newTree;
    QList<PublishTree> olds;
    QSet<QString> programs; // the install programs, published whole
};

// Reads the new tree and the old ones, and refuses what cannot be published.
bool readTrees(const PublishOptions& options, const QStringList& olds, const QString& versionDir, RunTrees* trees,
               PublishReport& rep, QString* error)
{
    PublishTree& newTree = trees->newTree;
    scanNewTree(options.newDir, &newTree, &rep.notes, &rep.refused);
    rep.refused += reservedNameProblems(newTree, options);
    if (!rep.refused.isEmpty()) {
        *error = QStringLiteral("%1 cannot be published; fix these paths and run again:\n  %2")
                     .arg(options.newDir, rep.refused.join(QStringLiteral("\n  ")));
        return false;
    }
    if (newTree.files.isEmpty()) {
        *error = QStringLiteral("%1 holds no files to publish").arg(options.newDir);
        return false;
    }
    *error = updaterFilesProblem(newTree, options, versionDir);
    if (!error->isEmpty() || !iniCanFit(newTree, error))
        return false;
    for (const QString& old : olds) {
        trees->olds.append(PublishTree());
        if (!scanOldTree(old, &trees->olds.last(), &rep.notes, error)
            || !matchesPublishedVersion(options.outDir, options.targetKind, old, trees->olds.last(), error))
            return false;
    }
    return collectInstallPrograms(options, newTree.files, &trees->programs, error);
}

// The staged ini with every line but the version key, and the files it names.
bool writeStagedTree(const PublishOptions& options, const QStringList& olds, const QString& section,
                     const PublishStaging& staging, const RunTrees& trees, const QString& stagedIni, PublishReport& rep,
                     QString* error)
{
    QSettings ini(stagedIni, QSettings::IniFormat);
    TreeWriter writer(options, olds, section, staging.stagedVersion(), staging.scratch(), rep, error);
    writer.setPrograms(trees.programs);
    int done = 0;
    for (const QString& rel : qAsConst(trees.newTree.files)) {
        if (options.progress)
            options.progress(QStringLiteral("[%1/%2] %3, %4 bytes")
                                 .arg(QString::number(++done), QString::number(trees.newTree.files.size()), rel,
                                      QString::number(trees.newTree.sizes.value(rel))));
        if (!writer.publishFile(rel, ini))
            return false;
    }
    // Written even when empty, so that clients tell "no executables" from
    // an ini that says nothing about them.
    ini.setValue(executablesIniKey, executablesRecord(trees.newTree, options.newDir, &rep.notes));
    for (const QString& rel : removedPaths(trees.newTree, trees.olds)) {
        ini.setValue(productIniDeleteGroup + QLatin1Char('/') + rel, 1);
        rep.deleted << rel;
    }
    if (!writeInstallCommands(ini, options, error))
        return false;
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot write %1").arg(stagedIni);
        return false;
    }
    return true;
}

} // namespace

bool publishVersionsReply(const PublishOptions& options, PublishReport* report, QString* error)
{
    PublishReport local;
    PublishReport& rep = report ? *report : local;
    rep = PublishReport();
    error->clear();
    const QString versionDir = QDir(options.outDir).filePath(QString::number(options.version));
    if (options.version <= 0 || options.channels.isEmpty()) {
        *error = QStringLiteral("the reply needs a version above 0 and at least one channel");
        return false;
    }
    OutLock lock;
    if (QFileInfo(options.outDir).isDir() && !lock.take(options.outDir, options.progress, error))
        return false;
    return bothTreesPublished(versionDir, -1, error)
        && checkVersionsReply(options.versionsDir, options.channels, options.version, options.allowOlder, error)
        && writeReply(options, rep, error);
}

bool publish(const PublishOptions& options, PublishReport* report, QString* error)
{
    PublishReport local;
    PublishReport& rep = report ? *report : local;
    rep = PublishReport();
    error->clear();
    const QStringList olds = oldTrees(options);
    const QString section = !options.section.isEmpty()
        ? options.section
        : QString::fromLatin1(options.targetKind == 1 ? "client" : "update");
    crypt_key_holder key;
    // Held to the end: everything below reads or writes what OUT holds.
    OutLock lock;
    if (!prepareRun(options, olds, section, key, lock, error))
        return false;
    const QString iniName = productIniName(options.targetKind);
    const QString versionDir = QDir(options.outDir).filePath(QString::number(options.version));
    const bool withReply = !options.channels.isEmpty();
    if (withReply
        && (!checkVersionsReply(options.versionsDir, options.channels, options.version, options.allowOlder, error)
            || !bothTreesPublished(versionDir, options.targetKind, error)))
        return false;
    RunTrees trees;
    if (!readTrees(options, olds, versionDir, &trees, rep, error))
        return false;

    PublishStaging staging(options.outDir, versionDir, section, iniName);
    if (!staging.prepare(&rep.notes, error) || !staging.create(options.version, error))
        return false;
    const QString stagedIni = QDir(staging.stagedVersion()).filePath(iniName);
    if (!writeStagedTree(options, olds, section, staging, trees, stagedIni, rep, error)
        || !finishIni(stagedIni, options.version, options.newDir, error) || !signIni(key, stagedIni, error)
        || !staging.moveIntoPlace(error))
        return false;
    rep.versionDir = versionDir;
    rep.iniPath = QDir(versionDir).filePath(iniName);
    if (withReply && !writeReply(options, rep, error)) {
        *error = QStringLiteral("the tree is published, but the version reply is not: %1; write it with --reply-only")
                     .arg(*error);
        return false;
    }
    return true;
}
