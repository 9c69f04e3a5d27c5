// The socket layer's calls that POSIX sockets and Windows Sockets, both
// Berkeley sockets, spell alike.
#include <algorithm>

#include "TcpSockets.h"
#include "TcpSocketsPlatform.h"

namespace tcp {
namespace {

int SetOption(Socket s, int level, int name, const void* value, int length) {
  testing::SetOptionFn hook = detail::SetOptionHook();
  if (hook != nullptr) return hook(s, level, name, value, unsigned(length));
  return setsockopt(s, level, name, static_cast<const char*>(value), length);
}

bool SetNoLinger(Socket s) {
  linger value{0, 0};
  return SetOption(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 || detail::Failed();
}

sockaddr_in MakeAddress(std::uint32_t address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = address;
  return sa;
}

}  // namespace

namespace detail {

bool Failed() {
  SockSetLastError(PlatformError());
  return false;
}

bool SetIntOption(Socket s, int level, int name, int value) {
  return SetOption(s, level, name, &value, sizeof value) == 0 || Failed();
}

bool BindAndListen(Socket s, std::string_view address, int port, int backlog) {
  const sockaddr_in sa = MakeAddress(DottedToInAddr(address), port);
  return (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
          listen(s, backlog) == 0) ||
         Failed();
}

bool RefuseNegative(int length) {
  if (length >= 0) return false;
  SockSetLastError(kErrInvalid);
  return true;
}

}  // namespace detail

bool SockCreate(Socket& s) {
  s = socket(AF_INET, SOCK_STREAM, 0);
  return s != kInvalidSocket || detail::Failed();
}

bool SockSetOptions(Socket s, int bufferSize) {
  using detail::SetIntOption;
  // Linux obeys SO_DONTROUTE (Windows ignores it on IPv4), which would make a
  // unit behind a router unreachable: the step stays, but leaves routing free.
  return SetIntOption(s, SOL_SOCKET, SO_DONTROUTE, 0) &&
         SetIntOption(s, SOL_SOCKET, SO_OOBINLINE, 1) &&
         SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bufferSize) &&
         SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bufferSize) &&
         SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1) && detail::SetKeepAlive(s) &&
         SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1) && SetNoLinger(s);
}

bool SockShutdownSend(Socket s) {
  return shutdown(s, detail::kShutdownSend) == 0 || detail::Failed();
}

bool SockShutdownClose(Socket& s) {
  if (s == kInvalidSocket) return true;
  shutdown(s, detail::kShutdownBoth);
  return SockClose(s);
}

bool SockConnect(Socket s, std::string_view address, int port) {
  sockaddr_in sa = MakeAddress(DottedToInAddr(address), port);
  if (sa.sin_addr.s_addr == INADDR_ANY) {
    SockSetLastError(kErrAddrNotAvail);
    return false;
  }
  return connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 || detail::Failed();
}

int SockLocalPort(Socket s) {
  sockaddr_in sa{};
  detail::SockLength length = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool SockPeerName(Socket s, std::uint32_t& address, int& port) {
  sockaddr_in peer{};
  detail::SockLength length = sizeof peer;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return detail::Failed();
  if (peer.sin_family != AF_INET) {
    SockSetLastError(detail::kErrAddressFamily);
    return false;
  }
  address = peer.sin_addr.s_addr;  // network order: the first octet lowest
  port = ntohs(peer.sin_port);
  return true;
}

bool SockSetNoDelay(Socket s) {
  return detail::SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

}  // namespace tcp
