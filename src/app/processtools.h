#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

#include <QString>
#include <QStringList>

// Starts what takes over when a session has finished: the client's run
// script, or the new updater (NewUpdaterFolder says where it runs from). Both start
// detached, so they outlive the updater, which closes right after.
class ProcessTools
{
public:
    ProcessTools() = delete;

    static void startQndClient(const QString& dir);
    // False, with the reason in *error when given, when nothing was started.
    static bool startClientUpdater(const QString& dir, const QStringList& arguments, QString* error = nullptr);

private:
    static void startQndClient_linux(const QString& path, const QString& dir);
    static bool startNewUpdater_linux(const QString& dir, const QStringList& arguments, QString* error);
};

#endif // PROCESSTOOLS_H
