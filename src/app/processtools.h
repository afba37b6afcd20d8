#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

#include <QString>
#include <QStringList>

// Starts what takes over when a session has finished: the client's run
// script, or the new updater unpacked into the temp directory. Both start
// detached, so they outlive the updater, which closes right after.
class ProcessTools
{
public:
    ProcessTools() = delete;

    static void startQndClient(const QString& dir);
    static bool startClientUpdater(const QString& dir, const QStringList& arguments);

private:
    static void startQndClient_linux(const QString& path, const QString& dir);
    static bool startNewUpdater_linux(const QString& dir, const QStringList& arguments);
};

#endif // PROCESSTOOLS_H
