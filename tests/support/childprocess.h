#ifndef QND_TESTS_CHILDPROCESS_H
#define QND_TESTS_CHILDPROCESS_H

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Runs a helper program to its end; true when it exited normally with 0.
// Its error output goes to the test's own, for diagnosis.
inline bool runToSuccess(const QString& program, const QStringList& args, int limitMs = 120000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    return p.waitForFinished(limitMs) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The environment for an updater run as a child: its own config, temp and
// home directories, no display needed, and no proxy between it and the
// loopback server.
inline QProcessEnvironment updaterEnvironment(const QString& config, const QString& tmp, const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QND_CONFIG_DIR"), config);
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const char* proxy : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"})
        env.remove(QString::fromLatin1(proxy));
    return env;
}

#endif // QND_TESTS_CHILDPROCESS_H
