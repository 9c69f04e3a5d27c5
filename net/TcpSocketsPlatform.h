// What the socket layer's parts share and nothing outside the layer sees:
// the system's socket headers, and the few calls that each platform's own
// file (TcpSocketsPosix.cpp, TcpSocketsWindows.cpp) makes in its way.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <string>

#include "TcpSockets.h"

namespace tcp::detail {

#ifdef _WIN32
using SockLength = int;
constexpr int kShutdownBoth = SD_BOTH;
constexpr int kShutdownSend = SD_SEND;
constexpr int kErrInvalid = WSAEINVAL;
constexpr int kErrAddressFamily = WSAEAFNOSUPPORT;
#else
using SockLength = socklen_t;
constexpr int kShutdownBoth = SHUT_RDWR;
constexpr int kShutdownSend = SHUT_WR;
constexpr int kErrInvalid = EINVAL;
constexpr int kErrAddressFamily = EAFNOSUPPORT;
#endif

// The platform's code of the call that failed last: errno, WSAGetLastError.
int PlatformError();
// Keeps the platform's code of the call that failed last; false.
bool Failed();
// A connect on a non-blocking socket that goes on in the background.
bool IsConnectPending(int error);
// The system's description of one of its codes, as messages give it.
std::string SystemErrorText(int code);
// The setsockopt that SockSetOptions calls: the platform's, or a test's.
testing::SetOptionFn SetOptionHook();
bool SetIntOption(Socket s, int level, int name, int value);
// Keep-alive on, with the times that find a dead unit within seconds.
bool SetKeepAlive(Socket s);
// Binds a listening socket to the address text and port, and listens.
bool BindAndListen(Socket s, std::string_view address, int port, int backlog);
// A negative length is refused with the platform's EINVAL, and nothing moves.
bool RefuseNegative(int length);

}  // namespace tcp::detail
