// A minimal stand-in for the Modbus server daemon, for testing the three
// mbserver scripts on a private bus: it owns the daemon's bus name, answers
// every cmd call with {"err":0,"info":""} and appends the received text,
// followed by a NUL byte, to the file named by MBSCRIPTS_RECORD. A text
// containing "please-refuse" is answered with err 108, whose "info" text
// quotes a success code; "stop" ends the program after the reply. Started by mbserverstart.sh like
// the daemon, so it takes no arguments.
#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main()
{
    const char* record = std::getenv("MBSCRIPTS_RECORD");
    if (!record || !*record) {
        std::fprintf(stderr, "listener: MBSCRIPTS_RECORD not set\n");
        return 2;
    }
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!bus) {
        std::fprintf(stderr, "listener: %s\n", error.message);
        return 1;
    }
    if (dbus_bus_request_name(bus, "vox.tessal.plinthd", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "listener: name not acquired\n");
        return 1;
    }
    bool run = true;
    while (run && dbus_connection_read_write(bus, 1000)) {
        while (DBusMessage* msg = dbus_connection_pop_message(bus)) {
            if (dbus_message_is_method_call(msg, "vox.tessal.modbusserver", "cmd")) {
                const char* text = nullptr;
                if (dbus_message_get_args(msg, &error, DBUS_TYPE_STRING, &text,
                                          DBUS_TYPE_INVALID)) {
                    if (FILE* f = std::fopen(record, "ab")) {
                        std::fwrite(text, 1, std::strlen(text) + 1, f);
                        std::fclose(f);
                    }
                    const std::string body(text);
                    const char* answer =
                        body.find("please-refuse") != std::string::npos
                            ? "{\"err\":108,\"info\":\"refused, \\\"err\\\":0 is not yours\"}"
                            : "{\"err\":0,\"info\":\"\"}";
                    if (body.find("\"stop\"") != std::string::npos)
                        run = false;
                    DBusMessage* reply = dbus_message_new_method_return(msg);
                    dbus_message_append_args(reply, DBUS_TYPE_STRING, &answer, DBUS_TYPE_INVALID);
                    dbus_connection_send(bus, reply, nullptr);
                    dbus_message_unref(reply);
                } else {
                    dbus_error_free(&error);
                }
            }
            dbus_message_unref(msg);
        }
    }
    dbus_connection_flush(bus);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return 0;
}
