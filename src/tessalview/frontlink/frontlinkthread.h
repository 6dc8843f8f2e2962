#ifndef TESSAL_FRONTLINKTHREAD_H
#define TESSAL_FRONTLINKTHREAD_H

#include "frontlinktarget.h"

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>

#include <functional>

class QTimer;

namespace Tessal
{

class UdpHandler;

// Hands the front link's calls to the window over to the window's own
// thread. The calls return at once and run there in the order they were
// made; the language is remembered here so the front link can read it
// without waiting for the window.
class QueuedFrontLinkTarget : public FrontLinkTarget
{
public:
    // `receiver` is the QObject whose thread runs the calls (the window);
    // calls still pending when it is deleted are dropped.
    QueuedFrontLinkTarget(QObject* receiver, FrontLinkTarget* target);

    void setDefaultUrl(const QString& url) override;
    void openUrlForce(const QString& url, bool force) override;
    void setLanguage(const QString& lang) override;
    QString getLanguage() override;
    void displayError(const QString& lang) override;

private:
    void post(std::function<void()> call);

    QPointer<QObject> receiver;
    FrontLinkTarget* target;
    QMutex mutex;
    QString language;
};

// The front link (frame reception and checks, LEDs and buzzer, the
// configuration and Modbus update scripts) on a thread of its own, so that a
// page whose script never returns cannot hold the indicators or the Modbus
// registers: the web engine runs page scripts on the GUI thread.
class FrontLinkThread : public QObject
{
    Q_OBJECT
public:
    // `window` receives the front link's calls in its own thread.
    template <class Window>
    FrontLinkThread(const QString& listenAddr, quint16 port, Window* window)
        : FrontLinkThread(listenAddr, port, static_cast<QObject*>(window),
                          static_cast<FrontLinkTarget*>(window))
    {
    }
    FrontLinkThread(const QString& listenAddr, quint16 port, QObject* receiver,
                    FrontLinkTarget* target);
    ~FrontLinkThread() override;

    // Starts the thread and runs the handler's init() there; returns when
    // init() has finished.
    void start();
    // Stops and deletes the handler in its thread, then ends the thread.
    void stop();

    UdpHandler* handler() const { return udpHandler; }
    QThread* thread() { return &frontThread; }

private:
    QThread frontThread;
    QueuedFrontLinkTarget target;
    UdpHandler* udpHandler = nullptr;
    // Lives in the front-link thread; runs init() and the clean-up there.
    QObject* context = nullptr;
};

} // namespace Tessal

#endif
