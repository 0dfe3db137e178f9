#include "panel/servmain.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>

#include "bridge/servsock.h"
#include "panel/UnIni.h"
#include "panel/console_window.h"
#include "panel/i18n.h"
#include "panel/qt_desktop.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/lifecycle.h"
#include "platform/profile.h"
#include "platform/socket.h"
#include "ui_servmain.h"

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

// Closing the debug console ends the program at once, as the default
// handling of a console's close does: no orderly shut-down.
[[noreturn]] void EndProcessAtOnce() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

class WaitCursor {
public:
    explicit WaitCursor(bool shown) : shown_(shown) {
        if (shown_) QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~WaitCursor() {
        if (shown_) QApplication::restoreOverrideCursor();
    }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    bool shown_;
};

std::string FromQ(const QString& text) { return text.toStdString(); }
QString ToQ(const std::string& text) { return QString::fromStdString(text); }

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

// ------------------------------------------------------------ the widgets

class TForm1Window : public QDialog {
public:
    explicit TForm1Window(TForm1& form) : form_(form) {
        ui.setupUi(this);
        setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
        setFixedSize(290, 308);

        TaskBarMenu = new QMenu(this);
        TaskBarMenu->setObjectName("TaskBarMenu");
        MIServerName = TaskBarMenu->addAction(QIcon(QStringLiteral(":/icons/VARN")),
                                              QStringLiteral("Quarn Server"));
        MIServerName->setObjectName("MIServerName");
        MIServerName->setIconVisibleInMenu(true);
        MIPorts = TaskBarMenu->addAction(QString());
        MIPorts->setObjectName("MIPorts");
        Options1 = TaskBarMenu->addAction(QStringLiteral("Options"));
        Options1->setObjectName("Options1");
        N1 = TaskBarMenu->addSeparator();
        N1->setObjectName("N1");
        MIExit = TaskBarMenu->addAction(QStringLiteral("Close Server"));
        MIExit->setObjectName("MIExit");
        Version1 = TaskBarMenu->addAction(QStringLiteral("Version"));
        Version1->setObjectName("Version1");

        ui.EditIPPort->installEventFilter(this);
        ui.Labelhttp->installEventFilter(this);
    }

    Ui::TForm1 ui;
    QMenu* TaskBarMenu = nullptr;
    QAction* MIServerName = nullptr;
    QAction* MIPorts = nullptr;
    QAction* Options1 = nullptr;
    QAction* N1 = nullptr;
    QAction* MIExit = nullptr;
    QAction* Version1 = nullptr;
    bool placed = false;

protected:
    // The title bar asks for no close button, but some window managers
    // offer one anyway; closing the main window ends the program.
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        form_.MIExitClick();
    }
    void reject() override { form_.ButtonCancelClick(); }
    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        // Only a real showing reloads the fields, not a restore from the
        // task bar.
        if (!event->spontaneous()) form_.FormShow();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == ui.EditIPPort && event->type() == QEvent::KeyPress)
            return FilterPortKey(static_cast<QKeyEvent*>(event));
        if (watched == ui.Labelhttp && event->type() == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                ui.Labelhttp->rect().contains(mouse->position().toPoint()))
                form_.LabelhttpClick();
            return false;
        }
        return QDialog::eventFilter(watched, event);
    }

private:
    // The field takes characters through EditIPPortKeyPress only. Keys that
    // are not characters (arrows, Delete, Home, the focus keys) edit or move
    // as usual; a Ctrl combination is the control character it stands for,
    // so copy and paste by keyboard are turned away with the rest.
    bool FilterPortKey(QKeyEvent* event) {
        const int code = event->key();
        char32_t key = 0;
        if (code == Qt::Key_Backspace) {
            key = 8;
        } else if (code == Qt::Key_Return || code == Qt::Key_Enter) {
            key = 13;
        } else if (code == Qt::Key_Escape) {
            key = 27;
        } else if (code >= Qt::Key_Escape) {
            return false;
        } else if ((event->modifiers() & Qt::ControlModifier) && code >= Qt::Key_A &&
                   code <= Qt::Key_Z) {
            key = static_cast<char32_t>(code - Qt::Key_A + 1);
        } else {
            const QList<uint> text = event->text().toUcs4();
            if (text.isEmpty()) return false;
            key = text.front();
        }
        form_.EditIPPortKeyPress(key);
        return key == 0;
    }

    TForm1& form_;
};

// ------------------------------------------------------------ TForm1

TForm1::TForm1(Options options)
    : options_(std::move(options)), handoff_(std::make_shared<FormStatusHandoff>(this)) {
    for (int i = 0; i < devline::kPortCount; ++i)
        controls_.comPortTexts[i] = "Com" + std::to_string(i + 1);
    if (options_.withWindow) {
        view_ = std::make_unique<TForm1Window>(*this);
        Ui::TForm1& ui = view_->ui;
        auto guarded = [this](void (TForm1::*handler)()) {
            return [this, handler] { Guarded([this, handler] { (this->*handler)(); }); };
        };
        connect(ui.Button1, &QPushButton::clicked, this, guarded(&TForm1::Button1Click));
        connect(ui.ButtonApply, &QPushButton::clicked, this, guarded(&TForm1::ButtonApplyClick));
        connect(ui.ButtonCancel, &QPushButton::clicked, this, guarded(&TForm1::ButtonCancelClick));
        connect(ui.Button2, &QPushButton::clicked, this, guarded(&TForm1::Button2Click));
        // Toggled, not clicked: setting a box from the program runs its
        // handler just as a click does.
        connect(ui.CheckBoxCts, &QCheckBox::toggled, this, guarded(&TForm1::CheckBoxCtsClick));
        connect(ui.CheckBoxDontClose, &QCheckBox::toggled, this,
                guarded(&TForm1::CheckBoxDontCloseClick));
        connect(ui.CheckBoxDebugWindow, &QCheckBox::toggled, this,
                guarded(&TForm1::CheckBoxDebugWindowClick));
        connect(ui.EditIPPort, &QLineEdit::textChanged, this, guarded(&TForm1::EditIPPortChange));
        connect(view_->TaskBarMenu, &QMenu::aboutToShow, this, guarded(&TForm1::TaskBarMenuPopup));
        connect(view_->Options1, &QAction::triggered, this, guarded(&TForm1::Options1Click));
        connect(view_->MIExit, &QAction::triggered, this, guarded(&TForm1::MIExitClick));
    }
    SetStatusHandoff(handoff_);
}

TForm1::~TForm1() {
    handoff_->Detach();
    SetStatusHandoff(nullptr);
    // The console window goes before the widgets it may refer to.
    console_.reset();
}

template <class Handler>
void TForm1::Guarded(Handler handler) {
    try {
        handler();
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
    // 1. Language, and the window's texts translated once.
    InitTranslation(options_.catalogueDir.empty() ? plat::ExecutableDirectory()
                                                  : options_.catalogueDir);
    if (view_) TranslateComponent(view_.get(), view_->TaskBarMenu);
    // 2. After the translation, so the version is never translated.
    SetVersionCaption(kVersionCaption);
    // 3. One record per entry of the port list.
    PortStates.fill(PortState{});

    // 4. The operating system must tell what it is. (There is no 16-bit
    // platform to refuse here.)
    std::string osVersion;
    if (!plat::OperatingSystemVersion(osVersion)) {
        FatalStop(N_("Can't get OS version"), true);
        return;
    }

    // 5. Settings; a missing file may ask to terminate, start-up goes on.
    IniParams = options_.settingsPath.empty()
                    ? std::make_unique<TProgramIniParam>()
                    : std::make_unique<TProgramIniParam>(options_.settingsPath);

    // 6. Into the bridge state.
    CommPortName.set(CommPathFor(IniParams->ComPort));
    CommSpeed = IniParams->ComSpeed.load();
    TcpPort = IniParams->TcpIpPort.load();

    // 7. Into the window; the check boxes run their handlers, which opens
    // the debug console when Verbose is set.
    const std::int32_t comPort = IniParams->ComPort;
    SetComPortIndex(comPort >= 1 && comPort <= devline::kPortCount ? comPort - 1 : -1);
    SetCtsChecked(IniParams->CtsFlowEnable);
    SetDontCloseChecked(IniParams->DontCloseCommPort);
    SetDebugWindowChecked(IniParams->Verbose);

    // 8. The start-up form of the console title.
    if (IniParams->Verbose) {
        ConsoleOpen();
        ConsoleSetTitle("PLMX " + tr_("Communication Verbose console"));
        ConsoleRegisterHandler();
    }

    // 9, 10. The I/O records start empty. (Their completion is carried by
    // the port layer, so there is no event to create and nothing to fail.)
    ReadOverlapped = plat::Overlapped{};
    WriteOverlapped = plat::Overlapped{};

    // 11. No threads yet; the tray record is not set up.
    AsyncThreadObject.reset();
    SocketThreadObject.reset();
    trayIconSize_ = 0;

    // 12, 13.
    LoopEvent = std::make_unique<plat::Event>(true, false);
    ListenSocket = plat::kInvalidSocket;
    AcceptedSocket = plat::kInvalidSocket;
    AcceptedSocketCopy = plat::kInvalidSocket;
    CommHandle = plat::kInvalidHandle;

    // 14. A bridge without a TCP side has no socket layer at all.
    if (TcpPort != -1) {
        // 15.
        int granted = 0;
        if (plat::WSAStartup(plat::kWsaVersion11, &granted) != 0 ||
            granted != plat::kWsaVersion11) {
            FatalStop(N_("No suitable version of socket found"), true);
            return;
        }
        // 16.
        ListenSocket = plat::socket();
        if (ListenSocket == plat::kInvalidSocket) {
            FatalStop(N_("Can't open TCP socket"), true);
            return;
        }
        // 17.
        if (plat::setBlocking(ListenSocket, true) != 0) {
            FatalStop(N_("Can't set socket mode"), true);
            return;
        }
        // 18. A port that cannot be bound may be replaced by the user.
        if (plat::bindAny(ListenSocket, TcpPort) != 0) {
            if (!BindWithPortDialog()) return;
            IniParams->TcpIpPort = TcpPort.load();
        }
        // 19.
        if (plat::listen(ListenSocket, 1) != 0) {
            FatalStop(N_("Can't listen"), true);
            return;
        }
    }

    // 20. The COM port must open; it stays closed until a client comes.
    if (OpenCommPort()) {
        CloseCommPort();
    } else {
        ShowComPortMessage(plat::LastError());
        Options1Click();
    }

    // 21, 22. Both thread objects exist before either thread runs, and the
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

    // 23.
    UpdatePortsCaption();
    // 24. Without a display there is no notification area to ask.
    if (view_) SetUpTrayIcon();
    // 25.
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

void TForm1::ShowAtStartup() {
    if (!view_) return;
    Options1Click();
}

// ------------------------------------------------------------ shut-down

void TForm1::FormDestroy() {
    destroying_ = true;
    // 1. Asked, not waited for: they end with the process.
    if (AsyncThreadObject) AsyncThreadObject->Terminate();
    if (SocketThreadObject) SocketThreadObject->Terminate();

    // 2. Marking the listener invalid as it closes lets the socket server
    // thread leave its loop instead of retrying a dead socket.
    const plat::Socket client = AcceptedSocket.load();
    if (client != plat::kInvalidSocket) plat::closesocket(client);
    const plat::Socket listener = ListenSocket.exchange(plat::kInvalidSocket);
    if (listener != plat::kInvalidSocket) plat::closesocket(listener);

    // 3. The port is left without hardware flow control, opened for that if
    // need be.
    if (IniParams) {
        plat::Handle handle = CommHandle.load();
        if (handle == plat::kInvalidHandle && OpenCommPort()) handle = CommHandle.load();
        if (handle != plat::kInvalidHandle) {
            SetupCommPort(handle, true);
            plat::CloseSerial(handle);
        }
    }

    // 4.
    if (TcpPort != -1) plat::WSACleanup();
    // 5. The entry has removed the icon already; this one fails quietly.
    if (trayIconSize_ != 0) plat::desktop().TrayDelete();
    // 6.
    ConsoleClose();
    // 7. Last: this writes the settings file.
    IniParams.reset();
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
    SetCaption(tr_(caption));
    SetServerNameCaption("PLMX " + tr_(menuText));
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
    if (iconId != kTrayIconId || !view_) return;
    if (mouseMessage == kLeftDoubleClick) {
        Options1Click();
    } else if (mouseMessage == kRightButtonDown) {
        // The menu closes by itself when focus leaves it, so the window
        // need not be brought forward first as the tray API once required.
        view_->TaskBarMenu->exec(QCursor::pos());
    }
}

void TForm1::TaskBarMenuPopup() { UpdatePortsCaption(); }

void TForm1::UpdatePortsCaption() {
    SetPortsCaption(CommDisplayName(5) + " <-> " + std::to_string(TcpPort.load()));
}

// ------------------------------------------------------------ options window

void TForm1::Options1Click() {
    if (!view_) return;
    if (!view_->placed) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            view_->move(screen->availableGeometry().center() - view_->rect().center());
        view_->placed = true;
    }
    if (view_->isMinimized()) view_->showNormal();
    view_->show();
    view_->raise();
    view_->activateWindow();
}

void TForm1::HideOrMinimize() {
    if (!view_) return;
    // Without a tray icon a hidden window could not be brought back.
    if (trayShown_)
        view_->hide();
    else
        view_->showMinimized();
}

void TForm1::FormShow() {
    if (!IniParams) return;
    const std::int32_t comPort = IniParams->ComPort;
    SetComPortIndex(comPort >= 1 && comPort <= devline::kPortCount ? comPort - 1 : -1);
    SetPortText(std::to_string(IniParams->TcpIpPort.load()));
}

void TForm1::Button1Click() {
    ButtonApplyClick();
    HideOrMinimize();
}

void TForm1::ButtonCancelClick() { HideOrMinimize(); }

void TForm1::ButtonApplyClick() {
    if (!IniParams) return;
    const std::optional<std::int32_t> number = StrToIntChecked(PortText());
    if (!number) {
        FocusPortField();
        return;
    }
    if (*number <= 0) {
        SetPortText(kDefaultPortText);
        FocusPortField();
        return;
    }

    bool changed = false;
    // No entry selected (a port number from the file outside the list)
    // leaves the port as it is rather than switching to a port 0.
    const int index = ComPortIndex();
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

void TForm1::EditIPPortChange() { SetLinkTextFromPort(); }

void TForm1::LabelhttpClick() { plat::desktop().OpenUrl(LinkText()); }

void TForm1::CheckBoxCtsClick() {
    if (IniParams) IniParams->CtsFlowEnable = CtsChecked();
}

void TForm1::CheckBoxDontCloseClick() {
    if (IniParams) IniParams->DontCloseCommPort = DontCloseChecked();
}

// ------------------------------------------------------------ debug console

void TForm1::CheckBoxDebugWindowClick() {
    if (!IniParams) return;
    IniParams->Verbose = DebugWindowChecked();
    if (!IniParams->Verbose) {
        ConsoleClose();
        return;
    }
    if (ConsoleOpen()) {
        ConsoleSetTitle("PLMX" + tr_(" Communication Verbose console"));
        ConsoleRegisterHandler();
    } else {
        plat::desktop().ShowMessage(tr_("Cant open console"));
    }
}

bool TForm1::ConsoleCtrlHandler() {
    if (trayIconSize_ != 0) plat::desktop().TrayDelete();
    return false;
}

bool TForm1::ConsoleOpen() {
    if (view_) {
        if (!console_) console_ = std::make_unique<DebugConsole>();
        return console_->Open();
    }
    // Without a display the console is standard output.
    if (plat::ConsoleAttached()) return false;
    plat::AttachConsole(plat::MakeStdoutConsole());
    return true;
}

void TForm1::ConsoleClose() {
    if (console_) {
        console_->Close();
    } else {
        plat::AttachConsole(nullptr);
    }
}

void TForm1::ConsoleSetTitle(const std::string& title) {
    if (console_) console_->SetTitle(title);
}

void TForm1::ConsoleRegisterHandler() {
    if (!console_) return;
    console_->onControlEvent = [this] {
        if (!ConsoleCtrlHandler()) EndProcessAtOnce();
    };
}

// ------------------------------------------------------------ autodetection

void TForm1::Button2Click() {
    if (!IniParams) return;
    WaitCursor busy(view_ != nullptr);

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
        std::string text = "Com" + std::to_string(i + 1);
        if (state.Missing) text += "-";
        if (state.Busy) {
            SetComPortText(static_cast<int>(i), text + " busy");
            continue;
        }
        if (state.Active) {
            if (state.DeviceFound) {
                text += " Box active";
                found = static_cast<int>(i);
            } else {
                text += " active";
            }
            SetComPortText(static_cast<int>(i), text);
            SetComPortIndex(static_cast<int>(i));
            continue;
        }
        if (state.DeviceFound) {
            text += " Box";
            found = static_cast<int>(i);
        }
        SetComPortText(static_cast<int>(i), text);
    }

    // Phase 3: the port with the device (the highest, when several have
    // one) becomes the bridge's port, and the browser opens on it.
    if (found < 0) return;
    SetComPortIndex(found);
    ButtonApplyClick();
    LabelhttpClick();
}

// ------------------------------------------------------------ the controls

void TForm1::FocusPortField() {
    if (view_) view_->ui.EditIPPort->setFocus(Qt::OtherFocusReason);
}

std::string TForm1::Caption() const {
    return view_ ? FromQ(view_->windowTitle()) : controls_.caption;
}

void TForm1::SetCaption(const std::string& text) {
    if (view_)
        view_->setWindowTitle(ToQ(text));
    else
        controls_.caption = text;
}

int TForm1::ComPortIndex() const {
    return view_ ? view_->ui.ComboBoxComPort->currentIndex() : controls_.comPortIndex;
}

void TForm1::SetComPortIndex(int index) {
    if (index < -1 || index >= devline::kPortCount) index = -1;
    if (view_)
        view_->ui.ComboBoxComPort->setCurrentIndex(index);
    else
        controls_.comPortIndex = index;
}

std::string TForm1::ComPortText(int index) const {
    if (index < 0 || index >= devline::kPortCount) return {};
    return view_ ? FromQ(view_->ui.ComboBoxComPort->itemText(index))
                 : controls_.comPortTexts[static_cast<std::size_t>(index)];
}

void TForm1::SetComPortText(int index, const std::string& text) {
    if (index < 0 || index >= devline::kPortCount) return;
    if (view_)
        view_->ui.ComboBoxComPort->setItemText(index, ToQ(text));
    else
        controls_.comPortTexts[static_cast<std::size_t>(index)] = text;
}

namespace {

// Without widgets, a changed box runs its handler as the widget's signal
// would.
void SetBox(bool& box, bool checked, TForm1& form, void (TForm1::*handler)()) {
    if (box == checked) return;
    box = checked;
    (form.*handler)();
}

}  // namespace

bool TForm1::CtsChecked() const {
    return view_ ? view_->ui.CheckBoxCts->isChecked() : controls_.cts;
}
void TForm1::SetCtsChecked(bool checked) {
    if (view_)
        view_->ui.CheckBoxCts->setChecked(checked);
    else
        SetBox(controls_.cts, checked, *this, &TForm1::CheckBoxCtsClick);
}

bool TForm1::DontCloseChecked() const {
    return view_ ? view_->ui.CheckBoxDontClose->isChecked() : controls_.dontClose;
}
void TForm1::SetDontCloseChecked(bool checked) {
    if (view_)
        view_->ui.CheckBoxDontClose->setChecked(checked);
    else
        SetBox(controls_.dontClose, checked, *this, &TForm1::CheckBoxDontCloseClick);
}

bool TForm1::DebugWindowChecked() const {
    return view_ ? view_->ui.CheckBoxDebugWindow->isChecked() : controls_.debugWindow;
}
void TForm1::SetDebugWindowChecked(bool checked) {
    if (view_)
        view_->ui.CheckBoxDebugWindow->setChecked(checked);
    else
        SetBox(controls_.debugWindow, checked, *this, &TForm1::CheckBoxDebugWindowClick);
}

std::string TForm1::PortText() const {
    return view_ ? FromQ(view_->ui.EditIPPort->text()) : controls_.portText;
}

void TForm1::SetPortText(const std::string& text) {
    if (view_) {
        view_->ui.EditIPPort->setText(ToQ(text));
        return;
    }
    if (controls_.portText == text) return;
    controls_.portText = text;
    EditIPPortChange();
}

std::string TForm1::LinkText() const {
    return view_ ? FromQ(view_->ui.Labelhttp->text()) : controls_.linkText;
}

void TForm1::SetLinkTextFromPort() {
    const std::string link = kLinkPrefix + PortText();
    if (view_)
        view_->ui.Labelhttp->setText(ToQ(link));
    else
        controls_.linkText = link;
}

std::string TForm1::ServerNameCaption() const {
    return view_ ? FromQ(view_->MIServerName->text()) : controls_.serverName;
}
void TForm1::SetServerNameCaption(const std::string& text) {
    if (view_)
        view_->MIServerName->setText(ToQ(text));
    else
        controls_.serverName = text;
}

std::string TForm1::PortsCaption() const {
    return view_ ? FromQ(view_->MIPorts->text()) : controls_.ports;
}
void TForm1::SetPortsCaption(const std::string& text) {
    if (view_)
        view_->MIPorts->setText(ToQ(text));
    else
        controls_.ports = text;
}

std::string TForm1::VersionCaption() const {
    return view_ ? FromQ(view_->Version1->text()) : controls_.version;
}
void TForm1::SetVersionCaption(const std::string& text) {
    if (view_)
        view_->Version1->setText(ToQ(text));
    else
        controls_.version = text;
}

QDialog* TForm1::Window() const { return view_.get(); }
QMenu* TForm1::TaskBarMenu() const { return view_ ? view_->TaskBarMenu : nullptr; }
