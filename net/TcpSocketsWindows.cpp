// The socket layer's own calls on Windows Sockets. WSAGetLastError's codes
// are the layer's codes as they stand: a reset is 10054 (kConnReset), as the
// module's own time-out 258 is WAIT_TIMEOUT.
#include <winsock2.h>
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

}  // namespace detail

void SockStartup() {
  WSADATA data{};
  WSAStartup(kWinsockVersion, &data);
}

void SockCleanup() {
  WSACleanup();
}

bool SockSetBlocking(Socket s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &nonBlocking) == 0 || detail::Failed();
}

bool SockClose(Socket& s) {
  const int result = closesocket(s);
  if (result != 0) SockSetLastError(WSAGetLastError());
  s = kInvalidSocket;
  return result == 0;
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
    return detail::Failed();
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
  return sent != SOCKET_ERROR || detail::Failed();
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
  if (!SockCreate(s)) return false;
  if (detail::BindAndListen(s, address, port, backlog) && SockSetBlocking(s, false)) return true;
  const int error = SockLastError();
  SockClose(s);
  SockSetLastError(error);
  return false;
}

bool SockAccept(Socket listener, Socket& client) {
  client = accept(listener, nullptr, nullptr);
  if (client == kInvalidSocket) return detail::Failed();
  // An accepted socket inherits the listener's non-blocking mode.
  if (SockSetBlocking(client, true)) return true;
  const int error = SockLastError();
  SockClose(client);
  SockSetLastError(error);
  return false;
}

}  // namespace tcp
