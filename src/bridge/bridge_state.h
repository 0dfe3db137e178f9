// The bridge's process-wide state and its diagnostic trace.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/serial.h"
#include "platform/socket.h"
#include "platform/thread.h"

class TProgramIniParam;
class AsyncThread;
class SocketThread;

// A string written by the user-interface thread and read by the workers.
class SharedString {
public:
    explicit SharedString(std::string v) : value_(std::move(v)) {}
    std::string get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(std::string v) {
        std::lock_guard lock(mutex_);
        value_ = std::move(v);
    }

private:
    mutable std::mutex mutex_;
    std::string value_;
};

extern std::atomic<plat::Socket> ListenSocket;
extern std::atomic<plat::Socket> AcceptedSocket;
extern std::atomic<plat::Socket> AcceptedSocketCopy;
extern std::atomic<plat::Handle> CommHandle;
extern std::atomic<bool> CommPortOpened;
extern SharedString CommPortName;
extern std::atomic<std::int32_t> CommSpeed;
extern std::atomic<std::int32_t> TcpPort;
extern std::atomic<bool> MustClose;
extern std::unique_ptr<plat::Event> LoopEvent;
extern plat::Overlapped ReadOverlapped;
extern plat::Overlapped WriteOverlapped;
extern std::unique_ptr<TProgramIniParam> IniParams;
extern std::unique_ptr<AsyncThread> AsyncThreadObject;
extern std::unique_ptr<SocketThread> SocketThreadObject;

// "\\.\COM" followed by the port number.
std::string CommPathFor(std::int32_t port);
// The port name as menus and messages show it: the path from its fifth
// character on, at most maxLen characters ("COM4").
std::string CommDisplayName(std::size_t maxLen);

// Status changes that the worker threads hand to the user-interface thread.
// Run() blocks the caller until the status operation has run there.
enum class BridgeStatus { Connected, Disconnected, Error };
class StatusHandoff {
public:
    virtual ~StatusHandoff() = default;
    virtual void Run(BridgeStatus status) = 0;
};
void SetStatusHandoff(std::shared_ptr<StatusHandoff> handoff);
void HandOffStatus(BridgeStatus status);

// The diagnostic trace. Each call is a no-op when no console is attached.
namespace trace {
void Line(std::string_view text);                       // form 1
void LineNum(std::string_view text, long long number);  // form 2
void Piece(std::string_view text);                      // form 3
void Echo(std::uint8_t byte);                           // form 4
// Form 5: the bytes up to the first 0 byte, right-aligned in a field as
// wide as the block.
void AppendByteBlock(std::string& out, const std::uint8_t* bytes, std::size_t count);
// A line made of prefix, the count, the marker, the byte block and suffix:
// "ComRead: 4***  abc ***".
void ChunkLine(std::string_view prefix, const std::uint8_t* bytes, std::size_t count,
               std::string_view marker, std::string_view suffix);
bool Enabled();
}  // namespace trace
