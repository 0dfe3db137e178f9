#include "panel/servmain.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>

#include <QCoreApplication>

#include "bridge/servsock.h"
#include "panel/UnIni.h"
#include "panel/i18n.h"
#include "panel/qt_loop.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/lifecycle.h"
#include "platform/profile.h"
#include "platform/socket.h"

std::array<PortState, devline::kPortCount> PortStates{};

namespace {

constexpr const char* kVersionCaption = "Version: 02.705";
constexpr const char* kTrayTip = "PLMX Server";
constexpr const char* kFatalCaption = N_("Fatal Error");
constexpr const char* kLinkPrefix = "http://localhost:";
constexpr const char* kDefaultPortText = "5000";
// The notification record's size once filled in; zero means "not set up".
constexpr std::uint32_t kTrayRecordSize = 88;
constexpr int kTrayIconId = 1;
constexpr int kLeftDoubleClick = 0x0203;
constexpr int kRightButtonDown = 0x0204;
// A listening socket that was just closed may hold the port a moment longer.
constexpr std::uint32_t kRelistenPauseMs = 100;
// The exit status of a start or a run that ended because something failed.
constexpr int kFailureExit = 1;

using Box = FormView::Box;
using Item = FormView::Item;

// Closing the debug console ends the program at once, as the default
// handling of a console's close does: no orderly shut-down.
[[noreturn]] void EndProcessAtOnce() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

int ListIndexFor(std::int32_t comPort) {
    return comPort >= 1 && comPort <= devline::kPortCount ? comPort - 1 : -1;
}

// The controls without a display: plain values, and standard output as the
// debug console.
class PlainView : public FormView {
public:
    explicit PlainView(TForm1& form) : form_(form) {
        for (int i = 0; i < devline::kPortCount; ++i)
            comPortTexts_[static_cast<std::size_t>(i)] = "Com" + std::to_string(i + 1);
    }

    void Translate() override {}
    std::string Caption() const override { return caption_; }
    void SetCaption(const std::string& text) override { caption_ = text; }
    int ComPortIndex() const override { return comPortIndex_; }
    void SetComPortIndex(int index) override {
        comPortIndex_ = index >= 0 && index < devline::kPortCount ? index : -1;
    }
    std::string ComPortText(int index) const override {
        return comPortTexts_.at(static_cast<std::size_t>(index));
    }
    void SetComPortText(int index, const std::string& text) override {
        comPortTexts_.at(static_cast<std::size_t>(index)) = text;
    }
    bool Checked(Box box) const override { return boxes_[static_cast<int>(box)]; }
    void SetChecked(Box box, bool checked) override {
        bool& value = boxes_[static_cast<int>(box)];
        if (value == checked) return;
        value = checked;
        switch (box) {
            case Box::Cts: form_.CheckBoxCtsClick(); break;
            case Box::DontClose: form_.CheckBoxDontCloseClick(); break;
            case Box::DebugWindow: form_.CheckBoxDebugWindowClick(); break;
        }
    }
    std::string PortText() const override { return portText_; }
    void SetPortText(const std::string& text) override {
        if (portText_ == text) return;
        portText_ = text;
        form_.EditIPPortChange();
    }
    std::string LinkText() const override { return linkText_; }
    void SetLinkText(const std::string& text) override { linkText_ = text; }
    void FocusPortField() override {}
    std::string ItemCaption(Item item) const override { return items_[static_cast<int>(item)]; }
    void SetItemCaption(Item item, const std::string& text) override {
        items_[static_cast<int>(item)] = text;
    }
    void ShowWindow() override {}
    void HideWindow() override {}
    void MinimizeWindow() override {}
    void PopupMenu() override {}
    void SetBusy(bool) override {}

    bool OpenConsole() override {
        if (plat::ConsoleAttached()) return false;
        plat::AttachConsole(plat::MakeStdoutConsole());
        return true;
    }
    void CloseConsole() override { plat::AttachConsole(nullptr); }
    void SetConsoleTitle(const std::string&) override {}
    void SetConsoleHandler(std::function<void()>) override {}

private:
    TForm1& form_;
    std::string caption_ = "Serial-Tcp/Ip";
    int comPortIndex_ = -1;
    std::array<std::string, devline::kPortCount> comPortTexts_;
    bool boxes_[3] = {false, false, false};
    std::string portText_ = "5000";
    std::string linkText_ = "http://localhost:5000";
    std::string items_[3] = {"Quarn Server", "", "Version"};
};

class BusyScope {
public:
    explicit BusyScope(FormView& view) : view_(view) { view_.SetBusy(true); }
    ~BusyScope() { view_.SetBusy(false); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    FormView& view_;
};

}  // namespace

// Status changes asked for by the worker threads run on the user-interface
// thread while the worker waits. The form pointer is read and cleared there
// only, so a form that is gone is never reached.
class FormStatusHandoff : public StatusHandoff {
public:
    explicit FormStatusHandoff(TForm1* form) : form_(form) {}
    void Run(BridgeStatus status) override {
        panel::RunOnUiThread([this, status] {
            if (form_) form_->ShowStatus(status);
        });
    }
    void Detach() { form_ = nullptr; }

private:
    TForm1* form_;
};

// ------------------------------------------------------------ TForm1

TForm1::TForm1(Options options)
    : options_(std::move(options)), handoff_(std::make_shared<FormStatusHandoff>(this)) {
    view_ = options_.makeView ? options_.makeView(*this) : std::make_unique<PlainView>(*this);
    SetStatusHandoff(handoff_);
}

TForm1::~TForm1() {
    handoff_->Detach();
    SetStatusHandoff(nullptr);
}

void TForm1::RunHandler(void (TForm1::*handler)()) {
    try {
        (this->*handler)();
    } catch (const EIniFileException& e) {
        plat::desktop().MessageBox(e.what(), panel::kApplicationTitle, plat::MsgIcon::Error);
    }
}

// ------------------------------------------------------------ start-up

void TForm1::FatalStop(const std::string& text, bool translated) {
    plat::desktop().MessageBox(translated ? tr_(text) : text,
                               translated ? tr_(kFatalCaption) : std::string(kFatalCaption),
                               plat::MsgIcon::Error);
    plat::desktop().PostQuit(kFailureExit);
}

void TForm1::FormCreate() {
    // The language, and the window's texts translated once.
    InitTranslation(options_.catalogueDir.empty() ? plat::ExecutableDirectory()
                                                  : options_.catalogueDir);
    view_->Translate();
    // Set after the translation, so the version is never translated.
    view_->SetItemCaption(Item::Version, kVersionCaption);
    // One record per entry of the port list.
    PortStates.fill(PortState{});

    // The operating system must tell what it is. (No platform it runs on
    // is too old to refuse.)
    std::string osVersion;
    if (!plat::OperatingSystemVersion(osVersion)) {
        FatalStop(N_("Can't get OS version"), true);
        return;
    }

    // Settings; a missing file may ask to terminate, start-up goes on.
    IniParams = options_.settingsPath.empty()
                    ? std::make_unique<TProgramIniParam>()
                    : std::make_unique<TProgramIniParam>(options_.settingsPath);

    // Into the bridge state.
    CommPortName.set(CommPathFor(IniParams->ComPort));
    CommSpeed = IniParams->ComSpeed.load();
    TcpPort = IniParams->TcpIpPort.load();

    // Into the window; the check boxes run their handlers, which opens
    // the debug console when Verbose is set.
    const std::int32_t comPort = IniParams->ComPort;
    view_->SetComPortIndex(ListIndexFor(comPort));
    view_->SetChecked(Box::Cts, IniParams->CtsFlowEnable);
    view_->SetChecked(Box::DontClose, IniParams->DontCloseCommPort);
    view_->SetChecked(Box::DebugWindow, IniParams->Verbose);

    // The start-up form of the console title.
    if (IniParams->Verbose) {
        view_->OpenConsole();
        view_->SetConsoleTitle("PLMX " + tr_("Communication Verbose console"));
        RegisterConsoleHandler();
    }

    // The I/O records start empty. (The port layer carries their
    // completion, so there is no event to create and nothing to fail.)
    ReadOverlapped = plat::Overlapped{};
    WriteOverlapped = plat::Overlapped{};

    // No threads yet; the tray record is not set up.
    AsyncThreadObject.reset();
    SocketThreadObject.reset();
    trayIconSize_ = 0;

    LoopEvent = std::make_unique<plat::Event>(true, false);
    ListenSocket = plat::kInvalidSocket;
    AcceptedSocket = plat::kInvalidSocket;
    AcceptedSocketCopy = plat::kInvalidSocket;
    CommHandle = plat::kInvalidHandle;

    // A bridge without a TCP side has no socket layer at all.
    if (TcpPort != -1) {
        int granted = 0;
        if (plat::WSAStartup(plat::kWsaVersion11, &granted) != 0 ||
            granted != plat::kWsaVersion11) {
            FatalStop(N_("No suitable version of socket found"), true);
            return;
        }
        ListenSocket = plat::socket();
        if (ListenSocket == plat::kInvalidSocket) {
            FatalStop(N_("Can't open TCP socket"), true);
            return;
        }
        if (plat::setBlocking(ListenSocket, true) != 0) {
            FatalStop(N_("Can't set socket mode"), true);
            return;
        }
        // A port that cannot be bound may be replaced by the user.
        if (plat::bindAny(ListenSocket, TcpPort) != 0) {
            if (!BindWithPortDialog()) return;
            IniParams->TcpIpPort = TcpPort.load();
        }
        if (plat::listen(ListenSocket, 1) != 0) {
            FatalStop(N_("Can't listen"), true);
            return;
        }
    }

    // The COM port must open; it stays closed until a client comes.
    if (OpenCommPort()) {
        CloseCommPort();
    } else {
        ShowComPortMessage(plat::LastError());
        Options1Click();
    }

    // Both thread objects exist before either thread runs, and the
    // reader is started (parked) first: the socket server thread resumes it
    // as soon as a client connects.
    AsyncThreadObject = std::make_unique<AsyncThread>();
    SocketThreadObject = std::make_unique<SocketThread>();
    const auto stopListening = [] {
        const plat::Socket listener = ListenSocket.exchange(plat::kInvalidSocket);
        if (listener != plat::kInvalidSocket) plat::closesocket(listener);
    };
    if (!AsyncThreadObject->Start()) {
        stopListening();
        FatalStop("Can't run serial thread", false);
        return;
    }
    if (!SocketThreadObject->Start()) {
        stopListening();
        FatalStop("Can't run socket thread", false);
        return;
    }

    UpdatePortsCaption();
    // Without a display there is no notification area to ask.
    if (view_->Window()) SetUpTrayIcon();
    // The first status.
    if (TcpPort == -1)
        ShowConnected();
    else
        ShowDisconnected();
}

bool TForm1::BindWithPortDialog() {
    plat::Desktop& desk = plat::desktop();
    for (;;) {
        desk.MessageBox(tr_("Can't bind socket at port: ") + std::to_string(TcpPort.load()),
                        tr_(kFatalCaption), plat::MsgIcon::Error);
        if (!desk.Confirm(tr_("Do you want set other port number?"))) {
            desk.PostQuit(kFailureExit);
            return false;
        }
        std::string value = std::to_string(TcpPort.load());
        if (!desk.InputQuery(tr_("Set port number"), tr_("Enter other port number:"), value))
            continue;
        const std::optional<std::int32_t> port = StrToIntChecked(value);
        if (!port) {
            desk.ShowMessage(value + " " + tr_("bad integer value"));
            continue;
        }
        // Taken as typed: the address uses its low 16 bits.
        TcpPort = *port;
        if (plat::bindAny(ListenSocket, TcpPort) == 0) return true;
    }
}

void TForm1::ShowComPortMessage(std::uint32_t error) {
    const std::string port = CommDisplayName(10);
    std::string text = tr_("Error code: ") + std::to_string(error) + ". ";
    if (error == plat::kErrFileNotFound)
        text += port + " " + tr_("Port not exists ");
    else if (error == plat::kErrAccessDenied)
        text += port + " " + tr_("Port is busy ");
    else
        text += tr_("Unknown error at opening comport ") + port;
    plat::desktop().MessageBox(text, tr_("Error"), plat::MsgIcon::Error);
}

void TForm1::ShowAtStartup() { Options1Click(); }

// ------------------------------------------------------------ shut-down

void TForm1::FormDestroy() {
    destroying_ = true;
    // The workers are asked, not waited for: they end with the process.
    if (AsyncThreadObject) AsyncThreadObject->Terminate();
    if (SocketThreadObject) SocketThreadObject->Terminate();

    // Marking the listener invalid as it closes lets the socket server
    // thread leave its loop instead of retrying a dead socket.
    const plat::Socket client = AcceptedSocket.load();
    if (client != plat::kInvalidSocket) plat::closesocket(client);
    const plat::Socket listener = ListenSocket.exchange(plat::kInvalidSocket);
    if (listener != plat::kInvalidSocket) plat::closesocket(listener);

    // The port is left without hardware flow control, opened for that if
    // need be.
    if (IniParams) {
        plat::Handle handle = CommHandle.load();
        if (handle == plat::kInvalidHandle && OpenCommPort()) handle = CommHandle.load();
        if (handle != plat::kInvalidHandle) {
            SetupCommPort(handle, true);
            plat::CloseSerial(handle);
        }
    }

    if (TcpPort != -1) plat::WSACleanup();
    // The entry has removed the icon already; this one fails quietly.
    if (trayIconSize_ != 0) plat::desktop().TrayDelete();
    view_->CloseConsole();
    // Last, after everything that reads the settings: this writes the file.
    // The object itself stays, since the workers are not waited for.
    if (IniParams) IniParams->Release();
}

void TForm1::FormClose() {}

void TForm1::MIExitClick() {
    // Posted, not run here: the menu or dialog that asked returns first.
    QMetaObject::invokeMethod(
        this,
        [this] {
            FormClose();
            plat::desktop().PostQuit(0);
        },
        Qt::QueuedConnection);
}

void TForm1::RemoveTrayIcon() {
    if (trayIconSize_ != 0) plat::desktop().TrayDelete();
}

// ------------------------------------------------------------ tray and status

void TForm1::SetUpTrayIcon() {
    trayIconName_ = "SERVER_DISC";
    trayIconSize_ = kTrayRecordSize;
    trayShown_ = plat::desktop().TrayAdd({trayIconName_, kTrayTip});
    if (!trayShown_) plat::desktop().ShowMessage(tr_("Can't Add Notify Icon"));
}

void TForm1::TrayAppeared() { trayShown_ = trayIconSize_ != 0; }

void TForm1::SetStatus(const char* caption, const char* menuText, const char* icon) {
    // Hand-offs that reach a nested dialog during shut-down change nothing.
    if (destroying_) return;
    view_->SetCaption(tr_(caption));
    view_->SetItemCaption(Item::ServerName, "PLMX " + tr_(menuText));
    trayIconName_ = icon;
    plat::desktop().TrayModify({trayIconName_, kTrayTip});
}

void TForm1::ShowConnected() { SetStatus(N_("Connected"), N_("Server: On"), "SERVER_CONN"); }
void TForm1::ShowDisconnected() {
    SetStatus(N_("Disconnected"), N_("Server: Off"), "SERVER_DISC");
}
void TForm1::ShowServerError() { SetStatus(N_("Error"), N_("Server: error"), "SERVER_ERR"); }

void TForm1::ShowStatus(BridgeStatus status) {
    switch (status) {
        case BridgeStatus::Connected: ShowConnected(); break;
        case BridgeStatus::Disconnected: ShowDisconnected(); break;
        case BridgeStatus::Error: ShowServerError(); break;
    }
}

void TForm1::TrayIconMessage(int iconId, int mouseMessage) {
    if (iconId != kTrayIconId) return;
    if (mouseMessage == kLeftDoubleClick)
        Options1Click();
    else if (mouseMessage == kRightButtonDown)
        view_->PopupMenu();
}

void TForm1::TaskBarMenuPopup() { UpdatePortsCaption(); }

void TForm1::UpdatePortsCaption() {
    view_->SetItemCaption(Item::Ports, CommDisplayName(5) + " <-> " + std::to_string(TcpPort.load()));
}

// ------------------------------------------------------------ options window

void TForm1::Options1Click() { view_->ShowWindow(); }

void TForm1::HideOrMinimize() {
    // Without a tray icon a hidden window could not be brought back.
    if (trayShown_)
        view_->HideWindow();
    else
        view_->MinimizeWindow();
}

void TForm1::FormShow() {
    if (!IniParams) return;
    const std::int32_t comPort = IniParams->ComPort;
    view_->SetComPortIndex(ListIndexFor(comPort));
    view_->SetPortText(std::to_string(IniParams->TcpIpPort.load()));
}

void TForm1::Button1Click() {
    ButtonApplyClick();
    HideOrMinimize();
}

void TForm1::ButtonCancelClick() { HideOrMinimize(); }

void TForm1::ButtonApplyClick() {
    if (!IniParams) return;
    const std::optional<std::int32_t> number = StrToIntChecked(view_->PortText());
    if (!number) {
        view_->FocusPortField();
        return;
    }
    if (*number <= 0) {
        view_->SetPortText(kDefaultPortText);
        view_->FocusPortField();
        return;
    }

    bool changed = false;
    // No entry selected (a port number from the file outside the list)
    // leaves the port as it is rather than switching to a port 0.
    const int index = view_->ComPortIndex();
    if (index >= 0 && index + 1 != IniParams->ComPort) {
        const std::int32_t port = index + 1;
        IniParams->ComPort = port;
        changed = true;
        CloseCommPort();
        CommPortName.set(CommPathFor(port));
        CommSpeed = IniParams->ComSpeed.load();
        TcpPort = IniParams->TcpIpPort.load();
        // A failure shows in the trace only.
        OpenCommPort();
    }

    if (*number == IniParams->TcpIpPort) {
        if (changed) IniParams->Save();
        return;
    }

    IniParams->TcpIpPort = *number;
    TcpPort = *number;
    if (!RecreateListenSocket()) return;
    IniParams->Save();
}

bool TForm1::RecreateListenSocket() {
    // The socket server thread keeps running: its pending receive or accept
    // fails as the old sockets close, and it accepts again once the new
    // listener is in place.
    const plat::Socket client = AcceptedSocket.load();
    if (client != plat::kInvalidSocket) plat::closesocket(client);
    const plat::Socket old = ListenSocket.load();
    if (old != plat::kInvalidSocket) plat::closesocket(old);
    plat::Sleep(kRelistenPauseMs);

    // The new socket is handed over only once it listens, so the thread
    // never accepts on a half-made one.
    const plat::Socket fresh = plat::socket();
    const auto fail = [&](const std::string& text, bool translated) {
        if (fresh != plat::kInvalidSocket) plat::closesocket(fresh);
        ListenSocket = plat::kInvalidSocket;
        FatalStop(text, translated);
        return false;
    };
    if (fresh == plat::kInvalidSocket) return fail("Can't open TCP socket", false);
    if (plat::setBlocking(fresh, true) != 0) return fail("Can't set socket mode", false);
    if (plat::bindAny(fresh, TcpPort) != 0) return fail(N_("Can't bind socket"), true);
    if (plat::listen(fresh, 1) != 0) return fail(N_("Can't listen"), true);
    ListenSocket = fresh;
    return true;
}

void TForm1::EditIPPortKeyPress(char32_t& key) {
    const bool digit = key >= U'0' && key <= U'9';
    const bool backspace = key == 8;
    if (!digit && !backspace) key = 0;
}

void TForm1::EditIPPortChange() { view_->SetLinkText(kLinkPrefix + view_->PortText()); }

namespace {

// The link follows the port field, which a paste through its context menu
// can fill with anything ("5000@elsewhere.example"): only the bridge's own
// address is handed to the browser.
bool IsBridgeAddress(const std::string& url) {
    const std::string prefix = "http://localhost:";
    if (url.rfind(prefix, 0) != 0) return false;
    const std::string port = url.substr(prefix.size());
    return !port.empty() && port.size() <= 10 &&
           std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

void TForm1::LabelhttpClick() {
    const std::string url = view_->LinkText();
    if (IsBridgeAddress(url)) plat::desktop().OpenUrl(url);
}

void TForm1::CheckBoxCtsClick() {
    if (IniParams) IniParams->CtsFlowEnable = view_->Checked(Box::Cts);
}

void TForm1::CheckBoxDontCloseClick() {
    if (IniParams) IniParams->DontCloseCommPort = view_->Checked(Box::DontClose);
}

// ------------------------------------------------------------ debug console

void TForm1::CheckBoxDebugWindowClick() {
    if (!IniParams) return;
    IniParams->Verbose = view_->Checked(Box::DebugWindow);
    if (!IniParams->Verbose) {
        view_->CloseConsole();
        return;
    }
    if (view_->OpenConsole()) {
        view_->SetConsoleTitle("PLMX" + tr_(" Communication Verbose console"));
        RegisterConsoleHandler();
    } else {
        plat::desktop().ShowMessage(tr_("Cant open console"));
    }
}

bool TForm1::ConsoleCtrlHandler() {
    if (trayIconSize_ != 0) plat::desktop().TrayDelete();
    return false;
}

void TForm1::RegisterConsoleHandler() {
    view_->SetConsoleHandler([this] {
        if (!ConsoleCtrlHandler()) EndProcessAtOnce();
    });
}

// ------------------------------------------------------------ autodetection

void TForm1::Button2Click() {
    if (!IniParams) return;
    BusyScope busy(*view_);

    // Phase 1: what each port is.
    for (std::size_t i = 0; i < PortStates.size(); ++i) {
        const auto port = static_cast<std::int32_t>(i + 1);
        PortState& state = PortStates[i];
        state = PortState{true, false, false, false};
        if (port == IniParams->ComPort) {
            state.Active = true;
            if (CommPortOpened) {
                state.Missing = false;
                state.Busy = false;
                CloseCommPort();
                plat::Sleep(devline::kProbeReopenPauseMs);
                if (ProbeDevice(port)) state.DeviceFound = true;
                OpenCommPort();
                continue;
            }
        }
        const std::uint32_t result = TestCommPort(port);
        if (result == 0) {
            state.Missing = false;
            state.Busy = false;
            if (ProbeDevice(port)) state.DeviceFound = true;
        } else if (result == plat::kErrFileNotFound) {
            state.Missing = true;
            state.Busy = false;
        } else if (result == plat::kErrAccessDenied) {
            state.Missing = false;
            state.Busy = true;
        }
    }

    // Phase 2: the list tells what was found.
    int found = -1;
    for (std::size_t i = 0; i < PortStates.size(); ++i) {
        const PortState& state = PortStates[i];
        const int index = static_cast<int>(i);
        std::string text = "Com" + std::to_string(i + 1);
        if (state.Missing) text += "-";
        if (state.Busy) {
            view_->SetComPortText(index, text + " busy");
            continue;
        }
        if (state.DeviceFound) found = index;
        if (state.Active) {
            view_->SetComPortText(index, text + (state.DeviceFound ? " Box active" : " active"));
            view_->SetComPortIndex(index);
        } else {
            view_->SetComPortText(index, text + (state.DeviceFound ? " Box" : ""));
        }
    }

    // Phase 3: the port with the device (the highest, when several have
    // one) becomes the bridge's port, and the browser opens on it.
    if (found < 0) return;
    view_->SetComPortIndex(found);
    ButtonApplyClick();
    LabelhttpClick();
}
