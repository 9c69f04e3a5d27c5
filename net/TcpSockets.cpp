#include "TcpSockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace tcp {
namespace {

thread_local int lastError = 0;
std::atomic<std::uint32_t> tickOffset{0};
std::atomic<testing::SetOptionFn> setOptionHook{nullptr};

constexpr int kAddressTextMax = 255;
constexpr int kSliceMs = 1;          // transfers look at the clock once per slice
constexpr int kConnectSliceMs = 10;  // an abandonable connect looks at its flag as often
constexpr int kKeepAliveIdleSeconds = 3;
constexpr int kKeepAliveIntervalSeconds = 1;  // 100 ms rounded up to whole seconds

int SetOption(Socket s, int level, int name, const void* value, socklen_t length) {
  testing::SetOptionFn hook = setOptionHook.load();
  if (hook != nullptr) return hook(s, level, name, value, length);
  return setsockopt(s, level, name, value, length);
}

bool SetIntOption(Socket s, int level, int name, int value) {
  if (SetOption(s, level, name, &value, sizeof value) == 0) return true;
  lastError = errno;
  return false;
}

// Keep-alive after 3 s of silence, probing every second; the probe count is
// the platform's.
bool SetKeepAlive(Socket s) {
  return SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1) &&
         SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds) &&
         SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
}

bool SetNoLinger(Socket s) {
  linger value{0, 0};
  if (SetOption(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0) return true;
  lastError = errno;
  return false;
}

// One field of dotted text as an integer; anything that is not plain decimal
// digits counts as 0, and no field is cut to 8 bits.
std::uint32_t FieldValue(std::string_view field) {
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return 0;
  return value;
}

sockaddr_in MakeAddress(std::string_view address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = DottedToInAddr(address);
  return sa;
}

bool IsConnectPending(int error) {
  return error == EINPROGRESS || error == EWOULDBLOCK || error == EAGAIN;
}

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

bool WaitReady(Socket s, bool forWrite, bool& ready) {
  SockSet set;
  set.Add(s);
  int count = 0;
  bool ok = forWrite ? SockSelect(nullptr, &set, nullptr, kSliceMs, count)
                     : SockSelect(&set, nullptr, nullptr, kSliceMs, count);
  ready = count > 0;
  return ok;
}

bool Abandoned(Abandon abandon) {
  if (abandon == nullptr || !abandon->load()) return false;
  lastError = kAbandoned;
  return true;
}

bool RefuseNegative(int length) {
  if (length >= 0) return false;
  lastError = EINVAL;
  return true;
}

template <typename Buffer, typename Transfer, typename Wait>
bool TransferAll(Socket s, Buffer* data, int length, std::uint32_t timeoutMs, Abandon abandon,
                 Wait wait, Transfer transfer) {
  if (RefuseNegative(length)) return false;
  const std::uint32_t start = TickCount();
  int done = 0;
  do {
    if (timeoutMs != 0 && TickCount() - start > timeoutMs) {
      lastError = kWaitTimeout;
      return false;
    }
    bool ready = false;
    if (!wait(s, ready)) return false;
    if (ready) {
      int moved = 0;
      if (!transfer(s, data + done, length - done, moved)) return false;
      done += moved;
    } else if (Abandoned(abandon)) {
      return false;
    }
  } while (done < length);
  return true;
}

// Waits for a connection attempt in slices, so that it can be abandoned.
bool WaitConnected(Socket s, int timeoutMs, Abandon abandon) {
  if (abandon == nullptr) return SockWaitWritable(s, timeoutMs);
  const std::uint32_t start = TickCount();
  for (;;) {
    const std::uint32_t elapsed = TickCount() - start;
    const std::int64_t slice =
        std::min<std::int64_t>(kConnectSliceMs, std::int64_t(timeoutMs) - elapsed);
    if (slice <= 0) {
      lastError = kWaitTimeout;
      return false;
    }
    if (SockWaitWritable(s, static_cast<int>(slice))) return true;
    if (lastError != kWaitTimeout || Abandoned(abandon)) return false;
  }
}

}  // namespace

void SockSet::Add(Socket s) {
  if (count < kSetSizeMax) handles[count++] = s;
}

bool SockSet::Contains(Socket s) const {
  return std::find(handles, handles + count, s) != handles + count;
}

void SockStartup() {}
void SockCleanup() {}

int SockLastError() {
  return lastError;
}
void SockSetLastError(int code) {
  lastError = code;
}

std::string SockErrorText(int code, std::uint32_t timeoutMs) {
  switch (code) {
    case kWaitTimeout:
      return "no answer within " + SecondsText(timeoutMs);
    case kConnReset:
    case ECONNRESET:  // closed with data unread: the same to whoever waits for a reply
    case EPIPE:
      return "closed by the unit";
    case kAbandoned:
      return "interrupted";
    case ECONNREFUSED:
      return "connection refused";
    case EHOSTUNREACH:
    case ENETUNREACH:
      return "unreachable";
    default: {
      std::string text = std::strerror(code);
      if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = char(text[0] - 'A' + 'a');
      return text;
    }
  }
}

std::string SecondsText(std::uint32_t milliseconds) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g s", milliseconds / 1000.0);
  return seconds;
}

std::uint32_t TickCount() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<std::uint32_t>(ms.count()) + tickOffset.load();
}

void SetTickOffset(std::uint32_t offset) {
  tickOffset.store(offset);
}

bool SockCreate(Socket& s) {
  s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == kInvalidSocket) lastError = errno;
  return s != kInvalidSocket;
}

bool SockSetOptions(Socket s, int bufferSize) {
  // Linux obeys SO_DONTROUTE (Windows ignores it on IPv4), which would make a
  // unit behind a router unreachable: the step stays, but leaves routing free.
  return SetIntOption(s, SOL_SOCKET, SO_DONTROUTE, 0) &&
         SetIntOption(s, SOL_SOCKET, SO_OOBINLINE, 1) &&
         SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bufferSize) &&
         SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bufferSize) &&
         SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1) && SetKeepAlive(s) &&
         SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1) && SetNoLinger(s);
}

bool SockSetBlocking(Socket s, bool blocking) {
  int flags = fcntl(s, F_GETFL);
  if (flags == -1) {
    lastError = errno;
    return false;
  }
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (fcntl(s, F_SETFL, flags) == 0) return true;
  lastError = errno;
  return false;
}

bool SockOpen(Socket& s) {
  return SockCreate(s) && SockSetOptions(s, kSocketBufferSize) && SockSetBlocking(s, false);
}

bool SockClose(Socket& s) {
  int result = close(s);
  if (result != 0) lastError = errno;
  s = kInvalidSocket;
  return result == 0;
}

bool SockShutdownClose(Socket& s) {
  if (s == kInvalidSocket) return true;
  shutdown(s, SHUT_RDWR);
  return SockClose(s);
}

std::uint32_t DottedToInAddr(std::string_view text) {
  text = text.substr(0, std::min<std::size_t>(text.size(), kAddressTextMax));
  std::uint32_t result = 0;
  for (int field = 0; field < 4; ++field) {
    std::size_t dot = text.find('.');
    result |= FieldValue(text.substr(0, dot)) << (8 * field);
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  }
  return result;
}

bool SockConnect(Socket s, std::string_view address, int port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (sa.sin_addr.s_addr == INADDR_ANY) {
    lastError = EADDRNOTAVAIL;
    return false;
  }
  if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
  lastError = errno;
  return false;
}

bool SockConnectTimeout(Socket s, std::string_view address, int port, int timeoutMs,
                        Abandon abandon) {
  if (SockConnect(s, address, port)) return true;
  if (!IsConnectPending(lastError)) return false;
  return WaitConnected(s, timeoutMs, abandon);
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
    lastError = errno;
    count = -1;
    return false;
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
    lastError = kWaitTimeout;
    return false;
  }
  // A refused attempt also shows as writable here; only an established
  // connection counts, and a failed one reports its reason at once.
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0) return true;
  lastError = error;
  return false;
}

bool SockCanWrite(Socket s, bool& ready) {
  return WaitReady(s, true, ready);
}
bool SockCanRead(Socket s, bool& ready) {
  return WaitReady(s, false, ready);
}

bool SockSend(Socket s, const void* data, int length, int& sent) {
  sent = -1;
  if (RefuseNegative(length)) return false;
  // MSG_NOSIGNAL: a unit that has closed the connection makes a failed send,
  // never a SIGPIPE that ends the program.
  sent = static_cast<int>(send(s, data, static_cast<std::size_t>(length), MSG_NOSIGNAL));
  if (sent == -1) lastError = errno;
  return sent != -1;
}

bool SockRecv(Socket s, void* buffer, int length, int& received) {
  received = -1;
  if (RefuseNegative(length)) return false;
  received = static_cast<int>(recv(s, buffer, static_cast<std::size_t>(length), 0));
  if (received == 0) lastError = kConnReset;
  if (received < 0) lastError = errno;
  return received > 0;
}

bool SockSendAll(Socket s, const void* data, int length, std::uint32_t timeoutMs, Abandon abandon) {
  return TransferAll(s, static_cast<const char*>(data), length, timeoutMs, abandon, SockCanWrite,
                     SockSend);
}

bool SockRecvAll(Socket s, void* buffer, int length, std::uint32_t timeoutMs, Abandon abandon) {
  return TransferAll(s, static_cast<char*>(buffer), length, timeoutMs, abandon, SockCanRead,
                     SockRecv);
}

namespace testing {
void SetSetOptionHook(SetOptionFn fn) {
  setOptionHook.store(fn);
}
}  // namespace testing

}  // namespace tcp
