// Serial port operations, the device probe and the serial reader thread.
#pragma once

#include <cstdint>

#include "platform/serial.h"
#include "platform/thread.h"

bool OpenCommPort();
void CloseCommPort();
void SetupCommPort(plat::Handle handle, bool noFlowControl);
bool ReadComm(plat::Handle handle, void* buffer, std::uint32_t maxLength, std::uint32_t& read);
bool WriteComm(plat::Handle handle, const void* bytes, std::uint32_t length,
               std::uint32_t& written);
// True when the line under an open handle has gone (device unplugged).
bool CommLineGone(plat::Handle handle);

// Device probe (autodetection). The probe reads and writes through records
// of its own, so it never shares a pending write with the worker threads.
std::uint32_t TestCommPort(std::int32_t port);
bool OpenProbePort(std::int32_t port, plat::Handle& handle);
void SendWithDelay(plat::Handle handle, const std::uint8_t* bytes, std::uint32_t length,
                   std::int32_t& sent);
bool ProbeDevice(std::int32_t port);

struct PortState {
    bool Missing = false;
    bool Busy = false;
    bool Active = false;
    bool DeviceFound = false;
};

// The half of the bridge that faces the device: reads the port in chunks
// and sends them to the client, ending the connection at the 0 byte.
class AsyncThread : public plat::Thread {
public:
    AsyncThread() : plat::Thread(/*createSuspended=*/true) {}
    ~AsyncThread() override;

protected:
    void Execute() override;

private:
    void Pass(std::uint32_t& eventMask);
    void ForwardChunk(std::uint8_t* buffer, std::uint32_t count);
    void EndClientConnection();
};
