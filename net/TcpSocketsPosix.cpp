// The socket layer's own calls on POSIX sockets. Waits use poll(): a select()
// set could not hold a descriptor of 1024 or more.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "TcpSockets.h"
#include "TcpSocketsPlatform.h"

namespace tcp {
namespace {

constexpr int kKeepAliveIdleSeconds = 3;
constexpr int kKeepAliveIntervalSeconds = 1;  // 100 ms rounded up to whole seconds

void AddPollEntries(SockSet* set, short events, pollfd* fds, int& n) {
  if (set == nullptr) return;
  for (int i = 0; i < set->count; ++i) fds[n++] = pollfd{set->handles[i], events, 0};
}

// Keeps in the set only the sockets whose poll entry shows the wanted
// readiness, as select does, and returns how many remain.
int ReduceToReady(SockSet* set, short wanted, const pollfd* fds, int& index) {
  if (set == nullptr) return 0;
  SockSet ready;
  for (int i = 0; i < set->count; ++i, ++index) {
    if ((fds[index].revents & wanted) != 0) ready.Add(set->handles[i]);
  }
  *set = ready;
  return ready.count;
}

int PollRemaining(pollfd* fds, int n, int timeoutMs) {
  // A signal must not cut a wait short: poll again for the time that is left.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int result = poll(fds, static_cast<nfds_t>(n), timeoutMs);
    if (result >= 0 || errno != EINTR) return result;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    timeoutMs = static_cast<int>(std::max<std::int64_t>(0, left.count()));
  }
}

}  // namespace

namespace detail {

int PlatformError() {
  return errno;
}

bool IsConnectPending(int error) {
  return error == EINPROGRESS || error == EWOULDBLOCK || error == EAGAIN;
}

std::string SystemErrorText(int code) {
  std::string text = std::strerror(code);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = char(text[0] - 'A' + 'a');
  return text;
}

// Keep-alive after 3 s of silence, probing every second; the probe count is
// the platform's.
bool SetKeepAlive(Socket s) {
  return SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1) &&
         SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds) &&
         SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
}

}  // namespace detail

void SockStartup() {}
void SockCleanup() {}

bool SockSetBlocking(Socket s, bool blocking) {
  int flags = fcntl(s, F_GETFL);
  if (flags == -1) return detail::Failed();
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(s, F_SETFL, flags) == 0 || detail::Failed();
}

bool SockClose(Socket& s) {
  int result = close(s);
  if (result != 0) SockSetLastError(errno);
  s = kInvalidSocket;
  return result == 0;
}

bool SockSelect(SockSet* readSet, SockSet* writeSet, SockSet* exceptSet, int timeoutMs,
                int& count) {
  pollfd fds[3 * kSetSizeMax];
  int n = 0;
  AddPollEntries(readSet, POLLIN, fds, n);
  AddPollEntries(writeSet, POLLOUT, fds, n);
  AddPollEntries(exceptSet, POLLPRI, fds, n);
  int result = PollRemaining(fds, n, std::max(timeoutMs, 0));
  if (result < 0) {
    count = -1;
    return detail::Failed();
  }
  // A closed or failed socket shows as readable and writable, as under select.
  const short anyEnd = POLLERR | POLLHUP;
  int index = 0;
  count = ReduceToReady(readSet, POLLIN | anyEnd, fds, index);
  count += ReduceToReady(writeSet, POLLOUT | anyEnd, fds, index);
  count += ReduceToReady(exceptSet, POLLPRI, fds, index);
  return true;
}

bool SockWaitWritable(Socket s, int timeoutMs) {
  SockSet set;
  set.Add(s);
  int count = 0;
  if (!SockSelect(nullptr, &set, nullptr, timeoutMs, count)) return false;
  if (count == 0) {
    SockSetLastError(kWaitTimeout);
    return false;
  }
  // A refused attempt also shows as writable here; only an established
  // connection counts, and a failed one reports its reason at once.
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0) return true;
  SockSetLastError(error);
  return false;
}

bool SockSend(Socket s, const void* data, int length, int& sent) {
  sent = -1;
  if (detail::RefuseNegative(length)) return false;
  // MSG_NOSIGNAL: a unit that has closed the connection makes a failed send,
  // never a SIGPIPE that ends the program.
  sent = static_cast<int>(send(s, data, static_cast<std::size_t>(length), MSG_NOSIGNAL));
  return sent != -1 || detail::Failed();
}

bool SockRecv(Socket s, void* buffer, int length, int& received) {
  received = -1;
  if (detail::RefuseNegative(length)) return false;
  received = static_cast<int>(recv(s, buffer, static_cast<std::size_t>(length), 0));
  if (received == 0) SockSetLastError(kConnReset);
  if (received < 0) SockSetLastError(errno);
  return received > 0;
}

bool SockListen(Socket& s, std::string_view address, int port, int backlog) {
  s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s == kInvalidSocket) return detail::Failed();
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (detail::BindAndListen(s, address, port, backlog)) return true;
  const int error = SockLastError();
  SockClose(s);
  SockSetLastError(error);
  return false;
}

bool SockAccept(Socket listener, Socket& client) {
  client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  return client != kInvalidSocket || detail::Failed();
}

}  // namespace tcp
