#ifndef TESSAL_SETTINGS_H
#define TESSAL_SETTINGS_H

#include "tessalpaths.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Tessal
{

// Every ini value: type, group, key, member, accessor, default. The groups are
// read in this order, the keys of a group in this order. Files/UsbDriveFile is
// still read, since older ini files carry it, but decides nothing: the USB
// drive is found in the system's mount table.
#define TESSAL_SETTINGS_TABLE(X)                                                                   \
    X(String, "WebSite", "Url", url, getUrl, "http://127.0.0.1/index.html")                        \
    X(String, "WebSite", "Login", login, getLogin, "")                                             \
    X(String, "WebSite", "Password", password, getPassword, "")                                    \
    X(String, "WebSite", "Scheme", webScheme, getWebScheme, "http")                                \
    X(String, "WebSite", "CertificateSha256", webCertificateSha256, getWebCertificateSha256, "")   \
    X(Bool, "WebSite", "RequireHttps", webRequireHttps, getWebRequireHttps, false)                 \
    X(U64, "WebCache", "Size", webCacheSize, getWebCacheSize, 0)                                   \
    X(String, "WebCache", "Path", webCachePath, getWebCachePath, TESSAL_PATH_WEBCACHE_DIR)         \
    X(String, "Files", "Directory", filesDirectory, getFilesDirectory, "/usbmnt")                  \
    X(String, "Files", "UsbDriveFile", filesUsbDriveFile, getFilesUsbDriveFile, "")                \
    X(String, "Files", "ScriptDir", filesScriptDir, getFilesScriptDir, TESSAL_PATH_SCRIPT_DIR)     \
    X(String, "Files", "TmpCfgDir", filesTmpCfgDir, getFilesTmpCfgDir, TESSAL_PATH_TMPCFG_DIR)     \
    X(String, "ModbusServer", "ModbusMap", modbusMap, getModbusMap, TESSAL_PATH_MODBUS_MAP)        \
    X(String, "ModbusServer", "ModbusMode", modbusMode, getModbusMode, "tcp")                      \
    X(String, "ModbusServer", "ModbusInterface", modbusIntf, getModbusIntf, "0.0.0.0:502:10")      \
    X(String, "ModbusServer", "AllowConnect", modbusAllowConnect, getModbusAllowConnect, "")       \
    X(String, "ModbusServer", "AllowWrite", modbusAllowWrite, getModbusAllowWrite, "")             \
    X(U32, "ModbusServer", "IdleTimeout", modbusIdleTimeout, getModbusIdleTimeout, 0)              \
    X(U16, "ModbusServer", "TlsPort", modbusTlsPort, getModbusTlsPort, 802)                        \
    X(String, "ModbusServer", "TlsCertificate", modbusTlsCertificate, getModbusTlsCertificate, "") \
    X(String, "ModbusServer", "TlsKey", modbusTlsKey, getModbusTlsKey, "")                         \
    X(String, "ModbusServer", "TlsCa", modbusTlsCa, getModbusTlsCa, "")                            \
    X(String, "ModbusServer", "TlsRoles", modbusTlsRoles, getModbusTlsRoles, "")                   \
    X(String, "Network", "UdpInterface", netUdpIntf, getNetUdpIntf, "eth1")                        \
    X(String, "Network", "UdpBindAddress", netUdpAddr, getNetUdpAddr, "")                          \
    X(U16, "Network", "UdpPort", netUdpPort, getNetUdpPort, 9876)                                  \
    X(U16, "Network", "UdpTimeout", netUdpTimeout, getNetUdpTimeout, 10)                           \
    X(String, "Network", "FrontInterface", netFrontIntf, getNetFrontIntf, "usb0")                  \
    X(U16, "Network", "RetryTimeout", netRetryTimeout, getNetRetryTimeout, 15)                     \
    X(String, "Network", "DeviceAddress", netDeviceAddr, getNetDeviceAddress, "")                  \
    X(U32, "GPIO", "LedGreenPin", gpioLedGreenPin, getGPIOLedGreenPin, 224)                        \
    X(U32, "GPIO", "LedYellowPin", gpioLedYellowPin, getGPIOLedYellowPin, 225)                     \
    X(U32, "GPIO", "LedRedPin", gpioLedRedPin, getGPIOLedRedPin, 228)                              \
    X(U32, "GPIO", "BuzzerPin", gpioBuzzerPin, getGPIOBuzzerPin, 230)                              \
    X(Bool, "GPIO", "LedGreenHigh", gpioLedGreenHigh, getGPIOLedGreenHigh, false)                  \
    X(Bool, "GPIO", "LedYellowHigh", gpioLedYellowHigh, getGPIOLedYellowHigh, false)               \
    X(Bool, "GPIO", "LedRedHigh", gpioLedRedHigh, getGPIOLedRedHigh, false)                        \
    X(Bool, "GPIO", "BuzzerHigh", gpioBuzzerHigh, getGPIOBuzzerHigh, true)                         \
    X(Bool, "UI", "HideCursor", uiHideCursor, getUIHideCursor, true)                               \
    X(I32, "UI", "ScreenSaverInterval", uiScreenSaverInterval, getUIScreenSaverInterval, 15000)    \
    X(String, "UI", "Rotation", uiRotation, getUIRotation, "0")                                    \
    X(Bool, "UI", "TouchLockdown", uiTouchLockdown, getUITouchLockdown, true)                      \
    X(Bool, "UI", "VirtualKeyboard", uiVirtualKeyboard, getUIVirtualKeyboard, true)                \
    X(String, "UI", "MsgWaitingForNetworkConfiguration", uiMsgWaitingForNetworkConfiguration,      \
      getUIMsgWaitingForNetworkConfiguration, "Waiting for network configuration...")              \
    X(String, "UI", "MsgConnecting", uiMsgConnecting, getUIMsgConnecting,                          \
      "Connection in progress...")                                                                 \
    X(String, "UI", "MsgConnectionError", uiMsgConnectionError, getUIMsgConnectionError,           \
      "Connection error: automatic retry in a few seconds")                                        \
    X(String, "UI", "MsgLoading", uiMsgLoading, getUIMsgLoading,                                   \
      "Please wait while loading... (%1%)")                                                        \
    X(String, "UI", "MsgError", uiMsgError, getUIMsgError, "Error")                                \
    X(String, "UI", "MsgUSBDriveNotMounted", uiMsgUSBDriveNotMounted, getUIMsgUSBDriveNotMounted,  \
      "USB drive not detected.")                                                                   \
    X(String, "UI", "MsgFailedToOpenFile", uiMsgFailedToOpenFile, getUIMsgFailedToOpenFile,        \
      "Error opening file '%1' for writing.")                                                      \
    X(String, "UI", "MsgNoFileSelected", uiMsgNoFileSelected, getUIMsgNoFileSelected,              \
      "No file has been selected.")                                                                \
    X(String, "UI", "MsgDownloadInProgress", uiMsgDownloadInProgress, getUIMsgDownloadInProgress,  \
      "Download in progress")                                                                      \
    X(String, "UI", "MsgDownloadComplete", uiMsgDownloadComplete, getUIMsgDownloadComplete,        \
      "Download complete")                                                                         \
    X(String, "UI", "MsgUSBDriveFull", uiMsgUSBDriveFull, getUIMsgUSBDriveFull,                    \
      "The USB drive is full.")                                                                    \
    X(String, "UI", "MsgUSBDriveReadOnly", uiMsgUSBDriveReadOnly, getUIMsgUSBDriveReadOnly,        \
      "The USB drive is read-only.")                                                               \
    X(String, "UI", "MsgUSBDriveRemoved", uiMsgUSBDriveRemoved, getUIMsgUSBDriveRemoved,           \
      "The USB drive was removed.")                                                                \
    X(String, "UI", "MsgUSBDriveUnsafe", uiMsgUSBDriveUnsafe, getUIMsgUSBDriveUnsafe,              \
      "USB drive refused: it is not mounted safely.")                                              \
    X(String, "UI", "TextDownload", uiTextDownload, getUITextDownload, "Download")                 \
    X(String, "UI", "TextUpload", uiTextUpload, getUITextUpload, "Upload")                         \
    X(String, "UI", "TextOK", uiTextOK, getUITextOK, "OK")                                         \
    X(String, "UI", "TextCancel", uiTextCancel, getUITextCancel, "Cancel")                         \
    X(String, "UI", "TextFilename", uiTextFilename, getUITextFilename, "Filename:")                \
    X(String, "UI", "ErrorImagePath", uiErrorImagePath, getUIErrorImagePath, TESSAL_PATH_IMAGE_DIR)

// One process-wide set of configuration values, loaded once at start-up from
// the ini file and the command line, read everywhere through static getters.
class Settings
{
public:
    using String = QString;
    using U64 = quint64;
    using U32 = quint32;
    using U16 = quint16;
    using I32 = qint32;
    using Bool = bool;

    Settings() {}

    // Reads the ini file; false (and defaults kept) when it does not exist.
    // `quiet`: no log line for a missing file (a read before the
    // application object exists, repeated by the start-up sequence).
    static bool load(bool quiet = false);

    // The start-up sequence of the command line: parse `arguments` (the
    // application's argument list, toolkit options already removed), load the
    // ini file, apply -v, -D and -R and log the three values. Help and parse
    // errors never stop the program.
    static void loadWithCommandLine(const QStringList& arguments);

    // -h, --help and --version, answered before the window system is touched
    // (they must work on a console without a screen): prints the help or the
    // version on standard output and returns the exit status 0. Returns -1
    // when neither was asked for and the kiosk is to start.
    static int answerHelpOrVersion(int& argc, char* argv[]);

    // Restores every default (used by tests that load several files).
    static void resetToDefaults();

#define TESSAL_SETTINGS_GETTER(type, group, key, member, getter, def)                              \
    static const type& getter()                                                                    \
    {                                                                                              \
        return member;                                                                             \
    }
    TESSAL_SETTINGS_TABLE(TESSAL_SETTINGS_GETTER)
#undef TESSAL_SETTINGS_GETTER

    static bool isLogVerbose()
    {
        return logVerbose;
    }
    static void setLogVerbose(bool verbose)
    {
        logVerbose = verbose;
    }
    static QString getInfoDevice()
    {
        return infoDevice;
    }
    static void setInfoDevice(const QString& text)
    {
        infoDevice = text;
    }
    static QString getInfoRelease()
    {
        return infoRelease;
    }
    static void setInfoRelease(const QString& text)
    {
        infoRelease = text;
    }

    // The path load() reads: the fixed ini path, through the system-path seam.
    static QString getFilePath();

    // Value of an HTTP Authorization header for Basic authentication.
    static QByteArray getHttpAuthorizationBytes();

private:
    static bool logVerbose;
    static QString infoDevice;
    static QString infoRelease;
    static const QString filePath;

#define TESSAL_SETTINGS_MEMBER(type, group, key, member, getter, def) static type member;
    TESSAL_SETTINGS_TABLE(TESSAL_SETTINGS_MEMBER)
#undef TESSAL_SETTINGS_MEMBER
};

} // namespace Tessal

#endif
