// Threads that another thread can suspend and resume, manual-reset events,
// and pauses.
//
// POSIX cannot freeze a thread from outside, so the thread carries its own
// suspension: Suspend() returns once the thread has parked at a checkpoint or
// is inside a region it marked safe (a wait that touches no shared handle);
// it parks as soon as it leaves that region. Resume() lets it go on from
// there. Suspended() is true from the request on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace plat {

void Sleep(std::uint32_t ms);  // 0 yields the processor once

inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 1;
inline constexpr std::uint32_t kWaitAbandoned = 2;
inline constexpr std::uint32_t kWaitFailed = 3;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
public:
    explicit Event(bool manualReset = true, bool initialState = false);
    void Set();
    void Reset();
    // 0 signalled, 1 timed out.
    std::uint32_t Wait(std::uint32_t ms);
    bool IsSet() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_;
    const bool manualReset_;
};

class Thread {
public:
    explicit Thread(bool createSuspended);
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the OS thread; false when it could not be created.
    bool Start();
    void Suspend();
    void Resume();
    bool Suspended() const { return suspendRequested_.load(); }
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }
    // Waits for the body to return (tests and orderly tear-down only).
    void Join();
    // Leaves the OS thread to end with the process.
    void Detach();

protected:
    virtual void Execute() = 0;
    // Parks here while a suspend is requested.
    void Checkpoint();
    // Between these two the thread promises not to touch shared handles;
    // a Suspend() issued meanwhile returns at once, and the thread parks at
    // LeaveSafeRegion().
    void EnterSafeRegion();
    void LeaveSafeRegion();
    // A pause during which the thread can be suspended.
    void SafeSleep(std::uint32_t ms);

private:
    void Body();

    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> suspendRequested_;
    bool parked_ = false;
    bool inSafeRegion_ = false;
    bool started_ = false;  // a Suspend() before Start() must not wait
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace plat
