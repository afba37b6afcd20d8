#ifndef QND_TESTS_VERSIONREPLY_H
#define QND_TESTS_VERSIONREPLY_H

#include "UpdateMessage.pb.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <string>
#include <tuple>
#include <vector>

// A serialised version-query reply with the given (name, number, string)
// channels.
inline QByteArray versionsReply(const std::vector<std::tuple<std::string, int, std::string>>& channels,
                                int licenseId = 1)
{
    quendrail::update::Versions message;
    message.set_licenseagreementid(licenseId);
    for (const auto& c : channels) {
        quendrail::update::Channel* channel = message.add_channels();
        channel->set_name(std::get<0>(c));
        channel->set_version_number(std::get<1>(c));
        channel->set_version_string(std::get<2>(c));
    }
    const std::string bytes = message.SerializeAsString();
    return QByteArray(bytes.data(), int(bytes.size()));
}

// Sets an environment variable for the lifetime of the object and restores
// the previous state afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : m_Name(name), m_Had(qEnvironmentVariableIsSet(name)), m_Old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (m_Had)
            qputenv(m_Name, m_Old);
        else
            qunsetenv(m_Name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_Name;
    bool m_Had;
    QByteArray m_Old;
};

#endif // QND_TESTS_VERSIONREPLY_H
