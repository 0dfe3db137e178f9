// The trace's handling of bytes from the client and the device: the byte
// block of a chunk line, the chunk line itself, and the escaping that keeps
// terminal commands in those bytes from reaching a terminal.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <mutex>
#include <string>

#include "bridge/bridge_state.h"
#include "fuzz_util.h"
#include "platform/console.h"

namespace {

class Capture : public plat::ConsoleSink {
public:
    void Write(std::string_view text) override {
        std::lock_guard lock(mutex_);
        text_.append(text);
    }
    std::string Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(text_, {});
    }

private:
    std::mutex mutex_;
    std::string text_;
};

std::shared_ptr<Capture> capture;

bool IsC1InUtf8(std::string_view s, std::size_t i) {
    return i + 1 < s.size() && static_cast<unsigned char>(s[i]) == 0xC2 &&
           static_cast<unsigned char>(s[i + 1]) >= 0x80 && static_cast<unsigned char>(s[i + 1]) <= 0x9F;
}

// Nothing a terminal obeys: no C0 control but CR, LF and TAB, no DEL, no
// C1 control in its UTF-8 form.
void CheckHarmless(std::string_view shown) {
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<unsigned char>(shown[i]);
        FUZZ_CHECK(c >= 0x20 || c == '\r' || c == '\n' || c == '\t', shown);
        FUZZ_CHECK(c != 0x7F, shown);
        FUZZ_CHECK(!IsC1InUtf8(shown, i), shown);
    }
}

// "\xNN" back to the byte; anything else as it stands.
std::string Unescape(std::string_view s) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && hex(s[i + 2]) >= 0 && hex(s[i + 3]) >= 0) {
            out += static_cast<char>(hex(s[i + 2]) * 16 + hex(s[i + 3]));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    capture = std::make_shared<Capture>();
    plat::AttachConsole(capture);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string prefix = in.ConsumeRandomLengthString(16);
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    const auto* raw = reinterpret_cast<const std::uint8_t*>(bytes.data());

    // Byte block: as wide as the chunk, the text up to the first 0 byte
    // right-aligned in it, whatever came before it in the line untouched.
    std::string block = prefix;
    trace::AppendByteBlock(block, raw, bytes.size());
    FUZZ_CHECK(block.size() == prefix.size() + bytes.size());
    FUZZ_CHECK(block.compare(0, prefix.size(), prefix) == 0);
    const std::size_t text = bytes.find('\0') == std::string::npos ? bytes.size() : bytes.find('\0');
    const std::string_view field = std::string_view(block).substr(prefix.size());
    FUZZ_CHECK(field.find_first_not_of(' ') >= bytes.size() - text);
    FUZZ_CHECK(field.substr(bytes.size() - text) == std::string_view(bytes).substr(0, text));

    // The chunk line as the serial reader writes it, whole, in one write.
    capture->Take();
    trace::ChunkLine("ComRead: ", raw, bytes.size(), "*** ", " ***");
    FUZZ_CHECK(capture->Take() == "ComRead: " + std::to_string(bytes.size()) + "*** " + std::string(field) + " ***\n");

    // Escaping for a terminal: harmless, and the bytes are all still there.
    std::string shown = prefix;
    plat::AppendEscapedForTerminal(shown, bytes);
    FUZZ_CHECK(shown.compare(0, prefix.size(), prefix) == 0);
    CheckHarmless(std::string_view(shown).substr(prefix.size()));
    if (bytes.find('\\') == std::string::npos) FUZZ_CHECK(Unescape(shown.substr(prefix.size())) == bytes, shown);
    return 0;
}
