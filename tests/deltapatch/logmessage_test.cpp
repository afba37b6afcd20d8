#include "logmessage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using deltapatch::LogMessage;

class CaptureSink : public LogBase {
 public:
  bool flush() override { return true; }
  void handle(void*) override {}
  bool write(const std::string& message, int level, const std::string& channel, uint64_t id,
             const std::string&, const std::string&) override {
    m_Messages.push_back(message);
    m_Levels.push_back(level);
    m_Channels.push_back(channel);
    m_Ids.push_back(id);
    if (level == LogLevel_CRITICAL)
      std::fprintf(stderr, "[critical %s]", message.c_str());
    return true;
  }
  std::vector<std::string> m_Messages;
  std::vector<int> m_Levels;
  std::vector<std::string> m_Channels;
  std::vector<uint64_t> m_Ids;
};

TEST(LogMessageTest, SendsCollectedTextWithLevelAndIdOnDestruction) {
  CaptureSink sink;
  {
    LogMessage message;
    message.setLevel(LogLevel_ERROR);
    message << "bad offset " << 42 << " of " << 7u;
    message.stream() << '!';
    EXPECT_TRUE(sink.m_Messages.empty());
  }
  { LogMessage(LogLevel_DEBUG, 9) << "note"; }
  ASSERT_EQ(sink.m_Messages.size(), 2u);
  EXPECT_EQ(sink.m_Messages[0], "bad offset 42 of 7!");
  EXPECT_EQ(sink.m_Levels[0], LogLevel_ERROR);
  EXPECT_EQ(sink.m_Channels[0], "");
  EXPECT_EQ(sink.m_Ids[0], 0u);
  EXPECT_EQ(sink.m_Messages[1], "note");
  EXPECT_EQ(sink.m_Levels[1], LogLevel_DEBUG);
  EXPECT_EQ(sink.m_Ids[1], 9u);
}

TEST(LogMessageDeathTest, CriticalMessageEndsTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(
      {
        CaptureSink sink;
        LogMessage(LogLevel_CRITICAL) << "Assertion \"x\" failed";
      },
      ::testing::ExitedWithCode(1), "\\[critical Assertion \"x\" failed\\]");
}

}  // namespace
