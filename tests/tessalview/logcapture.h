#ifndef TESSAL_TEST_LOGCAPTURE_H
#define TESSAL_TEST_LOGCAPTURE_H

// Collects everything the kiosk writes to Qt's message channels while an
// instance is alive, so tests can check the exact log lines: each line as
// the kiosk's message pattern writes it (time stamp included), without the
// category in front.
#include "logging.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handler))
    {
        qSetMessagePattern(Tessal::logLinePattern());
        s_active = this;
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }

    QStringList lines() const { return m_lines; }
    QStringList criticals() const { return m_criticals; }
    void clear()
    {
        m_lines.clear();
        m_criticals.clear();
    }
    // Number of captured lines containing `text`.
    int count(const QString& text) const { return m_lines.filter(text).size(); }
    bool contains(const QString& text) const { return count(text) > 0; }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
    {
        if (!s_active)
            return;
        const QString line = qFormatLogMessage(type, context, msg);
        s_active->m_lines << line;
        if (type == QtCriticalMsg)
            s_active->m_criticals << line;
    }

    QtMessageHandler m_previous;
    QStringList m_lines;
    QStringList m_criticals;
    static inline LogCapture* s_active = nullptr;
};

#endif
