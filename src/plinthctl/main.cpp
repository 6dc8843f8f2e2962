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

// The command line as read: the command, its arguments, the options.
typedef struct CtlArgs_s {
    std::string sCommand;
    std::vector<std::string> args;
    std::map<std::string, std::string> opts; // the command's own options
    bool bHelp = false;
    long lTimeout = -1; // --timeout, -1 when not given
} CtlArgs_t;

// Reads one option at argv[i] (and its value, which may be the next
// argument). -1 when the reading goes on, else the exit status.
int ReadOption(int argc, char** argv, int& i, CtlArgs_t& a)
{
    const std::string sArg = argv[i];
    if (sArg == "-h" || sArg == "--help") {
        a.bHelp = true;
        return -1;
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
        auto itCmd = COMMAND_OPTIONS.find(a.sCommand);
        if (itCmd == COMMAND_OPTIONS.end() || itCmd->second.count(sName) == 0)
            return Usage("unknown option " + sName +
                         (a.sCommand.empty() ? std::string() : " for " + a.sCommand));
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
        if (!ParseNumber(sValue, 0, 86400000L, a.lTimeout))
            return Usage("--timeout needs milliseconds from 0 to 86400000, not '" + sValue + "'");
    } else if (sName == "--log") {
        g_log.SetTag(sValue);
    } else {
        a.opts[sName] = sValue;
    }
    return -1;
}

// Reads the command line into a. -1 when the command is to run, else the
// exit status (--version, bad usage).
int ParseArguments(int argc, char** argv, CtlArgs_t& a)
{
    bool bOptionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string sArg = argv[i];
        // A negative number is a value (set), not an option.
        const bool bNegative =
            sArg.size() >= 2 && sArg[0] == '-' && sArg[1] >= '0' && sArg[1] <= '9';
        if (bOptionsDone || bNegative || sArg.size() < 2 || sArg[0] != '-') {
            if (a.sCommand.empty())
                a.sCommand = sArg;
            else
                a.args.push_back(sArg);
            continue;
        }
        if (sArg == "--") {
            bOptionsDone = true;
            continue;
        }
        const int iExit = ReadOption(argc, argv, i, a);
        if (iExit >= 0)
            return iExit;
    }
    return -1;
}

// Answers "help", --help and a missing or unknown command. -1 when the
// command is to run, else the exit status.
int AnswerHelp(CtlArgs_t& a)
{
    if (a.sCommand == "help") {
        if (a.args.empty()) {
            std::fputs(USAGE, stdout);
            return CTL_EXIT_OK;
        }
        a.sCommand = a.args.front();
        a.args.clear();
        a.bHelp = true;
    }
    if (a.sCommand.empty()) {
        if (a.bHelp) {
            std::fputs(USAGE, stdout);
            return CTL_EXIT_OK;
        }
        return Usage("no command given");
    }
    auto itHelp = COMMAND_HELP.find(a.sCommand);
    if (itHelp == COMMAND_HELP.end())
        return Usage("unknown command '" + a.sCommand + "'");
    if (a.bHelp) {
        std::fputs(itHelp->second, stdout);
        return CTL_EXIT_OK;
    }
    return -1;
}

// The commands, one function each: the arguments checked, then the call.
// iCallMs is the time-out of each call to the daemon.

int RunCmd(CCtlCommands& commands, const CtlArgs_t& a, int)
{
    if (a.args.size() != 1)
        return Usage("cmd needs one JSON text");
    return commands.Cmd(a.args[0]);
}

int RunInit(CCtlCommands& commands, const CtlArgs_t& a, int)
{
    if (a.args.size() != 1)
        return Usage("init needs one FILE");
    return commands.Init(a.args[0], a.opts.count("--reinit") != 0);
}

int RunStatus(CCtlCommands& commands, const CtlArgs_t& a, int)
{
    if (!a.args.empty())
        return Usage("status takes no arguments");
    return commands.Status(a.opts.count("--json") != 0);
}

int RunGet(CCtlCommands& commands, const CtlArgs_t& a, int)
{
    long lAddress = 0;
    long lCount = 1;
    if (a.args.empty() || a.args.size() > 2)
        return Usage("get needs ADDRESS [COUNT]");
    if (!ParseNumber(a.args[0], 0, 2147483647L, lAddress))
        return Usage("ADDRESS must be a number from 0, not '" + a.args[0] + "'");
    if (a.args.size() == 2 && !ParseNumber(a.args[1], 1, 65536L, lCount))
        return Usage("COUNT must be a number from 1 to 65536, not '" + a.args[1] + "'");
    return commands.Get(lAddress, lCount);
}

int RunSet(CCtlCommands& commands, const CtlArgs_t& a, int)
{
    long lAddress = 0;
    if (a.args.size() < 2)
        return Usage("set needs ADDRESS VALUE...");
    if (!ParseNumber(a.args[0], 0, 2147483647L, lAddress))
        return Usage("ADDRESS must be a number from 0, not '" + a.args[0] + "'");
    std::vector<long> values;
    for (size_t i = 1; i < a.args.size(); ++i) {
        long lValue = 0;
        if (!ParseNumber(a.args[i], -32768L, 65535L, lValue))
            return Usage("VALUE must be a number from -32768 to 65535, not '" + a.args[i] + "'");
        values.push_back(lValue & 0xFFFF);
    }
    return commands.Set(lAddress, values);
}

int RunWatch(CCtlCommands& commands, const CtlArgs_t& a, int)
{
    long lCount = 0;
    if (!a.args.empty())
        return Usage("watch takes no arguments");
    auto itCount = a.opts.find("--count");
    if (itCount != a.opts.end() && !ParseNumber(itCount->second, 1, 2147483647L, lCount))
        return Usage("--count must be a number from 1, not '" + itCount->second + "'");
    if (a.lTimeout >= 0)
        ArmWatchdog(a.lTimeout, "no answer from the system bus", CTL_EXIT_TIMEOUT);
    signal(SIGINT, OnStopSignal);
    signal(SIGTERM, OnStopSignal);
    // One line per signal, at once, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return commands.Watch(lCount, a.lTimeout >= 0 ? static_cast<int>(a.lTimeout) : -1,
                          &g_iStopWatch);
}

int RunWait(CCtlCommands& commands, const CtlArgs_t& a, int)
{
    if (!a.args.empty())
        return Usage("wait takes no arguments");
    const int iWaitMs = a.lTimeout >= 0 ? static_cast<int>(a.lTimeout) : 10000;
    ArmWatchdog(iWaitMs, "no answer from the system bus", CTL_EXIT_TIMEOUT);
    return commands.Wait(a.opts.count("--gone") == 0, iWaitMs);
}

int RunUpdate(CCtlCommands& commands, const CtlArgs_t& a, int iCallMs)
{
    if (a.args.size() != 1)
        return Usage("update needs one DOCUMENT");
    ArmWatchdog(3L * iCallMs, "update not delivered (status 4): no answer from the system bus",
                CTL_EXIT_REFUSED);
    auto opt = [&a](const char* pszName) {
        auto it = a.opts.find(pszName);
        return it != a.opts.end() ? it->second : std::string();
    };
    return commands.Update(a.args[0], opt("--init-file"), opt("--absent-note"),
                           opt("--nobus-note"));
}

// Each command, and whether the watchdog is armed for two calls' time
// before its arguments are checked (the others arm their own).
typedef struct CtlCommand_s {
    const char* pszName;
    int (*pfnRun)(CCtlCommands& commands, const CtlArgs_t& a, int iCallMs);
    bool bCallWatchdog;
} CtlCommand_t;

const CtlCommand_t COMMANDS[] = {
    {"cmd", RunCmd, true},    {"init", RunInit, true},      {"status", RunStatus, true},
    {"get", RunGet, true},    {"set", RunSet, true},        {"watch", RunWatch, false},
    {"wait", RunWait, false}, {"update", RunUpdate, false},
};

} // namespace

int main(int argc, char** argv)
{
    CtlArgs_t a;
    int iExit = ParseArguments(argc, argv, a);
    if (iExit >= 0)
        return iExit;
    iExit = AnswerHelp(a);
    if (iExit >= 0)
        return iExit;

    CCtlCommands commands(g_log);
    const int iCallMs = a.lTimeout >= 0 ? static_cast<int>(a.lTimeout) : 3000;
    commands.SetCallTimeout(iCallMs);
    for (const CtlCommand_t& command : COMMANDS) {
        if (a.sCommand != command.pszName)
            continue;
        if (command.bCallWatchdog)
            ArmWatchdog(2L * iCallMs, "no answer from the system bus", CTL_EXIT_TIMEOUT);
        return command.pfnRun(commands, a, iCallMs);
    }
    // AnswerHelp let through only the commands above.
    return Usage("unknown command '" + a.sCommand + "'");
}
