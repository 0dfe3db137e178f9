#include "device.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "site.h"
#include "util.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

// A request body that stops on a 0 byte and stays quiet this long was cut
// off by the client going away: the 0 was the end-of-connection byte. Well
// inside the second or so that the bridge waits for our answer to it.
constexpr auto kAbandonAfter = 500ms;
// After a hang-up on the master, look again this much later, not in a spin.
constexpr auto kHangupPause = 50ms;
// A request head that never ends is garbage, not a request.
constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxChunk = 64 * 1024;

}  // namespace

Log::Log(const std::string& file) {
    if (!file.empty()) {
        owned_.reset(std::fopen(file.c_str(), "w"));
        out_ = owned_.get();
    }
}

void Log::Line(const std::string& text) {
    if (!out_) return;
    const std::chrono::duration<double> t = Clock::now() - start_;
    std::fprintf(out_, "%9.3f %s\n", t.count(), text.c_str());
    std::fflush(out_);
}

Pacer::Pacer(unsigned baud)
    : bytesPerSecond_(baud / 10.0),
      slice_(std::max<std::size_t>(1, static_cast<std::size_t>(bytesPerSecond_ / 100))) {}

std::size_t Pacer::Allowance(Clock::time_point now) const {
    if (bytesPerSecond_ <= 0) return kMaxChunk;
    if (now < next_) return 0;
    const std::chrono::duration<double> behind = now - next_;
    const auto catchUp = static_cast<std::size_t>(behind.count() * bytesPerSecond_);
    return slice_ + std::min(catchUp, 2 * slice_);
}

void Pacer::Spent(std::size_t n, Clock::time_point now) {
    if (bytesPerSecond_ <= 0) return;
    // Credit for an idle line is capped: a pause is not paid back in a burst.
    const auto start = std::max(next_, now - 20ms);
    next_ = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(n / bytesPerSecond_));
}

Device::Device(Options options, Log& log)
    : opt_(std::move(options)), log_(log), outPacer_(opt_.baud), inPacer_(opt_.readBaud) {}

bool Device::OpenLine() {
    std::string error;
    pty_ = OpenPty(error);
    if (!pty_) {
        log_.Line("cannot create the line: " + error);
        return false;
    }
    linkTarget_ = pty_->slaveName;
    std::string shown = pty_->slaveName;
    if (!opt_.link.empty()) {
        if (!PlaceLink(opt_.link, pty_->slaveName, error)) {
            log_.Line("cannot link " + opt_.link + ": " + error);
            return false;
        }
        shown = opt_.link;
    }
    outPacer_.Restart();
    inPacer_.Restart();
    std::printf("linked %s -> %s\n", shown.c_str(), pty_->slaveName.c_str());
    std::fflush(stdout);
    log_.Line("line up: " + shown + " -> " + pty_->slaveName);
    return true;
}

void Device::DropPending(const char* why) {
    if (!head_.empty() || inBody_) {
        log_.Line(std::string("dropped ") + std::to_string(head_.size() + body_.size()) + " bytes: " + why);
    }
    ResetRequest();
}

void Device::ResetRequest() {
    head_.clear();
    body_.clear();
    headText_.clear();
    inBody_ = false;
    bodyLeft_ = 0;
}

void Device::Vanish(Clock::time_point now) {
    log_.Line("vanishing after " + std::to_string(replyBytesSent_) + " reply bytes; " +
              (opt_.link.empty() ? std::string("no link") : opt_.link + " left dangling"));
    pty_.reset();
    vanished_ = true;
    out_.clear();
    DropPending("line gone");
    linePausedUntil_.reset();
    if (opt_.returnAfterMs >= 0) returnAt_ = now + std::chrono::milliseconds(opt_.returnAfterMs);
}

void Device::OnZero(Clock::time_point now) {
    if (opt_.silent || opt_.noHandshake) {
        log_.Line("handshake: 0 received, not answered");
        return;
    }
    if (opt_.abortOnZero && !out_.empty()) {
        log_.Line("handshake: 0 received, rest of the answer dropped");
        out_.clear();
    }
    log_.Line("handshake: 0 received, answering " + (opt_.handshakeJunk.empty() ? "" : Escape(opt_.handshakeJunk) + " and ") +
              "0" + (opt_.handshakeDelayMs ? " after " + std::to_string(opt_.handshakeDelayMs) + " ms" : ""));
    out_.push_back({opt_.handshakeJunk + '\0', now + std::chrono::milliseconds(opt_.handshakeDelayMs), false});
}

void Device::OnRequest(Clock::time_point now) {
    Request request = ParseHead(headText_);
    if (head_.size() > kMaxHead) request.malformed = true;
    request.body = std::move(body_);
    ResetRequest();
    log_.Line("request: " + Escape(request.method + " " + request.target + " " + request.version) +
              (request.body.empty() ? "" : " with " + std::to_string(request.body.size()) + " body bytes"));
    if (opt_.silent) {
        log_.Line("silent: not answered");
        return;
    }
    const bool isId = !request.malformed && request.method == "GET" && request.Path() == "/id";
    std::string reply;
    if (opt_.replyBytes) {
        reply = Pattern(*opt_.replyBytes);
    } else if (isId && opt_.idReply) {
        reply = *opt_.idReply;
    } else {
        reply = Answer(request);
    }
    const int delay = opt_.delayMs + (isId ? opt_.idDelayMs : 0);
    log_.Line("answer: " + Escape(reply.substr(0, reply.find("\r\n")), 60) + " (" + std::to_string(reply.size()) +
              " bytes" + (opt_.noEof ? ", no end 0" : " + 0") +
              (opt_.afterEof.empty() ? "" : " + " + Escape(opt_.afterEof)) + ")" +
              (delay ? " after " + std::to_string(delay) + " ms" : ""));
    if (!opt_.noEof) reply += '\0';
    reply += opt_.afterEof;
    out_.push_back({std::move(reply), now + std::chrono::milliseconds(delay), true});
}

void Device::Feed(char byte, Clock::time_point now) {
    lastInput_ = now;
    lastWasZero_ = byte == '\0';
    if (inBody_) {
        body_ += byte;
        if (--bodyLeft_ == 0) OnRequest(now);
        return;
    }
    if (byte == '\0') {
        DropPending("unfinished request cut by a 0 byte");
        OnZero(now);
        return;
    }
    if (head_.empty() && (byte == '\r' || byte == '\n')) return;  // stray line end between requests
    head_ += byte;
    const bool crlf = head_.size() >= 4 && head_.compare(head_.size() - 4, 4, "\r\n\r\n") == 0;
    const bool lf = head_.size() >= 2 && head_.compare(head_.size() - 2, 2, "\n\n") == 0;
    if (!crlf && !lf && head_.size() <= kMaxHead) return;
    headText_ = head_.substr(0, head_.size() - (crlf ? 4 : lf ? 2 : 0));
    const Request request = ParseHead(headText_);
    if (!request.malformed && request.contentLength.value_or(0) > 0 && head_.size() <= kMaxHead) {
        inBody_ = true;
        bodyLeft_ = *request.contentLength;
        return;
    }
    OnRequest(now);
}

void Device::ReadSome(Clock::time_point now) {
    char buf[kMaxChunk];
    const std::size_t want = std::min(inPacer_.Allowance(now), sizeof buf);
    const ssize_t n = ::read(pty_->master.Get(), buf, want);
    if (n > 0) {
        log_.Line("rx " + std::to_string(n) + ": " + Escape(std::string_view(buf, static_cast<std::size_t>(n))));
        inPacer_.Spent(static_cast<std::size_t>(n), now);
        for (ssize_t i = 0; i < n && pty_; ++i) Feed(buf[i], now);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // EIO: nobody holds the slave side. We do, so this is rare; wait it out.
        linePausedUntil_ = now + kHangupPause;
    }
}

bool Device::FrontReady(Clock::time_point now) const { return !out_.empty() && now >= out_.front().notBefore; }

void Device::WriteSome(Clock::time_point now) {
    if (!FrontReady(now)) return;
    Segment& seg = out_.front();
    std::size_t n = std::min(seg.bytes.size() - seg.sent, outPacer_.Allowance(now));
    if (seg.reply && opt_.vanishAfter && !vanished_) {
        if (replyBytesSent_ >= *opt_.vanishAfter) return Vanish(now);
        n = std::min<std::uint64_t>(n, *opt_.vanishAfter - replyBytesSent_);
    }
    if (n == 0) return;
    const ssize_t k = ::write(pty_->master.Get(), seg.bytes.data() + seg.sent, n);
    if (k < 0) {
        if (errno != EAGAIN && errno != EINTR) linePausedUntil_ = now + kHangupPause;
        return;
    }
    seg.sent += static_cast<std::size_t>(k);
    outPacer_.Spent(static_cast<std::size_t>(k), now);
    if (seg.reply) replyBytesSent_ += static_cast<std::size_t>(k);
    if (seg.sent == seg.bytes.size()) {
        log_.Line(std::string(seg.reply ? "answer" : "handshake answer") + " sent, " + std::to_string(seg.bytes.size()) +
                  " bytes");
        out_.pop_front();
    }
    if (opt_.vanishAfter && !vanished_ && replyBytesSent_ >= *opt_.vanishAfter) Vanish(now);
}

int Device::Run(int signalFd) {
    if (!OpenLine()) return 1;
    int code = 0;
    for (;;) {
        auto now = Clock::now();
        if (returnAt_ && now >= *returnAt_) {
            returnAt_.reset();
            if (!OpenLine()) {
                code = 1;
                break;
            }
        }
        if (linePausedUntil_ && now >= *linePausedUntil_) linePausedUntil_.reset();
        if (inBody_ && lastWasZero_ && now - lastInput_ >= kAbandonAfter) {
            DropPending("request body stopped at a 0 byte: the client went away");
            OnZero(now);
        }

        auto deadline = now + 1h;
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {-1, 0, 0}};
        const bool lineUp = pty_ && !linePausedUntil_;
        if (lineUp) {
            fds[1].fd = pty_->master.Get();
            if (inPacer_.Allowance(now) > 0) {
                fds[1].events |= POLLIN;
            } else {
                deadline = std::min(deadline, inPacer_.Ready());
            }
            if (!out_.empty()) {
                if (!FrontReady(now)) {
                    deadline = std::min(deadline, out_.front().notBefore);
                } else if (outPacer_.Allowance(now) > 0) {
                    fds[1].events |= POLLOUT;
                } else {
                    deadline = std::min(deadline, outPacer_.Ready());
                }
            }
        }
        if (linePausedUntil_) deadline = std::min(deadline, *linePausedUntil_);
        if (returnAt_) deadline = std::min(deadline, *returnAt_);
        if (inBody_ && lastWasZero_) deadline = std::min(deadline, lastInput_ + kAbandonAfter);

        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(deadline - now, Clock::duration(0)));
        timespec ts{static_cast<time_t>(wait.count() / 1'000'000'000), static_cast<long>(wait.count() % 1'000'000'000)};
        if (::ppoll(fds, lineUp ? 2 : 1, &ts, nullptr) < 0 && errno != EINTR) {
            log_.Line(std::string("poll: ") + std::strerror(errno));
            code = 1;
            break;
        }
        now = Clock::now();
        if (fds[0].revents) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) > 0) log_.Line(std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)) + ", leaving");
            break;
        }
        if (!lineUp) continue;
        const short ev = fds[1].revents;
        if (ev & POLLIN) ReadSome(now);
        // An answer that is due goes out in the same turn as the bytes that asked for it.
        if (pty_ && (ev & (POLLIN | POLLOUT))) WriteSome(now);
        if (pty_ && (ev & (POLLHUP | POLLERR)) && !(ev & POLLIN)) linePausedUntil_ = now + kHangupPause;
    }
    if (!opt_.link.empty() && !linkTarget_.empty()) RemoveLink(opt_.link, linkTarget_);
    return code;
}

}  // namespace sim
