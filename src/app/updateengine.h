#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include <QObject>
#include <QString>

class Configuration;
class InstallLock;
class MainTaskSpecification;
class QNetworkAccessManager;
class QTimer;

// Drives one update session in the GUI thread: decides whether the previous
// session record is continued or cleaned away, writes the new record, runs the
// main task, relays its progress, messages and errors, polls the download
// counters once a second and cleans up when the task tree has ended.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum State { PRE_INIT = 0, POST_INIT = 1, RUNNING = 2, FINISHED = 3, CANCELED = 4 };

    // config is not owned and must outlive the engine.
    UpdateEngine(Configuration* config, QObject* parent);

    // False, and no session, while a fatal error is pending: the program
    // ends once the user has seen it.
    bool initialize();
    bool startUpdate();
    void resetAfterCancel();
    bool isInitialized() const;
    void cleanup();

    static void removeOldFiles(const QString& dir);
    static void removeQt4Files(const QString& dir);

    int state() const { return m_State; }
    QNetworkAccessManager* networkManager() const { return m_NetworkManager; }
    MainTaskSpecification* mainTask() const { return m_MainTask; }

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();

public slots:
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();

private:
    void setupProxy();
    // Shows why no session can start; false for "return failToStart(...)".
    bool failToStart(const QString& cause);
    void releaseMainTask();
    // The steps of initialize(), in order. No session while a fatal error
    // is pending or the signature check cannot be set up.
    bool readyToStart();
    // Continues the recorded session (*dir and *qnddir kept) or clears it
    // away, its directory removed when it is this installation's.
    void settlePreviousSession(const InstallLock* lock, QString* dir, QString* qnddir);
    // Ties the session's directory (continuedDir when continued) to the
    // lock's installation and holds it for this run.
    bool holdSessionDir(InstallLock* lock, const QString& continuedDir);
    bool writeRecord(const QString& continuedDir);

    int m_State = PRE_INIT;
    bool m_FatalPending = false;
    Configuration* m_Config;                     // not owned
    MainTaskSpecification* m_MainTask = nullptr; // child while it exists
    QTimer* m_Timer;                             // child
    QNetworkAccessManager* m_NetworkManager;     // child
};

#endif // UPDATEENGINE_H
