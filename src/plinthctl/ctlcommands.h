// The commands of plinthctl, each returning the program's exit status.
#pragma once

#include "failurelog.h"
#include "plinthclient.h"

#include <string>
#include <vector>

class CCtlCommands
{
public:
    explicit CCtlCommands(const CFailureLog& log) : m_log(log) {}

    void SetCallTimeout(int iMs) { m_iCallMs = iMs; }

    int Cmd(const std::string& sJson);
    int Init(const std::string& sFile, bool bReinit);
    int Status(bool bJson);
    int Get(long lAddress, long lCount);
    int Set(long lAddress, const std::vector<long>& values);
    // lCount 0: no limit; iTimeoutMs -1: none.
    int Watch(long lCount, int iTimeoutMs, volatile const int* pbStop);
    int Wait(bool bOwned, int iTimeoutMs);
    // A missing daemon and a missing bus are each reported at most once a
    // minute when a note file for them is given.
    int Update(const std::string& sDocument, const std::string& sInitFile,
               const std::string& sAbsentNote, const std::string& sNoBusNote);

private:
    // Connects and calls; CTL_EXIT_OK with the reply, or the failure's exit
    // status after reporting it (prefixed with sWhat when given).
    int Deliver(const std::string& sJson, std::string& sReply, const std::string& sWhat = "");
    // Reports sLine unless sNote was touched less than a minute ago, and
    // touches it; an empty sNote: always.
    void ReportSeldom(const std::string& sLine, const std::string& sNote) const;

    const CFailureLog& m_log;
    CPlinthClient m_client;
    bool m_bConnected = false;
    int m_iCallMs = 3000;
};

// Reads a decimal number (or hexadecimal with 0x) within [lMin, lMax].
bool ParseNumber(const std::string& sText, long lMin, long lMax, long& lValue);

// The "err" of a reply; false when the text is no object with a number "err".
bool ReplyErr(const std::string& sReply, int& iErr);

// The content of a command file, trailing newlines removed (as a shell's
// $(cat FILE) would). False with sError when it cannot be read.
bool ReadCommandFile(const std::string& sFile, std::string& sText, std::string& sError);
