#include "site.h"

#include <cctype>
#include <charconv>
#include <vector>

#include "util.h"

namespace sim {
namespace {

const char kIndex[] = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Quarn simulator</title></head>
<body>
<h1><img src="/logo.svg" width="48" height="48" alt="logo"> Quarn simulator</h1>
<p>This page came over the serial line.</p>
<form action="/form" method="get">
<label>Your name: <input name="name" value="Quarn"></label>
<button type="submit">Send</button>
</form>
<form action="/echo" method="post" enctype="text/plain">
<p><textarea name="text" rows="3" cols="40">Hello over the wire</textarea></p>
<button type="submit">Echo</button>
</form>
<ul>
<li><a href="/id">Identification</a></li>
<li><a href="/bytes/1000">1000 pattern bytes</a></li>
<li><a href="/big">1 MiB of pattern bytes</a></li>
</ul>
</body></html>
)";

const char kLogo[] = R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
<rect x="2" y="2" width="60" height="60" rx="10" fill="#1d5b8f"/>
<circle cx="32" cy="32" r="18" fill="none" stroke="#ffd23f" stroke-width="6"/>
<path d="M40 40 L54 54" stroke="#ffd23f" stroke-width="6" stroke-linecap="round"/>
</svg>
)";

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    const auto e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

std::optional<std::size_t> ParseSize(std::string_view s) {
    std::size_t value = 0;
    const auto* end = s.data() + s.size();
    const auto [p, ec] = std::from_chars(s.data(), end, value);
    if (s.empty() || ec != std::errc() || p != end) return std::nullopt;
    return value;
}

std::string Reply(int code, std::string_view reason, std::string_view type, std::string_view body,
                  std::string_view extraHeaders = {}) {
    std::string out = "HTTP/1.0 " + std::to_string(code) + " " + std::string(reason) + "\r\n";
    out += "Content-Type: " + std::string(type) + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Connection: close\r\n";
    out += extraHeaders;
    out += "\r\n";
    out += body;
    return out;
}

std::string HtmlEscape(std::string_view s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '\0': out += "&#65533;"; break;  // would end the reply
            default: out += c;
        }
    }
    return out;
}

std::string UrlDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string QueryValue(std::string_view target, std::string_view key) {
    const auto q = target.find('?');
    if (q == std::string_view::npos) return {};
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == key) return eq == std::string_view::npos ? "" : UrlDecode(pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        rest = rest.substr(amp + 1);
    }
    return {};
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string Generated(std::size_t n) {
    const std::string body = Pattern(n);
    return Reply(200, "OK", "application/octet-stream", body, "X-Checksum: " + Hex32(Fnv1a(body)) + "\r\n");
}

std::string Error(int code, std::string_view reason) {
    const std::string text = std::to_string(code) + " " + std::string(reason);
    return Reply(code, reason, "text/html",
                 "<!DOCTYPE html>\n<html><head><title>" + text + "</title></head><body><h1>" + text +
                     "</h1></body></html>\n");
}

std::string AnswerWithBody(const Request& request);

}  // namespace

Request ParseHead(std::string_view head) {
    Request r;
    r.head = std::string(head);
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const auto nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos) break;
        head = head.substr(nl + 1);
    }
    if (lines.empty()) {
        r.malformed = true;
        return r;
    }
    const std::string_view first = lines[0];
    const auto s1 = first.find(' ');
    const auto s2 = first.rfind(' ');
    if (s1 == std::string_view::npos || s2 == s1) {
        r.malformed = true;
        return r;
    }
    r.method = first.substr(0, s1);
    r.target = Trim(first.substr(s1 + 1, s2 - s1 - 1));
    r.version = first.substr(s2 + 1);
    if (r.target.empty() || r.version.rfind("HTTP/", 0) != 0) r.malformed = true;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        if (Lower(Trim(lines[i].substr(0, colon))) != "content-length") continue;
        r.contentLength = ParseSize(Trim(lines[i].substr(colon + 1)));
        if (!r.contentLength) r.malformed = true;
    }
    return r;
}

std::string Answer(const Request& request) {
    std::string answer = AnswerWithBody(request);
    if (request.method == "HEAD") answer.resize(answer.find("\r\n\r\n") + 4);
    return answer;
}

namespace {
std::string AnswerWithBody(const Request& request) {
    if (request.malformed) return Error(400, "Bad Request");
    const std::string path = request.Path();
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";

    if (path == "/" || path == "/index.html") {
        return get ? Reply(200, "OK", "text/html; charset=utf-8", kIndex) : Error(405, "Method Not Allowed");
    }
    if (path == "/logo.svg") return get ? Reply(200, "OK", "image/svg+xml", kLogo) : Error(405, "Method Not Allowed");
    if (path == "/id") return get ? std::string(kIdReply) : Error(405, "Method Not Allowed");
    if (path == "/form") {
        if (!get) return Error(405, "Method Not Allowed");
        const std::string name = HtmlEscape(QueryValue(request.target, "name"));
        return Reply(200, "OK", "text/html; charset=utf-8",
                     "<!DOCTYPE html>\n<html><head><title>Hello</title></head><body><h1>Hello, " + name +
                         "!</h1><p><a href=\"/\">Back</a></p></body></html>\n");
    }
    if (path == "/big") return get ? Generated(1u << 20) : Error(405, "Method Not Allowed");
    if (path.rfind("/bytes/", 0) == 0) {
        if (!get) return Error(405, "Method Not Allowed");
        const auto n = ParseSize(std::string_view(path).substr(7));
        if (!n || *n > kMaxGenerated) return Error(400, "Bad Request");
        return Generated(*n);
    }
    if (path == "/echo") {
        if (!post) return Error(405, "Method Not Allowed");
        if (request.body.find('\0') == std::string::npos) return Reply(200, "OK", "text/plain", request.body);
        return Reply(200, "OK", "text/plain", Hex(request.body), "X-Encoding: hex\r\n");
    }
    if (path == "/sum") {
        if (!post) return Error(405, "Method Not Allowed");
        return Reply(200, "OK", "text/plain",
                     "len=" + std::to_string(request.body.size()) + " fnv=" + Hex32(Fnv1a(request.body)));
    }
    return Error(404, "Not Found");
}
}  // namespace

}  // namespace sim
