// What the bridge sends a Quarn device and relies on in its answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace devline {

// The device ends every reply with this byte; the bridge ends a connection
// by sending it and reading until the device sends it back.
inline constexpr std::uint8_t kEndOfReply = 0;

inline constexpr std::string_view kIdRequest = "GET /id HTTP/1.0\r\n\r\n";
inline constexpr std::string_view kIdMarker = "ID:QUARN7";

// Serial reader: one read takes at most this much.
inline constexpr std::uint32_t kReadChunk = 1024;
// Socket server: one receive from the client takes at most this much.
inline constexpr int kRecvChunk = 256;
// Pause before a read that no received character announced.
inline constexpr std::uint32_t kPollPauseMs = 20;
// Pause while the port is closed.
inline constexpr std::uint32_t kPortClosedPauseMs = 500;
// Opening the port for a client.
inline constexpr int kOpenTries = 10;
inline constexpr std::uint32_t kOpenPauseMs = 100;
// Waiting for the line to go idle before a connection ends.
inline constexpr std::uint32_t kIdleWaitMs = 5000;
// Waiting for the device's 0 byte after ours.
inline constexpr int kEofTries = 10;
inline constexpr std::uint32_t kEofPauseMs = 100;
// Checks that the reader is suspended.
inline constexpr int kSuspendChecks = 10;
inline constexpr std::uint32_t kSuspendCheckPauseMs = 10;
// Incomplete results of a write taken before giving up.
inline constexpr int kWriteIncompleteTries = 100;

// Driver queues, event mask and purge of a port set-up.
inline constexpr std::uint32_t kQueueSize = 4096;
inline constexpr std::uint32_t kPurgeAll = 15;
inline constexpr std::uint32_t kFlagsNoFlowControl = 0x1011;
inline constexpr std::uint32_t kFlagsCtsFlowControl = 0x2015;

// Identification probe.
inline constexpr std::uint32_t kProbeReadMax = 60;
inline constexpr std::uint32_t kProbeFirstReadMs = 500;
inline constexpr std::uint32_t kProbeSecondReadMs = 2000;
inline constexpr std::uint32_t kProbeReopenPauseMs = 1000;
inline constexpr int kNegativeDelayYields = 10001;
inline constexpr int kPortCount = 12;

}  // namespace devline
