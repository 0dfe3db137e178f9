// The simulated Quarn device: reads HTTP requests from its serial line and
// answers each with a reply and a 0 byte; answers a lone 0 byte with a 0 byte.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "pty.h"

namespace sim {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string link;           // empty: no link, the pts path is the line
    std::string logFile;        // empty: stderr
    unsigned baud = 0;          // 0: as fast as the pty goes
    unsigned readBaud = 0;
    int delayMs = 0;
    int handshakeDelayMs = 0;
    int idDelayMs = 0;
    int returnAfterMs = -1;     // -1: a vanished device stays away
    bool noEof = false;
    bool noHandshake = false;
    bool silent = false;
    bool abortOnZero = false;
    std::string handshakeJunk;
    std::string afterEof;
    std::optional<std::string> idReply;
    std::optional<std::size_t> replyBytes;
    std::optional<std::uint64_t> vanishAfter;
};

// Timestamped lines on stderr or a file, flushed one by one so that a test
// reading the file sees them at once.
class Log {
public:
    explicit Log(const std::string& file);
    bool Ok() const { return out_ != nullptr; }
    void Line(const std::string& text);

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> owned_;
    std::FILE* out_ = stderr;
    Clock::time_point start_ = Clock::now();
};

// Moves bytes at a baud rate (10 bits a byte) in slices of about 10 ms,
// timed by the clock: a late turn catches up instead of slowing the line.
class Pacer {
public:
    explicit Pacer(unsigned baud);
    // Bytes that may move now; 0 means wait until Ready().
    std::size_t Allowance(Clock::time_point now) const;
    Clock::time_point Ready() const { return next_; }
    void Spent(std::size_t n, Clock::time_point now);
    void Restart() { next_ = {}; }

private:
    double bytesPerSecond_;
    std::size_t slice_;
    Clock::time_point next_{};
};

class Device {
public:
    Device(Options options, Log& log);
    // Runs until a signal arrives on `signalFd` (exit code 0), or the line
    // cannot be set up (non-zero).
    int Run(int signalFd);

private:
    struct Segment {
        std::string bytes;
        Clock::time_point notBefore;
        bool reply;  // counts towards --vanish-after
        std::size_t sent = 0;
    };

    bool OpenLine();
    void Vanish(Clock::time_point now);
    void ReadSome(Clock::time_point now);
    void WriteSome(Clock::time_point now);
    void Feed(char byte, Clock::time_point now);
    void OnZero(Clock::time_point now);
    void OnRequest(Clock::time_point now);
    void DropPending(const char* why);
    void ResetRequest();
    bool FrontReady(Clock::time_point now) const;

    Options opt_;
    Log& log_;
    std::optional<Pty> pty_;
    std::string linkTarget_;
    Pacer outPacer_;
    Pacer inPacer_;
    std::deque<Segment> out_;
    std::uint64_t replyBytesSent_ = 0;
    bool vanished_ = false;
    std::optional<Clock::time_point> returnAt_;
    std::optional<Clock::time_point> linePausedUntil_;  // after a hang-up, poll again later

    // The request being received.
    std::string head_;
    bool inBody_ = false;
    std::size_t bodyLeft_ = 0;
    std::string body_;
    std::string headText_;
    bool lastWasZero_ = false;
    Clock::time_point lastInput_{};
};

}  // namespace sim
