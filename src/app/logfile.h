#ifndef LOGFILE_H
#define LOGFILE_H

#include <QMutex>
#include <QString>
#include <QTextStream>
#include <QtGlobal>

class QFile;
class QDateTime;

// True when the marker "qnd_update_log" existed in the temp path when the
// process-wide LogFile was made; without it every message is dropped.
extern bool logEnabled;

// The diagnostic log file of one process start:
// <temp>/quendrail_update_log/update__<start time>.log, one flushed line per
// Qt message. Process-wide through instance(), made before any thread exists
// and never destroyed.
class LogFile
{
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // The process-wide log file, made and opened on first use.
    static LogFile* instance();

    // Creates the directory and the file and attaches the stream; nothing
    // when logging is off.
    void open();
    // Shut-down: flush and close; later messages are dropped.
    void close();

    // Writes one line and flushes it; safe from any thread. A fatal line is
    // on disk before this returns.
    void write(QtMsgType type, const QString& message);
    void write(QtMsgType type, const QString& message, const QDateTime& when);

    QString filePath() const;

    static QString directoryPath();
    static QString fileNameFor(const QDateTime& start);

    QFile* m_OutFile = nullptr; // owned; null when logging is off
    QTextStream m_Stream;

private:
    QMutex m_Mutex;
    QString m_FilePath; // opened by descriptor, so the QFile has no name
};

// The handler given to qInstallMessageHandler: every message goes to the log
// file, fatal and critical ones and those that tell why a run failed to
// standard error as well; a fatal one is written and flushed before abort().
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

#endif // LOGFILE_H
