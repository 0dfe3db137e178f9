// Sockets on loopback: closing from another thread ends blocked calls,
// handles are never reused, and connections end in an orderly FIN.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/socket.h"
#include "support/blocked_call.h"

namespace {

using testsupport::BlockingCall;

// The test's own end of a connection, in plain BSD sockets.
class Peer {
public:
    explicit Peer(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~Peer() { ::close(fd_); }
    bool connected() const { return connected_; }
    bool Send(const std::string& s) { return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size()); }
    // Reads until the connection ends; endErrno is 0 for an orderly end.
    std::string ReadToEnd(int& endErrno) {
        std::string out;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            endErrno = n == 0 ? 0 : errno;
            return out;
        }
    }

private:
    int fd_;
    bool connected_ = false;
};

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        int granted = 0;
        ASSERT_EQ(0, plat::WSAStartup(plat::kWsaVersion11, &granted));
        EXPECT_EQ(plat::kWsaVersion11, granted);
    }

    plat::Socket Listen(int port = 0) {
        const plat::Socket s = plat::socket();
        EXPECT_NE(plat::kInvalidSocket, s);
        if (plat::bindAddress(s, "127.0.0.1", port) != 0 || plat::listen(s, 1) != 0) {
            plat::closesocket(s);
            return plat::kInvalidSocket;
        }
        return s;
    }
};

TEST_F(SocketTest, CloseFromAnotherThreadEndsBlockedCallsAndRetiresTheHandle) {
    const plat::Socket listener = Listen();
    ASSERT_NE(plat::kInvalidSocket, listener);
    const int port = plat::localPort(listener);
    ASSERT_GT(port, 0);

    Peer peer(port);
    ASSERT_TRUE(peer.connected());
    const plat::Socket conn = plat::accept(listener);
    ASSERT_NE(plat::kInvalidSocket, conn);

    struct Case {
        const char* name;
        plat::Socket socket;
        std::initializer_list<long> calls;
        bool accept;
    };
    for (const Case c : {Case{"recv", conn, {SYS_recvfrom}, false},
                         Case{"accept", listener, {SYS_accept, SYS_accept4}, true}}) {
        SCOPED_TRACE(c.name);
        int result = 0, error = 0;
        BlockingCall call([&] {
            char buf[16];
            result = c.accept ? plat::accept(c.socket) : plat::recv(c.socket, buf, sizeof buf);
            error = plat::WSAGetLastError();
        });
        ASSERT_TRUE(call.WaitBlockedIn(c.calls));
        ASSERT_EQ(0, plat::closesocket(c.socket));
        ASSERT_TRUE(call.Join());
        EXPECT_EQ(-1, result);
        EXPECT_EQ(plat::kWsaEintr, error);
    }
    int end = -1;
    EXPECT_EQ("", peer.ReadToEnd(end));
    EXPECT_EQ(0, end);

    // The numbers stay dead: new sockets get new ones, the old fail.
    const plat::Socket fresh = plat::socket();
    ASSERT_NE(plat::kInvalidSocket, fresh);
    EXPECT_NE(listener, fresh);
    EXPECT_NE(conn, fresh);
    char buf[4];
    EXPECT_EQ(plat::kSocketError, plat::recv(conn, buf, sizeof buf));
    EXPECT_EQ(plat::kWsaEnotsock, plat::WSAGetLastError());
    EXPECT_EQ(plat::kSocketError, plat::closesocket(listener));
    EXPECT_EQ(plat::kWsaEnotsock, plat::WSAGetLastError());
    EXPECT_EQ(0, plat::closesocket(fresh));
}

TEST_F(SocketTest, ConnectionsEndWithEofNotReset) {
    const plat::Socket listener = Listen();
    ASSERT_NE(plat::kInvalidSocket, listener);
    const int port = plat::localPort(listener);
    const std::string reply(3000, 'r');
    char buf[8];

    {  // Shutting down our sending side: the peer reads EOF, and can still talk.
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
        const plat::Socket conn = plat::accept(listener);
        ASSERT_NE(plat::kInvalidSocket, conn);
        ASSERT_EQ(static_cast<int>(reply.size()), plat::send(conn, reply.data(), static_cast<int>(reply.size())));
        ASSERT_EQ(0, plat::shutdown(conn, plat::kSdSend));
        int end = -1;
        EXPECT_EQ(reply, peer.ReadToEnd(end));
        EXPECT_EQ(0, end);
        ASSERT_TRUE(peer.Send("late"));
        EXPECT_EQ(4, plat::recv(conn, buf, 4));
        // Writing after our own shutdown fails; the process lives on.
        EXPECT_EQ(plat::kSocketError, plat::send(conn, "x", 1));
        EXPECT_EQ(plat::kWsaEshutdown, plat::WSAGetLastError());
        EXPECT_EQ(0, plat::closesocket(conn));
    }
    {  // Closed with the request partly unread and a reply the peer has
       // not taken yet: every byte of the reply still arrives, then EOF.
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
        const plat::Socket conn = plat::accept(listener);
        ASSERT_NE(plat::kInvalidSocket, conn);
        ASSERT_TRUE(peer.Send(std::string(100, 'q')));
        ASSERT_EQ(4, plat::recv(conn, buf, 4));
        ASSERT_EQ(0, plat::setBlocking(conn, false));
        const std::string chunk(64 * 1024, 'r');
        std::size_t queued = 0;
        for (;;) {
            const int n = plat::send(conn, chunk.data(), static_cast<int>(chunk.size()));
            if (n < 0) break;
            queued += static_cast<std::size_t>(n);
        }
        ASSERT_EQ(10035, plat::WSAGetLastError());  // full: the rest sits in our send queue
        EXPECT_EQ(0, plat::closesocket(conn));
        int end = -1;
        EXPECT_EQ(queued, peer.ReadToEnd(end).size());
        EXPECT_EQ(0, end) << "connection reset instead of closed";
    }
    EXPECT_EQ(0, plat::closesocket(listener));
}

TEST_F(SocketTest, PortIsReboundAfterCloseButNeverShared) {
    const plat::Socket first = Listen();
    ASSERT_NE(plat::kInvalidSocket, first);
    const int port = plat::localPort(first);

    const plat::Socket second = plat::socket();
    EXPECT_EQ(plat::kSocketError, plat::bindAddress(second, "127.0.0.1", port));
    EXPECT_EQ(plat::kWsaEaddrinuse, plat::WSAGetLastError());
    EXPECT_EQ(0, plat::closesocket(second));

    {  // We close first, so our side of the connection lingers in TIME_WAIT.
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
        const plat::Socket conn = plat::accept(first);
        ASSERT_NE(plat::kInvalidSocket, conn);
        EXPECT_EQ(0, plat::closesocket(conn));
        int end = -1;
        peer.ReadToEnd(end);
    }
    EXPECT_EQ(0, plat::closesocket(first));
    const plat::Socket again = Listen(port);
    EXPECT_NE(plat::kInvalidSocket, again) << plat::WSAGetLastError();
    EXPECT_EQ(port, plat::localPort(again));
    plat::closesocket(again);
}

}  // namespace
