#include "support/bridge_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {

void TraceCapture::Write(std::string_view text) {
    {
        std::lock_guard lock(mutex_);
        text_.append(text);
    }
    cv_.notify_all();
}

std::string TraceCapture::Text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

static int CountIn(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (auto pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1)) ++n;
    return n;
}

bool TraceCapture::WaitFor(const std::string& needle, std::chrono::milliseconds limit,
                           int count) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return CountIn(text_, needle) >= count; });
}

int TraceCapture::Count(const std::string& needle) const {
    std::lock_guard lock(mutex_);
    return CountIn(text_, needle);
}

void TraceCapture::Clear() {
    std::lock_guard lock(mutex_);
    text_.clear();
}

void StatusRecorder::Run(BridgeStatus status) {
    {
        std::lock_guard lock(mutex_);
        seen_.push_back(status);
    }
    cv_.notify_all();
}

std::vector<BridgeStatus> StatusRecorder::Seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

bool StatusRecorder::WaitForCount(std::size_t n, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return seen_.size() >= n; });
}

void StatusRecorder::Clear() {
    std::lock_guard lock(mutex_);
    seen_.clear();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sertcp-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Simulator::Simulator(const std::string& deviceDir, int comPort, std::vector<std::string> options) {
    std::filesystem::create_directories(deviceDir);
    link_ = deviceDir + "/com" + std::to_string(comPort);
    logPath_ = deviceDir + "/sim" + std::to_string(comPort) + ".log";
    const std::string readyPath = deviceDir + "/sim" + std::to_string(comPort) + ".out";

    std::vector<std::string> args = {QUARN_SIM_PATH, "--link", link_, "--log", logPath_};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, readyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ <= 0) return;

    // Ready once it has printed the link it made.
    for (int i = 0; i < 1000 && !ready_; ++i) {
        std::ifstream out(readyPath);
        std::string line;
        if (std::getline(out, line) && line.rfind("linked", 0) == 0) ready_ = true;
        else std::this_thread::sleep_for(10ms);
    }
}

Simulator::~Simulator() { Stop(); }

void Simulator::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string Simulator::Log() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Client::Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Client::~Client() { Close(); }

bool Client::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Client::ReadAll(std::chrono::milliseconds limit) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[8192];
    while (fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

void Client::ShutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Client::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Client::Reset() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

std::string RunCommand(const std::string& command, int* exitStatus) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int status = ::pclose(pipe);
    if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

}  // namespace testsupport
