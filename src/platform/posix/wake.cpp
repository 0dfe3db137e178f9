#include "platform/posix/wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/posix/unique_fd.h"

namespace plat::posix {

namespace {

class ThreadWake {
public:
    int get() {
        // A failed creation (descriptor limit) is tried again on the next call.
        if (!fd_) fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        return fd_.get();
    }

private:
    UniqueFd fd_;
};

}  // namespace

int ThisThreadWakeFd() {
    thread_local ThreadWake wake;
    return wake.get();
}

void DrainWakeFd(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void WaiterSet::Remove(int wakeFd) {
    const auto it = std::find(fds_.begin(), fds_.end(), wakeFd);
    if (it != fds_.end()) fds_.erase(it);
}

void WaiterSet::SignalAll() const {
    const std::uint64_t one = 1;
    for (const int fd : fds_) {
        // EAGAIN means the counter is already non-zero: the waiter is woken anyway.
        while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace plat::posix
