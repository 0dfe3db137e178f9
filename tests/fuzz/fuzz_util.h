// Helpers the fuzz targets share: a scratch file in memory-backed storage,
// and the INI line rules restated independently of the code under test.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzutil {

// Stops the run with a message; libFuzzer records the input that did it.
[[noreturn]] inline void Fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what);
    if (!detail.empty()) std::fprintf(stderr, "  detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
    std::abort();
}

#define FUZZ_CHECK(cond, ...) \
    do {                      \
        if (!(cond)) ::fuzzutil::Fail(#cond __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// Files of this process's own in /dev/shm (else /tmp), so the file round
// trips cost no disk. Removed, with their folder, when the run ends.
class Scratch {
public:
    Scratch() {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            dir_ = std::string(base) + "/serialtcp-fuzz-" + std::to_string(::getpid());
            if (::mkdir(dir_.c_str(), 0700) == 0 || errno == EEXIST) return;
        }
        Fail("no scratch folder");
    }
    ~Scratch() {
        for (const std::string& f : files_) ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string File(const std::string& name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }

private:
    std::string dir_;
    std::vector<std::string> files_;
};

inline std::string ScratchFile(const std::string& name) {
    static Scratch scratch;
    return scratch.File(name);
}

inline bool WriteFile(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

inline std::string ReadFile(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

// --- The INI rules, written out again from their description ----------------

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

inline std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline bool SameName(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

struct TextLine {
    std::string_view content;
    std::string_view ending;  // "\n", "\r\n" or "" for an unterminated last line
};

inline std::vector<TextLine> SplitLines(std::string_view text) {
    std::vector<TextLine> lines;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            lines.push_back({text, {}});
            break;
        }
        std::size_t cut = (nl > 0 && text[nl - 1] == '\r') ? nl - 1 : nl;
        lines.push_back({text.substr(0, cut), text.substr(cut, nl + 1 - cut)});
        text.remove_prefix(nl + 1);
    }
    return lines;
}

// "[name]" header: the name, else empty.
inline bool HeaderName(std::string_view content, std::string_view& name) {
    std::string_view t = Trim(content);
    if (t.empty() || t.front() != '[') return false;
    std::size_t close = t.find(']');
    if (close == std::string_view::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value" line (not a comment, not a header): the key name.
inline bool KeyName(std::string_view content, std::string_view& name) {
    std::string_view t = Trim(content);
    if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return false;
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    name = Trim(t.substr(0, eq));
    return true;
}

}  // namespace fuzzutil
