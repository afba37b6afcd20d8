#include "logfile.h"

#include "failurelog.h"
#include "globals.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool logEnabled = false;

namespace {

LogFile* logFileInstance = nullptr;

// Qt itself may warn while we write (a device that is not open, say); that
// warning re-enters the handler on the same thread, which must neither take
// the lock again nor recurse without end.
thread_local bool inHandler = false;

const char* levelField(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "\t|\tDebug\t|\t";
    case QtWarningMsg: return "\t|\tWarning\t|\t";
    case QtCriticalMsg: return "\t|\tCritical\t|\t";
    case QtFatalMsg: return "\t|\tFatal\t|\t";
    case QtInfoMsg: return "\t|\tInfo\t|\t";
    }
    return nullptr;
}

} // namespace

LogFile::LogFile()
{
    logEnabled = QFile::exists(QDir::tempPath() + QStringLiteral("/qnd_update_log"));
}

LogFile::~LogFile()
{
    close();
}

LogFile* LogFile::instance()
{
    if (!logFileInstance) {
        logFileInstance = new LogFile; // lives until the process ends
        logFileInstance->open();
    }
    return logFileInstance;
}

QString LogFile::directoryPath()
{
    return QDir::toNativeSeparators(QDir::tempPath() + QDir::separator() + QStringLiteral("quendrail_update_log")
                                    + QDir::separator());
}

QString LogFile::fileNameFor(const QDateTime& start)
{
    QString stamp = start.toString(Qt::ISODate);
    stamp.replace(QLatin1Char(':'), QLatin1Char('_'));
    stamp.replace(QLatin1Char('T'), QStringLiteral("__"));
    return QStringLiteral("update__") + stamp + QStringLiteral(".log");
}

void LogFile::open()
{
    if (!logEnabled)
        return;
    QMutexLocker lock(&m_Mutex);
    if (m_OutFile)
        return;
    const QString fileName = fileNameFor(QDateTime::currentDateTime());
    const QString directory = directoryPath();
    // Without the trailing separator, so lstat() sees a link as a link.
    QByteArray nativeDir = QFile::encodeName(directory);
    while (nativeDir.size() > 1 && nativeDir.endsWith('/'))
        nativeDir.chop(1);
    if (!QDir(directory).exists())
        ::mkdir(nativeDir.constData(), 0700);
    // The temp path is shared with every user: a directory or a file name
    // planted there beforehand could point our writes at someone else's
    // file. Use only our own real directory and never follow a link.
    struct stat dirInfo;
    if (::lstat(nativeDir.constData(), &dirInfo) != 0 || !S_ISDIR(dirInfo.st_mode) || dirInfo.st_uid != ::geteuid())
        return;
    // Never an existing file: two starts in the same second would otherwise
    // share, or cut short, one log. The later one gets a numbered name.
    QString path = directory + fileName;
    int fd = -1;
    for (int n = 2; n < 1000; ++n) {
        fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            break;
        path = directory + fileName.chopped(4) + QLatin1Char('_') + QString::number(n) + QStringLiteral(".log");
    }
    if (fd < 0)
        return;
    m_OutFile = new QFile;
    m_FilePath = path;
    if (!m_OutFile->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle))
        ::close(fd);
    m_Stream.setDevice(m_OutFile);
}

void LogFile::close()
{
    QMutexLocker lock(&m_Mutex);
    if (!m_OutFile)
        return;
    if (m_OutFile->isOpen()) {
        m_Stream.flush();
        m_OutFile->close();
    }
    m_Stream.setDevice(nullptr);
    delete m_OutFile;
    m_OutFile = nullptr;
}

QString LogFile::filePath() const
{
    return m_OutFile ? m_FilePath : QString();
}

void LogFile::write(QtMsgType type, const QString& message)
{
    write(type, message, QDateTime::currentDateTime());
}

void LogFile::write(QtMsgType type, const QString& message, const QDateTime& when)
{
    const char* level = levelField(type);
    if (!level)
        return;
    const QByteArray bytes = message.toLocal8Bit() + '\n';
    QByteArray line = when.toString(logTimestampFormat).toLocal8Bit();
    line += level;
    line += bytes;

    QMutexLocker lock(&m_Mutex);
    // Without an open file the stream would only buffer without end.
    if (!m_OutFile || !m_OutFile->isOpen())
        return;
    // Written as raw bytes: the text was already converted to the local
    // encoding, and a second conversion by the stream would alter it.
    m_Stream.flush();
    m_OutFile->write(line);
    m_OutFile->flush();
}

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // The log file is optional; what ends the program or fails it must be
    // seen somewhere even without one (without a display there is no box).
    if (type == QtFatalMsg || type == QtCriticalMsg || isFailureCategory(context.category)) {
        const QByteArray line = message.toLocal8Bit() + '\n';
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        std::fflush(stderr);
    }
    if (!logEnabled || inHandler) {
        if (type == QtFatalMsg)
            std::abort();
        return;
    }
    inHandler = true;
    LogFile::instance()->write(type, message);
    inHandler = false;
    if (type == QtFatalMsg)
        std::abort();
}
