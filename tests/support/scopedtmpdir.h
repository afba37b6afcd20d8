#ifndef QND_TESTS_SCOPEDTMPDIR_H
#define QND_TESTS_SCOPEDTMPDIR_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

// Points the system temp path (where update.ini and its lock live) at a
// directory of the test's own, and restores TMPDIR as it was.
class ScopedTmpDir
{
public:
    explicit ScopedTmpDir(const QString& path) : m_Old(qgetenv("TMPDIR")), m_Had(qEnvironmentVariableIsSet("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(path));
    }
    ~ScopedTmpDir()
    {
        if (m_Had)
            qputenv("TMPDIR", m_Old);
        else
            qunsetenv("TMPDIR");
    }
    ScopedTmpDir(const ScopedTmpDir&) = delete;
    ScopedTmpDir& operator=(const ScopedTmpDir&) = delete;

private:
    QByteArray m_Old;
    bool m_Had;
};

#endif // QND_TESTS_SCOPEDTMPDIR_H
