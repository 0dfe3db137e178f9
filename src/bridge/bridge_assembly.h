// Brings the bridge up and down without any window: the state, the events,
// the listening socket and both worker threads. Tests, benchmarks and tools
// use it; the control panel runs its own start-up with its dialogs.
#pragma once

#include <cstdint>
#include <string>

namespace bridge {

struct Settings {
    std::int32_t comPort = 1;
    std::int32_t comSpeed = 115200;
    std::int32_t tcpPort = 5000;   // 0 picks a free port
    const char* bindAddress = nullptr;  // nullptr: all local addresses
    bool ctsFlow = false;
    bool dontCloseCommPort = false;
    std::int32_t sentDelay = 1;
};

// Sets the state, creates the events, listens (backlog 1) and starts both
// threads. False with a reason when the socket cannot listen.
bool Start(const Settings& settings, std::string* error = nullptr);
// The port the bridge listens on.
std::int32_t ListeningPort();
// Closes the sockets and the port, ends both threads and waits for them,
// and puts the state back to its initial values.
void Stop();

}  // namespace bridge
