#ifndef GLOBALS_H
#define GLOBALS_H

#include <QObject>
#include <QString>
#include <QStringList>

// Values shared by parts of the updater that otherwise do not know each other.

// The download base URL, ending in "/"; empty until the configuration has read
// its settings, written once per run before any download starts.
extern QString updateBaseUrl;

// A replaced file is made executable when its file name, or its complete
// suffix, is listed here (case-sensitive).
extern const QStringList executableFileNames;
extern const QStringList executableSuffixes;

// The time column of every log line.
extern const QString logTimestampFormat;

// Marker files in the system temp directory, written when a reboot is needed.
extern const QString forceUpdateFileNames[2];

// The main window (a QObject with the slot onRebootWithConfirmation()), or
// null while there is none.
extern QObject* mainWindowInstance;

#endif // GLOBALS_H
