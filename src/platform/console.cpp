#include "platform/console.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/posix/no_destructor.h"

namespace plat {

namespace {

struct ConsoleState {
    std::atomic<bool> attached{false};  // the cheap test for "nobody listens"
    std::mutex mutex;
    std::shared_ptr<ConsoleSink> sink;  // guarded by mutex
};

ConsoleState& State() {
    // Worker threads may still trace while the process exits.
    static posix::NoDestructor<ConsoleState> state;
    return *state;
}

// Writes every byte, riding out partial writes, signals and a non-blocking
// descriptor; gives up only when the descriptor fails.
void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, -1);
            continue;
        }
        return;
    }
}

class StdoutConsole : public ConsoleSink {
public:
    void Write(std::string_view text) override {
        if (!terminal_) {
            WriteAll(STDOUT_FILENO, text);
            return;
        }
        std::string shown;
        AppendEscapedForTerminal(shown, text);
        WriteAll(STDOUT_FILENO, shown);
    }

private:
    const bool terminal_ = ::isatty(STDOUT_FILENO) == 1;
};

void AppendHex(std::string& out, unsigned char c) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0F];
}

}  // namespace

void AttachConsole(std::shared_ptr<ConsoleSink> sink) {
    ConsoleState& state = State();
    std::lock_guard lock(state.mutex);
    state.attached.store(sink != nullptr);
    state.sink = std::move(sink);
}

bool ConsoleAttached() { return State().attached.load(std::memory_order_relaxed); }

void ConsoleWrite(std::string_view text) {
    ConsoleState& state = State();
    if (!state.attached.load(std::memory_order_relaxed)) return;
    std::shared_ptr<ConsoleSink> sink;
    {
        std::lock_guard lock(state.mutex);
        sink = state.sink;
    }
    // Written outside the lock: a slow terminal must not hold up a detach.
    if (sink) sink->Write(text);
}

std::shared_ptr<ConsoleSink> MakeStdoutConsole() { return std::make_shared<StdoutConsole>(); }

void AppendEscapedForTerminal(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7F) {
            AppendHex(out, c);
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F in UTF-8: the C1 controls (CSI among them),
            // which a UTF-8 terminal obeys just like ESC sequences.
            AppendHex(out, c);
            AppendHex(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
}

}  // namespace plat
