#ifndef QND_TESTS_QTMESSAGES_H
#define QND_TESTS_QTMESSAGES_H

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every Qt message while it lives, from any thread, as
// "<level>: <text>" with level debug, info, warning or critical; the handler
// it replaced is back afterwards. One at a time.
class QtMessageCapture
{
public:
    QtMessageCapture()
    {
        {
            QMutexLocker lock(&mutex());
            store().clear();
        }
        m_Previous = qInstallMessageHandler(&QtMessageCapture::handle);
    }
    ~QtMessageCapture() { qInstallMessageHandler(m_Previous); }
    QtMessageCapture(const QtMessageCapture&) = delete;
    QtMessageCapture& operator=(const QtMessageCapture&) = delete;

    static QStringList lines()
    {
        QMutexLocker lock(&mutex());
        return store();
    }
    // The lines of one level that contain text.
    static QStringList find(const char* level, const QString& text)
    {
        QStringList hits;
        for (const QString& line : lines()) {
            if (line.startsWith(QLatin1String(level) + QLatin1String(": ")) && line.contains(text))
                hits << line;
        }
        return hits;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        const char* level = type == QtDebugMsg ? "debug"
            : type == QtInfoMsg                ? "info"
            : type == QtWarningMsg             ? "warning"
                                               : "critical";
        QMutexLocker lock(&mutex());
        store() << QLatin1String(level) + QLatin1String(": ") + text;
    }
    static QMutex& mutex()
    {
        static QMutex m;
        return m;
    }
    static QStringList& store()
    {
        static QStringList s;
        return s;
    }

    QtMessageHandler m_Previous;
};

#endif // QND_TESTS_QTMESSAGES_H
