// The desktop seam: message boxes, dialogs, the browser, the tray and the
// application's quit request. The Qt side implements it for a desktop, the
// headless side for a machine without a display, and tests script it.
// Every call may come from any thread; an implementation that needs the
// user-interface thread hands the call over and blocks until it has run.
#pragma once

#include <memory>
#include <string>

namespace plat {

enum class MsgIcon { None, Error, Warning, Information, Question };

struct TrayIcon {
    std::string iconName;  // SERVER_CONN, SERVER_DISC, SERVER_ERR, ...
    std::string tip;
};

class Desktop {
public:
    virtual ~Desktop() = default;
    // A modal message box with an OK button.
    virtual void MessageBox(const std::string& text, const std::string& caption, MsgIcon icon) = 0;
    // The toolkit's confirmation dialog (caption "Confirm", Yes and No): true for Yes.
    virtual bool Confirm(const std::string& question) = 0;
    // An input dialog with OK and Cancel; false for Cancel.
    virtual bool InputQuery(const std::string& caption, const std::string& prompt,
                            std::string& value) = 0;
    // The plain message dialog with an OK button.
    virtual void ShowMessage(const std::string& text) = 0;
    // Opens a URL with the desktop's handler, never through a shell.
    virtual void OpenUrl(const std::string& url) = 0;
    // Posts a quit request to the user-interface thread's loop.
    virtual void PostQuit(int exitCode) = 0;
    // The notification-area icon. Add reports whether it was added.
    virtual bool TrayAdd(const TrayIcon& icon) = 0;
    virtual bool TrayModify(const TrayIcon& icon) = 0;
    virtual bool TrayDelete() = 0;
};

// The desktop in force; a headless one until another is installed.
Desktop& desktop();
void SetDesktop(std::shared_ptr<Desktop> d);

// Lines on standard error: "caption: text", confirmations answered No.
std::shared_ptr<Desktop> MakeHeadlessDesktop();

// Whether a headless desktop was asked to quit, and with which exit code.
bool QuitRequested(int* code);

}  // namespace plat
