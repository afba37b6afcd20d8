#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include "updateversions.h"

#include <QObject>
#include <QString>
#include <QStringList>

// Everything one run needs before a session starts: target kind and version,
// channel and download base URL, temp and install directories, proxy and
// download streams. Other parts read the fields directly.
class Configuration : public QObject
{
    Q_OBJECT
public:
    explicit Configuration(QObject* parent = nullptr);

    // Reads QCoreApplication::arguments(); false means start-up fails.
    bool parseCommandLineOptions();
    // The same for a given argument list (args[0] is the program).
    bool parseCommandLineOptions(const QStringList& args);

    // Channel, alpha version and download base URL from "update.ini"; false
    // (after fatalError) for a channel URL the updater cannot fetch from.
    bool getUpdateChannel();
    bool parseClientTypeAndVersion(const QStringList& args, int index);
    bool setVersion(const QString& text, const QString& errorFormat);
    bool getDefaultParameters();
    bool initalizeStart(const QString& tempDir, const QString& installDir);
    bool createTempDir();
    void readUpdateSettings();
    QString getConfigDir() const;

    static QString clientRunScriptName();
    static bool findClientExecutable(const QString& dir);

    bool m_Ready = false;
    int m_ClientUpdate = 0; // 1 client run, 0 updater run
    int m_Channel = 0;      // 0 Stable, 1 Beta, 2 Alpha
    QString m_ClientType;
    int m_Version = 0; // 0 while not known
    QString m_VersionText;
    QString m_TempDir;
    QString m_InstallDir;
    QString m_Proxy;
    int m_Streams = 0;

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

public slots:
    void on_updateAvailable(UpdateVersions versions);

private:
    // Why the version query failed, as its checker said it.
    QString m_QueryFailure;
};

#endif // CONFIGURATION_H
