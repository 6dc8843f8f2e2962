#pragma once

#include <cstdint>

// Return codes shared by the whole runtime library.
enum {
    RET_OK = 0,
    RET_ERROR = -1,
    RET_TIMEOUT = -2,
    RET_INTERRUPTED = -3,
    RET_NOT_HANDLED = -4,
};

// Command numbers of pipe messages; derived threads number their own from CMD_FIRST_USER.
enum {
    CMD_NOTHING = 0,
    CMD_STOP = 1,
    CMD_PAUSE = 2,
    CMD_FIRST_USER = 3,
};

// Connection constants ("CLENT" is the historic spelling).
enum {
    CONNECTION_MAX_DEST = 16,
    MAX_PROCESS = 12,
    CONNECTION_READ = 0,
    CONNECTION_WRITE = 1,
    CONNECTION_SERVER = 0,
    CONNECTION_CLENT = 1,
};

// The 12-byte header of every pipe message, in native byte order.
struct MsgHeader_t {
    int32_t lType;      // message type; the library sends 0
    uint16_t usSize;    // total size including this header; set by Send
    uint16_t usCmd;     // CMD_ number or a derived thread's own
    char cFrom;         // sender; the library sends 0
    char cSpare;        // reserved, 0
    int16_t sSessionID; // session number given by the sender
};

// A message is a header followed by a payload whose size the header gives.
struct Msg_t {
    MsgHeader_t Header;
};

// A header plus one 32-bit parameter.
struct MsgInfo_t {
    MsgHeader_t Header;
    uint32_t ulInfo;
};

enum { MSG_LARGE_DATA = 4000 };

// The largest message: every received message is read into one of these.
struct MsgLarge_t {
    MsgHeader_t Header;
    unsigned char abyData[MSG_LARGE_DATA];
};

static_assert(sizeof(MsgHeader_t) == 12, "pipe message header must be 12 bytes");
static_assert(sizeof(MsgInfo_t) == 16, "MsgInfo_t must be 16 bytes");
static_assert(sizeof(MsgLarge_t) == 4012, "MsgLarge_t must be 4012 bytes");

// Size limits of a message travelling through a pipe.
enum {
    MSG_HEADER_SIZE = sizeof(MsgHeader_t),
    MSG_MAX_SIZE = sizeof(MsgLarge_t),
};

// Abstract connection: every operation fails (-1) unless a derived class provides it.
class CConnectionAbstract
{
public:
    CConnectionAbstract();
    CConnectionAbstract(const CConnectionAbstract&) = delete;
    CConnectionAbstract& operator=(const CConnectionAbstract&) = delete;
    virtual ~CConnectionAbstract();

    virtual int Init(int iDestination, int iFlags);
    virtual int SetTimeout(int iTimeoutMilliSec);
    virtual int Open();
    virtual int Send(Msg_t* pMsg, unsigned len);
    virtual int Receive(Msg_t* pMsg, unsigned len);
    virtual int SendRaw(unsigned char* pData, unsigned len);
    virtual int ReceiveRaw(unsigned char* pData, unsigned len);
    virtual int GetByte();
    virtual int Close();
    virtual int GetFD();
    virtual bool isActive();

protected:
    int m_iDestination;
    int m_iFlags;
    int m_iTimeout; // milliseconds
};
