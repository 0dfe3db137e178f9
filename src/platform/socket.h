// Stream sockets with the shape of the Windows Sockets 1.1 calls the bridge
// uses. Handles are 32-bit registry numbers (-1 invalid) that are never
// reused, so a stale handle fails instead of reaching a new connection.
// closesocket() wakes every call blocked on the socket, which then fails.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

using Socket = std::int32_t;
inline constexpr Socket kInvalidSocket = -1;
inline constexpr int kSocketError = -1;

// Error codes (Windows Sockets numbering).
inline constexpr int kWsaEintr = 10004;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEnotsock = 10038;
inline constexpr int kWsaEaddrinuse = 10048;
inline constexpr int kWsaEconnaborted = 10053;
inline constexpr int kWsaEconnreset = 10054;
inline constexpr int kWsaEshutdown = 10058;
inline constexpr int kWsaVersion11 = 0x0101;

inline constexpr int kSdReceive = 0;
inline constexpr int kSdSend = 1;
inline constexpr int kSdBoth = 2;

// WSAStartup: grants version 1.1 and keeps SIGPIPE from ending the process.
int WSAStartup(int requestedVersion, int* grantedVersion);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);

Socket socket();  // AF_INET, SOCK_STREAM, IPPROTO_TCP
int setBlocking(Socket s, bool blocking);  // ioctlsocket(FIONBIO)
// Binds to all local IPv4 addresses on the low 16 bits of port.
int bindAny(Socket s, std::int32_t port);
// Binds to one IPv4 address in dotted form (tests, benchmarks).
int bindAddress(Socket s, const char* dottedAddress, std::int32_t port);
int listen(Socket s, int backlog);
Socket accept(Socket s);
int recv(Socket s, void* buf, int len);
int send(Socket s, const void* buf, int len);
int shutdown(Socket s, int how);
int closesocket(Socket s);
// The port a socket is bound to (0 when unknown).
int localPort(Socket s);

}  // namespace plat
