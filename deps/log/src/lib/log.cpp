#include "log.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <string>

#include <boost/algorithm/string/replace.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

namespace {

// Set while the sink list exists. A sink destroyed after the list has been
// torn down at exit must not unlink a node that is already gone.
bool sinkListAlive = false;

struct SinkListHolder
{
    SinkListHolder() { sinkListAlive = true; }
    ~SinkListHolder()
    {
        sinkListAlive = false;
        sinks.clear();
    }
    LogSinkList sinks;
};

SinkListHolder& sinkHolder()
{
    // Built on first use, so sinks that are themselves static objects in other
    // files find the list ready whatever the order of static initialisation.
    static SinkListHolder holder;
    return holder;
}

int logLevel = LogLevel_DEVEL;
int useLocalTime = 0;
int timestampFormat = 0;
LogCriticalCallback criticalCallback = nullptr;

const std::string* levelNames()
{
    static const std::string names[6] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    return names;
}

bool isNoise(const std::string& message, const std::string& channel)
{
    return channel == "DatabaseQuery"
        && (message == "sqlite3_prepare failed no such column: string_id"
            || message.find("db_exec() select * from instance_properties where string_id = '") != std::string::npos);
}

} // namespace

LogBase::LogBase() : m_Registered(false)
{
    LogSinkList& sinks = sinkHolder().sinks;
    m_Node = sinks.insert(sinks.end(), this);
    m_Registered = true;
}

LogBase::~LogBase()
{
    if (m_Registered && sinkListAlive)
        sinkHolder().sinks.erase(m_Node);
}

LogSinkList& logSinkList()
{
    return sinkHolder().sinks;
}

void setLogLevel(int level)
{
    logLevel = level;
}
void setUseLocalTime(int value)
{
    useLocalTime = value;
}
void setTimestampFormat(int format)
{
    timestampFormat = format;
}
void setCriticalCallback(LogCriticalCallback callback)
{
    criticalCallback = callback;
}

std::string logLevelName(int level)
{
    return levelNames()[level];
}

std::string checkedLogLevelName(int lvl)
{
    if (!(lvl >= 0 && lvl <= LogLevel_DEVEL)) {
        log("Assertion \"lvl >= 0 && lvl <= LogLevel_DEVEL\" failed at "
            "../../../../deps/log/src/lib/log:216; ",
            LogLevel_CRITICAL, "", 0);
    }
    return logLevelName(lvl);
}

std::string formatTimestamp(const LogTime& t, int format)
{
    // The basic ISO form is the base of every variant, as the header's fixed
    // 26-character layout is derived from it.
    std::string basic =
        (boost::format("%04d%02d%02dT%02d%02d%02d") % t.year % t.month % t.day % t.hour % t.minute % t.second).str();
    std::string fraction;
    if (t.microseconds != 0)
        fraction = (boost::format(".%06u") % t.microseconds).str();

    if (format == 2)
        return basic + fraction;
    if (format != 0) {
        return (boost::format("%04d-%02d-%02dT%02d:%02d:%02d") % t.year % t.month % t.day % t.hour % t.minute
                % t.second)
                   .str()
            + fraction;
    }
    std::string text = basic + fraction;
    text[8] = ' ';
    text.insert(4, "-");
    text.insert(7, "-");
    text.insert(13, ":");
    text.insert(16, ":");
    if (text.find('.') == std::string::npos)
        text += '.';
    if (text.size() < 26)
        text.append(26 - text.size(), '0');
    return text;
}

std::string makeTimestamp(int format)
{
    using namespace boost::posix_time;
    ptime now = useLocalTime == 0 ? microsec_clock::universal_time() : microsec_clock::local_time();
    LogTime t;
    t.year = now.date().year();
    t.month = now.date().month();
    t.day = now.date().day();
    time_duration day = now.time_of_day();
    t.hour = static_cast<int>(day.hours());
    t.minute = static_cast<int>(day.minutes());
    t.second = static_cast<int>(day.seconds());
    // The clock's resolution may be finer than microseconds on some builds.
    int64_t ticks = day.fractional_seconds();
    int64_t perSecond = time_duration::ticks_per_second();
    t.microseconds =
        static_cast<uint32_t>(perSecond >= 1000000 ? ticks / (perSecond / 1000000) : ticks * (1000000 / perSecond));
    return formatTimestamp(t, format);
}

void writeToSinks(const LogSinkList& sinks, const std::string& message, int level, const std::string& channel,
                  uint64_t id, const std::string& timestamp, const std::string& line)
{
    if (line.empty())
        return;
    for (LogBase* sink : sinks) {
        sink->write(message, level, channel, id, timestamp, line);
        if (level == LogLevel_CRITICAL)
            sink->flush();
    }
}

void flushSinks(const LogSinkList& sinks)
{
    for (LogBase* sink : sinks)
        sink->flush();
}

void handleSinks(void* argument)
{
    handleSinks(logSinkList(), argument);
}

void handleSinks(const LogSinkList& sinks, void* argument)
{
    for (LogBase* sink : sinks)
        sink->handle(argument);
}

void handleOptionalSinks(void* argument)
{
    handleOptionalSinks(logSinkList(), argument);
}

void handleOptionalSinks(const LogSinkList& sinks, void* argument)
{
    for (LogBase* sink : sinks)
        sink->handleOptional(argument);
}

void log(const std::string& message, int level, const std::string& channel, uint64_t id)
{
    if (isNoise(message, channel))
        return;
    if (logLevel < level) {
        if (level == LogLevel_CRITICAL)
            std::exit(1);
        return;
    }
    // Only six levels have a header text; anything else that slips past a
    // raised or negative threshold is refused rather than read out of range.
    if (level < LogLevel_CRITICAL || level > LogLevel_DEVEL)
        return;

    std::string idText = id != 0 ? std::to_string(id) : std::string();
    std::string timestamp = makeTimestamp(timestampFormat);
    std::string header =
        (boost::format("%s|%-8s|%-14s|%-3s|") % timestamp % logLevelName(level) % channel % idText).str();
    std::string body = message;
    boost::algorithm::replace_all(body, "\n", "\n" + std::string(header.size(), ' '));
    std::string line = header + body;

    writeToSinks(logSinkList(), message, level, channel, id, timestamp, line);

    if (level == LogLevel_CRITICAL) {
        if (criticalCallback)
            criticalCallback(message, channel, id, timestamp, line);
        std::exit(1);
    }
}

std::string formatTraceFrame(int index, const std::string& symbol)
{
    std::string module = "<unknown>";
    std::string name = "<unknown>";
    std::string address = "<unknown>";

    bool haveFunction = false;
    size_t open = symbol.find('(');
    size_t plus = open == std::string::npos ? std::string::npos : symbol.find("+0x", open);
    if (plus != std::string::npos) {
        haveFunction = true;
        module = symbol.substr(0, open);
        std::string function = symbol.substr(open + 1, plus - open - 1);
        int status = 0;
        char* demangled = abi::__cxa_demangle(function.c_str(), nullptr, nullptr, &status);
        if (status == 0 && demangled)
            name = demangled;
        else if (status == -2)
            name = function + "(...)";
        std::free(demangled);
    }

    size_t bracket = symbol.find('[');
    size_t close = bracket == std::string::npos ? std::string::npos : symbol.find(']', bracket);
    if (close != std::string::npos) {
        address = symbol.substr(bracket + 1, close - bracket - 1);
        if (!haveFunction)
            module = symbol.substr(0, bracket);
    }

    return (boost::format("%4s%s in %s from %s") % ("#" + std::to_string(index)) % address % name % module).str();
}

void printTrace()
{
    void* frames[15];
    int count = backtrace(frames, 15);
    char** symbols = backtrace_symbols(frames, count);

    log("Printing Trace:", LogLevel_DEVEL, "", 0);
    if (count <= 0 || !symbols) {
        std::free(symbols);
        return;
    }
    for (int i = 0; i < count; ++i) {
        std::string line = formatTraceFrame(i, symbols[i] ? symbols[i] : "");
        for (LogBase* sink : logSinkList())
            sink->write(line, LogLevel_DEVEL, "", 0, "", line);
    }
    std::free(symbols);
}

const std::string& logEmptyString()
{
    static const std::string empty;
    return empty;
}
