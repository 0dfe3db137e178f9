// The identification probe against simulated devices that answer early,
// late, wrongly or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bridge/bridge_state.h"
#include "bridge/servasyn.h"
#include "panel/UnIni.h"
#include "platform/console.h"
#include "platform/serial.h"
#include "support/bridge_fixture.h"

using namespace testsupport;

namespace {

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(devices);
        plat::SetDeviceDirectory(devices);
        trace = std::make_shared<TraceCapture>();
        plat::AttachConsole(trace);
        IniParams = std::make_unique<TProgramIniParam>(std::string());
        IniParams->SentDelay = 0;
    }
    void TearDown() override {
        plat::AttachConsole(nullptr);
        IniParams.reset();
    }

    TempDir dir;
    std::string devices = dir.path() + "/dosdevices";
    std::shared_ptr<TraceCapture> trace;
};

TEST_F(ProbeTest, FindsTheMarkerInAnEarlyOrALateAnswer) {
    Simulator early(devices, 2);
    Simulator late(devices, 3, {"--id-delay-ms", "1200"});
    ASSERT_TRUE(early.ok() && late.ok());

    EXPECT_TRUE(ProbeDevice(2));
    EXPECT_NE(trace->Text().find("Try Com2\n***.G.E.T. ./.i.d. .H.T.T.P./.1...0.\r.\n.\r.\n***\n"),
              std::string::npos)
        << trace->Text();
    EXPECT_EQ(trace->Count("CRead: "), 1);
    EXPECT_NE(early.Log().find("GET /id"), std::string::npos);

    trace->Clear();
    EXPECT_TRUE(ProbeDevice(3));
    EXPECT_EQ(trace->Count("CRead: "), 1) << "the empty first read leaves no line";
    EXPECT_EQ(trace->Count("CRead: 0 bytes"), 0);
}

TEST_F(ProbeTest, JudgesOnlyTheFirstSixtyBytesAndTheExactMarker) {
    // 0 bytes before the marker do not hide it; the trace text stops at the
    // first 0 and is padded to the reply's length.
    Simulator zeroFirst(devices, 1, {"--id-reply", "ab\\x00ID:QUARN7"});
    Simulator lower(devices, 2, {"--id-reply", "id:quarn7 ID:quarn7"});
    Simulator far(devices, 3, {"--id-reply", std::string(60, 'x') + "ID:QUARN7"});
    ASSERT_TRUE(zeroFirst.ok() && lower.ok() && far.ok());

    EXPECT_TRUE(ProbeDevice(1));
    const std::string t = trace->Text();
    const auto line = t.find("CRead: ");
    ASSERT_NE(line, std::string::npos);
    const std::string read = t.substr(line, t.find('\n', line) - line);
    // "CRead: k***" then k - 2 spaces, "ab", " ***".
    const int k = std::stoi(read.substr(7));
    EXPECT_EQ(read, "CRead: " + std::to_string(k) + "***" + std::string(k - 2, ' ') + "ab ***");

    EXPECT_FALSE(ProbeDevice(2));
    EXPECT_FALSE(ProbeDevice(3));
}

TEST_F(ProbeTest, PortTestTellsMissingBusyAndSilentPortsApart) {
    EXPECT_EQ(TestCommPort(7), plat::kErrFileNotFound);

    Simulator held(devices, 4);
    ASSERT_TRUE(held.ok());
    const plat::Handle holder = plat::OpenSerial(CommPathFor(4));
    ASSERT_NE(holder, plat::kInvalidHandle);
    EXPECT_EQ(TestCommPort(4), plat::kErrAccessDenied);
    EXPECT_FALSE(ProbeDevice(4));
    EXPECT_NE(trace->Text().find("Can't open comport. error: 5\n"), std::string::npos);
    plat::CloseSerial(holder);
    EXPECT_EQ(TestCommPort(4), 0u);

    Simulator silent(devices, 5, {"--silent"});
    ASSERT_TRUE(silent.ok());
    trace->Clear();
    EXPECT_FALSE(ProbeDevice(5));
    EXPECT_NE(trace->Text().find("CRead: 0 bytes\n"), std::string::npos);
}

}  // namespace
