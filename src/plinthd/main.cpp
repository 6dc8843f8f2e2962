// plinthd: serves one block of Modbus registers, configured over D-Bus.
#include <syslog.h>
#include <dbus/dbus.h>
#include <unistd.h>

#include "commandline.h"
#include "log.h"
#include "serverthread.h"
#include "servinglimits.h"

int main(int argc, char** argv)
{
    const int iAnswered = plinthd::AnswerCommandLine(argc, argv);
    if (iAnswered >= 0)
        return iAnswered;
    RaiseDescriptorLimit();
    CModBusServerThread server;
    CThread::Start(&server);
    if (server.WaitRunning() != RET_OK) {
        // Start-up failed (no system bus, bus name refused): the reason is in
        // the log already.
        LogWrite("plinthd", LOG_ERR, "Start-up failed, exiting");
        server.Stop();
        dbus_shutdown();
        return 1;
    }
    while (server.Running())
        sleep(1);
    server.Stop();
    dbus_shutdown();
    if (server.BusLost()) {
        // Without the bus nobody can configure or stop the daemon: a failure
        // status lets the service manager start a fresh one once the bus is back.
        LogWrite("plinthd", LOG_ERR, "System bus gone, exiting with status 1");
        return 1;
    }
    return 0;
}
