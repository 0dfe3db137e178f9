// The bridge end to end: a real pseudo-terminal with the simulated device on
// it, real loopback clients, and the trace that tells each story.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bridge/bridge_assembly.h"
#include "bridge/bridge_state.h"
#include "platform/console.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "support/bridge_fixture.h"

using namespace testsupport;

namespace {

std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.0\r\n\r\n"; }

std::string Body(const std::string& reply) {
    const auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

std::uint32_t Fnv1a(const std::string& bytes) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : bytes) h = (h ^ c) * 16777619u;
    return h;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The folder must exist, or COM1 would mean the machine's /dev/ttyS0.
        std::filesystem::create_directories(dir.path() + "/dosdevices");
        plat::SetDeviceDirectory(dir.path() + "/dosdevices");
        trace = std::make_shared<TraceCapture>();
        plat::AttachConsole(trace);
        statuses = std::make_shared<StatusRecorder>();
        SetStatusHandoff(statuses);
    }

    void TearDown() override {
        bridge::Stop();
        SetStatusHandoff(nullptr);
        plat::AttachConsole(nullptr);
    }

    void StartBridge(bool dontClose = false) {
        bridge::Settings s;
        s.tcpPort = 0;
        s.bindAddress = "127.0.0.1";
        s.dontCloseCommPort = dontClose;
        std::string error;
        ASSERT_TRUE(bridge::Start(s, &error)) << error;
        port = bridge::ListeningPort();
    }

    // One request and the whole reply, with the handshake that follows it.
    std::string Exchange(const std::string& request, int handshakes) {
        Client client(port);
        EXPECT_TRUE(client.connected());
        client.Send(request);
        std::string reply = client.ReadAll();
        EXPECT_TRUE(client.closed()) << "the bridge did not end the connection";
        EXPECT_TRUE(trace->WaitFor("Write: 0\n", 20s, handshakes));
        EXPECT_TRUE(statuses->WaitForCount(3 * static_cast<std::size_t>(handshakes)));
        return reply;
    }

    TempDir dir;
    std::shared_ptr<TraceCapture> trace;
    std::shared_ptr<StatusRecorder> statuses;
    int port = 0;
};

TEST_F(BridgeTest, CurlGetsThePageAndTheConnectionEndsAtTheDevicesZeroByte) {
    Simulator sim(dir.path() + "/dosdevices", 1, {"--after-eof", "LEAKED"});
    ASSERT_TRUE(sim.ok());
    StartBridge();

    int status = -1;
    const std::string page = RunCommand(
        "curl -sS --max-time 20 http://127.0.0.1:" + std::to_string(port) + "/", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(page.find("<html"), std::string::npos) << page;
    EXPECT_EQ(page.find("LEAKED"), std::string::npos);
    ASSERT_TRUE(trace->WaitFor("Comport closed.\n"));
    ASSERT_TRUE(statuses->WaitForCount(3));

    // A second client must not see what the device sent after its 0 byte.
    const std::string second = Exchange(Get("/"), 2);
    EXPECT_EQ(second.find("LEAKED"), std::string::npos);
    EXPECT_EQ(Body(second), page);

    const std::string t = trace->Text();
    for (const char* line :
         {"Accept...\n", "AcceptedSocket\n", "Port opened.\n",
          "Accepted Socket. Resume Async Tread.\n", "Flush comport rx\n", "0-shutdown acceptet socket\n",
          "AcceptedSocket set to INVALID_SOCKET \n", "Wait LoopEvent\n", "AcceptedSocket:-1\n",
          "Async Thread Suspend\n", "Socket tread. Wait suspend. Try: 0\n", "Write: 0\n",
          "Wait: 0 on Comm\n", "Comport closed.\n", "---Recv...\n"}) {
        EXPECT_NE(t.find(line), std::string::npos) << "missing trace line: " << line;
    }
    EXPECT_NE(t.find("Recv: -1 Closed Accepted Socket. LastError:"), std::string::npos);
    EXPECT_NE(t.find("***.G.E.T. ./. .H.T.T.P./.1...0.?.?.?.?***"), std::string::npos);
    EXPECT_EQ(statuses->Seen().front(), BridgeStatus::Connected);
    EXPECT_EQ(statuses->Seen()[2], BridgeStatus::Disconnected);
}

TEST_F(BridgeTest, LongRepliesAndEveryByteValueCrossUnchanged) {
    Simulator sim(dir.path() + "/dosdevices", 1);
    ASSERT_TRUE(sim.ok());
    StartBridge();

    // Device to client: 3000 bytes arrive over several chunks, only the last
    // one ends the connection.
    const std::string reply = Exchange(Get("/bytes/3000"), 1);
    const std::string body = Body(reply);
    ASSERT_EQ(body.size(), 3000u);
    for (std::size_t i = 0; i < body.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(body[i]), i % 255 + 1) << "at " << i;
    EXPECT_GE(trace->Count("ComRead: "), 3);
    EXPECT_EQ(trace->Count("Must close: "), 1);

    // Client to device: all 256 byte values (0, CR and LF among them) in a
    // body longer than one 256-byte receive.
    std::string payload;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b) payload.push_back(static_cast<char>(b));
    const std::string request = "POST /sum HTTP/1.0\r\nContent-Length: " +
                                std::to_string(payload.size()) + "\r\n\r\n" + payload;
    trace->Clear();
    const std::string sum = Exchange(request, 1);
    char expected[64];
    std::snprintf(expected, sizeof expected, "len=%zu fnv=%08x", payload.size(), Fnv1a(payload));
    EXPECT_NE(sum.find(expected), std::string::npos) << sum;
    EXPECT_GE(trace->Count("Flush comport rx\n"), static_cast<int>((request.size() + 255) / 256));
    // CR and LF show as "?" in the echo; a 0 byte is echoed as itself.
    EXPECT_NE(trace->Text().find(std::string(".\x0b.\x0c.?.\x0e", 8)), std::string::npos);
    EXPECT_NE(trace->Text().find(std::string(".\x09.?.\x0b", 6)), std::string::npos);
}

TEST_F(BridgeTest, ClientThatSendsNothingStillGetsTheHandshake) {
    Simulator sim(dir.path() + "/dosdevices", 1);
    ASSERT_TRUE(sim.ok());
    StartBridge();
    {
        Client client(port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(trace->WaitFor("Accepted Socket. Resume Async Tread.\n"));
        client.Close();
    }
    ASSERT_TRUE(trace->WaitFor("Comport closed.\n"));
    ASSERT_TRUE(statuses->WaitForCount(3));
    EXPECT_NE(trace->Text().find("ServerRecLen:0\n"), std::string::npos);
    EXPECT_NE(trace->Text().find("Recv: 0 Closed Accepted Socket. LastError:0\n"), std::string::npos);
    // The device answers our 0 within a poll or two.
    EXPECT_LE(trace->Count("Socket tread. Wait EOF(0) from Quarn. Try: "), 2);
    const auto seen = statuses->Seen();
    EXPECT_EQ(seen, (std::vector<BridgeStatus>{BridgeStatus::Connected, BridgeStatus::Connected,
                                               BridgeStatus::Disconnected}));
    // The device saw exactly one 0 byte: the end of the connection.
    EXPECT_NE(sim.Log().find("handshake"), std::string::npos) << sim.Log();
}

TEST_F(BridgeTest, HandshakeGivesUpOnASilentDeviceAndSkipsJunkBeforeTheZero) {
    {
        Simulator sim(dir.path() + "/dosdevices", 1, {"--no-handshake"});
        ASSERT_TRUE(sim.ok());
        StartBridge();
        Exchange(Get("/"), 1);
        EXPECT_EQ(trace->Count("Socket tread. Wait EOF(0) from Quarn. Try: "), 10);
        EXPECT_NE(trace->Text().find("Socket tread. Wait EOF(0) from Quarn. Try: 10\n"),
                  std::string::npos);
        // The next client is served all the same.
        EXPECT_NE(Exchange(Get("/"), 2).find("200 OK"), std::string::npos);
        bridge::Stop();
    }
    trace->Clear();
    statuses->Clear();
    Simulator sim(dir.path() + "/dosdevices", 1, {"--handshake-junk", "noise"});
    ASSERT_TRUE(sim.ok());
    StartBridge();
    Exchange(Get("/"), 1);
    EXPECT_LT(trace->Count("Socket tread. Wait EOF(0) from Quarn. Try: "), 3);
}

TEST_F(BridgeTest, MissingPortIsTriedTenTimesThenTheClientIsClosed) {
    StartBridge();
    {
        Client client(port);
        ASSERT_TRUE(client.connected());
        client.Send(Get("/"));
        EXPECT_EQ(client.ReadAll(), "");
        EXPECT_TRUE(client.closed());
    }
    ASSERT_TRUE(trace->WaitFor("Socket tread. Can't open port. Shutdown Accepted Socket\n"))
        << trace->Text();
    EXPECT_EQ(trace->Count("OpenCommPort() error. INVALID_HANDLE_VALUE after create\n"), 10);
    EXPECT_NE(trace->Text().find("Socket tread. Can't open port. Try: 10\n"), std::string::npos);
    ASSERT_TRUE(statuses->WaitForCount(2));
    EXPECT_EQ(statuses->Seen()[1], BridgeStatus::Error);

    // Once the device is there, the next client is served.
    Simulator sim(dir.path() + "/dosdevices", 1);
    ASSERT_TRUE(sim.ok());
    statuses->Clear();
    EXPECT_NE(Exchange(Get("/"), 1).find("200 OK"), std::string::npos);
}

TEST_F(BridgeTest, KeptOpenPortServesTheNextClientAtOnceWithoutStaleBytes) {
    Simulator sim(dir.path() + "/dosdevices", 1, {"--after-eof", "STALE"});
    ASSERT_TRUE(sim.ok());
    StartBridge(/*dontClose=*/true);
    EXPECT_NE(Exchange(Get("/"), 1).find("200 OK"), std::string::npos);
    const std::string second = Exchange(Get("/"), 2);
    EXPECT_NE(second.find("200 OK"), std::string::npos);
    EXPECT_EQ(second.find("STALE"), std::string::npos);
    EXPECT_EQ(trace->Count("Port opened.\n"), 1);
    EXPECT_EQ(trace->Count("Port is opened.\n"), 1);
    EXPECT_EQ(trace->Count("Comport closed.\n"), 0);
    EXPECT_EQ(trace->Count("Socket tread. Can't open port. Try: "), 0);
}

// The reader ending the connection between a receive and its forwarding is
// a narrow race; the trace hook on the socket thread makes it happen at the
// exact point, as the reader would.
class RacingTrace : public TraceCapture {
public:
    void Write(std::string_view text) override {
        if (armed && text == "Flush comport rx\n") {
            armed = false;
            const plat::Socket client = AcceptedSocket.load();
            plat::shutdown(client, plat::kSdSend);
            plat::closesocket(client);
            AcceptedSocket.exchange(plat::kInvalidSocket);
        }
        TraceCapture::Write(text);
    }
    std::atomic<bool> armed{false};
};

TEST_F(BridgeTest, ChunkArrivingAfterTheReaderEndedTheConnectionIsDropped) {
    auto racing = std::make_shared<RacingTrace>();
    trace = racing;
    plat::AttachConsole(racing);
    Simulator sim(dir.path() + "/dosdevices", 1);
    ASSERT_TRUE(sim.ok());
    StartBridge();
    {
        Client client(port);
        ASSERT_TRUE(trace->WaitFor("Accepted Socket. Resume Async Tread.\n"));
        racing->armed = true;
        client.Send(Get("/"));
        EXPECT_EQ(client.ReadAll(), "");
    }
    ASSERT_TRUE(trace->WaitFor("Invalid AcceptedSocket. Can't sent. Break "));
    ASSERT_TRUE(statuses->WaitForCount(3));
    EXPECT_EQ(statuses->Seen()[2], BridgeStatus::Error);
    EXPECT_EQ(sim.Log().find("GET /"), std::string::npos) << "no byte may reach the device";

    // The bridge goes on serving.
    EXPECT_NE(Exchange(Get("/"), 1).find("200 OK"), std::string::npos);
}

}  // namespace
