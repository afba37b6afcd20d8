#ifndef QND_PUBLISH_PUBLISHRULES_H
#define QND_PUBLISH_PUBLISHRULES_H

// What a run checks before it writes anything: its options, the names a tree
// may not use, that a version's client tree carries its updater's files, and
// that the product ini can hold every file.

#include "productininames.h"
#include "publishoptions.h"
#include "publishtree.h"

#include <QString>
#include <QStringList>

// "qnd_client_linux_amd64.ini" for a client, "update_linux_amd64.ini" for the updater.
QString productIniName(int targetKind);

// Why a file section cannot be named so, or empty when it can.
QString sectionProblem(const QString& section);

// oldDir and oldDirs, each once, in the order given.
QStringList oldTrees(const PublishOptions& options);

// The options a publish needs, the folders they name and how those nest;
// false with the first problem in *error.
bool checkOptions(const PublishOptions& options, const QStringList& olds, const QString& section, QString* error);

// One line for each path of tree that names something of the updater's.
QStringList reservedNameProblems(const PublishTree& tree, const PublishOptions& options);

// Why tree breaks the carry rule against the version's other published tree
// in versionDir, or empty when it does not (or that tree is not there yet).
QString updaterFilesProblem(const PublishTree& tree, const PublishOptions& options, const QString& versionDir);

// Whether the product ini can list every file of tree within what the updater reads.
bool iniCanFit(const PublishTree& tree, QString* error);

#endif // QND_PUBLISH_PUBLISHRULES_H
