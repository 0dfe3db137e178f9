// Serial ports on pseudo-terminals: opening and its refusals, the line
// set-up as the driver took it, reads and writes, and every way a blocked
// call has to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "platform/serial.h"
#include "support/blocked_call.h"
#include "support/bridge_fixture.h"
#include "support/pty.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BlockingCall;
using testsupport::PtyDevice;

const std::string kCom3 = "\\\\.\\COM3";
const std::initializer_list<long> kPollCalls = {SYS_poll, SYS_ppoll};

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + i % 53);
    return s;
}

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override { plat::SetDeviceDirectory(dir_.path()); }
    void TearDown() override { plat::SetDeviceDirectory(""); }

    // Waits until the port's input queue holds n bytes (a burst on a pty
    // shows up a few milliseconds late).
    bool WaitQueued(plat::Handle h, std::uint32_t n) {
        for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
            std::uint32_t queued = 0;
            if (!plat::ClearCommError(h, &queued)) return false;
            if (queued >= n) return queued == n;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    // A write the device does not read: the line fills and the rest waits.
    void StartHeldWrite(plat::Handle h, const std::string& data, plat::Overlapped& ovl) {
        std::uint32_t written = 99;
        ASSERT_FALSE(plat::WriteFile(h, data.data(), static_cast<std::uint32_t>(data.size()), &written, ovl));
        ASSERT_EQ(plat::kErrIoPending, plat::LastError());
        ASSERT_TRUE(ovl.pending);
        ASSERT_LT(ovl.done, data.size());
    }

    testsupport::TempDir dir_;
};

TEST_F(SerialTest, OpenTakesOnlyAFreeExistingLine) {
    PtyDevice dev(dir_.path(), 3);
    ASSERT_TRUE(dev.ok());
    EXPECT_EQ(dir_.path() + "/com3", plat::ResolveCommPath(kCom3));
    EXPECT_EQ(dir_.path() + "/com12", plat::ResolveCommPath("\\\\.\\com12"));

    // The device left its line cooked; the port must not echo or wait for
    // line ends from the first byte on.
    termios cooked{};
    ASSERT_EQ(0, tcgetattr(dev.SlaveFd(), &cooked));
    cooked.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(0, tcsetattr(dev.SlaveFd(), TCSANOW, &cooked));

    const plat::Handle h = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, h);
    termios now{};
    ASSERT_EQ(0, tcgetattr(dev.SlaveFd(), &now));
    EXPECT_EQ(0u, now.c_lflag & (ICANON | ECHO));

    // Held: a second open is refused as busy, root or not.
    EXPECT_EQ(plat::kInvalidHandle, plat::OpenSerial(kCom3));
    EXPECT_EQ(plat::kErrAccessDenied, plat::LastError());

    // Closed: free again at once, under a new number.
    ASSERT_TRUE(plat::CloseSerial(h));
    const plat::Handle again = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, again);
    EXPECT_NE(h, again);
    EXPECT_TRUE(plat::CloseSerial(again));

    // Missing, dangling, a plain file, a malformed name.
    EXPECT_EQ(plat::kInvalidHandle, plat::OpenSerial("\\\\.\\COM7"));
    EXPECT_EQ(plat::kErrFileNotFound, plat::LastError());
    ASSERT_EQ(0, symlink((dir_.path() + "/nothing-here").c_str(), (dir_.path() + "/com4").c_str()));
    EXPECT_EQ(plat::kInvalidHandle, plat::OpenSerial("\\\\.\\COM4"));
    EXPECT_EQ(plat::kErrFileNotFound, plat::LastError());
    std::ofstream(dir_.path() + "/file") << "not a line";
    ASSERT_EQ(0, symlink((dir_.path() + "/file").c_str(), (dir_.path() + "/com5").c_str()));
    EXPECT_EQ(plat::kInvalidHandle, plat::OpenSerial("\\\\.\\COM5"));
    EXPECT_EQ(static_cast<std::uint32_t>(ENOTTY), plat::LastError());
    for (const char* bad : {"COM3", "\\\\.\\COM", "\\\\.\\COM0", "\\\\.\\COM3x", "\\\\.\\LPT1"}) {
        plat::SetLastError(0);
        EXPECT_EQ(plat::kInvalidHandle, plat::OpenSerial(bad)) << bad;
        EXPECT_EQ(plat::kErrFileNotFound, plat::LastError()) << bad;
    }

    // Without the folder the numbers map onto the machine's own ports.
    plat::SetDeviceDirectory(dir_.path() + "/absent");
    EXPECT_EQ("/dev/ttyS2", plat::ResolveCommPath(kCom3));
    EXPECT_EQ(plat::kInvalidHandle, plat::OpenSerial("\\\\.\\COM200"));
    EXPECT_EQ(plat::kErrFileNotFound, plat::LastError());
}

TEST_F(SerialTest, LineSetupIsWhatTheDriverHolds) {
    PtyDevice dev(dir_.path(), 3);
    ASSERT_TRUE(dev.ok());
    const plat::Handle h = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, h);

    struct Case {
        std::uint32_t baud;
        std::uint32_t flags;
        speed_t speed;
        bool cts;
    };
    for (const Case c : {Case{115200, 0x2015, B115200, true}, Case{9600, 0x1011, B9600, false}}) {
        plat::LineConfig cfg;
        cfg.baudRate = c.baud;
        cfg.flags = c.flags;
        ASSERT_TRUE(plat::SetCommState(h, cfg)) << c.baud;
        termios tio{};  // read from the device's side of the line
        ASSERT_EQ(0, tcgetattr(dev.SlaveFd(), &tio));
        EXPECT_EQ(c.speed, cfgetospeed(&tio));
        EXPECT_EQ(c.speed, cfgetispeed(&tio));
        EXPECT_EQ(c.cts, (tio.c_cflag & CRTSCTS) != 0) << c.baud;
        EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
        EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB));
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_EQ(0u, tio.c_oflag & OPOST);
        EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL));

        plat::LineState st;
        ASSERT_TRUE(plat::GetLineState(h, st));
        EXPECT_EQ(c.baud, st.baudRate);
        EXPECT_EQ(c.cts, st.ctsFlow);
        EXPECT_TRUE(st.raw);
        EXPECT_EQ(8, st.dataBits);
        EXPECT_FALSE(st.parity);
        EXPECT_FALSE(st.twoStopBits);
    }

    // A rate the driver has no setting for fails and leaves the line alone.
    plat::LineConfig odd;
    odd.baudRate = 12345;
    EXPECT_FALSE(plat::SetCommState(h, odd));
    plat::LineState st;
    ASSERT_TRUE(plat::GetLineState(h, st));
    EXPECT_EQ(9600u, st.baudRate);

    // A pty has no modem lines, and that is no error.
    EXPECT_FALSE(plat::ModemLinesPresent(h));
    EXPECT_EQ(0u, plat::LastError());
    EXPECT_TRUE(plat::CloseSerial(h));
}

TEST_F(SerialTest, ReadsTakeWhatIsQueuedWritesArriveWhole) {
    PtyDevice dev(dir_.path(), 3);
    ASSERT_TRUE(dev.ok());
    const plat::Handle h = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, h);
    plat::Overlapped ovl;
    char buf[512];
    std::uint32_t got = 99;

    ASSERT_TRUE(plat::ReadFile(h, buf, sizeof buf, &got, ovl));  // nothing there: no wait
    EXPECT_EQ(0u, got);

    const std::string sent = Pattern(300);
    ASSERT_TRUE(dev.Write(sent));
    ASSERT_TRUE(WaitQueued(h, 300));
    ASSERT_TRUE(plat::ReadFile(h, buf, 60, &got, ovl));
    EXPECT_EQ(60u, got);
    EXPECT_EQ(sent.substr(0, 60), std::string(buf, 60));
    std::uint32_t queued = 0;
    ASSERT_TRUE(plat::ClearCommError(h, &queued));
    EXPECT_EQ(240u, queued);
    ASSERT_TRUE(plat::ReadFile(h, buf, sizeof buf, &got, ovl));
    EXPECT_EQ(sent.substr(60), std::string(buf, got));

    std::uint32_t written = 0;
    ASSERT_TRUE(plat::WriteFile(h, "GET /id\r\n", 9, &written, ovl));
    EXPECT_EQ(9u, written);
    EXPECT_EQ("GET /id\r\n", dev.Read(9));

    // A purge of the input drops what the device sent.
    ASSERT_TRUE(dev.Write("stale"));
    ASSERT_TRUE(WaitQueued(h, 5));
    ASSERT_TRUE(plat::PurgeComm(h, plat::kPurgeRxClear));
    ASSERT_TRUE(plat::ClearCommError(h, &queued));
    EXPECT_EQ(0u, queued);

    // A closed handle fails everywhere with the invalid-handle code.
    ASSERT_TRUE(plat::CloseSerial(h));
    plat::SetLastError(0);
    EXPECT_FALSE(plat::WriteFile(h, "x", 1, &written, ovl));
    EXPECT_EQ(plat::kErrInvalidHandle, plat::LastError());
    EXPECT_EQ(0u, written);
    EXPECT_FALSE(plat::ClearCommError(h, &queued));
    EXPECT_FALSE(plat::CloseSerial(h));
    EXPECT_EQ(plat::kErrInvalidHandle, plat::LastError());
}

TEST_F(SerialTest, HeldWriteFinishesWhenDrainedAndAbortsOnPurgeOrClose) {
    PtyDevice dev(dir_.path(), 3);
    ASSERT_TRUE(dev.ok());
    const plat::Handle h = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, h);
    const std::string big = Pattern(64 * 1024);

    {  // The device reads: the held rest goes out, in order.
        plat::Overlapped ovl;
        StartHeldWrite(h, big, ovl);
        std::uint32_t n = 0;
        EXPECT_FALSE(plat::GetOverlappedResult(h, ovl, &n, false));
        EXPECT_EQ(plat::kErrIoIncomplete, plat::LastError());
        bool ok = false;
        std::uint32_t total = 0;
        BlockingCall writer([&] { ok = plat::GetOverlappedResult(h, ovl, &total, true); });
        EXPECT_EQ(big, dev.Read(big.size()));
        ASSERT_TRUE(writer.Join());
        EXPECT_TRUE(ok);
        EXPECT_EQ(big.size(), total);
    }

    struct Ending {
        const char* name;
        bool close;
    };
    for (const Ending e : {Ending{"purge", false}, Ending{"close", true}}) {
        SCOPED_TRACE(e.name);
        plat::Overlapped ovl;
        StartHeldWrite(h, big, ovl);
        bool ok = true;
        std::uint32_t error = 0;
        BlockingCall writer([&] {
            std::uint32_t total = 0;
            ok = plat::GetOverlappedResult(h, ovl, &total, true);
            error = plat::LastError();
        });
        ASSERT_TRUE(writer.WaitBlockedIn(kPollCalls));
        if (e.close) {
            ASSERT_TRUE(plat::CloseSerial(h));
        } else {
            ASSERT_TRUE(plat::PurgeComm(h, 15));
        }
        ASSERT_TRUE(writer.Join());
        EXPECT_FALSE(ok);
        EXPECT_EQ(plat::kErrOperationAborted, error);
        EXPECT_FALSE(ovl.pending);
    }
}

TEST_F(SerialTest, WaitForLineEventEndsOnDataMaskPurgeAndClose) {
    PtyDevice dev(dir_.path(), 3);
    ASSERT_TRUE(dev.ok());
    const plat::Handle h = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, h);
    std::uint32_t mask = 99;
    EXPECT_FALSE(plat::WaitCommEvent(h, &mask));  // nothing to wait for yet
    EXPECT_EQ(0u, mask);
    ASSERT_TRUE(plat::SetCommMask(h, plat::kEvRxChar));

    ASSERT_TRUE(dev.Write("x"));  // already there: no wait
    ASSERT_TRUE(plat::WaitCommEvent(h, &mask));
    EXPECT_EQ(plat::kEvRxChar, mask);
    ASSERT_TRUE(plat::PurgeComm(h, plat::kPurgeRxClear));

    struct Waker {
        const char* name;
        std::function<void()> wake;
        bool result;
        std::uint32_t mask;
    };
    const Waker wakers[] = {
        {"mask set again", [&] { ASSERT_TRUE(plat::SetCommMask(h, plat::kEvRxChar)); }, true, 0},
        {"purge", [&] { ASSERT_TRUE(plat::PurgeComm(h, plat::kPurgeRxAbort | plat::kPurgeRxClear)); }, true, 0},
        {"byte", [&] { ASSERT_TRUE(dev.Write("y")); }, true, plat::kEvRxChar},
        {"close", [&] { ASSERT_TRUE(plat::CloseSerial(h)); }, false, 0},
    };
    for (const Waker& w : wakers) {
        SCOPED_TRACE(w.name);
        bool result = !w.result;
        std::uint32_t seen = 99;
        BlockingCall waiter([&] { result = plat::WaitCommEvent(h, &seen); });
        ASSERT_TRUE(waiter.WaitBlockedIn(kPollCalls));
        w.wake();
        ASSERT_TRUE(waiter.Join());
        EXPECT_EQ(w.result, result);
        EXPECT_EQ(w.mask, seen);
        if (seen == plat::kEvRxChar) {
            ASSERT_TRUE(plat::PurgeComm(h, plat::kPurgeRxClear));
        }
    }
}

TEST_F(SerialTest, VanishingDeviceEndsEveryCallAndCanComeBack) {
    auto dev = std::make_unique<PtyDevice>(dir_.path(), 3);
    ASSERT_TRUE(dev->ok());
    const plat::Handle h = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, h);
    ASSERT_TRUE(plat::SetCommMask(h, plat::kEvRxChar));

    const std::string big = Pattern(64 * 1024);
    plat::Overlapped ovl;
    StartHeldWrite(h, big, ovl);
    bool writeOk = true, waitOk = true;
    std::uint32_t mask = 99;
    BlockingCall writer([&] {
        std::uint32_t n = 0;
        writeOk = plat::GetOverlappedResult(h, ovl, &n, true);
    });
    BlockingCall waiter([&] { waitOk = plat::WaitCommEvent(h, &mask); });
    ASSERT_TRUE(writer.WaitBlockedIn(kPollCalls));
    ASSERT_TRUE(waiter.WaitBlockedIn(kPollCalls));

    dev->Vanish();
    ASSERT_TRUE(writer.Join());
    ASSERT_TRUE(waiter.Join());
    EXPECT_FALSE(writeOk);
    EXPECT_FALSE(waitOk);
    EXPECT_EQ(0u, mask);

    char buf[16];
    std::uint32_t got = 0, queued = 0;
    EXPECT_FALSE(plat::ReadFile(h, buf, sizeof buf, &got, ovl));
    EXPECT_FALSE(plat::ClearCommError(h, &queued));
    EXPECT_EQ(plat::kInvalidHandle, plat::OpenSerial(kCom3));
    EXPECT_EQ(plat::kErrFileNotFound, plat::LastError());

    // Plugged in again under the same name: it opens while the dead handle
    // is still held, and works.
    dev = std::make_unique<PtyDevice>(dir_.path(), 3);
    ASSERT_TRUE(dev->ok());
    const plat::Handle h2 = plat::OpenSerial(kCom3);
    ASSERT_NE(plat::kInvalidHandle, h2);
    EXPECT_TRUE(plat::CloseSerial(h));
    ASSERT_TRUE(dev->Write("back"));
    ASSERT_TRUE(WaitQueued(h2, 4));
    ASSERT_TRUE(plat::ReadFile(h2, buf, sizeof buf, &got, ovl));
    EXPECT_EQ("back", std::string(buf, got));
    EXPECT_TRUE(plat::CloseSerial(h2));
}

}  // namespace
