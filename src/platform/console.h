// The debug console: where the diagnostic trace goes. Nothing is attached
// until a console opens, and then a trace write costs a single atomic load
// when nothing listens.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace plat {

class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    // Called from any thread, without the caller holding a lock.
    virtual void Write(std::string_view text) = 0;
};

// Attaches (or, with nullptr, detaches) the sink of the open console.
void AttachConsole(std::shared_ptr<ConsoleSink> sink);
bool ConsoleAttached();
void ConsoleWrite(std::string_view text);

// Standard output as a console: each write flushed; when it is a terminal,
// control bytes other than CR, LF and TAB are shown escaped (\xNN) so a
// peer cannot send the terminal commands.
std::shared_ptr<ConsoleSink> MakeStdoutConsole();
// The escaping used for terminals, for reuse and tests.
void AppendEscapedForTerminal(std::string& out, std::string_view text);

}  // namespace plat
