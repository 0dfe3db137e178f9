// The settings file as the program reads and writes it: any text in
// Lantor.ini. After a load and an orderly save the seven keys read back as
// the values in force, a second round changes nothing, and every line the
// program does not own is still there, byte for byte and in order.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_util.h"
#include "panel/UnIni.h"
#include "platform/desktop.h"
#include "platform/profile.h"

using fuzzutil::TextLine;

namespace {

// No dialog may come up: the file exists and can be written.
class NoDialogs : public plat::Desktop {
public:
    void MessageBox(const std::string& text, const std::string&, plat::MsgIcon) override {
        fuzzutil::Fail("unexpected message box", text);
    }
    bool Confirm(const std::string& q) override { fuzzutil::Fail("unexpected question", q); }
    bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
    void ShowMessage(const std::string& text) override { fuzzutil::Fail("unexpected message", text); }
    void OpenUrl(const std::string&) override {}
    void PostQuit(int) override {}
    bool TrayAdd(const plat::TrayIcon&) override { return false; }
    bool TrayModify(const plat::TrayIcon&) override { return false; }
    bool TrayDelete() override { return false; }
};

struct Fields {
    std::int32_t comPort, comSpeed, tcpIpPort, sentDelay;
    bool verbose, cts, dontClose;
    bool operator==(const Fields&) const = default;
};

Fields Read(const TProgramIniParam& p) {
    return {p.ComPort, p.ComSpeed, p.TcpIpPort, p.SentDelay, p.Verbose, p.CtsFlowEnable, p.DontCloseCommPort};
}

constexpr std::array<const char*, 7> kKeys = {"ComPort",   "ComSpeed",      "TcpIpPort",        "Verbose",
                                              "SentDelay", "CtsFlowEnable", "DontCloseCommPort"};
constexpr std::array<const char*, 3> kSections = {"CommPortParams", "TcpIpParams", "Debug"};

bool OwnKeyLine(std::string_view content) {
    std::string_view name;
    if (!fuzzutil::KeyName(content, name)) return false;
    for (const char* k : kKeys)
        if (fuzzutil::SameName(name, k)) return true;
    return false;
}

bool OwnHeaderLine(std::string_view content) {
    std::string_view name;
    if (!fuzzutil::HeaderName(content, name)) return false;
    for (const char* s : kSections)
        if (fuzzutil::SameName(name, s)) return true;
    return false;
}

// The old file's lines must come out in order: unchanged, or (for one of
// the seven keys) rewritten in place; the new text may only add lines of
// its own between them.
void CheckForeignLinesKept(std::string_view before, std::string_view after) {
    const std::vector<TextLine> in = fuzzutil::SplitLines(before);
    const std::vector<TextLine> out = fuzzutil::SplitLines(after);
    std::size_t i = 0, j = 0;
    while (i < in.size()) {
        // A last line without a line break may gain one when lines follow it.
        // (A stray CR at its end then reads as part of a CRLF.)
        const bool lastOpen = i + 1 == in.size() && in[i].ending.empty();
        const auto same = [&](const TextLine& o) {
            if (!lastOpen) return in[i].content == o.content && in[i].ending == o.ending;
            std::string whole(o.content);
            whole.append(o.ending);
            if (whole.compare(0, in[i].content.size(), in[i].content) != 0) return false;
            const std::string_view extra = std::string_view(whole).substr(in[i].content.size());
            return extra.empty() || extra == "\n" || extra == "\r\n";
        };
        if (j < out.size() && same(out[j])) {
            ++i, ++j;
        } else if (j < out.size() && OwnKeyLine(in[i].content) && OwnKeyLine(out[j].content) &&
                   (in[i].ending == out[j].ending || lastOpen)) {
            ++i, ++j;
        } else if (j < out.size() && (OwnKeyLine(out[j].content) || OwnHeaderLine(out[j].content))) {
            ++j;
        } else {
            fuzzutil::Fail("a line of the old file was lost or changed", in[i].content);
        }
    }
    for (; j < out.size(); ++j)
        FUZZ_CHECK(OwnKeyLine(out[j].content) || OwnHeaderLine(out[j].content), out[j].content);
}

bool AllowedSpeed(std::int32_t s) {
    for (std::int32_t v : {300, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800})
        if (s == v) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    plat::SetDesktop(std::make_shared<NoDialogs>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = fuzzutil::ScratchFile("Lantor.ini");
    const std::string text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(fuzzutil::WriteFile(path, text));

    Fields first{};
    {
        TProgramIniParam p(path);
        first = Read(p);
    }  // the orderly end writes the file
    FUZZ_CHECK(AllowedSpeed(first.comSpeed));
    FUZZ_CHECK(first.tcpIpPort >= 0 && first.tcpIpPort <= 65576);
    FUZZ_CHECK(first.sentDelay <= 10);

    const std::string saved = fuzzutil::ReadFile(path);
    CheckForeignLinesKept(text, saved);

    // Each key holds the value in force, as the writer spells it.
    const auto holds = [&](const char* section, const char* key, std::int32_t v) {
        const auto got = plat::FindProfileValue(saved, section, key);
        FUZZ_CHECK(got && *got == std::to_string(v), std::string(key) + " in\n" + saved);
    };
    holds("CommPortParams", "ComPort", first.comPort);
    holds("CommPortParams", "ComSpeed", first.comSpeed);
    holds("TcpIpParams", "TcpIpPort", first.tcpIpPort);
    holds("Debug", "Verbose", first.verbose ? 1 : 0);
    holds("CommPortParams", "SentDelay", first.sentDelay);
    holds("CommPortParams", "CtsFlowEnable", first.cts ? 1 : 0);
    holds("CommPortParams", "DontCloseCommPort", first.dontClose ? 1 : 0);

    // What was written reads back the same, and writing it again is a no-op.
    Fields second{};
    {
        TProgramIniParam p(path);
        second = Read(p);
    }
    FUZZ_CHECK(second == first, saved);
    FUZZ_CHECK(fuzzutil::ReadFile(path) == saved, saved);
    return 0;
}
