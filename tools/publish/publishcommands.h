#ifndef QND_PUBLISH_PUBLISHCOMMANDS_H
#define QND_PUBLISH_PUBLISHCOMMANDS_H

// The install commands a version asks the updater to run before and after
// it replaces the files.

#include "publishoptions.h"

#include <QSet>
#include <QSettings>
#include <QString>
#include <QStringList>

// The programs named by install commands, checked against the new tree; they
// must come whole, so the set is known before any file is written.
bool collectInstallPrograms(const PublishOptions& options, const QStringList& newFiles, QSet<QString>* programs,
                            QString* error);

// Writes both groups into ini; false when the updater would run them in
// another order than given.
bool writeInstallCommands(QSettings& ini, const PublishOptions& options, QString* error);

#endif // QND_PUBLISH_PUBLISHCOMMANDS_H
