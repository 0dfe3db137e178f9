#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace sim {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void Fd::Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

static std::string Why(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::optional<Pty> OpenPty(std::string& error) {
    Pty pty;
    pty.master = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!pty.master.Valid()) return error = Why("posix_openpt"), std::nullopt;
    if (::grantpt(pty.master.Get()) != 0) return error = Why("grantpt"), std::nullopt;
    if (::unlockpt(pty.master.Get()) != 0) return error = Why("unlockpt"), std::nullopt;
    char name[128];
    if (::ptsname_r(pty.master.Get(), name, sizeof name) != 0) return error = Why("ptsname"), std::nullopt;
    pty.slaveName = name;
    pty.slave = Fd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.slave.Valid()) return error = Why("open slave"), std::nullopt;
    // A new pair echoes and buffers lines; a serial device line does neither.
    termios tio{};
    if (::tcgetattr(pty.slave.Get(), &tio) != 0) return error = Why("tcgetattr"), std::nullopt;
    ::cfmakeraw(&tio);
    if (::tcsetattr(pty.slave.Get(), TCSANOW, &tio) != 0) return error = Why("tcsetattr"), std::nullopt;
    return pty;
}

bool PlaceLink(const std::string& link, const std::string& target, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(link);
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), ec);
        if (ec) return error = "create folder for " + link + ": " + ec.message(), false;
    }
    const std::string tmp = link + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) return error = Why("symlink"), false;
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        error = Why("rename");
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void RemoveLink(const std::string& link, const std::string& target) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

}  // namespace sim
