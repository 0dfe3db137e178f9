// Knowing, without timing guesses, that a thread has gone to sleep inside a
// blocking system call: what a test needs before it tries to wake it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <thread>

namespace testsupport {

// The kernel's id of the calling thread.
pid_t CurrentThreadId();

// Waits until thread tid of this process sleeps in one of the given system
// calls (numbers from <sys/syscall.h>); false when the limit passes first.
bool WaitUntilBlockedIn(pid_t tid, std::initializer_list<long> syscalls,
                        std::chrono::milliseconds limit = std::chrono::seconds(20));

// A call run on a thread of its own, so the test can watch it block and
// then wake it. The destructor joins; results the call stores are safe to
// read after Join().
class BlockingCall {
public:
    explicit BlockingCall(std::function<void()> call);
    ~BlockingCall();
    BlockingCall(const BlockingCall&) = delete;
    BlockingCall& operator=(const BlockingCall&) = delete;

    // True once the call sleeps in one of the system calls.
    bool WaitBlockedIn(std::initializer_list<long> syscalls,
                       std::chrono::milliseconds limit = std::chrono::seconds(20));
    // True when the call returned within the limit (then joined).
    bool Join(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace testsupport
