#ifndef TESSAL_SERVICENOTIFIER_H
#define TESSAL_SERVICENOTIFIER_H

#include <QObject>
#include <QString>
#include <QTimer>

namespace Tessal
{

// Talks to the service manager (sd_notify): READY=1 once the window is up,
// WATCHDOG=1 from the GUI thread's event loop at half the watchdog period the
// manager asked for, STOPPING=1 at shut-down. A GUI thread held by a page (a
// script that never returns) stops the keep-alives, and the manager restarts
// the kiosk. Without a service manager (no NOTIFY_SOCKET) nothing is sent.
class ServiceNotifier : public QObject
{
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // Sends READY=1 and starts the keep-alives when a watchdog is asked for.
    void ready();
    void stopping();
    // 0 when the manager asked for no watchdog.
    int keepAliveIntervalMs() const { return interval; }

private:
    void keepAlive();

    QTimer timer;
    int interval = 0;
};

// A marker file in the kiosk's runtime directory that exists while the kiosk
// runs. A start that finds it left behind says so in the log, once per
// start: a page that crashes the kiosk (or holds it until the watchdog ends
// it) shows up as a line per restart, naming the page shown last.
class RunMarker
{
public:
    static QString path();
    // Logs "Previous run ended abnormally" when the marker is still there,
    // then writes a fresh one.
    static void begin();
    // Remembers the page the kiosk is showing (written into the marker).
    static void setPage(const QString& url);
    // Removes the marker: this run ended cleanly.
    static void end();

private:
    static void write();
    static QString started;
    static QString page;
};

} // namespace Tessal

#endif
