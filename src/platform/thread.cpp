#include "platform/thread.h"

#include <chrono>
#include <system_error>

namespace plat {

namespace {
// The Thread object whose body runs on this OS thread, if any.
thread_local Thread* tlCurrentThread = nullptr;
}  // namespace

void Sleep(std::uint32_t ms) {
    if (ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---------------------------------------------------------------------------

Event::Event(bool manualReset, bool initialState) : signalled_(initialState), manualReset_(manualReset) {}

void Event::Set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

std::uint32_t Event::Wait(std::uint32_t ms) {
    std::unique_lock lock(mutex_);
    const auto signalled = [this] { return signalled_; };
    if (ms == kInfinite)
        cv_.wait(lock, signalled);
    else if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), signalled))
        return kWaitTimeout;
    if (!manualReset_) signalled_ = false;
    return kWaitObject0;
}

bool Event::IsSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

// ---------------------------------------------------------------------------

Thread::Thread(bool createSuspended) : suspendRequested_(createSuspended) {}

Thread::~Thread() {
    if (!thread_.joinable()) return;
    // A body that has returned is joined; one that still runs is left to
    // end with the process rather than taking the process down here.
    if (finished_.load() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
    else
        thread_.detach();
}

bool Thread::Start() {
    {
        std::lock_guard lock(mutex_);
        if (started_) return false;
        started_ = true;
    }
    try {
        thread_ = std::thread([this] { Body(); });
    } catch (const std::system_error&) {
        std::lock_guard lock(mutex_);
        started_ = false;
        return false;
    }
    return true;
}

void Thread::Suspend() {
    if (tlCurrentThread == this) {
        suspendRequested_.store(true);
        Checkpoint();
        return;
    }
    std::unique_lock lock(mutex_);
    suspendRequested_.store(true);
    cv_.wait(lock, [this] {
        return !suspendRequested_.load() || parked_ || inSafeRegion_ || finished_.load() || !started_;
    });
}

void Thread::Resume() {
    {
        std::lock_guard lock(mutex_);
        if (!suspendRequested_.load()) return;
        suspendRequested_.store(false);
    }
    cv_.notify_all();
}

void Thread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Thread::Detach() {
    if (thread_.joinable()) thread_.detach();
}

void Thread::Checkpoint() {
    std::unique_lock lock(mutex_);
    if (!suspendRequested_.load()) return;
    parked_ = true;
    cv_.notify_all();  // the suspending thread waits for this
    cv_.wait(lock, [this] { return !suspendRequested_.load(); });
    parked_ = false;
}

void Thread::EnterSafeRegion() {
    {
        std::lock_guard lock(mutex_);
        inSafeRegion_ = true;
    }
    cv_.notify_all();
}

void Thread::LeaveSafeRegion() {
    {
        std::lock_guard lock(mutex_);
        inSafeRegion_ = false;
    }
    Checkpoint();
}

void Thread::SafeSleep(std::uint32_t ms) {
    EnterSafeRegion();
    Sleep(ms);
    LeaveSafeRegion();
}

void Thread::Body() {
    tlCurrentThread = this;
    Checkpoint();
    Execute();
    {
        std::lock_guard lock(mutex_);
        finished_.store(true);
    }
    cv_.notify_all();
}

}  // namespace plat
