#ifndef GLOBALS_H
#define GLOBALS_H

#include <QObject>
#include <QString>
#include <QStringList>

// installLockFileName and executablesIniKey live with the product ini's names.
#include "productininames.h"

// Values shared by parts of the updater that otherwise do not know each other.

// The application directory: the default install directory and the place of
// the "update.ini" that holds the "update" settings and the session record.
QString applicationDirPath();

// The download base URL, ending in "/"; empty until the configuration has read
// its settings, written once per run before any download starts.
extern QString updateBaseUrl;

// The most bytes an unpacked product ini may have. The ini is unpacked before
// its signature is checked, so this bounds what a server can make the updater
// write; a 10,000-file client's ini is about 3.6 MB, so 32 MiB leaves room
// for about 90,000 files. The publisher refuses trees whose ini exceeds it.
constexpr qint64 kMaxProductIniBytes = qint64(32) * 1024 * 1024;

// The time column of every log line.
extern const QString logTimestampFormat;

// Marker files in the system temp directory, written when a reboot is needed.
extern const QString forceUpdateFileNames[2];

// The main window (a QObject with the slot onRebootWithConfirmation()), or
// null while there is none.
extern QObject* mainWindowInstance;

#endif // GLOBALS_H
