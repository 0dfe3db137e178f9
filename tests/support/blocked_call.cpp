#include "support/blocked_call.h"

#include <unistd.h>

#include <fstream>
#include <string>

namespace testsupport {

namespace {

// True when the thread is asleep ('S') in one of the system calls.
bool SleepsIn(pid_t tid, std::initializer_list<long> syscalls) {
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream statFile(task + "/stat");
    std::string stat;
    std::getline(statFile, stat);
    // The state follows the command name, which is in parentheses.
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S') return false;

    std::ifstream syscallFile(task + "/syscall");
    long number = -1;
    if (!(syscallFile >> number)) return false;  // "running"
    for (const long s : syscalls)
        if (s == number) return true;
    return false;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

pid_t CurrentThreadId() { return ::gettid(); }

bool WaitUntilBlockedIn(pid_t tid, std::initializer_list<long> syscalls,
                        std::chrono::milliseconds limit) {
    return WaitFor([&] { return SleepsIn(tid, syscalls); }, limit);
}

BlockingCall::BlockingCall(std::function<void()> call)
    : thread_([this, call = std::move(call)] {
          tid_.store(CurrentThreadId());
          call();
          done_.store(true);
      }) {}

BlockingCall::~BlockingCall() {
    if (thread_.joinable()) thread_.join();
}

bool BlockingCall::WaitBlockedIn(std::initializer_list<long> syscalls,
                                 std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (!WaitFor([&] { return tid_.load() != 0; }, limit)) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return WaitUntilBlockedIn(tid_.load(), syscalls, left);
}

bool BlockingCall::Join(std::chrono::milliseconds limit) {
    if (!WaitFor([&] { return done_.load(); }, limit)) return false;
    thread_.join();
    return true;
}

}  // namespace testsupport
