#include "bridge/bridge_assembly.h"

#include "bridge/bridge_state.h"
#include "bridge/servasyn.h"
#include "bridge/servsock.h"
#include "panel/UnIni.h"
#include "platform/socket.h"

namespace bridge {

namespace {

std::int32_t listeningPort = 0;

plat::Socket Listen(const Settings& settings, std::string* error) {
    const plat::Socket listener = plat::socket();
    if (listener == plat::kInvalidSocket) {
        if (error) *error = "cannot create a socket";
        return plat::kInvalidSocket;
    }
    const int bound = settings.bindAddress
                          ? plat::bindAddress(listener, settings.bindAddress, settings.tcpPort)
                          : plat::bindAny(listener, settings.tcpPort);
    if (bound != 0 || plat::listen(listener, 1) != 0) {
        if (error) *error = "cannot listen on port " + std::to_string(settings.tcpPort);
        plat::closesocket(listener);
        return plat::kInvalidSocket;
    }
    return listener;
}

}  // namespace

bool Start(const Settings& settings, std::string* error) {
    int granted = 0;
    plat::WSAStartup(plat::kWsaVersion11, &granted);
    if (!IniParams) IniParams = std::make_unique<TProgramIniParam>(std::string());
    IniParams->ComPort = settings.comPort;
    IniParams->ComSpeed = settings.comSpeed;
    IniParams->CtsFlowEnable = settings.ctsFlow;
    IniParams->DontCloseCommPort = settings.dontCloseCommPort;
    IniParams->SentDelay = settings.sentDelay;

    CommPortName.set(CommPathFor(settings.comPort));
    CommSpeed = settings.comSpeed;
    LoopEvent = std::make_unique<plat::Event>(true, false);
    ListenSocket = AcceptedSocket = AcceptedSocketCopy = plat::kInvalidSocket;
    CommHandle = plat::kInvalidHandle;

    const plat::Socket listener = Listen(settings, error);
    if (listener == plat::kInvalidSocket) return false;
    listeningPort = plat::localPort(listener);
    TcpPort = settings.tcpPort == 0 ? listeningPort : settings.tcpPort;
    IniParams->TcpIpPort = TcpPort.load();
    ListenSocket = listener;

    SocketThreadObject = std::make_unique<SocketThread>();
    AsyncThreadObject = std::make_unique<AsyncThread>();
    if (!SocketThreadObject->Start() || !AsyncThreadObject->Start()) {
        if (error) *error = "cannot start the worker threads";
        Stop();
        return false;
    }
    return true;
}

std::int32_t ListeningPort() { return listeningPort; }

void Stop() {
    // Ending the loop test and waking the blocked calls is all it takes:
    // the socket thread leaves after its pass, the reader at its next test.
    const plat::Socket listener = ListenSocket.exchange(plat::kInvalidSocket);
    if (listener != plat::kInvalidSocket) plat::closesocket(listener);
    const plat::Socket client = AcceptedSocket.load();
    if (client != plat::kInvalidSocket) plat::closesocket(client);
    if (AsyncThreadObject) AsyncThreadObject->Terminate();
    CloseCommPort();
    if (AsyncThreadObject) AsyncThreadObject->Resume();
    if (SocketThreadObject) SocketThreadObject->Join();
    if (AsyncThreadObject) {
        AsyncThreadObject->Resume();
        CloseCommPort();
        AsyncThreadObject->Join();
    }
    CloseCommPort();
    SocketThreadObject.reset();
    AsyncThreadObject.reset();
    AcceptedSocket = AcceptedSocketCopy = plat::kInvalidSocket;
    LoopEvent.reset();
    TcpPort = 5000;
    CommSpeed = 115200;
    CommPortName.set("COM4");
    MustClose = false;
    listeningPort = 0;
}

}  // namespace bridge
