#ifndef QND_TESTS_CAPTURESINK_H
#define QND_TESTS_CAPTURESINK_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "log.h"

namespace testsupport {

// Records every log line while it lives (a sink registers itself on
// construction). A critical line also goes to stderr as "[critical <text>]",
// as it ends the process before a test could look at the record.
class CaptureSink : public LogBase
{
public:
    bool flush() override { return true; }
    void handle(void*) override {}
    bool write(const std::string& message, int level, const std::string& channel, uint64_t id, const std::string&,
               const std::string&) override
    {
        m_Messages.push_back(message);
        m_Levels.push_back(level);
        m_Channels.push_back(channel);
        m_Ids.push_back(id);
        if (level == LogLevel_CRITICAL)
            std::fprintf(stderr, "[critical %s]", message.c_str());
        return true;
    }
    bool Has(const std::string& message) const
    {
        for (const std::string& m : m_Messages)
            if (m == message)
                return true;
        return false;
    }
    std::vector<std::string> m_Messages;
    std::vector<int> m_Levels;
    std::vector<std::string> m_Channels;
    std::vector<uint64_t> m_Ids;
};

} // namespace testsupport

#endif // QND_TESTS_CAPTURESINK_H
