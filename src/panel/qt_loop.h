// The application loop as the program uses it with Qt Core alone: quit
// requests that survive being made before the loop runs, hand-overs to the
// user-interface thread, and the desktop of a machine without a display.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/desktop.h"

namespace panel {

// The title of the toolkit's own dialogs (plain messages, error reports).
inline constexpr const char* kApplicationTitle = "Serial-Tcp/Ip";

// Quit requests. The loop may not be running yet when one is made (start-up
// posts them), and leaving a modal dialog's loop early must not swallow
// them, so the request is remembered and the main loop is left only while
// it runs. A non-zero code sticks: a later ordinary close does not hide a
// failed start.
void RequestQuit(int code);
bool QuitRequested();
// Runs the application's main loop, or returns at once when a quit was
// requested before it started; the result is the exit code.
int RunMainLoop();

// Readies the hand-over below; call it on the user-interface thread once the
// application object exists, before any other thread needs it.
void PrepareUiThread();
// Runs fn on the user-interface thread: directly when already there,
// otherwise it is queued and the caller waits until it has run. The
// user-interface thread runs queued calls whenever it takes events, modal
// dialogs included.
void RunOnUiThread(const std::function<void()>& fn);

// Without a display: messages go to standard error as the platform's
// headless desktop writes them, confirmations are answered No, there is no
// tray, and the quit request ends the Qt loop.
class QtHeadlessDesktop : public plat::Desktop {
public:
    QtHeadlessDesktop();

    void MessageBox(const std::string& text, const std::string& caption,
                    plat::MsgIcon icon) override;
    bool Confirm(const std::string& question) override;
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override;
    void ShowMessage(const std::string& text) override;
    void OpenUrl(const std::string& url) override;
    void PostQuit(int exitCode) override;
    bool TrayAdd(const plat::TrayIcon& icon) override;
    bool TrayModify(const plat::TrayIcon& icon) override;
    bool TrayDelete() override;

private:
    std::shared_ptr<plat::Desktop> lines_;
};

}  // namespace panel
