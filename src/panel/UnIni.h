// The program's settings, kept in "Lantor.ini" beside the executable.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

// A settings file that cannot be written: "Unable to write to <path>".
class EIniFileException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TProgramIniParam {
public:
    // Reads the file beside the executable; asks whether to terminate when
    // it is missing (Yes posts a quit request, construction goes on).
    TProgramIniParam();
    // The same on a file of the caller's choosing (tests, tools); an empty
    // path keeps the settings in memory only, on their defaults.
    explicit TProgramIniParam(std::string path);
    // Writes the settings back unless Release() has. A destructor cannot let
    // the write failure travel on, so it shows its message in an error box.
    ~TProgramIniParam();
    TProgramIniParam(const TProgramIniParam&) = delete;
    TProgramIniParam& operator=(const TProgramIniParam&) = delete;

    void Load();
    // Writes all seven keys; throws EIniFileException at the first key that
    // cannot be written (the keys before it stay written).
    void Save();
    // The end of the program's use of the settings: writes them back as the
    // destructor would, while the object stays readable for worker threads
    // that the orderly end does not wait for.
    void Release();
    const std::string& Path() const { return path_; }

    // Shared with the worker threads, which read them as they are.
    std::atomic<std::int32_t> ComPort{1};
    std::atomic<std::int32_t> ComSpeed{115200};
    std::atomic<std::int32_t> TcpIpPort{5000};
    std::atomic<bool> Verbose{false};
    std::atomic<std::int32_t> SentDelay{1};
    std::atomic<bool> CtsFlowEnable{true};
    std::atomic<bool> DontCloseCommPort{false};

private:
    void WriteKey(const char* section, const char* key, std::int32_t value);
    std::string path_;
    std::atomic<bool> released_{false};
};

// The readings the file's values go through, also used by the dialogs.
namespace ini_read {
// "0x"/"0X" hexadecimal, "$" hexadecimal, or optional sign and decimal
// digits in the signed 32-bit range; nothing else.
std::optional<std::int32_t> ParseInteger(const std::string& text);
std::int32_t ReadInteger(const std::string& text, std::int32_t def);
bool ReadBool(const std::string& text, bool def);
std::string Trim(const std::string& text);
}  // namespace ini_read

// Text-to-integer as the port dialogs read it: leading blanks, optional
// sign, decimal or "$"/"0x" hexadecimal; nullopt when not a 32-bit integer.
std::optional<std::int32_t> StrToIntChecked(const std::string& text);
