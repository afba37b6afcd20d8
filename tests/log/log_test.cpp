#include "log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Entry
{
    std::string message;
    int level;
    std::string channel;
    uint64_t id;
    std::string timestamp;
    std::string line;
};

// Records every call; a CRITICAL entry also goes to stderr so that death
// tests can see what reached the sink before the exit.
class RecordingSink : public LogBase
{
public:
    explicit RecordingSink(std::string name = "sink") : m_Name(std::move(name)) {}
    bool flush() override
    {
        std::fprintf(stderr, "[%s flush]", m_Name.c_str());
        ++m_Flushes;
        return true;
    }
    void handle(void* argument) override { m_Handled.push_back(argument); }
    void handleOptional(void* argument) override { m_Optional.push_back(argument); }
    bool write(const std::string& message, int level, const std::string& channel, uint64_t id,
               const std::string& timestamp, const std::string& line) override
    {
        m_Entries.push_back({message, level, channel, id, timestamp, line});
        if (level == LogLevel_CRITICAL)
            std::fprintf(stderr, "[%s write %s]", m_Name.c_str(), message.c_str());
        return true;
    }

    std::string m_Name;
    std::vector<Entry> m_Entries;
    std::vector<void*> m_Handled;
    std::vector<void*> m_Optional;
    int m_Flushes = 0;
};

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        setLogLevel(LogLevel_DEVEL);
        setTimestampFormat(0);
        setUseLocalTime(0);
        setCriticalCallback(nullptr);
    }
    void TearDown() override
    {
        setLogLevel(LogLevel_DEVEL);
        setTimestampFormat(0);
        setCriticalCallback(nullptr);
    }

    // Logs message as an error with no channel and id 0 into a sink of its
    // own; *out is the one entry that sink got.
    static void logOne(const std::string& message, Entry* out)
    {
        RecordingSink sink;
        log(message, LogLevel_ERROR, "", 0);
        ASSERT_EQ(sink.m_Entries.size(), 1u);
        *out = sink.m_Entries[0];
    }
};

const size_t kDefaultHeaderLength = 55;

TEST_F(LogTest, HeaderHasFixedColumnsForEmptyChannelAndIdZero)
{
    Entry e;
    ASSERT_NO_FATAL_FAILURE(logOne("hello", &e));
    EXPECT_EQ(e.message, "hello");
    EXPECT_EQ(e.level, LogLevel_ERROR);
    ASSERT_EQ(e.timestamp.size(), 26u);
    EXPECT_EQ(e.line, e.timestamp + "|ERROR   |" + std::string(14, ' ') + "|   |hello");
    EXPECT_EQ(e.line.size(), kDefaultHeaderLength + 5);
}

TEST_F(LogTest, EachLevelHasItsHeaderText)
{
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    RecordingSink sink;
    for (int level = LogLevel_ERROR; level <= LogLevel_DEVEL; ++level) {
        EXPECT_EQ(logLevelName(level), names[level]);
        EXPECT_EQ(checkedLogLevelName(level), names[level]);
        log("x", level, "", 0);
        std::string padded = std::string(names[level]) + std::string(8 - strlen(names[level]), ' ');
        EXPECT_EQ(sink.m_Entries.back().line.substr(26), "|" + padded + "|" + std::string(14, ' ') + "|   |x");
    }
    EXPECT_EQ(logLevelName(LogLevel_CRITICAL), "CRITICAL");
}

TEST_F(LogTest, ChannelAndIdColumnsPadButNeverCut)
{
    struct Row
    {
        std::string channel;
        uint64_t id;
        std::string expectedTail;
    } rows[] = {
        {"", 0, "|" + std::string(14, ' ') + "|   |m"},
        {"", 42, "|" + std::string(14, ' ') + "|42 |m"},
        {"", 12345, "|" + std::string(14, ' ') + "|12345|m"},
        {"net", 7, "|net           |7  |m"},
        {"AVeryLongChannelName", 0, "|AVeryLongChannelName|   |m"},
    };
    RecordingSink sink;
    for (const Row& row : rows) {
        log("m", LogLevel_WARNING, row.channel, row.id);
        ASSERT_FALSE(sink.m_Entries.empty());
        const Entry& e = sink.m_Entries.back();
        EXPECT_EQ(e.channel, row.channel);
        EXPECT_EQ(e.id, row.id);
        EXPECT_EQ(e.line.substr(26 + 9), row.expectedTail) << row.channel << " " << row.id;
    }
}

TEST_F(LogTest, ContinuationLinesAreIndentedUnderTheHeader)
{
    Entry e;
    ASSERT_NO_FATAL_FAILURE(logOne("first\nsecond\nthird", &e));
    EXPECT_EQ(e.message, "first\nsecond\nthird");
    std::string indent(kDefaultHeaderLength, ' ');
    EXPECT_EQ(e.line.substr(kDefaultHeaderLength), "first\n" + indent + "second\n" + indent + "third");

    RecordingSink sink;
    log("a\nb", LogLevel_ERROR, "AVeryLongChannelName", 0);
    size_t header = sink.m_Entries.back().line.find("|a") + 1;
    EXPECT_EQ(sink.m_Entries.back().line.substr(header), "a\n" + std::string(header, ' ') + "b");
}

TEST_F(LogTest, ThresholdDropsLessSevereLevels)
{
    RecordingSink sink;
    setLogLevel(LogLevel_WARNING);
    for (int level = LogLevel_ERROR; level <= LogLevel_DEVEL; ++level)
        log("x", level, "", 0);
    ASSERT_EQ(sink.m_Entries.size(), 2u);
    EXPECT_EQ(sink.m_Entries[0].level, LogLevel_ERROR);
    EXPECT_EQ(sink.m_Entries[1].level, LogLevel_WARNING);

    setLogLevel(-1);
    log("x", LogLevel_ERROR, "", 0);
    EXPECT_EQ(sink.m_Entries.size(), 2u);
}

TEST_F(LogTest, LevelsOutsideTheTableAreRefused)
{
    RecordingSink sink;
    log("above", 6, "", 0);
    setLogLevel(9);
    log("above", 6, "", 0);
    log("negative", -1, "", 0);
    EXPECT_TRUE(sink.m_Entries.empty());
}

TEST_F(LogTest, NoiseFilterDropsKnownDatabaseMessagesOnlyInItsChannel)
{
    RecordingSink sink;
    log("sqlite3_prepare failed no such column: string_id", LogLevel_ERROR, "DatabaseQuery", 0);
    log("x db_exec() select * from instance_properties where string_id = 'abc'", LogLevel_DEBUG, "DatabaseQuery", 0);
    // Even a CRITICAL entry is swallowed, and the process goes on.
    log("sqlite3_prepare failed no such column: string_id", LogLevel_CRITICAL, "DatabaseQuery", 0);
    EXPECT_TRUE(sink.m_Entries.empty());

    log("sqlite3_prepare failed no such column: string_id", LogLevel_ERROR, "Other", 0);
    log("sqlite3_prepare failed no such column: string_id!", LogLevel_ERROR, "DatabaseQuery", 0);
    EXPECT_EQ(sink.m_Entries.size(), 2u);
}

TEST_F(LogTest, SinksRegisterInOrderAndUnregisterOnDestruction)
{
    RecordingSink first("first");
    {
        RecordingSink second("second");
        EXPECT_EQ(logSinkList().size(), 2u);
        EXPECT_EQ(logSinkList().front(), &first);
        EXPECT_EQ(logSinkList().back(), &second);
        log("both", LogLevel_INFO, "", 0);
        EXPECT_EQ(second.m_Entries.size(), 1u);
    }
    ASSERT_EQ(logSinkList().size(), 1u);
    log("one", LogLevel_INFO, "", 0);
    EXPECT_EQ(first.m_Entries.size(), 2u);
    EXPECT_EQ(first.m_Flushes, 0);
}

TEST_F(LogTest, BroadcastsReachEverySinkOfTheGivenList)
{
    RecordingSink a("a");
    RecordingSink b("b");
    int token = 0;
    handleSinks(&token);
    handleOptionalSinks(&token);
    LogSinkList onlyB{&b};
    handleSinks(onlyB, nullptr);
    handleOptionalSinks(onlyB, nullptr);
    flushSinks(onlyB);
    writeToSinks(onlyB, "m", LogLevel_CRITICAL, "c", 3, "t", "line");
    writeToSinks(onlyB, "m", LogLevel_ERROR, "c", 3, "t", ""); // empty line: nothing

    EXPECT_EQ(a.m_Handled, std::vector<void*>{&token});
    EXPECT_EQ(a.m_Optional, std::vector<void*>{&token});
    EXPECT_EQ(b.m_Handled, (std::vector<void*>{&token, nullptr}));
    EXPECT_EQ(b.m_Optional, (std::vector<void*>{&token, nullptr}));
    EXPECT_EQ(a.m_Flushes, 0);
    // One explicit flush, one after the CRITICAL write; no exit from a broadcast.
    EXPECT_EQ(b.m_Flushes, 2);
    ASSERT_EQ(b.m_Entries.size(), 1u);
    EXPECT_EQ(b.m_Entries[0].line, "line");
    EXPECT_TRUE(a.m_Entries.empty());
}

TEST_F(LogTest, TimestampFormats)
{
    struct Row
    {
        LogTime time;
        int format;
        const char* expected;
    } rows[] = {
        {{2026, 12, 9, 4, 5, 6, 0}, 0, "2026-12-09 04:05:06.000000"},
        {{2026, 12, 9, 4, 5, 6, 120}, 0, "2026-12-09 04:05:06.000120"},
        {{2026, 1, 2, 23, 59, 59, 999999}, 0, "2026-01-02 23:59:59.999999"},
        {{2026, 12, 9, 4, 5, 6, 0}, 1, "2026-12-09T04:05:06"},
        {{2026, 12, 9, 4, 5, 6, 120}, 1, "2026-12-09T04:05:06.000120"},
        {{2026, 12, 9, 4, 5, 6, 0}, 7, "2026-12-09T04:05:06"},
        {{2026, 12, 9, 4, 5, 6, 0}, 2, "20261209T040506"},
        {{2026, 12, 9, 4, 5, 6, 500000}, 2, "20261209T040506.500000"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(formatTimestamp(row.time, row.format), row.expected) << row.format;
}

TEST_F(LogTest, ClockTimestampHasTheShapeOfItsFormat)
{
    std::string now = makeTimestamp(0);
    ASSERT_EQ(now.size(), 26u);
    EXPECT_EQ(now[4], '-');
    EXPECT_EQ(now[10], ' ');
    EXPECT_EQ(now[19], '.');
    EXPECT_EQ(makeTimestamp(2)[8], 'T');
    EXPECT_EQ(makeTimestamp(1)[10], 'T');

    RecordingSink sink;
    setTimestampFormat(2);
    log("x", LogLevel_ERROR, "", 0);
    EXPECT_EQ(sink.m_Entries[0].line.find('|'), sink.m_Entries[0].timestamp.size());
    EXPECT_EQ(sink.m_Entries[0].timestamp[8], 'T');
}

TEST_F(LogTest, TraceFrameLinesSplitSymbolTexts)
{
    struct Row
    {
        int index;
        const char* symbol;
        const char* expected;
    } rows[] = {
        {3, "./prog(_ZN3foo3barEv+0x1c) [0x401234]", "  #30x401234 in foo::bar() from ./prog"},
        {0, "./prog(main+0x10) [0x400100]", "  #00x400100 in main(...) from ./prog"},
        {12, "/lib/libc.so.6(+0x2a1ca) [0x7f00]", " #120x7f00 in (...) from /lib/libc.so.6"},
        {1, "/lib/libc.so.6 [0x7f00]", "  #10x7f00 in <unknown> from /lib/libc.so.6 "},
        {2, "garbage", "  #2<unknown> in <unknown> from <unknown>"},
        {4, "mod(fn+0x1)", "  #4<unknown> in fn(...) from mod"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(formatTraceFrame(row.index, row.symbol), row.expected) << row.symbol;
}

TEST_F(LogTest, PrintTraceWritesHeaderEntryThenRawFrames)
{
    RecordingSink sink;
    printTrace();
    ASSERT_GE(sink.m_Entries.size(), 2u);
    EXPECT_EQ(sink.m_Entries[0].message, "Printing Trace:");
    EXPECT_EQ(sink.m_Entries[0].level, LogLevel_DEVEL);
    for (size_t i = 1; i < sink.m_Entries.size(); ++i) {
        const Entry& e = sink.m_Entries[i];
        EXPECT_EQ(e.message, e.line);
        EXPECT_TRUE(e.timestamp.empty());
        std::string tag = "#" + std::to_string(i - 1);
        EXPECT_EQ(e.line.substr(0, 4), std::string(4 - tag.size(), ' ') + tag);
    }
    EXPECT_LE(sink.m_Entries.size(), 16u);
}

void criticalCallbackForTest(const std::string& message, const std::string&, uint64_t, const std::string&,
                             const std::string& line)
{
    std::fprintf(stderr, "[callback %s]", message.c_str());
}

using LogDeathTest = LogTest;

RecordingSink* lateSink = nullptr;
void destroyLateSink()
{
    delete lateSink;
}

TEST_F(LogDeathTest, SinkDestroyedAfterTheListIsTornDownAtExitIsHarmless)
{
    EXPECT_EXIT(
        {
            // Registered before the sink list exists in this process, so it runs
            // after the list has been emptied and destroyed.
            std::atexit(destroyLateSink);
            lateSink = new RecordingSink("late");
            log("x", LogLevel_ERROR, "", 0);
            std::fprintf(stderr, "[exiting]");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "\\[exiting\\]$");
}

TEST_F(LogDeathTest, CriticalEntryEndsProcessWithStatusOne)
{
    EXPECT_EXIT(log("fatal", LogLevel_CRITICAL, "", 0), ::testing::ExitedWithCode(1), "");
}

TEST_F(LogDeathTest, CriticalReachesSinksInOrderThenCallbackThenExits)
{
    EXPECT_EXIT(
        {
            RecordingSink a("a");
            RecordingSink b("b");
            setCriticalCallback(criticalCallbackForTest);
            log("boom", LogLevel_CRITICAL, "", 0);
        },
        ::testing::ExitedWithCode(1),
        "\\[a write boom\\]\\[a flush\\]\\[b write boom\\]\\[b flush\\]\\[callback boom\\]");
}

TEST_F(LogDeathTest, CriticalBelowNegativeThresholdExitsSilently)
{
    EXPECT_EXIT(
        {
            RecordingSink a("a");
            setCriticalCallback(criticalCallbackForTest);
            setLogLevel(-1);
            log("boom", LogLevel_CRITICAL, "", 0);
            std::fprintf(stderr, "[survived]");
        },
        ::testing::ExitedWithCode(1), "^$");
}

TEST_F(LogDeathTest, CheckedLevelNameRejectsLevelsOutsideTheTable)
{
    for (int level : {-1, 6}) {
        EXPECT_EXIT(
            {
                RecordingSink a("a");
                checkedLogLevelName(level);
            },
            ::testing::ExitedWithCode(1),
            "\\[a write Assertion \"lvl >= 0 && lvl <= LogLevel_DEVEL\" failed at "
            "\\.\\./\\.\\./\\.\\./\\.\\./deps/log/src/lib/log:216; \\]");
    }
}

} // namespace
