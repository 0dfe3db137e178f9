// The desktop seam on a Qt desktop: message boxes and dialogs, the browser,
// the tray icon and the quit request. Every call may come from any thread;
// one made off the user-interface thread runs there while the caller waits.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "panel/qt_loop.h"
#include "platform/desktop.h"

class QSystemTrayIcon;
class QWidget;

namespace panel {

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

}  // namespace panel
