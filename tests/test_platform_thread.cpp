// Suspension that the thread carries itself, and events.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <future>

#include "platform/thread.h"
#include "support/blocked_call.h"

namespace {

using namespace std::chrono_literals;

// Runs once through a safe region that the test holds it in, then idles in
// safe sleeps until told to stop.
class Worker : public plat::Thread {
public:
    explicit Worker(bool createSuspended) : plat::Thread(createSuspended) {}
    ~Worker() override {
        Terminate();
        Resume();
        release.Set();
        Join();
    }

    std::atomic<pid_t> tid{0};
    std::atomic<bool> started{false};
    std::atomic<bool> leftRegion{false};
    plat::Event inRegion{true, false};
    plat::Event release{false, false};  // auto-reset: the worker takes it

protected:
    void Execute() override {
        tid = testsupport::CurrentThreadId();
        started = true;
        EnterSafeRegion();
        inRegion.Set();
        release.Wait(plat::kInfinite);
        LeaveSafeRegion();
        leftRegion = true;
        while (!Terminated()) SafeSleep(1);
    }
};

// Runs f on another thread; true when it returned within the limit.
template <class F>
bool ReturnsWithin(F f, std::chrono::seconds limit = 20s) {
    auto done = std::async(std::launch::async, f);
    return done.wait_for(limit) == std::future_status::ready;
}

template <class Pred>
bool Eventually(Pred pred) {
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
        if (pred()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

TEST(ThreadTest, SuspendParksAtCheckpointsAndLeavesSafeRegionsAlone) {
    Worker w(/*createSuspended=*/true);
    EXPECT_TRUE(w.Suspended());
    ASSERT_TRUE(w.Start());
    EXPECT_FALSE(w.Start());

    // Created suspended: a Suspend returns once the body has parked before
    // its first step, and the body has not run.
    ASSERT_TRUE(ReturnsWithin([&] { w.Suspend(); }));
    EXPECT_FALSE(w.started);
    w.Resume();
    EXPECT_FALSE(w.Suspended());
    ASSERT_EQ(plat::kWaitObject0, w.inRegion.Wait(20000));
    EXPECT_TRUE(w.started);

    // Inside its safe region the thread is not waited for...
    ASSERT_TRUE(ReturnsWithin([&] { w.Suspend(); }));
    EXPECT_TRUE(w.Suspended());
    // ...and it parks as soon as it leaves the region.
    w.release.Set();
    ASSERT_TRUE(Eventually([&] { return !w.release.IsSet(); }));
    ASSERT_TRUE(testsupport::WaitUntilBlockedIn(w.tid, {SYS_futex}));
    EXPECT_FALSE(w.leftRegion);
    EXPECT_TRUE(w.Suspended());

    w.Resume();
    ASSERT_TRUE(Eventually([&] { return w.leftRegion.load(); }));
    EXPECT_FALSE(w.Suspended());
    w.Resume();  // not suspended: no effect
    EXPECT_FALSE(w.Suspended());

    // Sleeping safely, it is suspended at once and parks after the sleep.
    ASSERT_TRUE(ReturnsWithin([&] { w.Suspend(); }));
    w.Resume();

    w.Terminate();
    w.Join();
    EXPECT_TRUE(w.Finished());
    // A finished thread is never waited for.
    EXPECT_TRUE(ReturnsWithin([&] { w.Suspend(); }));
}

TEST(ThreadTest, SuspendingAThreadThatNeverStartedReturns) {
    Worker w(/*createSuspended=*/false);
    EXPECT_TRUE(ReturnsWithin([&] { w.Suspend(); }));
    EXPECT_TRUE(w.Suspended());
    w.Resume();
    EXPECT_FALSE(w.Finished());
}

TEST(EventTest, ManualStaysSetAutoIsTakenOnceTimeoutsReport) {
    plat::Event manual(true, false);
    EXPECT_EQ(plat::kWaitTimeout, manual.Wait(10));
    manual.Set();
    EXPECT_EQ(plat::kWaitObject0, manual.Wait(0));
    EXPECT_EQ(plat::kWaitObject0, manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.IsSet());

    plat::Event automatic(false, true);
    EXPECT_EQ(plat::kWaitObject0, automatic.Wait(0));
    EXPECT_EQ(plat::kWaitTimeout, automatic.Wait(0));

    // Set from another thread ends a wait without time limit.
    std::atomic<std::uint32_t> result{99};
    std::thread waiter([&] { result = manual.Wait(plat::kInfinite); });
    manual.Set();
    waiter.join();
    EXPECT_EQ(plat::kWaitObject0, result);
}

}  // namespace
