#include "panel/qt_loop.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include "platform/doorbell.h"

namespace panel {

namespace {

std::atomic<bool> quitRequested{false};
std::atomic<int> quitCode{0};
// Touched on the user-interface thread only.
bool mainLoopRunning = false;

void LeaveMainLoopIfRunning() {
    // Before the main loop runs, QCoreApplication::exit() would only end a
    // dialog's loop and the request would be lost; RunMainLoop sees it.
    if (mainLoopRunning) QCoreApplication::exit(quitCode.load());
}

// Calls handed to the user-interface thread. Everything they carry passes
// under this mutex; the doorbell only wakes the loop.
struct HandOver {
    struct Call {
        const std::function<void()>* fn;
        bool finished = false;
    };
    std::mutex mutex;
    std::condition_variable finished;
    std::deque<Call*> calls;
    plat::Doorbell bell;
    std::unique_ptr<QSocketNotifier> notifier;
    std::atomic<bool> ready{false};
};

// Never destroyed: a worker may still be waiting in it when the process ends.
HandOver& handOver = *new HandOver;

void RunHandedOver() {
    handOver.bell.Answer();
    for (;;) {
        HandOver::Call* call = nullptr;
        {
            std::lock_guard lock(handOver.mutex);
            if (handOver.calls.empty()) return;
            call = handOver.calls.front();
            handOver.calls.pop_front();
        }
        (*call->fn)();
        {
            std::lock_guard lock(handOver.mutex);
            call->finished = true;
        }
        handOver.finished.notify_all();
    }
}

}  // namespace

void RequestQuit(int code) {
    if (code != 0) {
        int expected = 0;
        quitCode.compare_exchange_strong(expected, code);
    }
    quitRequested.store(true);
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { LeaveMainLoopIfRunning(); }, Qt::QueuedConnection);
}

bool QuitRequested() { return quitRequested.load(); }

int RunMainLoop() {
    if (quitRequested.load()) return quitCode.load();
    mainLoopRunning = true;
    const int code = QCoreApplication::exec();
    mainLoopRunning = false;
    return code;
}

void PrepareUiThread() {
    if (handOver.ready.load() || handOver.bell.fd() < 0) return;
    handOver.notifier =
        std::make_unique<QSocketNotifier>(handOver.bell.fd(), QSocketNotifier::Read);
    QObject::connect(handOver.notifier.get(), &QSocketNotifier::activated,
                     handOver.notifier.get(), [] { RunHandedOver(); });
    handOver.ready.store(true);
}

void RunOnUiThread(const std::function<void()>& fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    if (!handOver.ready.load()) {
        QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
        return;
    }
    HandOver::Call call{&fn};
    {
        std::lock_guard lock(handOver.mutex);
        handOver.calls.push_back(&call);
    }
    handOver.bell.Ring();
    std::unique_lock lock(handOver.mutex);
    handOver.finished.wait(lock, [&] { return call.finished; });
}

QtHeadlessDesktop::QtHeadlessDesktop() : lines_(plat::MakeHeadlessDesktop()) {}

void QtHeadlessDesktop::MessageBox(const std::string& text, const std::string& caption,
                                   plat::MsgIcon icon) {
    lines_->MessageBox(text, caption, icon);
}

bool QtHeadlessDesktop::Confirm(const std::string& question) { return lines_->Confirm(question); }

bool QtHeadlessDesktop::InputQuery(const std::string& caption, const std::string& prompt,
                                   std::string& value) {
    return lines_->InputQuery(caption, prompt, value);
}

void QtHeadlessDesktop::ShowMessage(const std::string& text) { lines_->ShowMessage(text); }

void QtHeadlessDesktop::OpenUrl(const std::string& url) { lines_->OpenUrl(url); }

void QtHeadlessDesktop::PostQuit(int exitCode) { RequestQuit(exitCode); }

bool QtHeadlessDesktop::TrayAdd(const plat::TrayIcon&) { return false; }
bool QtHeadlessDesktop::TrayModify(const plat::TrayIcon&) { return false; }
bool QtHeadlessDesktop::TrayDelete() { return false; }

}  // namespace panel
