#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: the running one listens on a
// local socket named after its program path and the home directory; a new
// start sends "#" there and exits when someone received it.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstanceChecker(QObject* parent = nullptr);
    ~SingleInstanceChecker() override;

    static QString serverName();
    // The name for a given program path and home directory.
    static QString serverNameFor(const QString& applicationFilePath, const QString& homePath);
    // True when a running instance received the message; blocks up to ~2 s.
    static bool sendMessage(const QString& message);

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
