#include "bridge/servasyn.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "bridge/bridge_state.h"
#include "bridge/devline.h"
#include "panel/UnIni.h"
#include "platform/desktop.h"
#include "platform/socket.h"

namespace {

constexpr const char* kFatalCaption = "Fatal Error";
constexpr const char* kThreadFailureCaption = "Serial-Tcp/Ip";

// Opening and closing come from three threads (start-up and the options
// window, the socket server, autodetection). The lock covers only the
// change of CommHandle and CommPortOpened, so the pair never disagrees and
// a handle is never lost between two of them; line set-up and closing run
// outside it because they may show a message box.
std::mutex portStateMutex;

bool CtsFlowWanted() { return IniParams ? IniParams->CtsFlowEnable.load() : false; }

void FatalBox(const char* text) {
    plat::desktop().MessageBox(text, kFatalCaption, plat::MsgIcon::Error);
}

void ClearLineErrors(plat::Handle handle) {
    std::uint32_t ignored = 0;
    plat::ClearCommError(handle, &ignored);
}

bool ReadCommWith(plat::Handle handle, void* buffer, std::uint32_t maxLength,
                  std::uint32_t& read, plat::Overlapped& record) {
    read = 0;
    std::uint32_t queued = 0;
    if (!plat::ClearCommError(handle, &queued)) return false;
    const std::uint32_t n = std::min(queued, maxLength);
    if (n == 0) return true;
    if (plat::ReadFile(handle, buffer, n, &read, record)) return true;
    if (plat::LastError() == plat::kErrIoPending) {
        for (;;) {
            if (plat::GetOverlappedResult(handle, record, &read, true)) return true;
            if (plat::LastError() != plat::kErrIoIncomplete) break;
        }
    }
    ClearLineErrors(handle);
    return false;
}

bool WriteCommWith(plat::Handle handle, const void* bytes, std::uint32_t length,
                   std::uint32_t& written, plat::Overlapped& record) {
    written = 0;
    if (plat::WriteFile(handle, bytes, length, &written, record)) return true;
    if (plat::LastError() != plat::kErrIoPending) {
        trace::Line("TX SEND ERROR");
        ClearLineErrors(handle);
        written = 0;
        return false;
    }
    for (int incomplete = 0;;) {
        if (plat::GetOverlappedResult(handle, record, &written, true)) return true;
        if (plat::LastError() != plat::kErrIoIncomplete) {
            trace::Line("NOT ERROR_IO_INCOMPLETE");
            ClearLineErrors(handle);
            return false;
        }
        if (++incomplete >= devline::kWriteIncompleteTries) {
            trace::Line("TX SEND ERROR. MAYBE CTS FLOW ERROR.");
            ClearLineErrors(handle);
            return false;
        }
        plat::Sleep(1);
    }
}

}  // namespace

bool OpenCommPort() {
    plat::Handle handle;
    {
        std::lock_guard lock(portStateMutex);
        if (CommPortOpened.load()) {
            handle = plat::kInvalidHandle;
        } else {
            handle = plat::OpenSerial(CommPortName.get());
            CommHandle.store(handle);
            CommPortOpened.store(handle != plat::kInvalidHandle);
            if (handle == plat::kInvalidHandle) {
                const std::uint32_t error = plat::LastError();
                trace::Line("OpenCommPort() error. INVALID_HANDLE_VALUE after create");
                // Start-up reads the open's error code right after we return.
                plat::SetLastError(error);
                return false;
            }
        }
    }
    if (handle == plat::kInvalidHandle) {
        trace::Line("Port is opened.");
        return true;
    }
    plat::SetCommTimeouts(handle);
    SetupCommPort(handle, !CtsFlowWanted());
    trace::Line("Port opened.");
    return true;
}

void CloseCommPort() {
    plat::Handle handle;
    {
        std::lock_guard lock(portStateMutex);
        if (!CommPortOpened.load()) {
            handle = plat::kInvalidHandle;
        } else {
            handle = CommHandle.exchange(plat::kInvalidHandle);
            CommPortOpened.store(false);
        }
    }
    if (handle == plat::kInvalidHandle) {
        trace::Line("Comport is closed.");
        return;
    }
    // Dropping the handshake and purging both ways ends any read, write or
    // wait still pending on the port before the handle goes. A line whose
    // device vanished has nothing to set up, and trying would hold the
    // closing thread in an error box until someone dismissed it.
    if (!CommLineGone(handle)) SetupCommPort(handle, true);
    plat::CloseSerial(handle);
    trace::Line("Comport closed.");
}

void SetupCommPort(plat::Handle handle, bool noFlowControl) {
    plat::LineConfig dcb;
    dcb.baudRate = static_cast<std::uint32_t>(CommSpeed.load());
    dcb.flags = noFlowControl ? devline::kFlagsNoFlowControl : devline::kFlagsCtsFlowControl;
    dcb.xonLim = 5;
    dcb.xoffLim = 10;
    dcb.byteSize = 8;
    dcb.parity = 0;
    dcb.stopBits = 0;
    if (!plat::SetupQueues(handle, devline::kQueueSize, devline::kQueueSize))
        FatalBox("SetupComm failed");
    if (!plat::SetCommMask(handle, plat::kEvRxChar)) FatalBox("Can't set serial port mask");
    if (!plat::SetCommState(handle, dcb)) FatalBox("Can't set serial port parametrs");
    plat::PurgeComm(handle, devline::kPurgeAll);
}

bool ReadComm(plat::Handle handle, void* buffer, std::uint32_t maxLength, std::uint32_t& read) {
    return ReadCommWith(handle, buffer, maxLength, read, ReadOverlapped);
}

bool WriteComm(plat::Handle handle, const void* bytes, std::uint32_t length,
               std::uint32_t& written) {
    return WriteCommWith(handle, bytes, length, written, WriteOverlapped);
}

bool CommLineGone(plat::Handle handle) {
    std::uint32_t queued = 0;
    return !plat::ClearCommError(handle, &queued) && plat::LastError() == plat::kErrDeviceGone;
}

// ---------------------------------------------------------------------------
// Device probe

namespace {

// The probe runs on the user-interface thread while the worker threads may
// be reading and writing the bridge's port: it uses I/O records of its own.
plat::Overlapped probeReadRecord;
plat::Overlapped probeWriteRecord;

void PauseAfterByte() {
    const std::int32_t delay = IniParams ? IniParams->SentDelay.load() : 1;
    if (delay >= 0) {
        plat::Sleep(static_cast<std::uint32_t>(delay));
        return;
    }
    for (int i = 0; i < devline::kNegativeDelayYields; ++i) plat::Sleep(0);
}

}  // namespace

std::uint32_t TestCommPort(std::int32_t port) {
    const plat::Handle handle = plat::OpenSerial(CommPathFor(port));
    if (handle == plat::kInvalidHandle) return plat::LastError();
    plat::CloseSerial(handle);
    return 0;
}

bool OpenProbePort(std::int32_t port, plat::Handle& handle) {
    handle = plat::OpenSerial(CommPathFor(port));
    if (handle == plat::kInvalidHandle) return false;
    plat::SetCommTimeouts(handle);
    SetupCommPort(handle, true);
    return true;
}

void SendWithDelay(plat::Handle handle, const std::uint8_t* bytes, std::uint32_t length,
                   std::int32_t& sent) {
    sent = 0;
    trace::Piece("***");
    for (std::uint32_t i = 0; i < length; ++i) {
        std::uint32_t written = 0;
        if (!WriteCommWith(handle, &bytes[i], 1, written, probeWriteRecord)) break;
        trace::Echo(bytes[i]);
        sent += static_cast<std::int32_t>(written);
        PauseAfterByte();
    }
    trace::Piece("***");
    trace::Line("");
}

bool ProbeDevice(std::int32_t port) {
    trace::LineNum("Try Com", port);
    plat::Handle handle;
    if (!OpenProbePort(port, handle)) {
        trace::LineNum("Can't open comport. error: ", plat::LastError());
        return false;
    }
    const auto* request = reinterpret_cast<const std::uint8_t*>(devline::kIdRequest.data());
    const auto requestLength = static_cast<std::uint32_t>(devline::kIdRequest.size());
    std::int32_t sent = 0;
    SendWithDelay(handle, request, requestLength, sent);
    if (sent != static_cast<std::int32_t>(requestLength)) {
        plat::CloseSerial(handle);
        return false;
    }

    std::uint8_t reply[devline::kProbeReadMax + 1] = {};
    std::uint32_t got = 0;
    plat::Sleep(devline::kProbeFirstReadMs);
    ReadCommWith(handle, reply, devline::kProbeReadMax, got, probeReadRecord);
    if (got == 0) {
        plat::Sleep(devline::kProbeSecondReadMs);
        ReadCommWith(handle, reply, devline::kProbeReadMax, got, probeReadRecord);
    }

    bool found = false;
    if (got > 0) {
        trace::ChunkLine("CRead: ", reply, got, "***", " ***");
        const std::string_view bytes(reinterpret_cast<const char*>(reply), got);
        found = bytes.find(devline::kIdMarker) != std::string_view::npos;
    } else {
        trace::Line("CRead: 0 bytes");
    }
    plat::CloseSerial(handle);
    return found;
}

// ---------------------------------------------------------------------------
// Serial reader thread

AsyncThread::~AsyncThread() = default;

void AsyncThread::Execute() {
    std::uint32_t eventMask = 0;
    try {
        while (!Terminated()) {
            Pass(eventMask);
            Checkpoint();
        }
    } catch (...) {
        plat::desktop().MessageBox("Fatal error. Async Thread exception. Need Reload server ",
                                   kThreadFailureCaption, plat::MsgIcon::Error);
    }
    trace::Line("Async Thread Finished");
}

void AsyncThread::Pass(std::uint32_t& eventMask) {
    const plat::Handle handle = CommHandle.load();
    if (handle == plat::kInvalidHandle) {
        trace::Line("INVALID_HANDLE_VALUE waiting restore");
        SafeSleep(devline::kPortClosedPauseMs);
        return;
    }

    std::uint8_t buffer[devline::kReadChunk + 1];
    std::uint32_t count = 0;
    if (eventMask & plat::kEvRxChar) {
        ReadComm(handle, buffer, devline::kReadChunk, count);
        eventMask = 0;
    } else {
        SafeSleep(devline::kPollPauseMs);
        const bool readOk = ReadComm(handle, buffer, devline::kReadChunk, count);
        if (count == 0 && !readOk && plat::LastError() == plat::kErrDeviceGone) {
            // The device vanished mid-reply: no 0 byte will ever come, so the
            // client's connection is ended here, and the line counts as idle
            // so the socket server's handshake need not wait for it.
            LoopEvent->Set();
            trace::Line("Comport lost.");
            EndClientConnection();
            SafeSleep(devline::kPortClosedPauseMs);
            return;
        }
        if (count == 0) {
            LoopEvent->Set();
            // Suspension may land in here: the wait touches nothing the
            // socket server thread uses meanwhile, and we park on the way out.
            EnterSafeRegion();
            if (!plat::WaitCommEvent(handle, &eventMask)) eventMask = 0;
            LeaveSafeRegion();
        }
        LoopEvent->Reset();
    }

    if (count == 0) {
        if (eventMask == 0) LoopEvent->Reset();
        return;
    }
    LoopEvent->Reset();
    buffer[count] = 0;
    ForwardChunk(buffer, count);
}

void AsyncThread::ForwardChunk(std::uint8_t* buffer, std::uint32_t count) {
    if (count == 1 && buffer[0] == devline::kEndOfReply)
        trace::Line("ComRead: EOF(0)");
    else
        trace::ChunkLine("ComRead: ", buffer, count, "*** ", " ***");

    if (AcceptedSocket.load() == plat::kInvalidSocket && TcpPort.load() != -1) return;

    MustClose.store(false);
    std::uint32_t offset = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (buffer[i] == devline::kEndOfReply) {
            count = i;
            MustClose.store(true);
            trace::LineNum("Must close: ", i);
            break;
        }
    }

    while (count > 0) {
        const int put = plat::send(AcceptedSocket.load(), buffer + offset, static_cast<int>(count));
        trace::LineNum(" put:", put);
        if (put == plat::kSocketError || AcceptedSocket.load() == plat::kInvalidSocket) {
            trace::Line("Socket send error. Len: " + std::to_string(count) +
                        " put:" + std::to_string(put) +
                        "---------------------------------------------------");
            break;
        }
        offset += static_cast<std::uint32_t>(put);
        count -= static_cast<std::uint32_t>(put);
    }

    if (!MustClose.load()) return;
    trace::Line("0-shutdown acceptet socket");
    EndClientConnection();
}

void AsyncThread::EndClientConnection() {
    const plat::Socket client = AcceptedSocket.load();
    if (client == plat::kInvalidSocket) return;
    plat::shutdown(client, plat::kSdSend);
    plat::closesocket(client);
    AcceptedSocket.exchange(plat::kInvalidSocket);
    plat::Sleep(0);
    trace::Line("AcceptedSocket set to INVALID_SOCKET ");
}
