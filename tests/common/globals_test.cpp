#include "globals.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

// Nothing in this program runs the configuration, so the values are the
// ones a fresh process starts with.
TEST(ProcessWideValues, StartEmptyBeforeTheConfigurationRuns)
{
    EXPECT_TRUE(updateBaseUrl.isEmpty());
    EXPECT_EQ(mainWindowInstance, nullptr);
    EXPECT_EQ(forceUpdateFileNames[0], QStringLiteral("qnd_force_update"));
    EXPECT_EQ(forceUpdateFileNames[1], QStringLiteral("qnd_force_update_check"));
    EXPECT_EQ(logTimestampFormat, QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz"));
}

// The rule a replaced file is made executable by: its file name or its
// complete suffix is listed, compared case-sensitively.
TEST(ProcessWideValues, ExecutableNamesAndSuffixesQualifyExactly)
{
    const struct
    {
        const char* path;
        bool executable;
    } rows[] = {
        {"dir/update", true},
        {"qndclient_linux_amd64", true},
        {"qndclient_linux_x86", true},
        {"bin/qndclient_runscript.sh", true},
        {"error_report", true},
        {"package_inst", true},
        {"QtWebEngineProcess", true},
        {"lib/libfoo.so", true},
        {"libQt5Core.so.5", true},
        {"libbar.so.0", true},
        {"libbar.so.1", true},
        {"libbar.so.4", true},
        {"Update", false},
        {"update.exe", false},
        {"libfoo.so.6", false},
        {"libfoo.SO", false},
        {"libQt5Core.so.5.15.2", false},
        {"readme.txt", false},
    };
    for (const auto& row : rows) {
        const QFileInfo info(QString::fromLatin1(row.path));
        const bool executable = executableFileNames.contains(info.fileName(), Qt::CaseSensitive)
            || executableSuffixes.contains(info.completeSuffix(), Qt::CaseSensitive);
        EXPECT_EQ(executable, row.executable) << row.path;
    }
    EXPECT_EQ(executableFileNames.size(), 7);
    EXPECT_EQ(executableSuffixes.size(), 5);
}

} // namespace
