#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// The hand-over channel between updaters of one installation and user. Who
// runs is decided by the installation's lock (InstallLock); the holder
// listens on a local socket keyed to the install directory, in a directory
// only this user can write, and a start that finds the lock taken sends "#"
// there, which brings the running updater's window to the front.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    // Listens at once, taking over a socket left by a crashed run.
    explicit SingleInstanceChecker(QObject* parent = nullptr);
    ~SingleInstanceChecker() override;

    // The socket's full path for this run's installation; empty when this
    // user has no private directory for it.
    static QString serverName();
    // The name older updaters derived from the program path and the home
    // directory, in the shared temp directory, where anybody may take it.
    static QString serverNameFor(const QString& applicationFilePath, const QString& homePath);
    // This user's own directory for the socket, made when missing; empty
    // when what lies there is not a private directory of this user.
    static QString privateDir();
    // True when a running instance of the same user received the message;
    // blocks up to ~2 s.
    static bool sendMessage(const QString& message);
    // True when the other end of a connected local socket runs as this user.
    static bool isOwnUser(qintptr socketDescriptor);

    bool isListening() const;
    // Listens under serverName(), unless already listening.
    void listen();
    // Stops listening and removes the socket: the name is free for the
    // program that takes the installation over (a self-update's second
    // step), which would otherwise find it taken by a run that is ending.
    void stopListening();

signals:
    void otherInstanceActivate(QString message);

public slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* m_Server = nullptr; // child of this
    QLocalSocket* m_Socket = nullptr; // child of m_Server; one connection at a time
};

#endif // SINGLEINSTANCECHECKER_H
