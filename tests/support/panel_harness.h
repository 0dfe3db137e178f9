// What the control panel tests share: an offscreen application, a desktop
// that answers from a script and logs what was shown, and a run of the main
// window on a settings file and a device folder of its own, wound down
// completely afterwards so the next test starts from the initial state.
// Include it from one file per test program.
#pragma once

#include <QApplication>
#include <QDialog>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/servsock.h"
#include "panel/UnIni.h"
#include "panel/form_window.h"
#include "panel/qt_loop.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "support/bridge_fixture.h"

// Qt runs some of its own work on a thread pool and synchronises it inside
// its uninstrumented libraries, where ThreadSanitizer cannot see the locks.
// Only memory calls made from Qt itself are excused.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Core.so.6\n";
}

namespace panelharness {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Box = FormView::Box;
using Item = FormView::Item;

inline void App() {
    static int argc = 1;
    static char name[] = "test_panel";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Texts are checked untranslated, whatever the machine's language.
    for (const char* var : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(var);
    new QApplication(argc, argv);  // never destroyed: Qt dislikes static tear-down
    QApplication::setQuitOnLastWindowClosed(false);
    panel::PrepareUiThread();
}

// Lets the user-interface thread work (worker hand-offs wait for it) until
// the condition holds or the limit passes.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Dialogs answer from the script (then No and Cancel); everything shown is
// logged as "kind:detail".
class ScriptedDesktop : public plat::Desktop {
public:
    std::deque<bool> confirms;
    std::deque<std::optional<std::string>> inputs;  // nullopt: Cancel
    bool trayAvailable = true;

    // The details logged under one kind, in order.
    Lines Log(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        Lines out;
        for (const auto& line : log_)
            if (line.rfind(kind + ":", 0) == 0) out.push_back(line.substr(kind.size() + 1));
        return out;
    }

    void MessageBox(const std::string& text, const std::string& caption, plat::MsgIcon) override {
        Add("box:" + caption + "|" + text);
    }
    bool Confirm(const std::string& question) override {
        Add("confirm:" + question);
        return Take(confirms).value_or(false);
    }
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override {
        Add("input:" + caption + "|" + prompt + "|" + value);
        const std::optional<std::string> answer = Take(inputs).value_or(std::nullopt);
        if (answer) value = *answer;
        return answer.has_value();
    }
    void ShowMessage(const std::string& text) override { Add("message:" + text); }
    void OpenUrl(const std::string& url) override { Add("url:" + url); }
    void PostQuit(int exitCode) override { Add("quit:" + std::to_string(exitCode)); }
    bool TrayAdd(const plat::TrayIcon& icon) override {
        Add("tray:add " + icon.iconName + "|" + icon.tip);
        return trayAvailable;
    }
    bool TrayModify(const plat::TrayIcon& icon) override {
        Add("tray:modify " + icon.iconName + "|" + icon.tip);
        return trayAvailable;
    }
    bool TrayDelete() override {
        Add("tray:delete");
        return trayAvailable;
    }

private:
    void Add(std::string line) {
        std::lock_guard lock(mutex_);
        log_.push_back(std::move(line));
    }
    template <class T>
    std::optional<T> Take(std::deque<T>& script) {
        if (script.empty()) return std::nullopt;
        T first = script.front();
        script.pop_front();
        return first;
    }

    mutable std::mutex mutex_;
    Lines log_;
};

inline std::string ReadFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// A TCP port nobody listens on right now.
inline int FreePort() {
    const plat::Socket s = plat::socket();
    plat::bindAddress(s, "127.0.0.1", 0);
    const int port = plat::localPort(s);
    plat::closesocket(s);
    return port;
}

// A port some other program listens on.
struct PortHolder {
    plat::Socket socket = plat::socket();
    int port = (plat::bindAny(socket, 0), plat::listen(socket, 1), plat::localPort(socket));
    ~PortHolder() { plat::closesocket(socket); }
};

// One run of the main window: settings in a temporary folder, COM ports
// found in its dosdevices folder, the scripted desktop in force.
class PanelRun {
public:
    PanelRun() {
        App();
        std::filesystem::create_directories(devices);
        plat::SetDeviceDirectory(devices);
        plat::SetDesktop(desk);
        int granted = 0;
        plat::WSAStartup(plat::kWsaVersion11, &granted);
    }
    ~PanelRun() {
        if (form && !destroyed_) Destroy();
        form.reset();
        ResetBridgeState();
        plat::SetDesktop(plat::MakeHeadlessDesktop());
    }

    // commLines go into the CommPortParams section, tail after the rest.
    void WriteSettings(int comPort, int tcpPort, const std::string& commLines = {},
                       const std::string& tail = {}) {
        std::ofstream(settingsPath) << "[CommPortParams]\nComPort=" << comPort << "\n"
                                    << commLines << "[TcpIpParams]\nTcpIpPort=" << tcpPort
                                    << "\n" << tail;
    }

    TForm1& Create(bool withWindow = true) {
        TForm1::Options options;
        if (withWindow) options.makeView = MakeWidgetView;
        options.settingsPath = settingsPath;
        options.catalogueDir = BUILD_DIR;
        form = std::make_unique<TForm1>(std::move(options));
        form->FormCreate();
        form->ShowAtStartup();
        return *form;
    }

    // The entry's end: the icon, then the shut-down; then (where the
    // program would end its process) the worker threads are let finish.
    void Destroy() {
        form->RemoveTrayIcon();
        form->FormDestroy();
        destroyed_ = true;
        for (plat::Thread* t : {static_cast<plat::Thread*>(SocketThreadObject.get()),
                                static_cast<plat::Thread*>(AsyncThreadObject.get())})
            if (t) t->Terminate();
        // A worker may be handing a status over: keep the loop turning.
        const bool ended = WaitUntil([] {
            if (AsyncThreadObject) AsyncThreadObject->Resume();
            return (!SocketThreadObject || SocketThreadObject->Finished()) &&
                   (!AsyncThreadObject || AsyncThreadObject->Finished());
        });
        if (!ended) std::abort();  // a worker left running would poison later tests
        if (SocketThreadObject) SocketThreadObject->Join();
        if (AsyncThreadObject) AsyncThreadObject->Join();
    }

    std::string Settings() const { return ReadFile(settingsPath); }

    testsupport::TempDir dir;
    std::string settingsPath = dir.path() + "/Lantor.ini";
    std::string devices = dir.path() + "/dosdevices";
    std::shared_ptr<ScriptedDesktop> desk = std::make_shared<ScriptedDesktop>();
    std::unique_ptr<TForm1> form;

private:
    static void ResetBridgeState() {
        SocketThreadObject.reset();
        AsyncThreadObject.reset();
        IniParams.reset();
        ListenSocket = AcceptedSocket = AcceptedSocketCopy = plat::kInvalidSocket;
        CommHandle = plat::kInvalidHandle;
        CommPortOpened = false;
        CommPortName.set("COM4");
        CommSpeed = 115200;
        TcpPort = 5000;
        LoopEvent.reset();
        plat::AttachConsole(nullptr);
    }

    bool destroyed_ = false;
};

// A request from a loopback client on a thread of its own, while this
// thread keeps the loop turning; nullopt when it could not connect.
inline std::optional<std::string> Fetch(int port, const std::string& request) {
    std::atomic<bool> done{false};
    std::optional<std::string> answer;
    std::thread client([&] {
        testsupport::Client c(port);
        if (c.connected() && c.Send(request)) answer = c.ReadAll(30s);
        done = true;
    });
    WaitUntil([&] { return done.load(); }, 60s);
    client.join();
    return answer;
}

}  // namespace panelharness
