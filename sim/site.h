// The device's built-in web site: one HTTP request in, one answer out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct Request {
    std::string method;
    std::string target;  // path with query, as sent
    std::string version;
    std::string head;    // everything up to the blank line, for the log
    std::optional<std::size_t> contentLength;  // nullopt: none given
    bool malformed = false;
    std::string body;

    std::string Path() const { return target.substr(0, target.find('?')); }
};

// Splits the request head (request line and header lines, without the
// blank line). Content-Length is found whatever its letter case.
Request ParseHead(std::string_view head);

// The identification answer: the marker sits well inside the first 60 bytes,
// which is all a prober reads, so no Content-Length line goes before it.
inline constexpr std::string_view kIdReply =
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nID:QUARN7 Quarn simulator\r\n";

// The full answer to a request, without the end-of-reply 0 byte. Never holds
// a 0 byte itself: the bridge would cut the answer there.
std::string Answer(const Request& request);

// Largest body /bytes/N will produce.
inline constexpr std::size_t kMaxGenerated = 64u << 20;

}  // namespace sim
