#pragma once

#include "connection.h"

// An anonymous pipe carrying Msg_t messages between threads of one process.
// Both ends are non-blocking: a full pipe makes Send fail instead of stalling
// the sender, and a header announcing more bytes than were written cannot
// hang the reader.
class CConnectionThreadPipe : public CConnectionAbstract
{
public:
    CConnectionThreadPipe();
    ~CConnectionThreadPipe() override;

    // in_dest must lie in 0..CONNECTION_MAX_DEST and in_flags be 0 or 1, else -1.
    int Init(int in_dest, int in_flags) override;
    // Creates the pipe; -1 (and "Create pipe" with the system error) on failure.
    int Open() override;
    // Sets usSize to len and writes the whole message in one call. len must lie
    // between the header size and MSG_MAX_SIZE, else -1 and nothing is written.
    int Send(Msg_t* pMsg, unsigned len) override;
    // Reads one message into pMsg, which holds len bytes. A message whose size
    // is below the header size or above len is consumed and rejected (-1).
    int Receive(Msg_t* pMsg, unsigned len) override;
    int Close() override;
    // The read end, -1 when closed.
    int GetFD() override;
    // The write end, -1 when closed.
    int GetWriteFD() const { return m_aiPipe[CONNECTION_WRITE]; }

protected:
    int m_aiPipe[2]; // read end, write end
};
