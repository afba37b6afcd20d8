#ifndef QND_SERVERVERSIONS_H
#define QND_SERVERVERSIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quendrail {
namespace update {
class Versions;
}
} // namespace quendrail

// The newest release of one channel.
struct ChannelVersion
{
    int32_t version_number = 0;
    std::string version_string;
};

// A version-query reply without protobuf types.
struct ServerVersions
{
    int32_t licenseAgreementId = 0;
    int32_t licenseAgreementIdMin = 0;
    // Every channel name in message order, duplicates included.
    std::vector<std::string> channels;
    // Keyed by name; a name given twice keeps its first entry.
    std::map<std::string, ChannelVersion> versions;
};

enum VersionsParseResult { VersionsParse_Ok = 0, VersionsParse_NullBuffer = 1, VersionsParse_Invalid = 2 };

// The reply's name on the version-query host; the publisher writes it there.
extern const char kVersionReplyName[];

extern const std::string s_versionServerUrl;
extern const std::string s_emptyString;

// The version-query URL: "http://" + host + "/qnd-client-2".
void versionServerUrl(std::string& out);

// Parses a reply body (one serialised Versions message) and appends it to
// out. Returns a VersionsParseResult; out is untouched unless the result is
// VersionsParse_Ok.
int parseVersions(const unsigned char* data, int length, ServerVersions* out);

// Appends a parsed message to out; the first channel of a name wins.
void convertVersions(ServerVersions* out, const quendrail::update::Versions& message);

inline const std::string& channelVersionString(const ServerVersions& versions, const std::string& channel)
{
    const auto it = versions.versions.find(channel);
    return it == versions.versions.end() ? s_emptyString : it->second.version_string;
}

inline int32_t channelVersionNumber(const ServerVersions& versions, const std::string& channel)
{
    const auto it = versions.versions.find(channel);
    return it == versions.versions.end() ? 0 : it->second.version_number;
}

#endif // QND_SERVERVERSIONS_H
