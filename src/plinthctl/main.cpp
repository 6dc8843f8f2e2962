// plinthctl: the command-line companion of plinthd. Sends JSON commands to
// the daemon's cmd method on the system bus and prints the answers, shows
// its status and registers for people, follows its signals, waits for it,
// and delivers the kiosk's register updates (the road of mbserverupdate.sh,
// one process per update).
#include "ctlcommands.h"
#include "failurelog.h"
#include "plinthclient.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

const char* const USAGE =
    "Usage: plinthctl [--timeout MS] [--log TAG] COMMAND [ARGUMENTS]\n"
    "\n"
    "Talks to plinthd, the Modbus register server, over its D-Bus method cmd on\n"
    "the system bus (DBUS_SYSTEM_BUS_ADDRESS chooses another bus).\n"
    "\n"
    "Commands:\n"
    "  cmd JSON                send one command text as it is, print the reply\n"
    "  init [--reinit] FILE    deliver the init document held in FILE\n"
    "  status [--json]         the daemon's status, readable or as its JSON reply\n"
    "  get ADDRESS [COUNT]     print COUNT (1) register values from ADDRESS\n"
    "  set ADDRESS VALUE...    store values at ADDRESS, ADDRESS+1, ...\n"
    "  watch [--count N]       print the daemon's signals, one JSON line each\n"
    "  wait [--gone]           wait until the daemon owns its bus name (or left it)\n"
    "  update [--init-file FILE] [--absent-note FILE] [--nobus-note FILE] DOCUMENT\n"
    "                          deliver a register update the way the kiosk needs it\n"
    "  help [COMMAND]          this text, or a command's own\n"
    "\n"
    "Options (before or after the command):\n"
    "  --timeout MS   time-out of each call (3000 ms), of wait (10000 ms), of\n"
    "                 watch (none)\n"
    "  --log TAG      write failure lines to the system log too, tagged TAG\n"
    "  -h, --help     help; after a command, that command's help\n"
    "  --version      the program's version\n"
    "  --             the arguments that follow are not options\n"
    "\n"
    "Exit status: 0 done (reply \"err\" 0), 1 refused by the daemon (its reply is\n"
    "printed), 2 bad usage, 3 the daemon is not on the bus or there is no bus,\n"
    "4 no answer within the time-out. update: 0 delivered, 1 not delivered, 2 bad\n"
    "usage.\n";

const std::map<std::string, const char*> COMMAND_HELP = {
    {"cmd", "Usage: plinthctl cmd [--timeout MS] JSON\n"
            "\n"
            "Sends JSON to the daemon's cmd method byte for byte and prints the reply.\n"
            "Exit 0 when the reply's \"err\" is 0, 1 when it is not (or the reply has\n"
            "none), 3 when the daemon is not on the bus, 4 on a time-out.\n"
            "\n"
            "  plinthctl cmd '{\"cmd\":\"getstatus\"}'\n"
            "  plinthctl cmd '{\"cmd\":\"setloglevel\",\"level\":7}'\n"},
    {"init", "Usage: plinthctl init [--reinit] [--timeout MS] FILE\n"
             "\n"
             "Delivers the init document held in FILE (trailing newlines removed) and\n"
             "prints the reply. With --reinit, a daemon that already serves a\n"
             "configuration (err 110) is sent \"deinit\" and the document once more.\n"
             "Exit codes as for cmd; 2 when FILE cannot be read or is empty.\n"},
    {"status", "Usage: plinthctl status [--json] [--timeout MS]\n"
               "\n"
               "Asks \"getstatus\" and prints state, protocol, clients, counters and the\n"
               "last error as text; --json prints the reply as it came.\n"},
    {"get", "Usage: plinthctl get [--timeout MS] ADDRESS [COUNT]\n"
            "\n"
            "Reads COUNT (default 1, at most 65536) registers from ADDRESS as the\n"
            "controller sees them (\"getconfig\") and prints one \"ADDRESS: VALUE (0xHEX)\"\n"
            "line each. Numbers are decimal, or hexadecimal with 0x.\n"},
    {"set", "Usage: plinthctl set [--timeout MS] ADDRESS VALUE...\n"
            "\n"
            "Stores the values (0..65535, or -32768..-1 as their 16-bit pattern) at\n"
            "ADDRESS and the following registers (\"setconfig\"). Prints nothing on\n"
            "success, the reply when refused.\n"},
    {"watch", "Usage: plinthctl watch [--count N] [--timeout MS]\n"
              "\n"
              "Prints every started, stopped, status, data and event signal of the\n"
              "daemon as one JSON line: {\"time\":...,\"signal\":NAME,\"params\":...}.\n"
              "Runs until interrupted, or until N signals were printed. With --timeout\n"
              "it ends after MS: status 0 without --count, 4 when fewer than N came.\n"},
    {"wait", "Usage: plinthctl wait [--gone] [--timeout MS]\n"
             "\n"
             "Waits until the daemon owns its bus name (with --gone: until nobody owns\n"
             "it), at most MS (default 10000; 0 looks once). Exit 0 when it does, 4 on\n"
             "the time-out, 3 when there is no bus.\n"},
    {"update", "Usage: plinthctl update [--init-file FILE] [--absent-note FILE]\n"
               "                       [--nobus-note FILE] DOCUMENT\n"
               "\n"
               "Delivers one register update (\"setconfig\") for the kiosk. When the\n"
               "daemon refuses it because it has no configuration (err 110: it was\n"
               "restarted), the init document in --init-file is delivered first and the\n"
               "update once more. A daemon that is not on the bus is reported at most\n"
               "once a minute when --absent-note names a file to remember the last\n"
               "report in; a system bus that cannot be reached likewise with\n"
               "--nobus-note. Prints nothing on success. Exit 0 delivered, 1 not delivered\n"
               "(the reason is reported), 2 bad usage.\n"},
};

// Options a command accepts besides --timeout, --log and --help; true when
// the option takes a value.
const std::map<std::string, std::map<std::string, bool>> COMMAND_OPTIONS = {
    {"cmd", {}},
    {"init", {{"--reinit", false}}},
    {"status", {{"--json", false}}},
    {"get", {}},
    {"set", {}},
    {"watch", {{"--count", true}}},
    {"wait", {{"--gone", false}}},
    {"update", {{"--init-file", true}, {"--absent-note", true}, {"--nobus-note", true}}},
    {"help", {}},
};

CFailureLog g_log;
volatile int g_iStopWatch = 0;
int g_iAlarmExit = CTL_EXIT_TIMEOUT;

void OnStopSignal(int)
{
    g_iStopWatch = 1;
}

void OnAlarm(int)
{
    g_log.EmergencyError();
    _exit(g_iAlarmExit);
}

int Usage(const std::string& sText)
{
    g_log.Error(sText + " (plinthctl --help)");
    return CTL_EXIT_USAGE;
}

// Arms a last guard against a bus that accepts the connection and then
// never answers (libdbus would wait 25 s for its hello).
void ArmWatchdog(long lBudgetMs, const std::string& sText, int iExit)
{
    unsigned uSeconds = static_cast<unsigned>(lBudgetMs / 1000 + 5);
    g_log.PrepareEmergency(sText + " within " + std::to_string(uSeconds) + " s");
    g_iAlarmExit = iExit;
    signal(SIGALRM, OnAlarm);
    alarm(uSeconds);
}

} // namespace

int main(int argc, char** argv)
{
    std::string sCommand;
    std::vector<std::string> args;
    std::map<std::string, std::string> opts;
    bool bHelp = false;
    bool bOptionsDone = false;
    long lTimeout = -1;

    for (int i = 1; i < argc; ++i) {
        std::string sArg = argv[i];
        // A negative number is a value (set), not an option.
        const bool bNegative =
            sArg.size() >= 2 && sArg[0] == '-' && sArg[1] >= '0' && sArg[1] <= '9';
        if (bOptionsDone || bNegative || sArg.size() < 2 || sArg[0] != '-') {
            if (sCommand.empty())
                sCommand = sArg;
            else
                args.push_back(sArg);
            continue;
        }
        if (sArg == "--") {
            bOptionsDone = true;
            continue;
        }
        if (sArg == "-h" || sArg == "--help") {
            bHelp = true;
            continue;
        }
        if (sArg == "--version") {
            std::puts("plinthctl (Tessal) " TESSAL_VERSION);
            return CTL_EXIT_OK;
        }
        std::string sName = sArg;
        std::string sValue;
        bool bHasValue = false;
        const size_t uEq = sArg.find('=');
        if (uEq != std::string::npos && sArg.compare(0, 2, "--") == 0) {
            sName = sArg.substr(0, uEq);
            sValue = sArg.substr(uEq + 1);
            bHasValue = true;
        }
        bool bTakesValue = false;
        if (sName == "--timeout" || sName == "--log") {
            bTakesValue = true;
        } else {
            auto itCmd = COMMAND_OPTIONS.find(sCommand);
            if (itCmd == COMMAND_OPTIONS.end() || itCmd->second.count(sName) == 0)
                return Usage("unknown option " + sName +
                             (sCommand.empty() ? std::string() : " for " + sCommand));
            bTakesValue = itCmd->second.at(sName);
        }
        if (bTakesValue && !bHasValue) {
            if (i + 1 >= argc)
                return Usage("option " + sName + " needs a value");
            sValue = argv[++i];
        } else if (!bTakesValue && bHasValue) {
            return Usage("option " + sName + " takes no value");
        }
        if (sName == "--timeout") {
            if (!ParseNumber(sValue, 0, 86400000L, lTimeout))
                return Usage("--timeout needs milliseconds from 0 to 86400000, not '" + sValue +
                             "'");
        } else if (sName == "--log") {
            g_log.SetTag(sValue);
        } else {
            opts[sName] = sValue;
        }
    }

    if (sCommand == "help") {
        if (args.empty()) {
            std::fputs(USAGE, stdout);
            return CTL_EXIT_OK;
        }
        sCommand = args.front();
        args.clear();
        bHelp = true;
    }
    if (sCommand.empty()) {
        if (bHelp) {
            std::fputs(USAGE, stdout);
            return CTL_EXIT_OK;
        }
        return Usage("no command given");
    }
    auto itHelp = COMMAND_HELP.find(sCommand);
    if (itHelp == COMMAND_HELP.end())
        return Usage("unknown command '" + sCommand + "'");
    if (bHelp) {
        std::fputs(itHelp->second, stdout);
        return CTL_EXIT_OK;
    }

    CCtlCommands commands(g_log);
    const int iCallMs = lTimeout >= 0 ? static_cast<int>(lTimeout) : 3000;
    commands.SetCallTimeout(iCallMs);

    if (sCommand == "cmd" || sCommand == "init" || sCommand == "status" || sCommand == "get" ||
        sCommand == "set")
        ArmWatchdog(2L * iCallMs, "no answer from the system bus", CTL_EXIT_TIMEOUT);

    if (sCommand == "cmd") {
        if (args.size() != 1)
            return Usage("cmd needs one JSON text");
        return commands.Cmd(args[0]);
    }
    if (sCommand == "init") {
        if (args.size() != 1)
            return Usage("init needs one FILE");
        return commands.Init(args[0], opts.count("--reinit") != 0);
    }
    if (sCommand == "status") {
        if (!args.empty())
            return Usage("status takes no arguments");
        return commands.Status(opts.count("--json") != 0);
    }
    if (sCommand == "get") {
        long lAddress = 0;
        long lCount = 1;
        if (args.empty() || args.size() > 2)
            return Usage("get needs ADDRESS [COUNT]");
        if (!ParseNumber(args[0], 0, 2147483647L, lAddress))
            return Usage("ADDRESS must be a number from 0, not '" + args[0] + "'");
        if (args.size() == 2 && !ParseNumber(args[1], 1, 65536L, lCount))
            return Usage("COUNT must be a number from 1 to 65536, not '" + args[1] + "'");
        return commands.Get(lAddress, lCount);
    }
    if (sCommand == "set") {
        long lAddress = 0;
        if (args.size() < 2)
            return Usage("set needs ADDRESS VALUE...");
        if (!ParseNumber(args[0], 0, 2147483647L, lAddress))
            return Usage("ADDRESS must be a number from 0, not '" + args[0] + "'");
        std::vector<long> values;
        for (size_t i = 1; i < args.size(); ++i) {
            long lValue = 0;
            if (!ParseNumber(args[i], -32768L, 65535L, lValue))
                return Usage("VALUE must be a number from -32768 to 65535, not '" + args[i] + "'");
            values.push_back(lValue & 0xFFFF);
        }
        return commands.Set(lAddress, values);
    }
    if (sCommand == "watch") {
        long lCount = 0;
        if (!args.empty())
            return Usage("watch takes no arguments");
        if (opts.count("--count") && !ParseNumber(opts["--count"], 1, 2147483647L, lCount))
            return Usage("--count must be a number from 1, not '" + opts["--count"] + "'");
        if (lTimeout >= 0)
            ArmWatchdog(lTimeout, "no answer from the system bus", CTL_EXIT_TIMEOUT);
        signal(SIGINT, OnStopSignal);
        signal(SIGTERM, OnStopSignal);
        // One line per signal, at once, also into a pipe.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        return commands.Watch(lCount, lTimeout >= 0 ? static_cast<int>(lTimeout) : -1,
                              &g_iStopWatch);
    }
    if (sCommand == "wait") {
        if (!args.empty())
            return Usage("wait takes no arguments");
        const int iWaitMs = lTimeout >= 0 ? static_cast<int>(lTimeout) : 10000;
        ArmWatchdog(iWaitMs, "no answer from the system bus", CTL_EXIT_TIMEOUT);
        return commands.Wait(opts.count("--gone") == 0, iWaitMs);
    }
    // update
    if (args.size() != 1)
        return Usage("update needs one DOCUMENT");
    ArmWatchdog(3L * iCallMs, "update not delivered (status 4): no answer from the system bus",
                CTL_EXIT_REFUSED);
    return commands.Update(args[0], opts["--init-file"], opts["--absent-note"],
                           opts["--nobus-note"]);
}
