#include "enginelog.h"

#include "failurelog.h"
#include "log.h"

#include <QDebug>
#include <QString>

namespace {

class QtMessageSink : public LogBase
{
public:
    bool flush() override { return true; }
    void handle(void*) override {}
    bool write(const std::string& message, int level, const std::string&, uint64_t, const std::string&,
               const std::string&) override
    {
        const QString text = QString::fromLocal8Bit(message.data(), int(message.size()));
        if (level <= LogLevel_ERROR)
            qCWarning(lcFailure).noquote() << "Patch engine:" << text;
        else
            qDebug().noquote() << "Patch engine:" << text;
        return true;
    }
};

} // namespace

void forwardEngineLog()
{
    // Registered by its construction, for the rest of the process.
    static QtMessageSink sink;
}
