// The desktop seam on Qt: message boxes and dialogs, the browser, the tray
// icon and the quit request, for a desktop (QtDesktop) and for a machine
// without a display (QtHeadlessDesktop). Every call may come from any
// thread; one made off the user-interface thread runs there while the
// caller waits.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "platform/desktop.h"

class QSystemTrayIcon;
class QWidget;

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

// Runs fn on the user-interface thread: directly when already there,
// otherwise through a blocking hand-over.
void RunOnUiThread(const std::function<void()>& fn);

class QtDesktop : public QObject, public plat::Desktop {
    Q_OBJECT
public:
    QtDesktop();
    ~QtDesktop() override;

    // The window that owns the message boxes.
    void SetOwner(QWidget* owner);
    // Mouse activity on the tray icon arrives as (icon id 1, mouse message
    // number); appeared runs when a tray shows up after the icon could not
    // be added.
    void SetTrayHandlers(std::function<void(int, int)> message, std::function<void()> appeared);

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
    void OnActivated(int reason);
    void PollForTray();

    QPointer<QWidget> owner_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QTimer trayPoll_;
    std::function<void(int, int)> trayMessage_;
    std::function<void()> trayAppeared_;
};

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
