#include "platform/lifecycle.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace plat {

namespace {

// The write end is used from the signal handler, so it lives in a plain
// lock-free atomic and the handler does nothing but write one byte.
std::atomic<int> wakeWrite{-1};
std::atomic<int> wakeRead{-1};

void OnTerminationSignal(int) {
    const int saved = errno;
    const int fd = wakeWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a pending request; losing this byte is fine.
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

bool OperatingSystemVersion(std::string& text) {
    struct utsname info {};
    if (::uname(&info) != 0) return false;
    text = std::string(info.sysname) + " " + info.release;
    return info.sysname[0] != '\0';
}

void RunInstead(const std::string& path, char* argv[]) { ::execv(path.c_str(), argv); }

int WatchTerminationRequests() {
    if (wakeRead.load() >= 0) return wakeRead.load();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    wakeRead.store(fds[0]);
    wakeWrite.store(fds[1]);

    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
    return fds[0];
}

bool TakeTerminationRequests() {
    const int fd = wakeRead.load();
    if (fd < 0) return false;
    bool any = false;
    char buffer[64];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return any;
    }
}

}  // namespace plat
