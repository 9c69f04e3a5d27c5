// The socket layer on Windows Sockets. WSAGetLastError's codes are the
// layer's codes as they stand: a reset is 10054 (kConnReset), as the module's
// own time-out 258 is WAIT_TIMEOUT.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "Platform.h"
#include "TcpSockets.h"
#include "TcpSocketsPlatform.h"

namespace tcp {
namespace {

constexpr WORD kWinsockVersion = MAKEWORD(1, 1);
constexpr ULONG kKeepAliveIdleMs = 3000;
constexpr ULONG kKeepAliveIntervalMs = 100;

bool Failed() {
  SockSetLastError(WSAGetLastError());
  return false;
}

int SetOption(Socket s, int level, int name, const void* value, int length) {
  testing::SetOptionFn hook = detail::SetOptionHook();
  if (hook != nullptr) return hook(s, level, name, value, unsigned(length));
  return setsockopt(s, level, name, static_cast<const char*>(value), length);
}

bool SetIntOption(Socket s, int level, int name, int value) {
  return SetOption(s, level, name, &value, sizeof value) == 0 || Failed();
}

// Keep-alive after 3 s of silence, probing every 100 ms; the probe count is
// the system's.
bool SetKeepAlive(Socket s) {
  if (!SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1)) return false;
  tcp_keepalive values{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
  DWORD returned = 0;
  return WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                  nullptr) == 0 ||
         Failed();
}

bool SetNoLinger(Socket s) {
  linger value{0, 0};
  return SetOption(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 || Failed();
}

sockaddr_in MakeAddress(std::uint32_t address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port));
  sa.sin_addr.s_addr = address;
  return sa;
}

void Fill(fd_set& fds, const SockSet* set) {
  FD_ZERO(&fds);
  if (set == nullptr) return;
  for (int i = 0; i < set->count; ++i) FD_SET(set->handles[i], &fds);
}

int ReduceToReady(SockSet* set, fd_set& fds) {
  if (set == nullptr) return 0;
  SockSet ready;
  for (int i = 0; i < set->count; ++i) {
    if (FD_ISSET(set->handles[i], &fds)) ready.Add(set->handles[i]);
  }
  *set = ready;
  return ready.count;
}

bool IsEmpty(const SockSet* set) {
  return set == nullptr || set->count == 0;
}

}  // namespace

namespace detail {

int PlatformError() {
  return WSAGetLastError();
}

bool IsConnectPending(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

std::string SystemErrorText(int code) {
  return kdt::WindowsErrorText(static_cast<unsigned long>(code));
}

bool RefuseNegative(int length) {
  if (length >= 0) return false;
  SockSetLastError(WSAEINVAL);
  return true;
}

}  // namespace detail

void SockStartup() {
  WSADATA data{};
  WSAStartup(kWinsockVersion, &data);
}

void SockCleanup() {
  WSACleanup();
}

bool SockCreate(Socket& s) {
  s = socket(AF_INET, SOCK_STREAM, 0);
  return s != kInvalidSocket || Failed();
}

bool SockSetOptions(Socket s, int bufferSize) {
  // Windows ignores SO_DONTROUTE on IPv4; it is set to 0 as on every platform.
  return SetIntOption(s, SOL_SOCKET, SO_DONTROUTE, 0) &&
         SetIntOption(s, SOL_SOCKET, SO_OOBINLINE, 1) &&
         SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bufferSize) &&
         SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bufferSize) &&
         SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1) && SetKeepAlive(s) &&
         SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1) && SetNoLinger(s);
}

bool SockSetBlocking(Socket s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &nonBlocking) == 0 || Failed();
}

bool SockClose(Socket& s) {
  const int result = closesocket(s);
  if (result != 0) SockSetLastError(WSAGetLastError());
  s = kInvalidSocket;
  return result == 0;
}

bool SockShutdownClose(Socket& s) {
  if (s == kInvalidSocket) return true;
  shutdown(s, SD_BOTH);
  return SockClose(s);
}

bool SockConnect(Socket s, std::string_view address, int port) {
  sockaddr_in sa = MakeAddress(DottedToInAddr(address), port);
  if (sa.sin_addr.s_addr == INADDR_ANY) {
    SockSetLastError(WSAEADDRNOTAVAIL);
    return false;
  }
  return connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 || Failed();
}

bool SockSelect(SockSet* readSet, SockSet* writeSet, SockSet* exceptSet, int timeoutMs,
                int& count) {
  timeoutMs = std::max(timeoutMs, 0);
  // Windows refuses a select without sockets; the wait is then a plain one.
  if (IsEmpty(readSet) && IsEmpty(writeSet) && IsEmpty(exceptSet)) {
    Sleep(DWORD(timeoutMs));
    count = 0;
    return true;
  }
  fd_set readFds, writeFds, exceptFds;
  Fill(readFds, readSet);
  Fill(writeFds, writeSet);
  Fill(exceptFds, exceptSet);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (select(0, &readFds, &writeFds, &exceptFds, &timeout) == SOCKET_ERROR) {
    count = -1;
    return Failed();
  }
  count = ReduceToReady(readSet, readFds);
  count += ReduceToReady(writeSet, writeFds);
  count += ReduceToReady(exceptSet, exceptFds);
  return true;
}

bool SockWaitWritable(Socket s, int timeoutMs) {
  // A connect that fails shows in the exception set on Windows, not as
  // writable: both are watched, so that a refusal reports at once.
  SockSet writable, failed;
  writable.Add(s);
  failed.Add(s);
  int count = 0;
  if (!SockSelect(nullptr, &writable, &failed, timeoutMs, count)) return false;
  if (count == 0) {
    SockSetLastError(kWaitTimeout);
    return false;
  }
  int error = 0;
  int length = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    error = WSAGetLastError();
  }
  if (error == 0 && failed.count == 0) return true;
  SockSetLastError(error != 0 ? error : WSAECONNREFUSED);
  return false;
}

bool SockSend(Socket s, const void* data, int length, int& sent) {
  sent = -1;
  if (detail::RefuseNegative(length)) return false;
  sent = send(s, static_cast<const char*>(data), length, 0);
  return sent != SOCKET_ERROR || Failed();
}

bool SockRecv(Socket s, void* buffer, int length, int& received) {
  received = -1;
  if (detail::RefuseNegative(length)) return false;
  received = recv(s, static_cast<char*>(buffer), length, 0);
  if (received == 0) SockSetLastError(kConnReset);
  if (received < 0) SockSetLastError(WSAGetLastError());
  return received > 0;
}

bool SockListen(Socket& s, std::string_view address, int port, int backlog) {
  // No SO_REUSEADDR: on Windows it would let a second listener take the port.
  s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == kInvalidSocket) return Failed();
  const sockaddr_in sa = MakeAddress(DottedToInAddr(address), port);
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 && listen(s, backlog) == 0 &&
      SockSetBlocking(s, false)) {
    return true;
  }
  const int error = WSAGetLastError();
  SockClose(s);
  SockSetLastError(error);
  return false;
}

int SockLocalPort(Socket s) {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool SockAccept(Socket listener, Socket& client) {
  client = accept(listener, nullptr, nullptr);
  if (client == kInvalidSocket) return Failed();
  // An accepted socket inherits the listener's non-blocking mode.
  if (SockSetBlocking(client, true)) return true;
  const int error = SockLastError();
  SockClose(client);
  SockSetLastError(error);
  return false;
}

bool SockPeerName(Socket s, std::uint32_t& address, int& port) {
  sockaddr_in peer{};
  int length = sizeof peer;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return Failed();
  if (peer.sin_family != AF_INET) {
    SockSetLastError(WSAEAFNOSUPPORT);
    return false;
  }
  address = peer.sin_addr.s_addr;  // network order: the first octet lowest
  port = ntohs(peer.sin_port);
  return true;
}

bool SockSetNoDelay(Socket s) {
  BOOL one = TRUE;
  return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) ==
             0 ||
         Failed();
}

}  // namespace tcp
