// The INI reader and writer: any file text, any names and value. A write
// that is accepted must read back, leave every other reading and every
// other line alone, and be stable; the file calls must do exactly what the
// text calls do.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <optional>
#include <string>

#include "fuzz_util.h"
#include "platform/profile.h"

using fuzzutil::SameName;
using fuzzutil::Trim;

namespace {

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Names a write must refuse: those that cannot stand in a line of their
// kind. A key that would start with ";" or "#" reads as a comment once
// written, and one that starts with "[" as a header (or as nothing).
bool Unwritable(std::string_view section, std::string_view key, std::string_view value) {
    const std::string_view k = Trim(key);
    return Trim(section).empty() || k.empty() || HasLineBreak(section) || HasLineBreak(key) ||
           HasLineBreak(value) || section.find(']') != std::string_view::npos ||
           key.find('=') != std::string_view::npos || k.front() == ';' || k.front() == '#' ||
           k.front() == '[';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(40);
    const std::string key = in.ConsumeRandomLengthString(40);
    const std::string value = in.ConsumeRandomLengthString(80);
    const bool onDisk = in.ConsumeBool();
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::optional<std::string> updated = plat::UpdateProfileText(text, section, key, value);
    if (!updated) {
        FUZZ_CHECK(Unwritable(section, key, value), section + " / " + key + " = " + value);
    } else {
        FUZZ_CHECK(!Unwritable(section, key, value), "accepted: " + section + " / " + key + " = " + value);
        const auto back = plat::FindProfileValue(*updated, section, key);
        FUZZ_CHECK(back && *back == Trim(value), *updated);
        // Written twice is written once.
        FUZZ_CHECK(plat::UpdateProfileText(*updated, section, key, value) == updated, *updated);

        // Everything that differs from the old text lies inside one line.
        std::size_t pre = 0, suf = 0;
        while (pre < text.size() && pre < updated->size() && text[pre] == (*updated)[pre]) ++pre;
        while (suf < text.size() - pre && suf < updated->size() - pre &&
               text[text.size() - 1 - suf] == (*updated)[updated->size() - 1 - suf])
            ++suf;
        FUZZ_CHECK(text.substr(pre, text.size() - pre - suf).find('\n') == std::string::npos, *updated);

        // Other readings stay as they were: the program's own names, and
        // neighbours of the written one.
        {
            const std::array<std::pair<std::string, std::string>, 6> probes = {{
                {"CommPortParams", "ComPort"},
                {"TcpIpParams", "TcpIpPort"},
                {"Debug", "Verbose"},
                {section, key + "x"},
                {section + "x", key},
                {section, "ComSpeed"},
            }};
            for (const auto& [s, k] : probes) {
                if (SameName(s, section) && SameName(k, key)) continue;
                FUZZ_CHECK(plat::FindProfileValue(*updated, s, k) == plat::FindProfileValue(text, s, k),
                           s + "/" + k);
            }
        }
    }

    if (onDisk) {
        static const std::string path = fuzzutil::ScratchFile("profile.ini");
        FUZZ_CHECK(fuzzutil::WriteFile(path, text));
        const std::string before = plat::GetProfileString(path, section, key, "\x01");
        const auto found = plat::FindProfileValue(text, section, key);
        FUZZ_CHECK(before == (found ? *found : std::string("\x01")));
        const bool wrote = plat::WriteProfileString(path, section, key, value);
        FUZZ_CHECK(wrote == updated.has_value());
        FUZZ_CHECK(fuzzutil::ReadFile(path) == (updated ? *updated : text));
    }
    return 0;
}
