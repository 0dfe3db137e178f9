// The settings file on real files in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <tuple>

#include "panel/UnIni.h"
#include "platform/desktop.h"
#include "platform/profile.h"
#include "support/bridge_fixture.h"

namespace fs = std::filesystem;

namespace {

class ScriptedDesktop : public plat::Desktop {
public:
    bool answer = false;
    std::vector<std::string> questions;
    std::vector<int> quits;
    std::vector<std::tuple<std::string, std::string, plat::MsgIcon>> boxes;

    void MessageBox(const std::string& text, const std::string& caption, plat::MsgIcon icon) override {
        boxes.emplace_back(text, caption, icon);
    }
    bool Confirm(const std::string& question) override { questions.push_back(question); return answer; }
    bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
    void ShowMessage(const std::string&) override {}
    void OpenUrl(const std::string&) override {}
    void PostQuit(int exitCode) override { quits.push_back(exitCode); }
    bool TrayAdd(const plat::TrayIcon&) override { return false; }
    bool TrayModify(const plat::TrayIcon&) override { return false; }
    bool TrayDelete() override { return false; }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override { plat::SetDesktop(desk); }
    void TearDown() override { plat::SetDesktop(plat::MakeHeadlessDesktop()); }

    std::shared_ptr<ScriptedDesktop> desk = std::make_shared<ScriptedDesktop>();
    testsupport::TempDir dir;
    std::string ini = dir.path() + "/Lantor.ini";
};

const std::string kDefaultFile =
    "[CommPortParams]\nComPort=1\nComSpeed=115200\nSentDelay=1\nCtsFlowEnable=1\n"
    "DontCloseCommPort=0\n[TcpIpParams]\nTcpIpPort=5000\n[Debug]\nVerbose=0\n";

}  // namespace

TEST_F(Settings, ValuesAreReadWithTheirChecks) {
    // A line as written, and the value its field takes.
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"ComPort=0x0A", 10}, {"ComPort=$A", 10}, {"ComPort=3x", 1}, {"ComPort=0x", 1},
        {"ComPort=0", 0}, {"ComPort=40", 40}, {"ComPort=  -7  ", -7}, {"ComPort=", 1},
        {"ComPort=-2147483648", INT32_MIN}, {"ComPort=2147483648", 1},
        {"ComPort=$FFFFFFFF", -1}, {"ComPort=$100000000", 1},
        {"ComSpeed=9600", 9600}, {"ComSpeed=460800", 460800}, {"ComSpeed=1200", 115200},
        {"ComSpeed=abc", 115200}, {"TcpIpPort=65576", 65576}, {"TcpIpPort=65577", 5000},
        {"TcpIpPort=-1", 5000}, {"TcpIpPort=0", 0}, {"SentDelay=11", 10}, {"SentDelay=0", 0},
        {"SentDelay=-5", -5}, {"Verbose=2", 1}, {"Verbose=yes", 0}, {"CtsFlowEnable=true", 1},
        {"CtsFlowEnable=0", 0}};
    for (const auto& [line, expected] : cases) {
        const std::string key = line.substr(0, line.find('='));
        const std::string section =
            key == "TcpIpPort" ? "TcpIpParams" : key == "Verbose" ? "Debug" : "CommPortParams";
        WriteFile(ini, "[" + section + "]\n" + line + "\n");
        TProgramIniParam p(ini);
        const std::map<std::string, std::int32_t> got = {
            {"ComPort", p.ComPort}, {"ComSpeed", p.ComSpeed}, {"TcpIpPort", p.TcpIpPort},
            {"SentDelay", p.SentDelay}, {"Verbose", p.Verbose}, {"CtsFlowEnable", p.CtsFlowEnable}};
        EXPECT_EQ(got.at(key), expected) << line;
    }

    // Names in any letter case; a key outside its section does not count.
    WriteFile(ini, "ComPort=9\n[ COMMPORTPARAMS ]\n  comport = 3 \r\n[tcpipparams]\nTCPIPPORT=81\n");
    TProgramIniParam p(ini);
    EXPECT_EQ(p.ComPort, 3);
    EXPECT_EQ(p.TcpIpPort, 81);
    EXPECT_TRUE(desk->questions.empty());

    // The dialogs' reading: leading blanks, a sign before hex, nothing after.
    for (auto [text, expected] : std::vector<std::pair<std::string, std::optional<std::int32_t>>>{
             {"  12", 12}, {"-$A", -10}, {"0x10", 16}, {"50a0", {}}, {"12 ", {}}, {"", {}},
             {"2147483648", {}}})
        EXPECT_EQ(StrToIntChecked(text), expected) << text;
}

TEST_F(Settings, MissingFileAsksAndSaveCreatesTheLayout) {
    {
        TProgramIniParam p(ini);
        EXPECT_EQ(p.ComPort, 1);
        EXPECT_EQ(p.ComSpeed, 115200);
        EXPECT_EQ(p.TcpIpPort, 5000);
        EXPECT_FALSE(p.Verbose);
        EXPECT_EQ(p.SentDelay, 1);
        EXPECT_TRUE(p.CtsFlowEnable);
        EXPECT_FALSE(p.DontCloseCommPort);
    }
    ASSERT_EQ(desk->questions, std::vector<std::string>{"Can't open Lantor.ini file. Terminate program ?"});
    EXPECT_TRUE(desk->quits.empty());
    EXPECT_EQ(ReadFile(ini), kDefaultFile);

    // Found the next time: no question. Yes on a missing file posts a quit.
    { TProgramIniParam again(ini); }
    EXPECT_EQ(desk->questions.size(), 1u);
    fs::remove(ini);
    desk->answer = true;
    { TProgramIniParam p(ini); }
    EXPECT_EQ(desk->quits, std::vector<int>{0});
    EXPECT_EQ(ReadFile(ini), kDefaultFile);

    const std::string exeDir = plat::ExecutableDirectory();
    ASSERT_FALSE(exeDir.empty());
    EXPECT_EQ(exeDir.back(), '/');
    EXPECT_TRUE(plat::FileExists(exeDir + "test_settings"));
}

TEST_F(Settings, SaveChangesOnlyTheSevenKeys) {
    // CRLF file with a foreign section, comments, a key and a section twice,
    // binary junk, a stray LF line, blank separators and no final newline.
    const std::string junk("\0\x01junk\xff=\x02", 10);
    WriteFile(ini, "; settings\r\n[Other]\r\nComPort=77\r\n\r\n[commportparams]\r\n  comport = 3 \r\n"
                   "ComPort=9\r\n# note\r\n" + junk + "\r\nComSpeed=9600\n\r\n\r\n"
                   "[TcpIpParams]\r\nTcpIpPort=6000\r\n[CommPortParams]\r\nSentDelay=7\r\n[Debug]\r\nVerbose=1");
    {
        TProgramIniParam p(ini);
        EXPECT_EQ(p.ComPort, 3);
        EXPECT_EQ(p.ComSpeed, 9600);
        EXPECT_EQ(p.TcpIpPort, 6000);
        EXPECT_TRUE(p.Verbose);
        EXPECT_EQ(p.SentDelay, 1);  // only the first CommPortParams counts
        p.ComPort = 4;
        p.Verbose = false;
        p.SentDelay = -5;
        p.DontCloseCommPort = true;
    }
    EXPECT_EQ(ReadFile(ini),
              "; settings\r\n[Other]\r\nComPort=77\r\n\r\n[commportparams]\r\ncomport=4\r\n"
              "ComPort=9\r\n# note\r\n" + junk + "\r\nComSpeed=9600\n"
              "SentDelay=-5\r\nCtsFlowEnable=1\r\nDontCloseCommPort=1\r\n\r\n\r\n"
              "[TcpIpParams]\r\nTcpIpPort=6000\r\n[CommPortParams]\r\nSentDelay=7\r\n[Debug]\r\nVerbose=0");

    // LF file ending inside the last section without a newline: new lines
    // and sections go after it and the file still ends without one.
    WriteFile(ini, "[CommPortParams]\nComPort=2");
    { TProgramIniParam p(ini); }
    EXPECT_EQ(ReadFile(ini), "[CommPortParams]\nComPort=2\nComSpeed=115200\nSentDelay=1\nCtsFlowEnable=1\n"
                             "DontCloseCommPort=0\n[TcpIpParams]\nTcpIpPort=5000\n[Debug]\nVerbose=0");
}

TEST_F(Settings, LargeFileModeAndLinkSurviveSave) {
    std::mt19937 rng(7);
    std::string junk = "junk\n";
    while (junk.size() < 10u << 20) {
        char c = static_cast<char>(rng() & 0xff);
        junk.push_back(c == '[' ? '(' : c);  // no accidental section headers
    }
    const std::string real = dir.path() + "/real.ini";
    WriteFile(real, junk + "\n[CommPortParams]\nComPort=5\n");
    fs::permissions(real, fs::perms(0640));
    fs::create_symlink(real, ini);
    {
        TProgramIniParam p(ini);
        EXPECT_EQ(p.ComPort, 5);
        p.ComPort = 6;
    }
    EXPECT_TRUE(fs::is_symlink(ini));
    EXPECT_EQ(fs::status(real).permissions(), fs::perms(0640));
    const std::string after = ReadFile(real);
    ASSERT_EQ(after.size(), junk.size() + kDefaultFile.size() + 1);
    EXPECT_TRUE(after.compare(0, junk.size(), junk) == 0);
    EXPECT_EQ(after.substr(junk.size()), "\n[CommPortParams]\nComPort=6" + kDefaultFile.substr(26));
}

TEST_F(Settings, UnwritableFileThrowsAndStaysIntact) {
    const std::string before = "[CommPortParams]\nComPort=2\n";
    WriteFile(ini, before);
    fs::permissions(ini, fs::perms(0444));
    {
        TProgramIniParam p(ini);
        p.ComPort = 3;
        try {
            p.Save();
            ADD_FAILURE() << "Save wrote a read-only file";
        } catch (const EIniFileException& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + ini);
        }
        EXPECT_EQ(ReadFile(ini), before);
    }
    // The destructor's own attempt is shown, not thrown.
    ASSERT_EQ(desk->boxes.size(), 1u);
    EXPECT_EQ(desk->boxes[0], std::make_tuple("Unable to write to " + ini, std::string("Serial-Tcp/Ip"),
                                              plat::MsgIcon::Error));
    EXPECT_EQ(ReadFile(ini), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
        << "a temporary file was left behind";

    EXPECT_FALSE(plat::WriteProfileString(dir.path() + "/no/such/dir.ini", "S", "K", "1"));
    EXPECT_EQ(plat::GetProfileString(dir.path() + "/none.ini", "S", "K", "def"), "def");
}

// Random texts from a small vocabulary: a write makes its value readable,
// leaves every other reading alone, changes no other line and is stable.
TEST(ProfileText, WritesTouchOnlyTheirOwnLine) {
    const std::vector<std::string> pieces = {"[A]", "[a]", " [ B ] ", "[C", "k=1", " K = 2 ", "x=3", "k",
                                             "; k=4", "#[A]", "", "  ", std::string("\0=\xfe", 3), "y==5"};
    const std::vector<std::string> names = {"A", "B", "C"}, keys = {"k", "x", "y"};
    std::mt19937 rng(42);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (int n = static_cast<int>(rng() % 9); n > 0; --n) {
            text += pieces[rng() % pieces.size()];
            text += (rng() % 3 == 0) ? "\r\n" : "\n";
        }
        if (rng() % 3 == 0 && !text.empty()) text.pop_back();
        const std::string sec = names[rng() % names.size()], key = keys[rng() % keys.size()];
        const std::string value = std::to_string(rng() % 1000);
        SCOPED_TRACE(testing::PrintToString(text) + " " + sec + "/" + key + "=" + value);

        auto updated = plat::UpdateProfileText(text, sec, key, value);
        ASSERT_TRUE(updated);
        EXPECT_EQ(plat::FindProfileValue(*updated, sec, key), value);
        EXPECT_EQ(plat::UpdateProfileText(*updated, sec, key, value), updated);
        for (const auto& s : names) {
            for (const auto& k : keys) {
                if (s != sec || k != key) {
                    EXPECT_EQ(plat::FindProfileValue(*updated, s, k), plat::FindProfileValue(text, s, k));
                }
            }
        }
        // What differs in the old text lies inside one line.
        std::size_t pre = 0, suf = 0;
        while (pre < text.size() && pre < updated->size() && text[pre] == (*updated)[pre]) ++pre;
        while (suf < text.size() - pre && suf < updated->size() - pre &&
               text[text.size() - 1 - suf] == (*updated)[updated->size() - 1 - suf])
            ++suf;
        EXPECT_EQ(text.substr(pre, text.size() - pre - suf).find('\n'), std::string::npos);
    }
    EXPECT_FALSE(plat::UpdateProfileText("", "S", "K", "a\nb"));
    EXPECT_FALSE(plat::UpdateProfileText("", "S]", "K", "1"));
}
