// The shipped system-bus policy, on a private bus that follows the stock
// system-bus configuration: root may own the name and call "cmd", other
// users may not call, but everyone receives the signals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "harness.h"

using namespace plinthd_test;

namespace
{

const std::string kPolicy = std::string(TESSAL_SOURCE_DIR) + "/deploy/dbus/vox.tessal.plinthd.conf";

std::string ReadFile(const std::string& sPath)
{
    std::ifstream in(sPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The stock system.conf with only what ties it to this machine replaced:
// our own socket, no user switch or pid file, no service activation, and
// instead of the machine's policy directories only the shipped policy.
std::string StockSystemConfig(const std::string& sSocket)
{
    std::string s = ReadFile("/usr/share/dbus-1/system.conf");
    for (const char* pszPattern :
         {R"(<user>[^<]*</user>)", R"(<fork/>)", R"(<pidfile>[^<]*</pidfile>)",
          R"(<servicehelper>[^<]*</servicehelper>)", R"(<standard_system_servicedirs/>)",
          R"(<syslog/>)", R"(<includedir>[^<]*</includedir>)",
          R"(<include [^>]*>[^<]*</include>)"}) {
        s = std::regex_replace(s, std::regex(pszPattern), "");
    }
    s = std::regex_replace(s, std::regex(R"(<listen>[^<]*</listen>)"),
                           "<listen>unix:path=" + sSocket + "</listen>");
    s = std::regex_replace(s, std::regex(R"(</busconfig>)"),
                           "<include>" + kPolicy + "</include>\n</busconfig>");
    return s;
}

const char* kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

} // namespace

TEST(Policy, EveryAllowedSendNamesTheDestination)
{
    std::string sText = ReadFile(kPolicy);
    ASSERT_FALSE(sText.empty());
    std::regex allowSend(R"(<allow\s[^>]*send_[^>]*>)");
    int iRules = 0;
    for (auto it = std::sregex_iterator(sText.begin(), sText.end(), allowSend);
         it != std::sregex_iterator(); ++it) {
        iRules++;
        EXPECT_NE(it->str().find("send_destination=\"vox.tessal.plinthd\""), std::string::npos)
            << it->str();
    }
    EXPECT_GT(iRules, 0);
}

TEST(Policy, RootOwnsAndCallsOtherUsersOnlyReceiveSignals)
{
    TempDir dir;
    const std::string sSocket = dir.Path() + "/bus";
    PrivateBus bus(StockSystemConfig(sSocket));
    const std::string sEnv = "DBUS_SYSTEM_BUS_ADDRESS=" + bus.Address() + " ";

    // Another user cannot take the name: the daemon refuses to start.
    std::string sOut;
    EXPECT_EQ(RunCommand(sEnv + kAsNobody + PlinthdBinary() + " 2>&1", &sOut), 1) << sOut;

    // Root can.
    DaemonProcess daemon(bus.Address());
    const std::string sCall = "dbus-send --system --print-reply --dest=vox.tessal.plinthd "
                              "/vox/tessal vox.tessal.modbusserver.cmd ";
    ASSERT_EQ(RunCommand(sEnv + sCall + "string:'{\"cmd\":\"getstatus\"}' 2>&1", &sOut), 0) << sOut;
    EXPECT_NE(sOut.find("\"procstate\":1"), std::string::npos) << sOut;

    // Another user may not call "cmd" ...
    EXPECT_NE(RunCommand(sEnv + kAsNobody + sCall + "string:'{\"cmd\":\"stop\"}' 2>&1", &sOut), 0);
    EXPECT_NE(sOut.find("AccessDenied"), std::string::npos) << sOut;
    EXPECT_TRUE(daemon.Alive());

    // ... but receives the signals.
    std::string sMonitorOut = dir.Path() + "/monitor.txt";
    std::thread monitor([&] {
        RunCommand(sEnv + "timeout 4 " + kAsNobody +
                   "gdbus monitor --system --dest vox.tessal.plinthd > " + sMonitorOut + " 2>&1");
    });
    // Wait until the monitor listens.
    for (int i = 0; i < 200 && ReadFile(sMonitorOut).find("Monitoring") == std::string::npos; i++)
        usleep(10000);
    usleep(200000);
    ASSERT_EQ(RunCommand(sEnv + sCall + "string:'{\"cmd\":\"stop\"}' 2>&1", &sOut), 0) << sOut;
    EXPECT_EQ(daemon.WaitExit(5000), 0);
    monitor.join();
    std::string sSeen = ReadFile(sMonitorOut);
    EXPECT_NE(sSeen.find("vox.tessal.modbusserver.stopped"), std::string::npos) << sSeen;
}
