// plinthd: serves one block of Modbus registers, configured over D-Bus.
#include <dbus/dbus.h>
#include <unistd.h>

#include "log.h"
#include "modbusserverthread.h"

int main()
{
    CModBusServerThread server;
    CThread::Start(&server);
    if (server.WaitRunning() != RET_OK) {
        // Start-up failed (no system bus, bus name refused): the reason is in
        // the log already.
        LogWrite("plinthd", 3, "Start-up failed, exiting");
        server.Stop();
        dbus_shutdown();
        return 1;
    }
    while (server.Running())
        sleep(1);
    server.Stop();
    dbus_shutdown();
    return 0;
}
