#include "serverversions.h"

#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Hand-encoded protobuf, so the tests pin the wire format rather than what
// the generated code happens to produce.
using Bytes = std::vector<unsigned char>;

void putVarint(Bytes& out, uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

void putInt(Bytes& out, unsigned char key, int32_t v)
{
    out.push_back(key);
    // int32 negatives are sign-extended to ten bytes on the wire.
    putVarint(out, static_cast<uint64_t>(static_cast<int64_t>(v)));
}

void putBytes(Bytes& out, unsigned char key, const Bytes& payload)
{
    out.push_back(key);
    putVarint(out, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// A Channel message; an empty name or string leaves the field out when the
// matching flag says so.
Bytes channel(const std::string& name, int32_t number, const std::string& versionString, bool withName = true,
              bool withNumber = true, bool withString = true)
{
    Bytes c;
    if (withName)
        putBytes(c, 0x0A, text(name));
    if (withNumber)
        putInt(c, 0x10, number);
    if (withString)
        putBytes(c, 0x1A, text(versionString));
    return c;
}

struct ParseCase
{
    const char* name;
    Bytes body;
    int expectedCode;
    int32_t licenseId;
    int32_t licenseIdMin;
    std::vector<std::string> channels;
    int32_t stableNumber;
    std::string stableString;
    int32_t betaNumber;
    std::string betaString;
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.name;
}

Bytes body(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes field1(int32_t v)
{
    Bytes b;
    putInt(b, 0x08, v);
    return b;
}
Bytes field3(int32_t v)
{
    Bytes b;
    putInt(b, 0x18, v);
    return b;
}
Bytes field2(const Bytes& c)
{
    Bytes b;
    putBytes(b, 0x12, c);
    return b;
}

std::vector<ParseCase> parseCases()
{
    return {
        {"OnlyLicenseId", field1(7), VersionsParse_Ok, 7, 0, {}, 0, "", 0, ""},
        {"StableAndBeta",
         body({field1(3), field2(channel("stable", 1000, "3.0.0")), field2(channel("beta", 1010, "3.1.0-beta"))}),
         VersionsParse_Ok,
         3,
         0,
         {"stable", "beta"},
         1000,
         "3.0.0",
         1010,
         "3.1.0-beta"},
        {"DuplicateChannelKeepsFirst",
         body({field1(1), field2(channel("stable", 10, "a")), field2(channel("stable", 11, "b"))}),
         VersionsParse_Ok,
         1,
         0,
         {"stable", "stable"},
         10,
         "a",
         0,
         ""},
        {"Field3PresentAsZero", body({field1(1), field3(0)}), VersionsParse_Ok, 1, 0, {}, 0, "", 0, ""},
        {"Field3Copied", body({field3(5), field1(2)}), VersionsParse_Ok, 2, 5, {}, 0, "", 0, ""},
        {"NegativeNumbersKept",
         body({field1(-1), field2(channel("beta", -5, "x"))}),
         VersionsParse_Ok,
         -1,
         0,
         {"beta"},
         0,
         "",
         -5,
         "x"},
        {"UnknownFieldIgnored", body({field1(1), Bytes{0x20, 0x01}}), VersionsParse_Ok, 1, 0, {}, 0, "", 0, ""},
        {"MissingLicenseId", field2(channel("stable", 1, "s")), VersionsParse_Invalid, 0, 0, {}, 0, "", 0, ""},
        {"ChannelWithoutVersionString",
         body({field1(1), field2(channel("stable", 1, "s")), field2(channel("beta", 2, "b", true, true, false))}),
         VersionsParse_Invalid,
         0,
         0,
         {},
         0,
         "",
         0,
         ""},
        {"ChannelWithoutName",
         body({field1(1), field2(channel("", 2, "b", false))}),
         VersionsParse_Invalid,
         0,
         0,
         {},
         0,
         "",
         0,
         ""},
        {"ChannelWithoutNumber",
         body({field1(1), field2(channel("beta", 0, "b", true, false))}),
         VersionsParse_Invalid,
         0,
         0,
         {},
         0,
         "",
         0,
         ""},
        {"EmptyBody", Bytes{}, VersionsParse_Invalid, 0, 0, {}, 0, "", 0, ""},
        {"TruncatedVarint", Bytes{0x08, 0x80}, VersionsParse_Invalid, 0, 0, {}, 0, "", 0, ""},
        {"LengthBeyondEnd", Bytes{0x08, 0x01, 0x12, 0x7F, 0x0A}, VersionsParse_Invalid, 0, 0, {}, 0, "", 0, ""},
        {"HtmlErrorPage", text("<html>404</html>"), VersionsParse_Invalid, 0, 0, {}, 0, "", 0, ""},
    };
}

class ParseVersions : public ::testing::TestWithParam<ParseCase>
{};

std::vector<std::string>& libraryLines()
{
    static std::vector<std::string> lines;
    return lines;
}

void keepLibraryLine(google::protobuf::LogLevel, const char*, int, const std::string& message)
{
    libraryLines().push_back(message);
}

TEST_P(ParseVersions, FillsTheRecordOrLeavesItUntouched)
{
    const ParseCase& c = GetParam();
    ServerVersions out;
    // A marker shows whether a failed parse touched the record.
    out.channels.push_back("marker");
    const unsigned char dummy = 0;
    const unsigned char* data = c.body.empty() ? &dummy : c.body.data();
    libraryLines().clear();
    google::protobuf::LogHandler* previous = google::protobuf::SetLogHandler(&keepLibraryLine);
    const int code = parseVersions(data, static_cast<int>(c.body.size()), &out);
    google::protobuf::SetLogHandler(previous);
    // A reply without its required fields (a server that is down gives an
    // empty one) is the caller's to report: the library says nothing.
    EXPECT_TRUE(libraryLines().empty()) << libraryLines().front();
    ASSERT_EQ(code, c.expectedCode);
    if (c.expectedCode != VersionsParse_Ok) {
        EXPECT_EQ(out.channels, std::vector<std::string>{"marker"});
        EXPECT_TRUE(out.versions.empty());
        EXPECT_EQ(out.licenseAgreementId, 0);
        return;
    }
    std::vector<std::string> expected{"marker"};
    expected.insert(expected.end(), c.channels.begin(), c.channels.end());
    EXPECT_EQ(out.channels, expected); // appended, never cleared
    EXPECT_EQ(out.licenseAgreementId, c.licenseId);
    EXPECT_EQ(out.licenseAgreementIdMin, c.licenseIdMin);
    EXPECT_EQ(channelVersionNumber(out, "stable"), c.stableNumber);
    EXPECT_EQ(channelVersionString(out, "stable"), c.stableString);
    EXPECT_EQ(channelVersionNumber(out, "beta"), c.betaNumber);
    EXPECT_EQ(channelVersionString(out, "beta"), c.betaString);
    EXPECT_EQ(channelVersionNumber(out, "alpha"), 0);
    EXPECT_EQ(&channelVersionString(out, "alpha"), &s_emptyString);
}

INSTANTIATE_TEST_SUITE_P(Bodies, ParseVersions, ::testing::ValuesIn(parseCases()),
                         [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(ParseVersionsArguments, NullDataGivesOneAndBadLengthGivesTwo)
{
    ServerVersions out;
    out.licenseAgreementId = 42;
    EXPECT_EQ(parseVersions(nullptr, 10, &out), VersionsParse_NullBuffer);
    EXPECT_EQ(parseVersions(nullptr, 0, &out), VersionsParse_NullBuffer);
    const Bytes good = field1(1);
    EXPECT_EQ(parseVersions(good.data(), 0, &out), VersionsParse_Invalid);
    EXPECT_EQ(parseVersions(good.data(), -1, &out), VersionsParse_Invalid);
    EXPECT_EQ(parseVersions(good.data(), static_cast<int>(good.size()), nullptr), VersionsParse_Invalid);
    EXPECT_EQ(out.licenseAgreementId, 42);
    EXPECT_TRUE(out.channels.empty());
}

// Every prefix and every single-byte corruption of a real reply parses or
// fails cleanly; none can reach past the buffer (the sanitizer build checks).
TEST(ParseVersionsArguments, HostileVariantsOfAReplyFailCleanly)
{
    const Bytes good = body(
        {field1(3), field2(channel("stable", 1000, "3.0.0")), field2(channel("beta", 1010, "3.1.0-beta")), field3(2)});
    ServerVersions full;
    ASSERT_EQ(parseVersions(good.data(), static_cast<int>(good.size()), &full), VersionsParse_Ok);
    for (size_t n = 0; n < good.size(); ++n) {
        // Heap copy of exactly n bytes, so a read past it is caught.
        std::vector<unsigned char> prefix(good.begin(), good.begin() + n);
        ServerVersions out;
        const int code = parseVersions(prefix.empty() ? good.data() : prefix.data(), static_cast<int>(n), &out);
        EXPECT_TRUE(code == VersionsParse_Ok || code == VersionsParse_Invalid) << n;
    }
    for (size_t i = 0; i < good.size(); ++i) {
        for (unsigned v : {0x00u, 0x7Fu, 0x80u, 0xFFu}) {
            Bytes bad = good;
            bad[i] = static_cast<unsigned char>(v);
            ServerVersions out;
            const int code = parseVersions(bad.data(), static_cast<int>(bad.size()), &out);
            EXPECT_TRUE(code == VersionsParse_Ok || code == VersionsParse_Invalid) << i;
            if (code != VersionsParse_Ok) {
                EXPECT_TRUE(out.channels.empty()) << i;
            }
        }
    }
}

TEST(VersionServerUrl, IsPlainHttpToTheQueryPath)
{
    std::string url = "previous";
    versionServerUrl(url);
    EXPECT_EQ(url, s_versionServerUrl);
    EXPECT_EQ(url.rfind("http://", 0), 0u);
    EXPECT_EQ(url.substr(url.size() - 13), "/qnd-client-2");
    // No port, no query: just a host between scheme and path.
    const std::string host = url.substr(7, url.size() - 7 - 13);
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(host.find_first_of(":/?"), std::string::npos);
}

} // namespace
