// Serial port handles, modelled on the Win32 communications calls the bridge
// was designed around. Handles are 32-bit numbers (-1 invalid) drawn from a
// registry, never raw descriptors: a number is not reused while the process
// lives, so a thread holding a stale handle gets a failure, never someone
// else's port. Closing a handle wakes every call blocked on it.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

using Handle = std::int32_t;
inline constexpr Handle kInvalidHandle = -1;

// Error codes handed back through LastError(), Windows-compatible where the
// callers give them a meaning.
inline constexpr std::uint32_t kErrFileNotFound = 2;
inline constexpr std::uint32_t kErrAccessDenied = 5;
inline constexpr std::uint32_t kErrInvalidHandle = 6;
inline constexpr std::uint32_t kErrOperationAborted = 995;
inline constexpr std::uint32_t kErrIoIncomplete = 996;
inline constexpr std::uint32_t kErrIoPending = 997;
// The line went away under an open handle (pty master closed, adapter
// unplugged). Kept apart from the open codes 2 and 5, which callers read.
inline constexpr std::uint32_t kErrDeviceGone = 1167;

// Thread-local last error, as GetLastError/SetLastError.
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// Event mask bits.
inline constexpr std::uint32_t kEvRxChar = 0x0001;

// Purge flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;

// The line configuration the bridge uses (the parts of a DCB that carry a
// value). Flag word bits follow the DCB layout so a caller can fill it the
// way the device documentation describes it.
struct LineConfig {
    std::uint32_t baudRate = 115200;
    std::uint32_t flags = 0x1011;  // fBinary | DTR enable | RTS enable
    std::uint16_t xonLim = 5;
    std::uint16_t xoffLim = 10;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    // no parity
    std::uint8_t stopBits = 0;  // one stop bit
};
inline constexpr std::uint32_t kDcbBinary = 0x0001;
inline constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t kDcbDtrControlMask = 0x0030;
inline constexpr std::uint32_t kDcbRtsControlMask = 0x3000;
inline constexpr std::uint32_t kDcbRtsHandshake = 0x2000;

// What the line really took, read back from the driver after a set-up.
struct LineState {
    std::uint32_t baudRate = 0;
    bool ctsFlow = false;
    bool raw = false;
    int dataBits = 0;
    bool parity = false;
    bool twoStopBits = false;
};

// Per-call record for a write that could not complete at once, as an
// OVERLAPPED record: WriteFile fills it, GetOverlappedResult finishes it.
struct Overlapped {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t done = 0;
    std::uint64_t purgeGeneration = 0;
    bool pending = false;
};

// Where "\\.\COM<n>" resolves to: <dir>/com<n> when <dir> (by default the
// folder "dosdevices" beside the executable) exists, else /dev/ttyS<n-1>.
std::string ResolveCommPath(const std::string& windowsPath);
// Tests point the mapping at a folder of their own.
void SetDeviceDirectory(const std::string& dir);
std::string DeviceDirectory();

// CreateFile on a COM path: exclusive, non-blocking, raw at once.
// Fails with -1 and LastError(): 2 missing, 5 held by another, else errno.
Handle OpenSerial(const std::string& windowsPath);
bool CloseSerial(Handle h);

bool SetupQueues(Handle h, std::uint32_t inQueue, std::uint32_t outQueue);
bool SetCommMask(Handle h, std::uint32_t mask);  // also ends a pending wait
bool SetCommTimeouts(Handle h);                   // reads never wait: a no-op here
bool SetCommState(Handle h, const LineConfig& cfg);
bool GetLineState(Handle h, LineState& out);
bool PurgeComm(Handle h, std::uint32_t flags);    // also ends a held write
// ClearCommError: clears line errors, reports the input-queue count.
bool ClearCommError(Handle h, std::uint32_t* inQueue);

// ReadFile: takes up to n bytes that are queued now; never waits.
bool ReadFile(Handle h, void* buf, std::uint32_t n, std::uint32_t* got, Overlapped& ovl);
// WriteFile: writes what the line takes now; when that is not all, fails
// with kErrIoPending and leaves the rest to GetOverlappedResult.
bool WriteFile(Handle h, const void* buf, std::uint32_t n, std::uint32_t* written,
               Overlapped& ovl);
// Finishes a pending write. With wait it blocks until the bytes are taken,
// or fails with kErrOperationAborted when the port is purged or closed.
bool GetOverlappedResult(Handle h, Overlapped& ovl, std::uint32_t* transferred, bool wait);
// WaitCommEvent: blocks until a byte is readable (mask = EV_RXCHAR), the
// mask is set again or the port purged (mask = 0), or the port is closed or
// gone (false, mask = 0).
bool WaitCommEvent(Handle h, std::uint32_t* mask);

// Modem-control lines: false with no error on lines without them (a pty).
bool ModemLinesPresent(Handle h);

}  // namespace plat
