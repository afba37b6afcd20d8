// Version-query replies from a hostile server. A reply that does not parse
// leaves the record as it was and gives the configuration an empty table; one
// that parses names only channels that can be looked up, and the table holds
// each of them once.
#include <cstdint>
#include <string>

#include <QByteArray>
#include <QObject>
#include <QtGlobal>
#include <google/protobuf/stubs/logging.h>

#include "serverversions.h"
#include "updatechecker.h"

namespace {

// The downloader hands over at most this much (HTTPDownloader::kMaxBodyBytes).
constexpr size_t kMaxReply = 1 << 20;

bool Untouched(const ServerVersions& record)
{
    return record.licenseAgreementId == 0 && record.licenseAgreementIdMin == 0 && record.channels.empty()
        && record.versions.empty();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every refused reply is logged; the fuzzer needs none of it.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxReply)
        return 0;
    ServerVersions record;
    const int result = parseVersions(data, static_cast<int>(size), &record);
    if (result != VersionsParse_Ok) {
        if (result != VersionsParse_Invalid || !Untouched(record))
            __builtin_trap();
    } else {
        for (const std::string& name : record.channels)
            if (record.versions.count(name) != 1)
                __builtin_trap();
        if (record.versions.size() > record.channels.size())
            __builtin_trap();
    }

    // The same bytes as the application reads them.
    UpdateChecker checker(nullptr);
    int answers = 0;
    UpdateVersions table;
    QObject::connect(&checker, &UpdateChecker::update_available, [&](const UpdateVersions& versions) {
        table = versions;
        ++answers;
    });
    checker.on_updateCheckAvailable(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (answers != 1)
        __builtin_trap();
    if (result != VersionsParse_Ok && !table.isEmpty())
        __builtin_trap();
    // Names that are no valid UTF-8 may fall together as text, never apart.
    if (static_cast<size_t>(table.size()) > record.versions.size())
        __builtin_trap();
    for (const std::string& name : record.channels)
        if (!table.contains(QString::fromStdString(name)))
            __builtin_trap();
    for (int channel = -1; channel <= 3; ++channel) {
        const QPair<QString, QString> entry = UpdateChecker::versionForChannel(table, channel);
        if ((channel < 0 || channel > 2) && !(entry.first.isEmpty() && entry.second.isEmpty()))
            __builtin_trap();
    }
    return 0;
}
