// The integer and boolean readings of settings values and of typed port
// numbers, checked against a plain restatement of their rules computed in
// wide arithmetic, and against the texts the program itself writes.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "fuzz_util.h"
#include "panel/UnIni.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits in the given base as an exact value, or nullopt when a character is
// not a digit, there are none, or the value passes limit.
std::optional<unsigned __int128> Digits(std::string_view s, int base, unsigned __int128 limit) {
    if (s.empty()) return std::nullopt;
    unsigned __int128 v = 0;
    for (char c : s) {
        int d = base == 16 ? HexValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        v = v * base + static_cast<unsigned>(d);
        if (v > limit) return std::nullopt;
    }
    return v;
}

std::int32_t Pattern(unsigned __int128 v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

// Settings values: "0x"/"0X" + hex (more than the prefix), "$" + hex, or an
// optional sign and decimal digits; hex up to 32 bits taken as the bit
// pattern, decimal within the signed 32-bit range.
std::optional<std::int32_t> ExpectedSetting(std::string_view s) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        auto v = Digits(s.substr(2), 16, 0xFFFFFFFFu);
        return v ? std::optional(Pattern(*v)) : std::nullopt;
    }
    if (!s.empty() && s[0] == '$') {
        auto v = Digits(s.substr(1), 16, 0xFFFFFFFFu);
        return v ? std::optional(Pattern(*v)) : std::nullopt;
    }
    bool neg = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    auto v = Digits(s, 10, 0x80000000u);
    if (!v || (!neg && *v > 0x7FFFFFFFu)) return std::nullopt;
    return neg ? static_cast<std::int32_t>(-static_cast<std::int64_t>(*v)) : static_cast<std::int32_t>(*v);
}

std::string TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return std::string(s);
}

// Typed port numbers: leading blanks, an optional sign, then decimal or
// "$"/"0x" hexadecimal; a hex value is the 32-bit pattern, negated when
// signed; decimal within the signed 32-bit range.
std::optional<std::int32_t> ExpectedTyped(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    bool neg = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    std::optional<unsigned __int128> hex;
    if (!s.empty() && s[0] == '$') {
        hex = Digits(s.substr(1), 16, 0xFFFFFFFFu);
        if (!hex) return std::nullopt;
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = Digits(s.substr(2), 16, 0xFFFFFFFFu);
        if (!hex) return std::nullopt;
    }
    if (hex) {
        std::uint32_t u = static_cast<std::uint32_t>(*hex);
        return static_cast<std::int32_t>(neg ? 0u - u : u);
    }
    auto v = Digits(s, 10, 0x80000000u);
    if (!v || (!neg && *v > 0x7FFFFFFFu)) return std::nullopt;
    return neg ? static_cast<std::int32_t>(-static_cast<std::int64_t>(*v)) : static_cast<std::int32_t>(*v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    FUZZ_CHECK(ini_read::ParseInteger(text) == ExpectedSetting(text), text);
    const std::int32_t def = size >= 4 ? static_cast<std::int32_t>(data[0] | data[1] << 8 | data[2] << 16 |
                                                                     static_cast<std::uint32_t>(data[3]) << 24)
                                       : 77;
    const std::int32_t read = ini_read::ReadInteger(text, def);
    FUZZ_CHECK(read == ExpectedSetting(TrimBlanks(text)).value_or(def), text);
    FUZZ_CHECK(ini_read::ReadBool(text, true) == (ExpectedSetting(TrimBlanks(text)).value_or(1) != 0), text);
    FUZZ_CHECK(ini_read::ReadBool(text, false) == (ExpectedSetting(TrimBlanks(text)).value_or(0) != 0), text);
    FUZZ_CHECK(StrToIntChecked(text) == ExpectedTyped(text), text);

    // Whatever number the program writes, it reads back: decimal as Save
    // writes it, and the hexadecimal spellings a user may type.
    char buf[32];
    for (const char* fmt : {"%" PRId32, "$%" PRIX32, "0x%" PRIx32, "0X%08" PRIX32}) {
        if (fmt[0] == '%')
            std::snprintf(buf, sizeof buf, fmt, def);
        else
            std::snprintf(buf, sizeof buf, fmt, static_cast<std::uint32_t>(def));
        FUZZ_CHECK(ini_read::ParseInteger(buf) == def, buf);
        FUZZ_CHECK(StrToIntChecked(buf) == def, buf);
        FUZZ_CHECK(ini_read::ReadInteger(std::string(" \t") + buf + "\t ", def ^ 1) == def, buf);
    }
    return 0;
}
