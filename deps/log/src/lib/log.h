#ifndef QND_LOG_LOG_H
#define QND_LOG_LOG_H

#include <cstdint>
#include <list>
#include <string>

// Process-wide diagnostic log. Lower levels are more severe; a CRITICAL entry
// is flushed through every sink and ends the process with status 1.
enum {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5,
};
typedef int LogLevel;

class LogBase;
typedef std::list<LogBase*> LogSinkList;

// A sink. Constructing one registers it at the end of the sink list,
// destroying it unregisters it. Register sinks before logging starts and
// destroy them after it ends: the list itself takes no lock.
class LogBase
{
public:
    LogBase();
    virtual ~LogBase();
    LogBase(const LogBase&) = delete;
    LogBase& operator=(const LogBase&) = delete;

    // Called right after this sink has written a CRITICAL entry.
    virtual bool flush() = 0;
    virtual void handle(void* argument) = 0;
    virtual bool write(const std::string& message, int level, const std::string& channel, uint64_t id,
                       const std::string& timestamp, const std::string& line) = 0;
    virtual void handleOptional(void* argument) {}

private:
    LogSinkList::iterator m_Node;
    bool m_Registered;
};

typedef void (*LogCriticalCallback)(const std::string& message, const std::string& channel, uint64_t id,
                                    const std::string& timestamp, const std::string& line);

// The entry point. Does not return for a CRITICAL entry (unless the noise
// filter drops it).
void log(const std::string& message, int level, const std::string& channel, uint64_t id);

void setLogLevel(int level);
void setUseLocalTime(int useLocalTime);
void setTimestampFormat(int format);
void setCriticalCallback(LogCriticalCallback callback);

// Header text of a level; defined for 0..5 only.
std::string logLevelName(int level);
// The same, but a level outside 0..5 is a CRITICAL assertion (ends the process).
std::string checkedLogLevelName(int level);

// Broken-down time handed to formatTimestamp, so that a given instant can be
// formatted without waiting for the clock.
struct LogTime
{
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    uint32_t microseconds;
};

// The current time (UTC, or local time after setUseLocalTime(non-zero)).
std::string makeTimestamp(int format);
// 0: "YYYY-MM-DD HH:MM:SS.ffffff"; 2: ISO basic; any other: ISO extended.
std::string formatTimestamp(const LogTime& time, int format);

// Writes a symbolised backtrace of the calling thread to every sink.
void printTrace();
// One frame line of printTrace from a backtrace_symbols text.
std::string formatTraceFrame(int index, const std::string& symbol);

// Broadcasts.
LogSinkList& logSinkList();
void writeToSinks(const LogSinkList& sinks, const std::string& message, int level, const std::string& channel,
                  uint64_t id, const std::string& timestamp, const std::string& line);
void flushSinks(const LogSinkList& sinks);
void handleSinks(void* argument);
void handleSinks(const LogSinkList& sinks, void* argument);
void handleOptionalSinks(void* argument);
void handleOptionalSinks(const LogSinkList& sinks, void* argument);

const std::string& logEmptyString();

#endif
