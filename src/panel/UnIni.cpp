#include "panel/UnIni.h"

#include <cstdint>
#include <string_view>

#include "platform/desktop.h"
#include "platform/profile.h"

namespace {

constexpr const char* kFileName = "Lantor.ini";
constexpr const char* kCommSection = "CommPortParams";
constexpr const char* kTcpSection = "TcpIpParams";
constexpr const char* kDebugSection = "Debug";

constexpr std::int32_t kDefaultComPort = 1;
constexpr std::int32_t kDefaultComSpeed = 115200;
constexpr std::int32_t kDefaultTcpIpPort = 5000;
constexpr bool kDefaultVerbose = false;
constexpr std::int32_t kDefaultSentDelay = 1;
constexpr bool kDefaultCtsFlowEnable = true;
constexpr bool kDefaultDontCloseCommPort = false;

// 65576, not 65535: the historical limit, kept so old files read the same.
constexpr std::int32_t kMaxTcpIpPort = 65576;
constexpr std::int32_t kMaxSentDelay = 10;

bool IsAllowedSpeed(std::int32_t speed) {
    for (std::int32_t s : {300, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800})
        if (speed == s) return true;
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal digits, at least one, taken as a 32-bit pattern.
std::optional<std::uint32_t> ParseHex(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint32_t v = 0;
    for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0 || v > 0x0FFFFFFFu) return std::nullopt;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    return v;
}

// Decimal digits, at least one, as a magnitude up to 2^31 (the size of
// INT32_MIN); the caller applies the sign and the range.
std::optional<std::uint32_t> ParseDecimalMagnitude(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > 0x80000000u) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<std::int32_t> Signed(bool negative, std::uint32_t magnitude) {
    if (negative) return static_cast<std::int32_t>(0u - magnitude);
    if (magnitude > 0x7FFFFFFFu) return std::nullopt;
    return static_cast<std::int32_t>(magnitude);
}

bool IsHexPrefix(std::string_view s) {
    return s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

}  // namespace

namespace ini_read {

std::string Trim(const std::string& text) {
    const char* blanks = " \t";
    std::size_t b = text.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    std::size_t e = text.find_last_not_of(blanks);
    return text.substr(b, e - b + 1);
}

std::optional<std::int32_t> ParseInteger(const std::string& text) {
    std::string_view s(text);
    if (IsHexPrefix(s) && s.size() > 2) {
        auto v = ParseHex(s.substr(2));
        if (!v) return std::nullopt;
        return static_cast<std::int32_t>(*v);
    }
    if (!s.empty() && s[0] == '$') {
        auto v = ParseHex(s.substr(1));
        if (!v) return std::nullopt;
        return static_cast<std::int32_t>(*v);
    }
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    auto m = ParseDecimalMagnitude(s);
    if (!m) return std::nullopt;
    return Signed(negative, *m);
}

std::int32_t ReadInteger(const std::string& text, std::int32_t def) {
    return ParseInteger(Trim(text)).value_or(def);
}

bool ReadBool(const std::string& text, bool def) {
    return ReadInteger(text, def ? 1 : 0) != 0;
}

}  // namespace ini_read

std::optional<std::int32_t> StrToIntChecked(const std::string& text) {
    std::string_view s(text);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (!s.empty() && s[0] == '$') {
        auto v = ParseHex(s.substr(1));
        if (!v) return std::nullopt;
        return static_cast<std::int32_t>(negative ? 0u - *v : *v);
    }
    if (IsHexPrefix(s)) {
        auto v = ParseHex(s.substr(2));
        if (!v) return std::nullopt;
        return static_cast<std::int32_t>(negative ? 0u - *v : *v);
    }
    auto m = ParseDecimalMagnitude(s);
    if (!m) return std::nullopt;
    return Signed(negative, *m);
}

TProgramIniParam::TProgramIniParam() : TProgramIniParam(plat::ExecutableDirectory() + kFileName) {}

TProgramIniParam::TProgramIniParam(std::string path) : path_(std::move(path)) {
    if (path_.empty()) return;  // settings in memory only: defaults, nothing written
    // The program runs on the defaults either way, and the first Save
    // creates the file; Yes only asks the loop to end once it starts.
    if (!plat::FileExists(path_) &&
        plat::desktop().Confirm("Can't open Lantor.ini file. Terminate program ?"))
        plat::desktop().PostQuit(0);
    Load();
}

TProgramIniParam::~TProgramIniParam() { Release(); }

void TProgramIniParam::Release() {
    if (released_.exchange(true)) return;
    try {
        Save();
    } catch (const std::exception& e) {
        try {
            plat::desktop().MessageBox(e.what(), "Serial-Tcp/Ip", plat::MsgIcon::Error);
        } catch (...) {
        }
    }
}

void TProgramIniParam::Load() {
    auto integer = [this](const char* section, const char* key, std::int32_t def) {
        return ini_read::ReadInteger(plat::GetProfileString(path_, section, key, ""), def);
    };
    auto boolean = [this](const char* section, const char* key, bool def) {
        return ini_read::ReadBool(plat::GetProfileString(path_, section, key, ""), def);
    };

    ComPort = integer(kCommSection, "ComPort", kDefaultComPort);

    std::int32_t speed = integer(kCommSection, "ComSpeed", kDefaultComSpeed);
    ComSpeed = IsAllowedSpeed(speed) ? speed : kDefaultComSpeed;

    std::int32_t port = integer(kTcpSection, "TcpIpPort", kDefaultTcpIpPort);
    TcpIpPort = (port < 0 || port > kMaxTcpIpPort) ? kDefaultTcpIpPort : port;

    Verbose = boolean(kDebugSection, "Verbose", kDefaultVerbose);
    CtsFlowEnable = boolean(kCommSection, "CtsFlowEnable", kDefaultCtsFlowEnable);

    std::int32_t delay = integer(kCommSection, "SentDelay", kDefaultSentDelay);
    SentDelay = delay > kMaxSentDelay ? kMaxSentDelay : delay;

    DontCloseCommPort = boolean(kCommSection, "DontCloseCommPort", kDefaultDontCloseCommPort);
}

void TProgramIniParam::Save() {
    if (path_.empty()) return;
    // This order lays out a file made from nothing as CommPortParams,
    // TcpIpParams, Debug.
    WriteKey(kCommSection, "ComPort", ComPort);
    WriteKey(kCommSection, "ComSpeed", ComSpeed);
    WriteKey(kTcpSection, "TcpIpPort", TcpIpPort);
    WriteKey(kDebugSection, "Verbose", Verbose ? 1 : 0);
    WriteKey(kCommSection, "SentDelay", SentDelay);
    WriteKey(kCommSection, "CtsFlowEnable", CtsFlowEnable ? 1 : 0);
    WriteKey(kCommSection, "DontCloseCommPort", DontCloseCommPort ? 1 : 0);
}

void TProgramIniParam::WriteKey(const char* section, const char* key, std::int32_t value) {
    if (!plat::WriteProfileString(path_, section, key, std::to_string(value)))
        throw EIniFileException("Unable to write to " + path_);
}
