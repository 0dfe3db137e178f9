#include "platform/serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/posix/no_destructor.h"
#include "platform/posix/registry.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/wake.h"
#include "platform/profile.h"

namespace plat {

namespace {

constexpr std::uint32_t kErrTooManyOpenFiles = 4;
constexpr std::uint32_t kErrInvalidParameter = 87;

thread_local std::uint32_t tlLastError = 0;

// ---------------------------------------------------------------------------
// Error codes

std::uint32_t OpenErrorCode(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO:  // errno 5 would read as "busy"; a line that fails at once is not there
            return kErrFileNotFound;
        case EBUSY:
        case EWOULDBLOCK:
            return kErrAccessDenied;
        default:
            return static_cast<std::uint32_t>(err);
    }
}

std::uint32_t IoErrorCode(int err) {
    switch (err) {
        case EIO:
        case ENXIO:
        case ENODEV:
            return kErrDeviceGone;
        case EBADF:
            return kErrInvalidHandle;
        default:
            return static_cast<std::uint32_t>(err);
    }
}

bool FailWith(std::uint32_t code) {
    tlLastError = code;
    return false;
}

// ---------------------------------------------------------------------------
// Baud rates

struct Rate {
    std::uint32_t baud;
    speed_t constant;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedConstant(std::uint32_t baud) {
    for (const Rate& r : kRates)
        if (r.baud == baud) return r.constant;
    return std::nullopt;
}

std::uint32_t BaudOf(speed_t constant) {
    for (const Rate& r : kRates)
        if (r.constant == constant) return r.baud;
    return 0;
}

// ---------------------------------------------------------------------------
// Open ports

class Port {
public:
    explicit Port(posix::UniqueFd fd) : fd_(std::move(fd)) {}
    ~Port() {
        // The exclusive bit outlives our descriptor when another process
        // (a simulated device) keeps the line open.
        ::ioctl(fd_.get(), TIOCNXCL);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int fd() const { return fd_.get(); }

    // Everything below is guarded by mutex.
    std::mutex mutex;
    std::condition_variable idle;  // activeCalls dropped to 0
    bool closed = false;
    int activeCalls = 0;
    std::uint32_t mask = 0;
    std::uint64_t wakeGeneration = 0;   // SetCommMask, PurgeComm, close
    std::uint64_t purgeGeneration = 0;  // purges that abort held writes
    posix::WaiterSet waiters;

    void WakeLocked() {
        ++wakeGeneration;
        waiters.SignalAll();
    }

private:
    posix::UniqueFd fd_;
};

posix::Registry<Port>& Ports() {
    static posix::NoDestructor<posix::Registry<Port>> ports;
    return *ports;
}

// A call in progress on a port: keeps the port object, and so its
// descriptor, alive, and lets CloseSerial wait until the call has left.
class Lease {
public:
    explicit Lease(Handle h)
        : port_(Ports().Find(h, [](Port& p) {
              std::lock_guard lock(p.mutex);
              ++p.activeCalls;
          })) {
        if (!port_) tlLastError = kErrInvalidHandle;
    }
    ~Lease() {
        if (!port_) return;
        std::lock_guard lock(port_->mutex);
        if (--port_->activeCalls == 0) port_->idle.notify_all();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return port_ != nullptr; }
    Port* operator->() const { return port_.get(); }
    Port& operator*() const { return *port_; }

private:
    std::shared_ptr<Port> port_;
};

// This thread registered as a waiter on a port for the length of a
// blocking call.
class WaitScope {
public:
    // Call with the port's mutex held.
    WaitScope(Port& port, int wakeFd) : port_(port), wakeFd_(wakeFd) { port_.waiters.Add(wakeFd_); }
    ~WaitScope() {
        {
            std::lock_guard lock(port_.mutex);
            port_.waiters.Remove(wakeFd_);
        }
        // Nothing signals us after the removal; leave the descriptor quiet
        // for the next wait.
        posix::DrainWakeFd(wakeFd_);
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

private:
    Port& port_;
    const int wakeFd_;
};

// poll() on the line and this thread's wake descriptor. Returns false
// (LastError set) when poll itself fails.
bool PollLine(int fd, short events, int wakeFd, short& lineEvents, bool& woken) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) >= 0) break;
        if (errno != EINTR) return FailWith(IoErrorCode(errno));
    }
    lineEvents = fds[0].revents;
    woken = (fds[1].revents & POLLIN) != 0;
    if (woken) posix::DrainWakeFd(wakeFd);
    return true;
}

bool LineGone(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

// ---------------------------------------------------------------------------
// Opening

struct DeviceDirSetting {
    std::mutex mutex;
    std::string dir;  // guarded by mutex; empty: beside the executable
};

DeviceDirSetting& DeviceDirOverride() {
    static posix::NoDestructor<DeviceDirSetting> setting;
    return *setting;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A /dev/ttyS node exists for every possible 8250 port, whether or not a
// UART sits behind it; the driver reports those as type unknown.
bool IsUartNodeWithoutUart(int fd, const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return false;
    if (std::string_view(resolved).rfind("/dev/ttyS", 0) != 0) return false;
    serial_struct info {};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
    return info.type == PORT_UNKNOWN;
}

void MakeRaw(termios& tio) {
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXOFF | IXANY);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

posix::UniqueFd OpenLine(const std::string& path, std::uint32_t& code) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        code = OpenErrorCode(errno);
        return {};
    }
    // flock holds against every process, root included; TIOCEXCL (set last)
    // additionally turns away programs that do not flock.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        code = OpenErrorCode(errno);
        return {};
    }
    termios tio {};
    if (::tcgetattr(fd.get(), &tio) != 0) {
        code = OpenErrorCode(errno);  // ENOTTY: a plain file, not a line
        return {};
    }
    if (IsUartNodeWithoutUart(fd.get(), path)) {
        code = kErrFileNotFound;
        return {};
    }
    // A fresh line echoes and buffers by lines; go raw before any byte moves.
    MakeRaw(tio);
    if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        code = OpenErrorCode(errno);
        return {};
    }
    ::ioctl(fd.get(), TIOCEXCL);
    return fd;
}

// Raises or lowers one modem-control line. Lines without them (a pty) are
// not an error.
bool SetModemLine(int fd, int bit, bool on) {
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return true;
    if (errno == ENOTTY || errno == EINVAL) return true;
    return FailWith(IoErrorCode(errno));
}

void ReadState(const termios& tio, LineState& out) {
    out.baudRate = BaudOf(::cfgetospeed(&tio));
    out.ctsFlow = (tio.c_cflag & CRTSCTS) != 0;
    out.raw = (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (tio.c_oflag & OPOST) == 0 &&
              (tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) == 0;
    switch (tio.c_cflag & CSIZE) {
        case CS5: out.dataBits = 5; break;
        case CS6: out.dataBits = 6; break;
        case CS7: out.dataBits = 7; break;
        default: out.dataBits = 8; break;
    }
    out.parity = (tio.c_cflag & PARENB) != 0;
    out.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
}

// ---------------------------------------------------------------------------
// Writing

enum class WriteResult { Done, WouldBlock, Failed };

// Writes what the line takes now of the record's remaining bytes.
WriteResult PushPending(int fd, Overlapped& ovl) {
    while (ovl.done < ovl.length) {
        const ssize_t n = ::write(fd, ovl.data + ovl.done, ovl.length - ovl.done);
        if (n > 0) {
            ovl.done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WriteResult::WouldBlock;
        tlLastError = n < 0 ? IoErrorCode(errno) : kErrDeviceGone;
        return WriteResult::Failed;
    }
    return WriteResult::Done;
}

bool EndWrite(Overlapped& ovl, std::uint32_t* transferred, bool ok, std::uint32_t code = 0) {
    ovl.pending = false;
    if (transferred) *transferred = ovl.done;
    if (!ok && code != 0) tlLastError = code;
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------

std::uint32_t LastError() { return tlLastError; }
void SetLastError(std::uint32_t code) { tlLastError = code; }

void SetDeviceDirectory(const std::string& dir) {
    DeviceDirSetting& setting = DeviceDirOverride();
    std::lock_guard lock(setting.mutex);
    setting.dir = dir;
}

std::string DeviceDirectory() {
    {
        DeviceDirSetting& setting = DeviceDirOverride();
        std::lock_guard lock(setting.mutex);
        if (!setting.dir.empty()) return setting.dir;
    }
    return ExecutableDirectory() + "dosdevices";
}

std::string ResolveCommPath(const std::string& windowsPath) {
    constexpr std::string_view kPrefix = "\\\\.\\";
    if (windowsPath.size() <= kPrefix.size() + 3 || windowsPath.compare(0, kPrefix.size(), kPrefix) != 0)
        return {};
    const std::string_view rest = std::string_view(windowsPath).substr(kPrefix.size());
    for (std::size_t i = 0; i < 3; ++i)
        if ((rest[i] | 0x20) != "com"[i]) return {};
    const std::string_view digits = rest.substr(3);
    if (digits.size() > 3) return {};
    int number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return {};
        number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 255) return {};

    std::string dir = DeviceDirectory();
    if (IsDirectory(dir)) {
        if (!dir.empty() && dir.back() != '/') dir += '/';
        return dir + "com" + std::to_string(number);
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

Handle OpenSerial(const std::string& windowsPath) {
    const std::string path = ResolveCommPath(windowsPath);
    if (path.empty()) {
        tlLastError = kErrFileNotFound;
        return kInvalidHandle;
    }
    std::uint32_t code = 0;
    posix::UniqueFd fd = OpenLine(path, code);
    if (!fd) {
        tlLastError = code;
        return kInvalidHandle;
    }
    const Handle h = Ports().Add(std::make_shared<Port>(std::move(fd)));
    if (h == kInvalidHandle) tlLastError = kErrTooManyOpenFiles;
    return h;
}

bool CloseSerial(Handle h) {
    const std::shared_ptr<Port> port = Ports().Remove(h);
    if (!port) return FailWith(kErrInvalidHandle);
    std::unique_lock lock(port->mutex);
    port->closed = true;
    port->WakeLocked();
    // The woken calls return at once; waiting for them lets the descriptor
    // (and its lock on the device) go before we return, so the port can be
    // opened again straight away. Bounded in case a caller is stuck
    // elsewhere: the last of them then closes the descriptor.
    port->idle.wait_for(lock, std::chrono::seconds(5), [&] { return port->activeCalls == 0; });
    return true;
}

bool SetupQueues(Handle h, std::uint32_t, std::uint32_t) {
    // The driver's queues are fixed on Linux.
    const Lease port(h);
    return static_cast<bool>(port);
}

bool SetCommTimeouts(Handle h) {
    const Lease port(h);
    return static_cast<bool>(port);
}

bool SetCommMask(Handle h, std::uint32_t mask) {
    const Lease port(h);
    if (!port) return false;
    std::lock_guard lock(port->mutex);
    port->mask = mask;
    port->WakeLocked();
    return true;
}

bool SetCommState(Handle h, const LineConfig& cfg) {
    const Lease port(h);
    if (!port) return false;
    const std::optional<speed_t> speed = SpeedConstant(cfg.baudRate);
    if (!speed) return FailWith(kErrInvalidParameter);

    termios tio {};
    if (::tcgetattr(port->fd(), &tio) != 0) return FailWith(IoErrorCode(errno));
    MakeRaw(tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (cfg.byteSize) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        case 8: tio.c_cflag |= CS8; break;
        default: return FailWith(kErrInvalidParameter);
    }
    switch (cfg.parity) {
        case 0: break;                                           // none
        case 1: tio.c_cflag |= PARENB | PARODD; break;           // odd
        case 2: tio.c_cflag |= PARENB; break;                    // even
        case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;  // mark
        case 4: tio.c_cflag |= PARENB | CMSPAR; break;           // space
        default: return FailWith(kErrInvalidParameter);
    }
    switch (cfg.stopBits) {
        case 0: break;
        case 1:  // one and a half: the nearest a UART offers
        case 2: tio.c_cflag |= CSTOPB; break;
        default: return FailWith(kErrInvalidParameter);
    }
    const bool ctsFlow = (cfg.flags & kDcbOutxCtsFlow) != 0;
    if (ctsFlow) tio.c_cflag |= CRTSCTS;
    ::cfsetispeed(&tio, *speed);
    ::cfsetospeed(&tio, *speed);
    if (::tcsetattr(port->fd(), TCSANOW, &tio) != 0) return FailWith(IoErrorCode(errno));

    // DTR and RTS follow their control fields; with the RTS handshake the
    // driver drives RTS from here on, starting raised.
    if (!SetModemLine(port->fd(), TIOCM_DTR, (cfg.flags & kDcbDtrControlMask) != 0)) return false;
    if (!SetModemLine(port->fd(), TIOCM_RTS, (cfg.flags & kDcbRtsControlMask) != 0)) return false;

    // tcsetattr succeeds when any part of the request took; check the parts
    // that matter.
    termios back {};
    if (::tcgetattr(port->fd(), &back) != 0) return FailWith(IoErrorCode(errno));
    LineState st;
    ReadState(back, st);
    if (st.baudRate != cfg.baudRate || st.ctsFlow != ctsFlow || st.dataBits != cfg.byteSize)
        return FailWith(kErrInvalidParameter);
    return true;
}

bool GetLineState(Handle h, LineState& out) {
    const Lease port(h);
    if (!port) return false;
    termios tio {};
    if (::tcgetattr(port->fd(), &tio) != 0) return FailWith(IoErrorCode(errno));
    ReadState(tio, out);
    return true;
}

bool PurgeComm(Handle h, std::uint32_t flags) {
    const Lease port(h);
    if (!port) return false;
    const bool rx = (flags & kPurgeRxClear) != 0;
    const bool tx = (flags & kPurgeTxClear) != 0;
    bool ok = true;
    if (rx || tx) {
        const int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
        if (::tcflush(port->fd(), queue) != 0) ok = FailWith(IoErrorCode(errno));
    }
    std::lock_guard lock(port->mutex);
    // Dropping the output ends a write still waiting for the line; any
    // purge ends a wait for a line event.
    if (flags & (kPurgeTxAbort | kPurgeTxClear)) ++port->purgeGeneration;
    port->WakeLocked();
    return ok;
}

bool ClearCommError(Handle h, std::uint32_t* inQueue) {
    const Lease port(h);
    if (!port) return false;
    int queued = 0;
    // Also the test for a line that went away: FIONREAD fails with EIO then.
    if (::ioctl(port->fd(), FIONREAD, &queued) != 0) return FailWith(IoErrorCode(errno));
    if (inQueue) *inQueue = static_cast<std::uint32_t>(queued < 0 ? 0 : queued);
    return true;
}

bool ReadFile(Handle h, void* buf, std::uint32_t n, std::uint32_t* got, Overlapped& ovl) {
    if (got) *got = 0;
    ovl.pending = false;
    const Lease port(h);
    if (!port) return false;
    if (n == 0) return true;
    for (;;) {
        const ssize_t r = ::read(port->fd(), buf, n);
        if (r > 0) {
            if (got) *got = static_cast<std::uint32_t>(r);
            return true;
        }
        // On a non-blocking line, end-of-file means the line hung up.
        if (r == 0) return FailWith(kErrDeviceGone);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return FailWith(IoErrorCode(errno));
    }
}

bool WriteFile(Handle h, const void* buf, std::uint32_t n, std::uint32_t* written, Overlapped& ovl) {
    if (written) *written = 0;
    ovl = Overlapped{};
    const Lease port(h);
    if (!port) return false;
    {
        std::lock_guard lock(port->mutex);
        ovl.purgeGeneration = port->purgeGeneration;
    }
    ovl.data = static_cast<const std::uint8_t*>(buf);
    ovl.length = n;
    switch (PushPending(port->fd(), ovl)) {
        case WriteResult::Done:
            if (written) *written = ovl.done;
            return true;
        case WriteResult::Failed:
            return false;
        case WriteResult::WouldBlock:
            ovl.pending = true;
            return FailWith(kErrIoPending);
    }
    return false;
}

bool GetOverlappedResult(Handle h, Overlapped& ovl, std::uint32_t* transferred, bool wait) {
    if (transferred) *transferred = ovl.done;
    const Lease port(h);
    if (!port) return false;
    if (!ovl.pending) return true;

    const auto aborted = [&] {
        std::lock_guard lock(port->mutex);
        return port->closed || port->purgeGeneration != ovl.purgeGeneration;
    };
    if (aborted()) return EndWrite(ovl, transferred, false, kErrOperationAborted);
    switch (PushPending(port->fd(), ovl)) {
        case WriteResult::Done: return EndWrite(ovl, transferred, true);
        case WriteResult::Failed: return EndWrite(ovl, transferred, false);
        case WriteResult::WouldBlock: break;
    }
    if (!wait) {
        if (transferred) *transferred = ovl.done;
        return FailWith(kErrIoIncomplete);
    }

    const int wakeFd = posix::ThisThreadWakeFd();
    if (wakeFd < 0) return EndWrite(ovl, transferred, false, IoErrorCode(errno));
    std::optional<WaitScope> scope;
    {
        std::lock_guard lock(port->mutex);
        scope.emplace(*port, wakeFd);
    }
    for (;;) {
        // Checked after registering, so a purge or close that comes later
        // always finds us in the waiter set.
        if (aborted()) return EndWrite(ovl, transferred, false, kErrOperationAborted);
        short lineEvents = 0;
        bool woken = false;
        if (!PollLine(port->fd(), POLLOUT, wakeFd, lineEvents, woken))
            return EndWrite(ovl, transferred, false);
        if (woken) continue;
        if (lineEvents & POLLOUT) {
            switch (PushPending(port->fd(), ovl)) {
                case WriteResult::Done: return EndWrite(ovl, transferred, true);
                case WriteResult::Failed: return EndWrite(ovl, transferred, false);
                case WriteResult::WouldBlock: continue;
            }
        }
        if (LineGone(lineEvents)) return EndWrite(ovl, transferred, false, kErrDeviceGone);
    }
}

bool WaitCommEvent(Handle h, std::uint32_t* mask) {
    if (mask) *mask = 0;
    const Lease port(h);
    if (!port) return false;
    const int wakeFd = posix::ThisThreadWakeFd();
    if (wakeFd < 0) return FailWith(IoErrorCode(errno));

    std::optional<WaitScope> scope;
    std::uint64_t generation = 0;
    std::uint32_t watched = 0;
    {
        std::lock_guard lock(port->mutex);
        if (port->mask == 0) return FailWith(kErrInvalidParameter);
        watched = port->mask;
        generation = port->wakeGeneration;
        scope.emplace(*port, wakeFd);
    }
    const short events = (watched & kEvRxChar) ? POLLIN : 0;
    for (;;) {
        {
            std::lock_guard lock(port->mutex);
            if (port->closed) return FailWith(kErrOperationAborted);
            if (port->wakeGeneration != generation) return true;  // mask set or purged: mask 0
        }
        short lineEvents = 0;
        bool woken = false;
        if (!PollLine(port->fd(), events, wakeFd, lineEvents, woken)) return false;
        if (woken) continue;
        // A vanished line polls as readable too; callers pause between
        // passes, so reporting it as gone does not make them spin.
        if (LineGone(lineEvents)) return FailWith(kErrDeviceGone);
        if (lineEvents & POLLIN) {
            if (mask) *mask = kEvRxChar;
            return true;
        }
    }
}

bool ModemLinesPresent(Handle h) {
    const Lease port(h);
    if (!port) return false;
    int lines = 0;
    if (::ioctl(port->fd(), TIOCMGET, &lines) == 0) return true;
    tlLastError = 0;
    return false;
}

}  // namespace plat
