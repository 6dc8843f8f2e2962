// The message pipe between threads: argument checks, framing, and what
// happens to messages that do not fit.
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

#include "connectionthreadpipe.h"

namespace
{

class PipeConnection : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(pipe.Init(0, 0), RET_OK);
        ASSERT_EQ(pipe.Open(), RET_OK);
    }
    // Writes raw bytes to the pipe, as a misbehaving sender would.
    void WriteRaw(const void* p, size_t len)
    {
        ASSERT_EQ(write(pipe.GetWriteFD(), p, len), static_cast<ssize_t>(len));
    }
    CConnectionThreadPipe pipe;
};

TEST(PipeConnectionInit, RejectsDestinationAndFlagsOutOfRange)
{
    CConnectionThreadPipe pipe;
    EXPECT_EQ(pipe.Init(17, 0), RET_ERROR);
    EXPECT_EQ(pipe.Init(-1, 0), RET_ERROR);
    EXPECT_EQ(pipe.Init(0, 2), RET_ERROR);
    EXPECT_EQ(pipe.Init(0, -1), RET_ERROR);
    EXPECT_EQ(pipe.Init(16, 1), RET_OK);
    EXPECT_EQ(pipe.Init(0, 0), RET_OK);
}

TEST(PipeConnectionInit, ClosedPipeRefusesEverything)
{
    CConnectionThreadPipe pipe;
    EXPECT_EQ(pipe.GetFD(), -1);
    EXPECT_FALSE(pipe.isActive());
    MsgInfo_t msg{};
    EXPECT_EQ(pipe.Send(reinterpret_cast<Msg_t*>(&msg), sizeof(msg)), RET_ERROR);
    EXPECT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&msg), sizeof(msg)), RET_ERROR);
    ASSERT_EQ(pipe.Open(), RET_OK);
    EXPECT_TRUE(pipe.isActive());
    EXPECT_EQ(pipe.Close(), RET_OK);
    EXPECT_FALSE(pipe.isActive());
}

TEST(PipeConnectionInit, AbstractConnectionFailsButKeepsTimeout)
{
    CConnectionAbstract conn;
    unsigned char b[4] = {};
    EXPECT_EQ(conn.Init(0, 0), RET_ERROR);
    EXPECT_EQ(conn.Open(), RET_ERROR);
    EXPECT_EQ(conn.SendRaw(b, sizeof(b)), RET_ERROR);
    EXPECT_EQ(conn.GetByte(), RET_ERROR);
    EXPECT_EQ(conn.SetTimeout(250), RET_OK);
    EXPECT_FALSE(conn.isActive());
}

TEST_F(PipeConnection, HeaderOnlyMessageNeedsNoPayload)
{
    Msg_t msg{};
    msg.Header.usCmd = 42;
    msg.Header.sSessionID = -7;
    ASSERT_EQ(pipe.Send(&msg, sizeof(MsgHeader_t)), RET_OK);
    MsgLarge_t in;
    memset(&in, 0xAA, sizeof(in));
    ASSERT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_OK);
    EXPECT_EQ(in.Header.usSize, 12);
    EXPECT_EQ(in.Header.usCmd, 42);
    EXPECT_EQ(in.Header.sSessionID, -7);
    EXPECT_EQ(in.abyData[0], 0xAA) << "no payload byte may be written for a 12-byte message";
}

TEST_F(PipeConnection, MessagesKeepTheirBoundaries)
{
    MsgInfo_t info{};
    info.Header.usCmd = CMD_FIRST_USER;
    info.ulInfo = 0xDEADBEEF;
    MsgLarge_t large{};
    large.Header.usCmd = CMD_FIRST_USER + 1;
    for (size_t i = 0; i < sizeof(large.abyData); ++i)
        large.abyData[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(pipe.Send(reinterpret_cast<Msg_t*>(&info), sizeof(info)), RET_OK);
    ASSERT_EQ(pipe.Send(reinterpret_cast<Msg_t*>(&large), sizeof(large)), RET_OK);

    MsgLarge_t in{};
    ASSERT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_OK);
    EXPECT_EQ(in.Header.usSize, 16);
    EXPECT_EQ(reinterpret_cast<MsgInfo_t*>(&in)->ulInfo, 0xDEADBEEFu);
    ASSERT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_OK);
    EXPECT_EQ(in.Header.usSize, 4012);
    EXPECT_EQ(in.Header.usCmd, CMD_FIRST_USER + 1);
    EXPECT_EQ(memcmp(in.abyData, large.abyData, sizeof(in.abyData)), 0);
    // Nothing left: a further receive finds an empty pipe at once.
    EXPECT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_ERROR);
}

TEST_F(PipeConnection, SendRefusesSizesTheReceiverCannotFrame)
{
    static unsigned char buf[8192];
    Msg_t* pMsg = reinterpret_cast<Msg_t*>(buf);
    EXPECT_EQ(pipe.Send(nullptr, 16), RET_ERROR);
    EXPECT_EQ(pipe.Send(pMsg, 11), RET_ERROR);
    EXPECT_EQ(pipe.Send(pMsg, 4013), RET_ERROR);
    EXPECT_EQ(pipe.Send(pMsg, 65536 + 16), RET_ERROR) << "usSize would wrap to 16";
    // Nothing was written.
    MsgLarge_t in;
    EXPECT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_ERROR);
}

TEST_F(PipeConnection, OversizedMessageIsRejectedAndTheNextOneStillArrives)
{
    // A header announcing 100 bytes, with its payload, into a 40-byte buffer.
    unsigned char raw[100];
    memset(raw, 0x55, sizeof(raw));
    MsgHeader_t h{};
    h.usSize = 100;
    h.usCmd = 9;
    memcpy(raw, &h, sizeof(h));
    WriteRaw(raw, sizeof(raw));
    MsgInfo_t next{};
    next.Header.usCmd = 10;
    next.ulInfo = 1234;
    ASSERT_EQ(pipe.Send(reinterpret_cast<Msg_t*>(&next), sizeof(next)), RET_OK);

    unsigned char small[40 + 16];
    memset(small, 0, sizeof(small));
    EXPECT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(small), 40), RET_ERROR);
    for (size_t i = 40; i < sizeof(small); ++i)
        ASSERT_EQ(small[i], 0) << "byte " << i << " written past the receive buffer";

    MsgLarge_t in{};
    ASSERT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_OK);
    EXPECT_EQ(in.Header.usCmd, 10);
    EXPECT_EQ(reinterpret_cast<MsgInfo_t*>(&in)->ulInfo, 1234u);
}

TEST_F(PipeConnection, UndersizedOrTruncatedMessageIsRejectedWithoutBlocking)
{
    MsgHeader_t h{};
    h.usSize = 4; // below the header size
    WriteRaw(&h, sizeof(h));
    MsgLarge_t in{};
    EXPECT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_ERROR);

    // A header promising a payload that never comes must not hang the reader.
    h.usSize = 200;
    WriteRaw(&h, sizeof(h));
    EXPECT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_ERROR);

    // A bare fragment shorter than a header.
    WriteRaw("abc", 3);
    EXPECT_EQ(pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)), RET_ERROR);
}

TEST_F(PipeConnection, FullPipeFailsTheSenderInsteadOfBlockingIt)
{
    MsgLarge_t large{};
    int iSent = 0;
    int iResult = RET_OK;
    // A pipe holds 64 KiB by default; stop well after that.
    for (int i = 0; i < 1000 && iResult == RET_OK; ++i) {
        iResult = pipe.Send(reinterpret_cast<Msg_t*>(&large), sizeof(large));
        if (iResult == RET_OK)
            ++iSent;
    }
    EXPECT_EQ(iResult, RET_ERROR);
    EXPECT_GT(iSent, 0);
    // Every message that was accepted is received whole.
    MsgLarge_t in;
    int iReceived = 0;
    while (pipe.Receive(reinterpret_cast<Msg_t*>(&in), sizeof(in)) == RET_OK) {
        ASSERT_EQ(in.Header.usSize, sizeof(MsgLarge_t));
        ++iReceived;
    }
    EXPECT_EQ(iReceived, iSent);
}

} // namespace
