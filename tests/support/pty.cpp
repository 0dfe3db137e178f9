#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

PtyDevice::PtyDevice(const std::string& deviceDir, int comPort)
    : link_(deviceDir + "/com" + std::to_string(comPort)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) return;
    slaveName_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) return;
    // A new pty echoes and buffers by lines until it is made raw.
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    ::unlink(link_.c_str());
    if (::symlink(name, link_.c_str()) != 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

PtyDevice::~PtyDevice() {
    Vanish();
    // The name may already lead to a device that took our place.
    char target[128];
    const ssize_t n = ::readlink(link_.c_str(), target, sizeof target);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slaveName_) ::unlink(link_.c_str());
}

bool PtyDevice::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            if (::poll(&p, 1, 20000) <= 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string PtyDevice::Read(std::size_t n, std::chrono::milliseconds limit) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0)
            out.append(buf, static_cast<std::size_t>(got));
        else if (!(got < 0 && (errno == EAGAIN || errno == EINTR)))
            break;
    }
    return out;
}

std::string PtyDevice::ReadAvailable() {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(master_, buf, sizeof buf);
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

void PtyDevice::Vanish() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

}  // namespace testsupport
