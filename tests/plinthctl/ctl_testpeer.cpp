// A stand-in for plinthd on a private bus, for what the real daemon cannot
// be made to do: it owns the daemon's name and either records every cmd
// text it receives (followed by a NUL byte) into FILE and answers with a
// fixed reply holding non-ASCII text, or never answers at all.
//
//   ctl_testpeer record FILE
//   ctl_testpeer silent
#include <dbus/dbus.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const bool bSilent = argc == 2 && std::strcmp(argv[1], "silent") == 0;
    if (!bSilent && !(argc == 3 && std::strcmp(argv[1], "record") == 0)) {
        std::fprintf(stderr, "usage: ctl_testpeer record FILE | silent\n");
        return 2;
    }
    DBusError err;
    dbus_error_init(&err);
    DBusConnection* pBus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &err);
    if (pBus == nullptr) {
        std::fprintf(stderr, "ctl_testpeer: %s\n", err.message);
        return 1;
    }
    if (dbus_bus_request_name(pBus, "vox.tessal.plinthd", DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "ctl_testpeer: name not acquired\n");
        return 1;
    }
    const char* pszAnswer = "{\"err\":0,\"info\":\"Z\xC3\xA4hler \xE2\x9C\x93\"}";
    while (dbus_connection_read_write(pBus, 1000)) {
        while (DBusMessage* pMsg = dbus_connection_pop_message(pBus)) {
            const char* pszText = nullptr;
            if (!bSilent && dbus_message_is_method_call(pMsg, "vox.tessal.modbusserver", "cmd") &&
                dbus_message_get_args(pMsg, nullptr, DBUS_TYPE_STRING, &pszText,
                                      DBUS_TYPE_INVALID)) {
                if (FILE* pFile = std::fopen(argv[2], "ab")) {
                    std::fwrite(pszText, 1, std::strlen(pszText) + 1, pFile);
                    std::fclose(pFile);
                }
                DBusMessage* pReply = dbus_message_new_method_return(pMsg);
                dbus_message_append_args(pReply, DBUS_TYPE_STRING, &pszAnswer, DBUS_TYPE_INVALID);
                dbus_connection_send(pBus, pReply, nullptr);
                dbus_message_unref(pReply);
            }
            dbus_message_unref(pMsg);
        }
    }
    return 0;
}
