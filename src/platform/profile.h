// Private profile (INI) files: GetPrivateProfileString and
// WritePrivateProfileString semantics. Section and key names match without
// regard to case, values are trimmed, every line the caller does not write
// is kept byte for byte (line endings included), and a write replaces the
// file atomically (temporary file beside it, then rename) so a crash never
// leaves a torn file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plat {

// The value of key in section, or def when the file, section or key is
// missing.
std::string GetProfileString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& def);

// Replaces the key where it stands, adds it at the end of its section, or
// adds the section at the end of the file. False when the file cannot be
// written; the old file is then left intact.
bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);

// Directory of the running executable, with a trailing '/'.
std::string ExecutableDirectory();

bool FileExists(const std::string& path);

// The same rules on the text of a file, without the disk (for tests and
// fuzzing). FindProfileValue: the trimmed value, or nullopt when the section
// or key is missing. UpdateProfileText: the text after a write, or nullopt
// when the names or the value cannot stand in an INI line (line breaks, an
// empty section or key, "]" in the section, "=" in the key).
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);
std::optional<std::string> UpdateProfileText(std::string_view text, std::string_view section,
                                             std::string_view key, std::string_view value);

}  // namespace plat
