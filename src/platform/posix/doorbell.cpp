#include "platform/doorbell.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace plat {

Doorbell::Doorbell() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Doorbell::~Doorbell() {
    if (fd_ >= 0) ::close(fd_);
}

void Doorbell::Ring() {
    const std::uint64_t one = 1;
    // Only a counter at its limit refuses, and that is a ring pending anyway.
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void Doorbell::Answer() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
}

}  // namespace plat
