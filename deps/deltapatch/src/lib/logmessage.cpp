#include "logmessage.h"

#include <cstdlib>

namespace deltapatch {

LogMessage::LogMessage() : m_Id(0), m_Level(LogLevel_DEBUG) {}

LogMessage::LogMessage(int level, uint64_t id) : m_Id(id), m_Level(level) {}

LogMessage::~LogMessage()
{
    // A destructor lets no exception out; one here (out of memory while
    // building the text) ends the process like a CRITICAL entry would.
    try {
        log(m_Stream.str(), m_Level, m_Channel, m_Id);
    } catch (...) {
        std::exit(1);
    }
}

} // namespace deltapatch
