#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "platform/posix/no_destructor.h"
#include "platform/posix/registry.h"
#include "platform/posix/unique_fd.h"

namespace plat {

namespace {

constexpr int kWsaEbadf = 10009;
constexpr int kWsaEacces = 10013;
constexpr int kWsaEfault = 10014;
constexpr int kWsaEmfile = 10024;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEinprogress = 10036;
constexpr int kWsaEmsgsize = 10040;
constexpr int kWsaEopnotsupp = 10045;
constexpr int kWsaEafnosupport = 10047;
constexpr int kWsaEaddrnotavail = 10049;
constexpr int kWsaEnetdown = 10050;
constexpr int kWsaEnetunreach = 10051;
constexpr int kWsaEnobufs = 10055;
constexpr int kWsaEisconn = 10056;
constexpr int kWsaEnotconn = 10057;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;
constexpr int kWsaEhostunreach = 10065;
constexpr int kWsaVerNotSupported = 10092;

thread_local int tlWsaError = 0;

int WsaCode(int err) {
    switch (err) {
        case EINTR: return kWsaEintr;
        case EBADF: return kWsaEbadf;
        case EACCES: return kWsaEacces;
        case EFAULT: return kWsaEfault;
        case EINVAL: return kWsaEinval;
        case EMFILE:
        case ENFILE: return kWsaEmfile;
        case EAGAIN: return kWsaEwouldblock;
        case EINPROGRESS: return kWsaEinprogress;
        case ENOTSOCK: return kWsaEnotsock;
        case EMSGSIZE: return kWsaEmsgsize;
        case EOPNOTSUPP: return kWsaEopnotsupp;
        case EAFNOSUPPORT: return kWsaEafnosupport;
        case EADDRINUSE: return kWsaEaddrinuse;
        case EADDRNOTAVAIL: return kWsaEaddrnotavail;
        case ENETDOWN: return kWsaEnetdown;
        case ENETUNREACH: return kWsaEnetunreach;
        case ECONNABORTED: return kWsaEconnaborted;
        case ECONNRESET: return kWsaEconnreset;
        case ENOBUFS:
        case ENOMEM: return kWsaEnobufs;
        case EISCONN: return kWsaEisconn;
        case ENOTCONN: return kWsaEnotconn;
        case EPIPE:
        case ESHUTDOWN: return kWsaEshutdown;
        case ETIMEDOUT: return kWsaEtimedout;
        case ECONNREFUSED: return kWsaEconnrefused;
        case EHOSTUNREACH: return kWsaEhostunreach;
        default: return 10000 + err;  // Winsock numbers BSD errors from 10000 on
    }
}

int Fail(int wsaCode) {
    tlWsaError = wsaCode;
    return kSocketError;
}

class Sock {
public:
    explicit Sock(posix::UniqueFd fd) : fd_(std::move(fd)) {}
    ~Sock() {
        // Closing with unread input sends the peer a reset, which can wipe
        // out reply bytes the peer has not read yet. Take what is queued so
        // the close ends in an orderly FIN.
        char sink[4096];
        for (int i = 0; i < 256; ++i) {
            if (::recv(fd_.get(), sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
        }
    }
    Sock(const Sock&) = delete;
    Sock& operator=(const Sock&) = delete;

    int fd() const { return fd_.get(); }
    // Set by closesocket; a call that fails afterwards was interrupted by it.
    std::atomic<bool> closed{false};

private:
    posix::UniqueFd fd_;
};

posix::Registry<Sock>& Sockets() {
    static posix::NoDestructor<posix::Registry<Sock>> sockets;
    return *sockets;
}

std::shared_ptr<Sock> Lookup(Socket s) {
    std::shared_ptr<Sock> sock = Sockets().Find(s);
    if (!sock) tlWsaError = kWsaEnotsock;
    return sock;
}

// The failure of a call that closesocket may have cut short.
int FailCall(const Sock& sock, int err) {
    return Fail(sock.closed.load() ? kWsaEintr : WsaCode(err));
}

Socket Register(posix::UniqueFd fd) {
    const Socket s = Sockets().Add(std::make_shared<Sock>(std::move(fd)));
    if (s == kInvalidSocket) tlWsaError = kWsaEmfile;
    return s;
}

int BindTo(Socket s, in_addr_t address, std::int32_t port) {
    const auto sock = Lookup(s);
    if (!sock) return kSocketError;
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (::bind(sock->fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return Fail(WsaCode(errno));
    return 0;
}

}  // namespace

int WSAStartup(int requestedVersion, int* grantedVersion) {
    if ((requestedVersion & 0xFF) < 1) return kWsaVerNotSupported;
    // A write to a connection the peer has dropped must fail, not end us.
    ::signal(SIGPIPE, SIG_IGN);
    if (grantedVersion) *grantedVersion = kWsaVersion11;
    return 0;
}

int WSACleanup() { return 0; }
int WSAGetLastError() { return tlWsaError; }
void WSASetLastError(int code) { tlWsaError = code; }

Socket socket() {
    posix::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd) {
        tlWsaError = WsaCode(errno);
        return kInvalidSocket;
    }
    // A restarted server must bind again while its old connections sit in
    // TIME_WAIT; Linux still refuses a second listener on the port.
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return Register(std::move(fd));
}

int setBlocking(Socket s, bool blocking) {
    const auto sock = Lookup(s);
    if (!sock) return kSocketError;
    const int flags = ::fcntl(sock->fd(), F_GETFL);
    if (flags < 0) return Fail(WsaCode(errno));
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (::fcntl(sock->fd(), F_SETFL, wanted) != 0) return Fail(WsaCode(errno));
    return 0;
}

int bindAny(Socket s, std::int32_t port) { return BindTo(s, htonl(INADDR_ANY), port); }

int bindAddress(Socket s, const char* dottedAddress, std::int32_t port) {
    in_addr address {};
    if (dottedAddress == nullptr || ::inet_pton(AF_INET, dottedAddress, &address) != 1) {
        if (!Lookup(s)) return kSocketError;
        return Fail(kWsaEinval);
    }
    return BindTo(s, address.s_addr, port);
}

int listen(Socket s, int backlog) {
    const auto sock = Lookup(s);
    if (!sock) return kSocketError;
    if (::listen(sock->fd(), backlog) != 0) return Fail(WsaCode(errno));
    return 0;
}

Socket accept(Socket s) {
    const auto sock = Lookup(s);
    if (!sock) return kInvalidSocket;
    for (;;) {
        const int fd = ::accept4(sock->fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return Register(posix::UniqueFd(fd));
        if (errno == EINTR && !sock->closed.load()) continue;
        // A listener shut down by closesocket fails with EINVAL.
        FailCall(*sock, errno);
        return kInvalidSocket;
    }
}

int recv(Socket s, void* buf, int len) {
    const auto sock = Lookup(s);
    if (!sock) return kSocketError;
    if (len < 0) return Fail(kWsaEinval);
    for (;;) {
        const ssize_t n = ::recv(sock->fd(), buf, static_cast<std::size_t>(len), 0);
        if (n > 0) return static_cast<int>(n);
        // The shutdown in closesocket ends a blocked receive with 0.
        if (n == 0) return sock->closed.load() ? Fail(kWsaEintr) : 0;
        if (errno == EINTR && !sock->closed.load()) continue;
        return FailCall(*sock, errno);
    }
}

int send(Socket s, const void* buf, int len) {
    const auto sock = Lookup(s);
    if (!sock) return kSocketError;
    if (len < 0) return Fail(kWsaEinval);
    for (;;) {
        const ssize_t n = ::send(sock->fd(), buf, static_cast<std::size_t>(len), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR && !sock->closed.load()) continue;
        return FailCall(*sock, errno);
    }
}

int shutdown(Socket s, int how) {
    const auto sock = Lookup(s);
    if (!sock) return kSocketError;
    int mode;
    switch (how) {
        case kSdReceive: mode = SHUT_RD; break;
        case kSdSend: mode = SHUT_WR; break;
        case kSdBoth: mode = SHUT_RDWR; break;
        default: return Fail(kWsaEinval);
    }
    if (::shutdown(sock->fd(), mode) != 0) return Fail(WsaCode(errno));
    return 0;
}

int closesocket(Socket s) {
    const auto sock = Sockets().Remove(s);
    if (!sock) return Fail(kWsaEnotsock);
    sock->closed.store(true);
    // close() wakes nobody; shutdown ends a blocked accept (EINVAL), recv
    // (0) or send (EPIPE) at once, and sends the FIN. The descriptor closes
    // when the last call using it has returned.
    ::shutdown(sock->fd(), SHUT_RDWR);
    return 0;
}

int localPort(Socket s) {
    const auto sock = Lookup(s);
    if (!sock) return 0;
    sockaddr_in sa {};
    socklen_t len = sizeof sa;
    if (::getsockname(sock->fd(), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return 0;
    return ntohs(sa.sin_port);
}

}  // namespace plat
