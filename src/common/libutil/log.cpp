#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace
{
// Process-wide level filter; 6 is syslog "info".
std::atomic<int> m_Level{LOG_INFO};
std::atomic<LogSink_t> m_pSink{nullptr};

const size_t LOG_TEXT_SIZE = 600;
const size_t LOG_LINE_SIZE = 620;
} // namespace

extern "C" {

void LogInit(const char* pszName)
{
    openlog(pszName, LOG_PID, LOG_USER);
}

void LogWrite(const char* szModName, int iLevel, const char* szFormat, ...)
{
    if (iLevel > m_Level)
        return;
    char szText[LOG_TEXT_SIZE];
    szText[0] = '\0';
    if (szFormat != nullptr) {
        va_list args;
        va_start(args, szFormat);
        vsnprintf(szText, sizeof(szText), szFormat, args);
        va_end(args);
    }
    char szLine[LOG_LINE_SIZE];
    snprintf(szLine, sizeof(szLine), "%s %s", szModName != nullptr ? szModName : "", szText);
    int iPriority = (iLevel & LOG_PRIMASK) | LOG_USER;
    LogSink_t pSink = m_pSink;
    if (pSink != nullptr)
        pSink(iPriority, szLine);
    else
        syslog(iPriority, "%s", szLine);
}

void LogClose(void)
{
    closelog();
}

void LogSetLevel(int iLevel)
{
    m_Level = iLevel;
}

int LogGetLevel(void)
{
    return m_Level;
}

void LogSetSink(LogSink_t pSink)
{
    m_pSink = pSink;
}

} // extern "C"
