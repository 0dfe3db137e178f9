// The simulated serial line: a pseudo-terminal pair and the COM-port link
// that points at its slave side.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace sim {

// An owned descriptor, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset();

private:
    int fd_ = -1;
};

// Master side for the device, slave side held open by the device itself so
// that a program closing its port does not hang the line up.
struct Pty {
    Fd master;  // non-blocking
    Fd slave;
    std::string slaveName;  // /dev/pts/N
};

// A raw pty pair, or nullopt with the reason in `error`.
std::optional<Pty> OpenPty(std::string& error);

// Points `link` at `target`, creating its folder; an existing link is
// replaced in one step so an opener never finds the name missing.
bool PlaceLink(const std::string& link, const std::string& target, std::string& error);

// Removes `link` when it still points at `target` (another device may have
// taken the name over).
void RemoveLink(const std::string& link, const std::string& target);

}  // namespace sim
