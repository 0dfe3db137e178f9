// INI files read and written the way the Windows private-profile calls do,
// with one difference on purpose: a write touches only the line it changes
// and replaces the whole file atomically.
#include "platform/profile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plat {
namespace {

// ---------------------------------------------------------------------------
// The text of a file, line by line

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// One line: [begin, contentEnd) is its text, [contentEnd, end) its ending
// ("\n", "\r\n", or nothing on a last line without one).
struct Line {
    std::size_t begin;
    std::size_t contentEnd;
    std::size_t end;
    bool terminated() const { return end > contentEnd; }
};

class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool Next(Line& line) {
        if (pos_ >= text_.size()) return false;
        line.begin = pos_;
        std::size_t nl = text_.find('\n', pos_);
        if (nl == std::string_view::npos) {
            line.contentEnd = line.end = text_.size();
        } else {
            line.end = nl + 1;
            line.contentEnd = (nl > pos_ && text_[nl - 1] == '\r') ? nl - 1 : nl;
        }
        pos_ = line.end;
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

enum class Kind { Other, Blank, Section, Key };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
};

Parsed ParseLine(std::string_view content) {
    Parsed p;
    std::string_view t = TrimView(content);
    if (t.empty()) {
        p.kind = Kind::Blank;
        return p;
    }
    if (t.front() == ';' || t.front() == '#') return p;
    if (t.front() == '[') {
        std::size_t close = t.find(']');
        if (close == std::string_view::npos) return p;  // not a header, kept as it is
        p.kind = Kind::Section;
        p.name = TrimView(t.substr(1, close - 1));
        return p;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return p;
    p.kind = Kind::Key;
    p.name = TrimView(t.substr(0, eq));
    p.value = TrimView(t.substr(eq + 1));
    return p;
}

// New lines follow the file's own habit, judged by its first line.
std::string_view DominantEnding(std::string_view text) {
    std::size_t nl = text.find('\n');
    if (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') return "\r\n";
    return "\n";
}

bool HasLineBreak(std::string_view s) {
    return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

// ---------------------------------------------------------------------------
// Files

// An owned descriptor, closed when it goes.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Closes now, reporting the error that a write-back may only show here.
    bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    // Non-blocking so a FIFO in the file's place cannot hang the reader.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.ok()) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return ReadResult::Ok;
        } else if (errno != EINTR) {
            return ReadResult::Failed;
        }
    }
}

// A new file beside the target, removed again unless it was renamed.
class TempFile {
public:
    TempFile(const std::string& dir, const std::string& base)
        : path_(dir + "." + base + ".XXXXXX"), fd_(::mkostemp(path_.data(), O_CLOEXEC)) {
        if (!fd_.ok()) path_.clear();
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    bool ok() const { return fd_.ok(); }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    bool Close() { return fd_.Close(); }
    void Release() { path_.clear(); }

private:
    std::string path_;
    Fd fd_;
};

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The process's umask without changing it (umask() itself would race with
// other threads creating files).
mode_t CurrentUmask() {
    std::string status;
    if (ReadWholeFile("/proc/self/status", status) == ReadResult::Ok) {
        std::size_t at = status.find("\nUmask:");
        if (at != std::string::npos) {
            return static_cast<mode_t>(std::strtoul(status.c_str() + at + 7, nullptr, 8) & 0777);
        }
    }
    return 022;
}

// A symbolic link is followed so the link itself survives the rename.
std::string ResolveTarget(const std::string& path) {
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char* real = ::realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return path;
}

void SyncDirectory(const std::string& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems refuse fsync on a directory; the rename has
    // happened by then, so there is nothing left to undo.
    if (fd.ok()) ::fsync(fd.get());
}

// Writes text to a new file beside path and renames it over path.
bool ReplaceFile(const std::string& path, std::string_view text, const struct stat* old) {
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    TempFile tmp(dir, base);
    if (!tmp.ok()) return false;
    mode_t mode = old != nullptr ? (old->st_mode & 07777) : (0666 & ~CurrentUmask());
    if (::fchmod(tmp.fd(), mode) != 0) return false;
    if (old != nullptr && (old->st_uid != ::geteuid() || old->st_gid != ::getegid())) {
        // Keeps the owner when root edits a user's file. Best effort: an
        // ordinary user cannot give a file away, and some file systems
        // have no owners to keep.
        (void)!::fchown(tmp.fd(), old->st_uid, old->st_gid);
    }
    if (!WriteAll(tmp.fd(), text)) return false;
    if (::fsync(tmp.fd()) != 0) return false;
    if (!tmp.Close()) return false;
    if (::rename(tmp.path().c_str(), path.c_str()) != 0) return false;
    tmp.Release();
    SyncDirectory(dir);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
    section = TrimView(section);
    key = TrimView(key);
    LineReader reader(text);
    Line line{};
    bool inSection = false;
    while (reader.Next(line)) {
        Parsed p = ParseLine(text.substr(line.begin, line.contentEnd - line.begin));
        if (p.kind == Kind::Section) {
            // Only the first section of a name counts; a repeat is ignored.
            if (inSection) return std::nullopt;
            inSection = SameName(p.name, section);
        } else if (inSection && p.kind == Kind::Key && SameName(p.name, key)) {
            return std::string(p.value);
        }
    }
    return std::nullopt;
}

std::optional<std::string> UpdateProfileText(std::string_view text, std::string_view section,
                                             std::string_view key, std::string_view value) {
    std::string_view sec = TrimView(section);
    std::string_view k = TrimView(key);
    if (sec.empty() || k.empty() || HasLineBreak(section) || HasLineBreak(key) ||
        HasLineBreak(value) || sec.find(']') != std::string_view::npos ||
        k.find('=') != std::string_view::npos ||
        // Written, such a key would read back as a comment or a header.
        k.front() == ';' || k.front() == '#' || k.front() == '[')
        return std::nullopt;

    const std::string_view eol = DominantEnding(text);
    LineReader reader(text);
    Line line{};
    bool inSection = false;
    // Where a missing key goes: after the section's last non-blank line.
    Line anchor{};
    bool found = false;
    while (reader.Next(line)) {
        Parsed p = ParseLine(text.substr(line.begin, line.contentEnd - line.begin));
        if (p.kind == Kind::Section) {
            if (inSection) break;
            if (SameName(p.name, sec)) {
                inSection = found = true;
                anchor = line;
            }
            continue;
        }
        if (!inSection) continue;
        if (p.kind == Kind::Key && SameName(p.name, k)) {
            // Replaced where it stands, the key keeping the file's spelling.
            std::string out;
            out.reserve(text.size() + value.size());
            out.append(text.substr(0, line.begin));
            out.append(p.name);
            out.push_back('=');
            out.append(value);
            out.append(text.substr(line.contentEnd));
            return out;
        }
        if (p.kind != Kind::Blank) anchor = line;
    }

    std::string added;
    std::size_t at;
    if (found) {
        at = anchor.end;
        // When the section ends the file without a final line break, the
        // new line takes its place as the unterminated last line.
        if (!anchor.terminated()) added.append(eol);
        added.append(k).append("=").append(value);
        if (anchor.terminated()) added.append(eol);
    } else {
        at = text.size();
        bool unterminated = !text.empty() && text.back() != '\n';
        if (unterminated) added.append(eol);
        added.append("[").append(sec).append("]").append(eol);
        added.append(k).append("=").append(value);
        if (!unterminated) added.append(eol);
    }
    std::string out;
    out.reserve(text.size() + added.size());
    out.append(text.substr(0, at));
    out.append(added);
    out.append(text.substr(at));
    return out;
}

std::string GetProfileString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& def) {
    std::string text;
    if (ReadWholeFile(path, text) != ReadResult::Ok) return def;
    std::optional<std::string> value = FindProfileValue(text, section, key);
    return value ? *value : def;
}

bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value) {
    const std::string target = ResolveTarget(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists) {
        if (!S_ISREG(st.st_mode)) return false;
        // Root passes access(W_OK) on any file, so a file with no write bit
        // at all counts as read-only by its mode.
        if ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) return false;
    } else if (errno != ENOENT) {
        return false;
    }
    std::string text;
    if (exists && ReadWholeFile(target, text) != ReadResult::Ok) return false;
    std::optional<std::string> updated = UpdateProfileText(text, section, key, value);
    if (!updated) return false;
    return ReplaceFile(target, *updated, exists ? &st : nullptr);
}

std::string ExecutableDirectory() {
    std::string buf(PATH_MAX, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0) return "./";
    buf.resize(static_cast<std::size_t>(n));
    std::size_t slash = buf.rfind('/');
    if (slash == std::string::npos) return "./";
    return buf.substr(0, slash + 1);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace plat
