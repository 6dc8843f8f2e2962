#pragma once

// System-log output with a process-wide level filter. Levels are the syslog
// numbers: 3 error, 6 info (the default), 7 debug.

#ifdef __cplusplus
extern "C" {
#endif

// Opens the system log with this identity, LOG_PID and facility LOG_USER.
void LogInit(const char* pszName);
// Writes "szModName text" with priority iLevel | LOG_USER when iLevel is not
// above the current level. The text is cut at 599 characters.
void LogWrite(const char* szModName, int iLevel, const char* szFormat, ...)
    __attribute__((format(printf, 3, 4)));
void LogClose(void);
void LogSetLevel(int iLevel);
int LogGetLevel(void);

// Where finished lines go; null (the default) means syslog. Tests set a sink
// to read the lines back.
typedef void (*LogSink_t)(int iPriority, const char* szLine);
void LogSetSink(LogSink_t pSink);

#ifdef __cplusplus
}
#endif
