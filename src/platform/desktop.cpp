#include "platform/desktop.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/posix/no_destructor.h"

namespace plat {

namespace {

void WriteToStderr(std::string line) {
    line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n > 0)
            rest.remove_prefix(static_cast<std::size_t>(n));
        else if (!(n < 0 && errno == EINTR))
            return;
    }
}

struct QuitRecord {
    std::atomic<bool> requested{false};
    std::atomic<int> code{0};
};

QuitRecord& Quit() {
    static posix::NoDestructor<QuitRecord> record;
    return *record;
}

class HeadlessDesktop : public Desktop {
public:
    void MessageBox(const std::string& text, const std::string& caption, MsgIcon) override {
        WriteToStderr(caption.empty() ? text : caption + ": " + text);
    }
    bool Confirm(const std::string& question) override {
        WriteToStderr(question);
        return false;  // nobody to say yes
    }
    bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
    void ShowMessage(const std::string& text) override { WriteToStderr(text); }
    void OpenUrl(const std::string&) override {}
    void PostQuit(int exitCode) override {
        Quit().code.store(exitCode);
        Quit().requested.store(true);
    }
    bool TrayAdd(const TrayIcon&) override { return false; }
    bool TrayModify(const TrayIcon&) override { return false; }
    bool TrayDelete() override { return false; }
};

// The installed desktop. desktop() hands out a forwarder that takes its own
// reference for each call, so SetDesktop can replace the desktop while
// another thread is inside one of its calls.
struct Installed {
    std::mutex mutex;
    std::shared_ptr<Desktop> current;  // guarded by mutex
};

Installed& Slot() {
    static posix::NoDestructor<Installed> slot;
    return *slot;
}

std::shared_ptr<Desktop> Current() {
    Installed& slot = Slot();
    std::lock_guard lock(slot.mutex);
    if (!slot.current) slot.current = MakeHeadlessDesktop();
    return slot.current;
}

class Forwarder : public Desktop {
public:
    void MessageBox(const std::string& text, const std::string& caption, MsgIcon icon) override {
        Current()->MessageBox(text, caption, icon);
    }
    bool Confirm(const std::string& question) override { return Current()->Confirm(question); }
    bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override {
        return Current()->InputQuery(caption, prompt, value);
    }
    void ShowMessage(const std::string& text) override { Current()->ShowMessage(text); }
    void OpenUrl(const std::string& url) override { Current()->OpenUrl(url); }
    void PostQuit(int exitCode) override { Current()->PostQuit(exitCode); }
    bool TrayAdd(const TrayIcon& icon) override { return Current()->TrayAdd(icon); }
    bool TrayModify(const TrayIcon& icon) override { return Current()->TrayModify(icon); }
    bool TrayDelete() override { return Current()->TrayDelete(); }
};

}  // namespace

Desktop& desktop() {
    static posix::NoDestructor<Forwarder> forwarder;
    return *forwarder;
}

void SetDesktop(std::shared_ptr<Desktop> d) {
    Installed& slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.current = std::move(d);  // nullptr: back to headless on next use
}

std::shared_ptr<Desktop> MakeHeadlessDesktop() { return std::make_shared<HeadlessDesktop>(); }

bool QuitRequested(int* code) {
    if (!Quit().requested.load()) return false;
    if (code) *code = Quit().code.load();
    return true;
}

}  // namespace plat
