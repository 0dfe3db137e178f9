#include "bridge/servsock.h"

#include <string>

#include "bridge/bridge_state.h"
#include "bridge/devline.h"
#include "bridge/servasyn.h"
#include "panel/UnIni.h"
#include "platform/desktop.h"
#include "platform/serial.h"
#include "platform/socket.h"

namespace {

void CloseClient(plat::Socket client) {
    plat::shutdown(client, plat::kSdSend);
    plat::closesocket(client);
}

}  // namespace

SocketThread::~SocketThread() = default;

void SocketThread::SyncShowConnected() { HandOffStatus(BridgeStatus::Connected); }
void SocketThread::SyncShowDisconnected() { HandOffStatus(BridgeStatus::Disconnected); }
void SocketThread::SyncShowServerError() { HandOffStatus(BridgeStatus::Error); }

void SocketThread::Execute() {
    try {
        while (ListenSocket.load() != plat::kInvalidSocket) {
            if (AcceptedSocket.load() == plat::kInvalidSocket)
                AcceptStep();
            else
                ReceiveStep();
        }
    } catch (...) {
        plat::desktop().MessageBox("Fatal error. Socket Thread exception. Need Reload server ",
                                   "Serial-Tcp/Ip", plat::MsgIcon::Error);
    }
    trace::Line("Socket Thread Finished");
}

void SocketThread::AcceptStep() {
    trace::Line("");
    trace::Line("Accept...");
    AcceptedSocketCopy.store(AcceptedSocket.load());
    const plat::Socket client = plat::accept(ListenSocket.load());
    AcceptedSocket.store(client);
    if (client == plat::kInvalidSocket) {
        trace::LineNum("Error when accept :", client);
        return;
    }
    AcceptedSocketCopy.exchange(client);
    trace::Line("AcceptedSocket");
    SyncShowConnected();

    bool opened = false;
    for (int tries = 1; tries <= devline::kOpenTries; ++tries) {
        if (OpenCommPort()) {
            opened = true;
            break;
        }
        trace::LineNum("Socket tread. Can't open port. Try: ", tries);
        plat::Sleep(devline::kOpenPauseMs);
    }

    if (opened) {
        // A port kept open between clients may hold what the device sent
        // while nobody was connected; it must not reach this client.
        plat::PurgeComm(CommHandle.load(), plat::kPurgeRxClear);
        AsyncThreadObject->Resume();
        trace::Line("Accepted Socket. Resume Async Tread.");
        SyncShowConnected();
        return;
    }

    trace::Line("Socket tread. Can't open port. Shutdown Accepted Socket");
    const plat::Socket current = AcceptedSocket.load();
    if (current != plat::kInvalidSocket) {
        CloseClient(current);
        AcceptedSocket.store(plat::kInvalidSocket);
    }
    SyncShowServerError();
}

void SocketThread::ReceiveStep() {
    trace::Line("Recv...");
    plat::WSASetLastError(0);
    const plat::Socket client = AcceptedSocket.load();
    if (client != AcceptedSocketCopy.load() || client == plat::kInvalidSocket)
        trace::LineNum("Recv...bad AcceptedSocket:", client);

    std::uint8_t chunk[devline::kRecvChunk];
    const int received = plat::recv(client, chunk, devline::kRecvChunk);
    if (received <= 0)
        EndOfConnection(received < 0 ? -1 : 0);
    else
        ForwardChunk(chunk, received);
}

void SocketThread::ForwardChunk(const std::uint8_t* chunk, int count) {
    trace::Line("Flush comport rx");
    plat::PurgeComm(CommHandle.load(), plat::kPurgeRxClear);
    trace::Piece("***");

    const plat::Socket copy = AcceptedSocketCopy.load();
    const plat::Socket current = AcceptedSocket.load();
    if (current != copy)
        trace::Piece(current == plat::kInvalidSocket ? "AcceptedSocket=INVALID_SOCKET"
                                                     : "AcceptedSocket<>AcceptedSocketCopy");

    const plat::Socket previous = AcceptedSocket.exchange(copy);
    if (previous != copy) {
        // The reader ended the connection after this chunk was received.
        trace::Piece("Invalid AcceptedSocket. Can't sent. Break ");
        AcceptedSocket.exchange(plat::kInvalidSocket);
        SyncShowServerError();
    } else {
        for (int i = 0; i < count; ++i) {
            const std::uint8_t byte = chunk[i];
            std::uint32_t written = 0;
            if (!WriteComm(CommHandle.load(), &byte, 1, written)) {
                trace::Piece("Comm Error. Can't sent: " + std::string(1, static_cast<char>(byte)));
                break;
            }
            trace::Echo(byte == '\r' || byte == '\n' ? '?' : byte);
        }
    }
    trace::Piece("***");
    trace::Line("");
    trace::Piece("---");
}

void SocketThread::EndOfConnection(int received) {
    trace::Line("Wait LoopEvent");
    const std::uint32_t waitResult = LoopEvent->Wait(devline::kIdleWaitMs);
    trace::LineNum("Wait LoopEvent result: ", waitResult);
    if (received == -1)
        trace::LineNum("AcceptedSocket:", AcceptedSocket.load());
    else
        trace::LineNum("ServerRecLen:", received);

    const plat::Socket client = AcceptedSocket.load();
    if (client != plat::kInvalidSocket) {
        CloseClient(client);
        AcceptedSocket.store(plat::kInvalidSocket);
    }

    AsyncThreadObject->Suspend();
    trace::Line("Async Thread Suspend");
    trace::Line("Recv: " + std::to_string(received) +
                " Closed Accepted Socket. LastError:" + std::to_string(plat::WSAGetLastError()));
    for (int check = 0; check < devline::kSuspendChecks; ++check) {
        trace::LineNum("Socket tread. Wait suspend. Try: ", check);
        if (AsyncThreadObject->Suspended()) break;
        plat::Sleep(devline::kSuspendCheckPauseMs);
    }

    const std::uint8_t zero = devline::kEndOfReply;
    std::uint32_t transferred = 0;
    WriteComm(CommHandle.load(), &zero, 1, transferred);
    trace::Line("Write: 0");
    trace::Line("Wait: 0 on Comm");

    for (int tries = 0;;) {
        std::uint8_t byte = 0xFF;
        ReadComm(CommHandle.load(), &byte, 1, transferred);
        if (transferred == 1) {
            if (byte == devline::kEndOfReply) break;
            // Other bytes before the device's 0 do not count as tries, and
            // they restart the count: a reply still streaming after its
            // client left must be taken off the line whole, or its rest
            // would reach the next client.
            tries = 0;
            continue;
        }
        ++tries;
        trace::LineNum("Socket tread. Wait EOF(0) from Quarn. Try: ", tries);
        plat::Sleep(devline::kEofPauseMs);
        if (tries >= devline::kEofTries) break;
    }

    // A port whose device vanished is closed even when it is meant to stay
    // open, so the next client's open finds the device once it is back.
    const bool keepOpen = IniParams && IniParams->DontCloseCommPort.load();
    if (!keepOpen || CommLineGone(CommHandle.load())) CloseCommPort();
    SyncShowDisconnected();
}
