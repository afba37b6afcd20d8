#include "serverversions.h"

#include "UpdateMessage.pb.h"

#ifndef QND_VERSION_QUERY_HOST
#error "QND_VERSION_QUERY_HOST must name the version-query host"
#endif

const char kVersionReplyName[] = "qnd-client-2";
const std::string s_versionServerUrl = std::string("http://") + QND_VERSION_QUERY_HOST + "/" + kVersionReplyName;
const std::string s_emptyString;

void versionServerUrl(std::string& out)
{
    out = s_versionServerUrl;
}

int parseVersions(const unsigned char* data, int length, ServerVersions* out)
{
    if (!data)
        return VersionsParse_NullBuffer;
    // A negative length is not a buffer protobuf can be asked to read.
    if (length < 0 || !out)
        return VersionsParse_Invalid;
    quendrail::update::Versions message;
    // Fails on malformed bytes and on any missing required field. The check
    // for the required fields is made here rather than by ParseFromArray,
    // which would also write its complaint to standard error: the caller
    // reports the failure in its own terms.
    if (!message.ParsePartialFromArray(data, length) || !message.IsInitialized())
        return VersionsParse_Invalid;
    convertVersions(out, message);
    return VersionsParse_Ok;
}

void convertVersions(ServerVersions* out, const quendrail::update::Versions& message)
{
    out->licenseAgreementId = message.licenseagreementid();
    out->licenseAgreementIdMin = message.licenseagreementidmin();
    for (const quendrail::update::Channel& channel : message.channels()) {
        out->channels.push_back(channel.name());
        // emplace keeps an existing key: the first channel of a name wins.
        ChannelVersion version;
        version.version_number = channel.version_number();
        version.version_string = channel.version_string();
        out->versions.emplace(channel.name(), std::move(version));
    }
}
