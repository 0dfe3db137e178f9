// The process and its system: what the operating system calls itself, the
// program replaced by another, and requests from outside to end the program
// (SIGTERM, SIGINT, SIGHUP) turned into input that an event loop can wait on.
#pragma once

#include <string>

namespace plat {

// The kernel's name and release, for example "Linux 6.1.0-18-amd64"; false
// when the system does not say.
bool OperatingSystemVersion(std::string& text);

// Runs the program at path in this process's place, with the same
// arguments and process id. Returns only when that could not be done.
void RunInstead(const std::string& path, char* argv[]);

// From this call on, each termination request makes the returned descriptor
// readable instead of ending the process. -1 when that cannot be arranged
// (the requests then keep their default effect). Call it once.
int WatchTerminationRequests();
// Takes the pending requests off the descriptor; true when there was one.
bool TakeTerminationRequests();

}  // namespace plat
