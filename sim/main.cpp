// quarn-sim: a Quarn device on a pseudo-terminal, for tests, benchmarks and
// the demo. See --help.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "device.h"
#include "pty.h"
#include "util.h"

namespace {

const char kUsage[] = R"(usage: quarn-sim [options]
A simulated Quarn device: answers HTTP requests read from a pseudo-terminal,
ending each answer with a 0 byte, and answers a lone 0 byte with a 0 byte.
Prints "linked <PATH> -> /dev/pts/N" when the line is ready.

  --link PATH              link the line as PATH (e.g. build/dosdevices/com1)
  --log FILE               log to FILE instead of stderr
  --baud N                 send at N baud (10 bits a byte)
  --read-baud N            read at N baud
  --delay-ms N             wait N ms before answering a request
  --id-delay-ms N          wait N ms more before answering /id
  --id-reply STR           answer /id with exactly STR (then the 0 byte)
  --reply-bytes N          answer every request with N pattern bytes, no headers
  --no-eof                 never end an answer with the 0 byte
  --after-eof STR          send STR after the 0 byte of every answer
  --no-handshake           never answer a lone 0 byte
  --handshake-delay-ms N   answer a lone 0 byte N ms late
  --handshake-junk STR     send STR before the 0 byte that answers a 0 byte
  --abort-on-zero          a 0 byte drops what is left of the answer being sent
  --silent                 never answer anything
  --vanish-after N         close the line after N answer bytes (link left dangling)
  --return-after-ms M      after vanishing, come back on a new line after M ms
STR may hold the escapes \r \n \t \0 \\ \xNN.
Pages: / (form and picture), /logo.svg, /form?name=X, /id, /bytes/N, /big,
POST /echo, POST /sum. SIGTERM or SIGINT removes the link and exits 0.
)";

template <typename T>
bool ParseNumber(std::string_view text, T& out) {
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && p == text.data() + text.size();
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "quarn-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options opt;
    using Setter = std::function<bool(std::string_view)>;
    auto number = [](auto& field) {
        return Setter([&field](std::string_view v) {
            std::remove_reference_t<decltype(field)> n{};
            if (!ParseNumber(v, n)) return false;
            field = n;
            return true;
        });
    };
    auto bytes = [](auto& field) {
        return Setter([&field](std::string_view v) {
            const auto s = sim::Unescape(v);
            if (!s) return false;
            field = *s;
            return true;
        });
    };
    auto text = [](std::string& field) { return Setter([&field](std::string_view v) { return field = v, true; }); };
    std::size_t replyBytes = 0;
    std::uint64_t vanishAfter = 0;
    const std::map<std::string, Setter, std::less<>> withValue = {
        {"--link", text(opt.link)},
        {"--log", text(opt.logFile)},
        {"--baud", number(opt.baud)},
        {"--read-baud", number(opt.readBaud)},
        {"--delay-ms", number(opt.delayMs)},
        {"--id-delay-ms", number(opt.idDelayMs)},
        {"--handshake-delay-ms", number(opt.handshakeDelayMs)},
        {"--return-after-ms", number(opt.returnAfterMs)},
        {"--handshake-junk", bytes(opt.handshakeJunk)},
        {"--after-eof", bytes(opt.afterEof)},
        {"--id-reply", bytes(opt.idReply)},
        {"--reply-bytes", Setter([&](std::string_view v) { return ParseNumber(v, replyBytes) && (opt.replyBytes = replyBytes, true); })},
        {"--vanish-after", Setter([&](std::string_view v) { return ParseNumber(v, vanishAfter) && (opt.vanishAfter = vanishAfter, true); })},
    };
    const std::map<std::string, bool*, std::less<>> flags = {
        {"--no-eof", &opt.noEof}, {"--no-handshake", &opt.noHandshake},
        {"--silent", &opt.silent}, {"--abort-on-zero", &opt.abortOnZero},
    };

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (const auto f = flags.find(arg); f != flags.end()) {
            *f->second = true;
            continue;
        }
        std::string_view value;
        bool inlineValue = false;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        const auto s = withValue.find(arg);
        if (s == withValue.end()) return Fail("unknown option " + std::string(argv[i]));
        if (!inlineValue) {
            if (i + 1 >= argc) return Fail("missing value for " + std::string(arg));
            value = argv[++i];
        }
        if (!s->second(value)) return Fail("bad value for " + std::string(arg) + ": " + std::string(value));
    }
    if (opt.delayMs < 0 || opt.idDelayMs < 0 || opt.handshakeDelayMs < 0) return Fail("delays cannot be negative");

    // Signals arrive as readable data in the device's poll loop.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const sim::Fd signals(::signalfd(-1, &set, SFD_CLOEXEC));
    if (!signals.Valid()) {
        std::perror("quarn-sim: signalfd");
        return 1;
    }

    sim::Log log(opt.logFile);
    if (!log.Ok()) {
        std::fprintf(stderr, "quarn-sim: cannot open log %s: %s\n", opt.logFile.c_str(), std::strerror(errno));
        return 1;
    }
    sim::Device device(opt, log);
    return device.Run(signals.Get());
}
