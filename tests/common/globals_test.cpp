#include "globals.h"

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

} // namespace
