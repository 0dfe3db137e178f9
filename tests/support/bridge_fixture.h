// What the bridge tests share: a trace that can be waited on, a status
// recorder in place of the user-interface thread, the simulated device as a
// child process, and plain loopback clients.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/bridge_state.h"
#include "platform/console.h"

namespace testsupport {

using namespace std::chrono_literals;

class TraceCapture : public plat::ConsoleSink {
public:
    void Write(std::string_view text) override;
    std::string Text() const;
    // Waits until the trace holds needle count times (from the start).
    bool WaitFor(const std::string& needle, std::chrono::milliseconds limit = 20s,
                 int count = 1) const;
    int Count(const std::string& needle) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::string text_;
};

class StatusRecorder : public StatusHandoff {
public:
    void Run(BridgeStatus status) override;
    std::vector<BridgeStatus> Seen() const;
    bool WaitForCount(std::size_t n, std::chrono::milliseconds limit = 20s) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<BridgeStatus> seen_;
};

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// quarn-sim linked at <dir>/com<n>; killed when destroyed.
class Simulator {
public:
    Simulator(const std::string& deviceDir, int comPort, std::vector<std::string> options = {});
    ~Simulator();
    bool ok() const { return pid_ > 0 && ready_; }
    std::string LinkPath() const { return link_; }
    // What the device has logged on its standard error.
    std::string Log() const;
    void Stop();

private:
    int pid_ = -1;
    bool ready_ = false;
    std::string link_;
    std::string logPath_;
};

// Loopback TCP client on 127.0.0.1.
class Client {
public:
    explicit Client(int port);
    ~Client();
    bool connected() const { return fd_ >= 0; }
    bool Send(const std::string& bytes);
    // Reads until the server closes (or the limit passes); closed() tells.
    std::string ReadAll(std::chrono::milliseconds limit = 20s);
    bool closed() const { return closed_; }
    void ShutdownWrite();
    void Close();
    // Closes with a reset instead of an orderly end.
    void Reset();

private:
    int fd_ = -1;
    bool closed_ = false;
};

// Runs a shell command, returns its standard output.
std::string RunCommand(const std::string& command, int* exitStatus = nullptr);

}  // namespace testsupport
