#ifndef TESSAL_TEST_LOGCAPTURE_H
#define TESSAL_TEST_LOGCAPTURE_H

// Collects everything the kiosk writes to Qt's message channels while an
// instance is alive, so tests can check the exact log lines.
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handler)) { s_active = this; }
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
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& msg)
    {
        if (!s_active)
            return;
        s_active->m_lines << msg;
        if (type == QtCriticalMsg)
            s_active->m_criticals << msg;
    }

    QtMessageHandler m_previous;
    QStringList m_lines;
    QStringList m_criticals;
    static inline LogCapture* s_active = nullptr;
};

#endif
