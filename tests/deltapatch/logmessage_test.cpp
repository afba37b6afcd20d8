#include "logmessage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/capturesink.h"

namespace {

using deltapatch::LogMessage;
using testsupport::CaptureSink;

TEST(LogMessageTest, SendsCollectedTextWithLevelAndIdOnDestruction)
{
    CaptureSink sink;
    {
        LogMessage message;
        message.setLevel(LogLevel_ERROR);
        message << "bad offset " << 42 << " of " << 7u;
        message.stream() << '!';
        EXPECT_TRUE(sink.m_Messages.empty());
    }
    {
        LogMessage(LogLevel_DEBUG, 9) << "note";
    }
    ASSERT_EQ(sink.m_Messages.size(), 2u);
    EXPECT_EQ(sink.m_Messages[0], "bad offset 42 of 7!");
    EXPECT_EQ(sink.m_Levels[0], LogLevel_ERROR);
    EXPECT_EQ(sink.m_Channels[0], "");
    EXPECT_EQ(sink.m_Ids[0], 0u);
    EXPECT_EQ(sink.m_Messages[1], "note");
    EXPECT_EQ(sink.m_Levels[1], LogLevel_DEBUG);
    EXPECT_EQ(sink.m_Ids[1], 9u);
}

TEST(LogMessageDeathTest, CriticalMessageEndsTheProcess)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            CaptureSink sink;
            LogMessage(LogLevel_CRITICAL) << "Assertion \"x\" failed";
        },
        ::testing::ExitedWithCode(1), "\\[critical Assertion \"x\" failed\\]");
}

} // namespace
