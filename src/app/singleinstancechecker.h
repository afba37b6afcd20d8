#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: the running one listens on a
// local socket named after its program path and the home directory. The
// listen decides who runs: a start that cannot listen because a live updater
// of the same user answers sends "#" there and exits.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    // Listens at once, taking over a socket left by a crashed run.
    explicit SingleInstanceChecker(QObject* parent = nullptr);
    ~SingleInstanceChecker() override;

    static QString serverName();
    // The name for a given program path and home directory.
    static QString serverNameFor(const QString& applicationFilePath, const QString& homePath);
    // True when a running instance of the same user received the message;
    // blocks up to ~2 s.
    static bool sendMessage(const QString& message);
    // True when the other end of a connected local socket runs as this user.
    static bool isOwnUser(qintptr socketDescriptor);

    bool isListening() const;

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
