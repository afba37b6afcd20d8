#ifndef DELTAPATCH_LOGMESSAGE_H
#define DELTAPATCH_LOGMESSAGE_H

#include <cstdint>
#include <sstream>
#include <string>

#include "log.h"

namespace deltapatch {

// Collects a message by stream insertion and hands it to the log library
// when destroyed:
//   LogMessage m; m.setLevel(LogLevel_ERROR); m << "bad offset " << offset;
// A CRITICAL level ends the process there.
class LogMessage
{
public:
    LogMessage();
    explicit LogMessage(int level, uint64_t id = 0);
    ~LogMessage();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    void setLevel(int level) { m_Level = level; }
    void setId(uint64_t id) { m_Id = id; }
    std::ostream& stream() { return m_Stream; }

    template <typename T> LogMessage& operator<<(const T& value)
    {
        m_Stream << value;
        return *this;
    }

private:
    std::string m_Channel;
    uint64_t m_Id;
    std::ostringstream m_Stream;
    int m_Level;
};

} // namespace deltapatch

#endif
