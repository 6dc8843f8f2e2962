// Level filter and line format of the system-log output, read back through
// the test sink.
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <utility>
#include <vector>

#include "log.h"

namespace
{

std::vector<std::pair<int, std::string>> g_lines;

void Capture(int iPriority, const char* szLine)
{
    g_lines.emplace_back(iPriority, szLine);
}

class Log : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_lines.clear();
        m_iSavedLevel = LogGetLevel();
        LogSetSink(&Capture);
    }
    void TearDown() override
    {
        LogSetSink(nullptr);
        LogSetLevel(m_iSavedLevel);
    }
    int m_iSavedLevel = 6;
};

TEST_F(Log, DefaultLevelIsInfoAndDropsDebug)
{
    EXPECT_EQ(m_iSavedLevel, 6);
    LogSetLevel(6);
    LogWrite("MBSRV ", 7, "debug %d", 1);
    EXPECT_TRUE(g_lines.empty());
    LogWrite("MBSRV ", 6, "info %d", 2);
    LogWrite("MBSRV ", 3, "error %s", "x");
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], std::make_pair(LOG_INFO | LOG_USER, std::string("MBSRV  info 2")));
    EXPECT_EQ(g_lines[1], std::make_pair(LOG_ERR | LOG_USER, std::string("MBSRV  error x")));
}

TEST_F(Log, RaisingTheLevelLetsDebugThroughAndLoweringFilters)
{
    LogSetLevel(7);
    EXPECT_EQ(LogGetLevel(), 7);
    LogWrite("dbus ", 7, "Got cmd %s", "getstatus");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].first, LOG_DEBUG | LOG_USER);
    EXPECT_EQ(g_lines[0].second, "dbus  Got cmd getstatus");

    LogSetLevel(3);
    LogWrite("dbus ", 6, "info");
    LogWrite("dbus ", 4, "warning");
    LogWrite("dbus ", 3, "error");
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[1].second, "dbus  error");
}

TEST_F(Log, PercentSignsInTheTextAreNotInterpretedAgain)
{
    LogSetLevel(6);
    LogWrite("plinthd", 6, "Request %s", "{\"x\":\"100%d %s %n\"}");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].second, "plinthd Request {\"x\":\"100%d %s %n\"}");
}

TEST_F(Log, LongTextIsCutAt599Characters)
{
    LogSetLevel(6);
    std::string sLong(2000, 'x');
    LogWrite("plinthd", 6, "%s", sLong.c_str());
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].second, "plinthd " + std::string(599, 'x'));
}

} // namespace
