#include "bridge/bridge_state.h"

#include <charconv>

#include "bridge/servasyn.h"
#include "bridge/servsock.h"
#include "panel/UnIni.h"
#include "platform/console.h"

std::atomic<plat::Socket> ListenSocket{plat::kInvalidSocket};
std::atomic<plat::Socket> AcceptedSocket{plat::kInvalidSocket};
std::atomic<plat::Socket> AcceptedSocketCopy{plat::kInvalidSocket};
std::atomic<plat::Handle> CommHandle{plat::kInvalidHandle};
std::atomic<bool> CommPortOpened{false};
SharedString CommPortName{"COM4"};
std::atomic<std::int32_t> CommSpeed{115200};
std::atomic<std::int32_t> TcpPort{5000};
std::atomic<bool> MustClose{false};
std::unique_ptr<plat::Event> LoopEvent;
plat::Overlapped ReadOverlapped;
plat::Overlapped WriteOverlapped;
std::unique_ptr<TProgramIniParam> IniParams;
std::unique_ptr<AsyncThread> AsyncThreadObject;
std::unique_ptr<SocketThread> SocketThreadObject;

std::string CommPathFor(std::int32_t port) { return "\\\\.\\COM" + std::to_string(port); }

std::string CommDisplayName(std::size_t maxLen) {
    const std::string path = CommPortName.get();
    return path.size() > 4 ? path.substr(4, maxLen) : std::string();
}

namespace {

std::mutex handoffMutex;
std::shared_ptr<StatusHandoff> statusHandoff;

}  // namespace

void SetStatusHandoff(std::shared_ptr<StatusHandoff> handoff) {
    std::lock_guard lock(handoffMutex);
    statusHandoff = std::move(handoff);
}

void HandOffStatus(BridgeStatus status) {
    std::shared_ptr<StatusHandoff> handoff;
    {
        std::lock_guard lock(handoffMutex);
        handoff = statusHandoff;
    }
    if (handoff) handoff->Run(status);
}

namespace trace {

bool Enabled() { return plat::ConsoleAttached(); }

void Line(std::string_view text) {
    if (!Enabled()) return;
    std::string out;
    out.reserve(text.size() + 1);
    out.append(text);
    out.push_back('\n');
    plat::ConsoleWrite(out);
}

void LineNum(std::string_view text, long long number) {
    if (!Enabled()) return;
    char digits[24];
    auto res = std::to_chars(digits, digits + sizeof digits, number);
    std::string out;
    out.reserve(text.size() + 24);
    out.append(text);
    out.append(digits, res.ptr);
    out.push_back('\n');
    plat::ConsoleWrite(out);
}

void Piece(std::string_view text) {
    if (!Enabled()) return;
    plat::ConsoleWrite(text);
}

void Echo(std::uint8_t byte) {
    if (!Enabled()) return;
    const char echo[2] = {'.', static_cast<char>(byte)};
    plat::ConsoleWrite(std::string_view(echo, 2));
}

void AppendByteBlock(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    std::size_t text = 0;
    while (text < count && bytes[text] != 0) ++text;
    out.append(count - text, ' ');
    out.append(reinterpret_cast<const char*>(bytes), text);
}

void ChunkLine(std::string_view prefix, const std::uint8_t* bytes, std::size_t count,
               std::string_view marker, std::string_view suffix) {
    if (!Enabled()) return;
    std::string out;
    out.reserve(prefix.size() + marker.size() + suffix.size() + count + 24);
    out.append(prefix);
    out.append(std::to_string(count));
    out.append(marker);
    AppendByteBlock(out, bytes, count);
    out.append(suffix);
    out.push_back('\n');
    plat::ConsoleWrite(out);
}

}  // namespace trace
