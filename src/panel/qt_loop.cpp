#include "panel/qt_loop.h"

#include <atomic>

#include <QCoreApplication>
#include <QThread>

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

void RunOnUiThread(const std::function<void()>& fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
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
