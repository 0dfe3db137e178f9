// What the control panel tests share: an offscreen application, a desktop
// that answers from a script and records what was shown, and a run of the
// main window on a settings file and a device folder of its own, wound down
// completely afterwards so the next test starts from the initial state.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QThread>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge_state.h"
#include "bridge/servasyn.h"
#include "bridge/servsock.h"
#include "panel/UnIni.h"
#include "panel/form_window.h"
#include "panel/qt_loop.h"
#include "panel/servmain.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "support/bridge_fixture.h"

// Qt runs some of its own work on a thread pool and synchronises it inside
// its uninstrumented libraries, where ThreadSanitizer cannot see the locks.
// Only memory calls made from Qt itself are excused. (One definition per
// test program: include this header from one file only.)
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Core.so.6\n";
}

namespace panelharness {

using namespace std::chrono_literals;

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test_panel";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Texts are checked untranslated, whatever the machine's language.
    for (const char* var : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(var);
    // Never destroyed: Qt does not like to be torn down among static objects.
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        panel::PrepareUiThread();
        return a;
    }();
    return *app;
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

// A desktop whose dialogs answer from a script; everything shown is kept.
class ScriptedDesktop : public plat::Desktop {
public:
    struct Box {
        std::string text;
        std::string caption;
        plat::MsgIcon icon;
    };

    // Confirmations and input dialogs answer in order; when the script is
    // used up they answer No and Cancel.
    void AnswerConfirm(bool yes) {
        std::lock_guard lock(mutex_);
        confirms_.push_back(yes);
    }
    // nullopt stands for Cancel.
    void AnswerInput(std::optional<std::string> value) {
        std::lock_guard lock(mutex_);
        inputs_.push_back(std::move(value));
    }
    void SetTrayAvailable(bool available) {
        std::lock_guard lock(mutex_);
        trayAvailable_ = available;
    }

    void MessageBox(const std::string& text, const std::string& caption,
                    plat::MsgIcon icon) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back({text, caption, icon});
        log_.push_back("box:" + text);
    }
    bool Confirm(const std::string& question) override {
        std::lock_guard lock(mutex_);
        questions_.push_back(question);
        log_.push_back("confirm:" + question);
        if (confirms_.empty()) return false;
        const bool yes = confirms_.front();
        confirms_.pop_front();
        return yes;
    }
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override {
        std::lock_guard lock(mutex_);
        log_.push_back("input:" + caption + "|" + prompt + "|" + value);
        if (inputs_.empty()) return false;
        std::optional<std::string> answer = inputs_.front();
        inputs_.pop_front();
        if (!answer) return false;
        value = *answer;
        return true;
    }
    void ShowMessage(const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(text);
        log_.push_back("message:" + text);
    }
    void OpenUrl(const std::string& url) override {
        std::lock_guard lock(mutex_);
        urls_.push_back(url);
    }
    void PostQuit(int exitCode) override {
        std::lock_guard lock(mutex_);
        quits_.push_back(exitCode);
        log_.push_back("quit:" + std::to_string(exitCode));
    }
    bool TrayAdd(const plat::TrayIcon& icon) override {
        std::lock_guard lock(mutex_);
        trayCalls_.push_back("add:" + icon.iconName + "|" + icon.tip);
        trayIcon_ = icon.iconName;
        trayPresent_ = trayAvailable_;
        return trayAvailable_;
    }
    bool TrayModify(const plat::TrayIcon& icon) override {
        std::lock_guard lock(mutex_);
        trayCalls_.push_back("modify:" + icon.iconName + "|" + icon.tip);
        trayIcon_ = icon.iconName;
        return trayPresent_;
    }
    bool TrayDelete() override {
        std::lock_guard lock(mutex_);
        trayCalls_.push_back("delete");
        const bool was = trayPresent_;
        trayPresent_ = false;
        return was;
    }

    std::vector<Box> Boxes() const { return Locked(boxes_); }
    std::vector<std::string> Questions() const { return Locked(questions_); }
    std::vector<std::string> Messages() const { return Locked(messages_); }
    std::vector<std::string> Urls() const { return Locked(urls_); }
    std::vector<int> Quits() const { return Locked(quits_); }
    std::vector<std::string> TrayCalls() const { return Locked(trayCalls_); }
    std::vector<std::string> Log() const { return Locked(log_); }
    std::string TrayIconName() const { return Locked(trayIcon_); }
    bool TrayPresent() const { return Locked(trayPresent_); }

private:
    template <class T>
    T Locked(const T& value) const {
        std::lock_guard lock(mutex_);
        return value;
    }

    mutable std::mutex mutex_;
    std::deque<bool> confirms_;
    std::deque<std::optional<std::string>> inputs_;
    bool trayAvailable_ = true;
    bool trayPresent_ = false;
    std::string trayIcon_;
    std::vector<Box> boxes_;
    std::vector<std::string> questions_;
    std::vector<std::string> messages_;
    std::vector<std::string> urls_;
    std::vector<int> quits_;
    std::vector<std::string> trayCalls_;
    std::vector<std::string> log_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A TCP port nobody listens on right now.
inline int FreePort() {
    const plat::Socket s = plat::socket();
    plat::bindAddress(s, "127.0.0.1", 0);
    const int port = plat::localPort(s);
    plat::closesocket(s);
    return port;
}

// A listening socket that keeps a port taken.
class PortHolder {
public:
    PortHolder() : socket_(plat::socket()) {
        plat::bindAny(socket_, 0);
        plat::listen(socket_, 1);
        port_ = plat::localPort(socket_);
    }
    ~PortHolder() { plat::closesocket(socket_); }
    int port() const { return port_; }

private:
    plat::Socket socket_;
    int port_ = 0;
};

// One run of the main window: settings in a temporary folder, COM ports
// looked up in its dosdevices folder, the scripted desktop in force.
class PanelRun {
public:
    PanelRun() : desk(std::make_shared<ScriptedDesktop>()) {
        App();
        settingsPath = dir.path() + "/Lantor.ini";
        devices = dir.path() + "/dosdevices";
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

    PanelRun(const PanelRun&) = delete;
    PanelRun& operator=(const PanelRun&) = delete;

    // A settings file with the given ports; commLines go into the
    // CommPortParams section, tail after the rest.
    void WriteSettings(int comPort, int tcpPort, const std::string& commLines = {},
                       const std::string& tail = {}) {
        WriteFile(settingsPath, "[CommPortParams]\nComPort=" + std::to_string(comPort) + "\n" +
                                    commLines + "[TcpIpParams]\nTcpIpPort=" +
                                    std::to_string(tcpPort) + "\n" + tail);
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

    // The entry's end: the icon, then the shut-down, then (unlike the
    // program, which ends its process) the worker threads are let finish.
    void Destroy() {
        form->RemoveTrayIcon();
        form->FormDestroy();
        destroyed_ = true;
        WindDown();
    }

    std::string Settings() const { return ReadFile(settingsPath); }

    testsupport::TempDir dir;
    std::string settingsPath;
    std::string devices;
    std::shared_ptr<ScriptedDesktop> desk;
    std::unique_ptr<TForm1> form;

private:
    static void WindDown() {
        const plat::Socket listener = ListenSocket.exchange(plat::kInvalidSocket);
        if (listener != plat::kInvalidSocket) plat::closesocket(listener);
        if (SocketThreadObject) SocketThreadObject->Terminate();
        if (AsyncThreadObject) {
            AsyncThreadObject->Terminate();
            AsyncThreadObject->Resume();
        }
        // A worker may be handing a status over: keep the loop turning.
        auto finished = [](auto& thread) { return !thread || thread->Finished(); };
        const bool ended = WaitUntil([&] {
            if (AsyncThreadObject) AsyncThreadObject->Resume();
            return finished(SocketThreadObject) && finished(AsyncThreadObject);
        });
        if (!ended) std::abort();  // a worker that never ends would poison later tests
        if (SocketThreadObject) SocketThreadObject->Join();
        if (AsyncThreadObject) AsyncThreadObject->Join();
    }

    static void ResetBridgeState() {
        SocketThreadObject.reset();
        AsyncThreadObject.reset();
        IniParams.reset();
        ListenSocket = plat::kInvalidSocket;
        AcceptedSocket = plat::kInvalidSocket;
        AcceptedSocketCopy = plat::kInvalidSocket;
        CommHandle = plat::kInvalidHandle;
        CommPortOpened = false;
        CommPortName.set("COM4");
        CommSpeed = 115200;
        TcpPort = 5000;
        MustClose = false;
        LoopEvent.reset();
        plat::AttachConsole(nullptr);
    }

    bool destroyed_ = false;
};

// A loopback client on its own thread: the request goes out, the answer is
// read until the server closes, while the test keeps the loop turning.
class Request {
public:
    Request(int port, std::string bytes)
        : thread_([this, port, bytes = std::move(bytes)] {
              testsupport::Client client(port);
              connected_ = client.connected();
              if (connected_ && client.Send(bytes)) answer_ = client.ReadAll(30s);
              done_ = true;
          }) {}
    ~Request() { thread_.join(); }

    bool Finish() { return WaitUntil([this] { return done_.load(); }, 60s); }
    bool connected() const { return connected_; }
    std::string answer() const { return answer_; }

private:
    std::atomic<bool> done_{false};
    std::atomic<bool> connected_{false};
    std::string answer_;
    std::thread thread_;
};

}  // namespace panelharness
