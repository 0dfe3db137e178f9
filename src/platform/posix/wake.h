// Ending a blocking call from another thread. Closing a descriptor wakes
// nobody on Linux, so every thread owns an eventfd that it polls beside the
// descriptor it waits on; an object that can be closed, purged or re-armed
// keeps the set of threads waiting on it and signals them all.
#pragma once

#include <vector>

namespace plat::posix {

// This thread's wake descriptor, created on first use; -1 (errno set) when
// it cannot be created.
int ThisThreadWakeFd();
// Takes every pending signal off a wake descriptor.
void DrainWakeFd(int fd);

// The wake descriptors of the threads blocked on one object. Guarded by the
// owner's mutex.
class WaiterSet {
public:
    void Add(int wakeFd) { fds_.push_back(wakeFd); }
    void Remove(int wakeFd);
    void SignalAll() const;

private:
    std::vector<int> fds_;
};

}  // namespace plat::posix
