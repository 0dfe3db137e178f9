// The debug console on a desktop: a window of the program's own that shows
// the diagnostic trace. Trace writes from any thread go to a bounded buffer;
// the window takes what has gathered every 50 ms, so a fast trace costs the
// writers a short lock and never blocks them on the window.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QPlainTextEdit;

namespace panel_detail {
class ConsoleFeed;
class ConsoleView;
}  // namespace panel_detail

class DebugConsole {
public:
    // Text waiting for the window is cut back to half of this when it grows
    // past it (oldest first), with a mark where text was dropped.
    static constexpr std::size_t kMaxPendingBytes = 4u << 20;
    // The window keeps this many lines; older ones scroll away.
    static constexpr int kMaxLines = 5000;
    // Longer lines are broken: one huge line would stall the text view.
    static constexpr int kMaxLineChars = 4096;
    // Shown where the buffer dropped text the window never got.
    static constexpr const char* kDroppedMark = "[... trace dropped ...]";

    DebugConsole();
    ~DebugConsole();
    DebugConsole(const DebugConsole&) = delete;
    DebugConsole& operator=(const DebugConsole&) = delete;

    // All members below: user-interface thread only, with the application
    // object alive (destroy the console before it).

    // Shows a new, empty console window and routes the trace to it (the
    // console sink of the platform layer). False when one is open already.
    bool Open();
    // Stops the trace to the window and hides it. Nothing is kept for the
    // next Open.
    void Close();
    bool IsOpen() const { return open_; }
    // Kept for the next Open when no window is open.
    void SetTitle(const std::string& title);

    // Runs when the user closes the console window or presses Ctrl+Break in
    // it: meant to end the program at once. If it returns, the window stays
    // open. Ctrl+C is left to the text view, which copies the selection.
    std::function<void()> onControlEvent;

    // The text view, for checks; null before the first Open.
    QPlainTextEdit* View() const;

private:
    void Drain();

    std::shared_ptr<panel_detail::ConsoleFeed> feed_;
    std::unique_ptr<panel_detail::ConsoleView> view_;
    std::string title_;
    bool open_ = false;
    // Decoding state carried from one drain to the next.
    int column_ = 0;
    bool pendingCr_ = false;
    std::string partialUtf8_;
};
