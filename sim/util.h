// Small byte helpers shared by the simulator's parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Printable form for the log: \r \n \t \0 \\ and \xNN; cut after `max`
// characters with a note of how much was left out.
std::string Escape(std::string_view bytes, std::size_t max = 160);

// The reverse for option values: \r \n \t \0 \\ \xNN. Nullopt on a bad escape.
std::optional<std::string> Unescape(std::string_view text);

// FNV-1a, 32 bits: cheap enough for a megabyte, good enough to spot a
// dropped or swapped byte.
std::uint32_t Fnv1a(std::string_view bytes);
std::string Hex32(std::uint32_t value);

// n bytes cycling 1..255: never a 0, which would end the reply early.
std::string Pattern(std::size_t n);

}  // namespace sim
