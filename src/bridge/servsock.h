// The half of the bridge that faces the TCP client.
#pragma once

#include <cstdint>

#include "platform/thread.h"

class SocketThread : public plat::Thread {
public:
    SocketThread() : plat::Thread(/*createSuspended=*/false) {}
    ~SocketThread() override;

    // Status hand-offs: block until the user-interface thread has run them.
    void SyncShowConnected();
    void SyncShowDisconnected();
    void SyncShowServerError();

protected:
    void Execute() override;

private:
    void AcceptStep();
    void ReceiveStep();
    void ForwardChunk(const std::uint8_t* chunk, int count);
    void EndOfConnection(int received);
};
