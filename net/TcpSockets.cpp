// The socket layer's common part: what works the same on every platform,
// on the platform's primitives (TcpSocketsPlatform.h).
#include "TcpSockets.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>

#include "TcpSocketsPlatform.h"

namespace tcp {
namespace {

thread_local int lastError = 0;
std::atomic<std::uint32_t> tickOffset{0};
std::atomic<testing::SetOptionFn> setOptionHook{nullptr};

constexpr int kAddressTextMax = 255;
constexpr int kSliceMs = 1;          // transfers look at the clock once per slice
constexpr int kConnectSliceMs = 10;  // an abandonable connect looks at its flag as often

// One field of dotted text as an integer; anything that is not plain decimal
// digits counts as 0, and no field is cut to 8 bits.
std::uint32_t FieldValue(std::string_view field) {
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return 0;
  return value;
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

template <typename Buffer, typename Transfer, typename Wait>
bool TransferAll(Socket s, Buffer* data, int length, std::uint32_t timeoutMs, Abandon abandon,
                 Wait wait, Transfer transfer) {
  if (detail::RefuseNegative(length)) return false;
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

namespace detail {

testing::SetOptionFn SetOptionHook() {
  return setOptionHook.load();
}

}  // namespace detail

void SockSet::Add(Socket s) {
  if (count < kSetSizeMax) handles[count++] = s;
}

bool SockSet::Contains(Socket s) const {
  return std::find(handles, handles + count, s) != handles + count;
}

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
    case ECONNRESET:       // closed with data unread: the same to whoever waits for a reply
    case kErrConnAborted:  // a send after the peer's close
      return "closed by the unit";
    case kAbandoned:
      return "interrupted";
    case kErrConnRefused:
      return "connection refused";
    case kErrHostUnreachable:
    case kErrNetUnreachable:
      return "unreachable";
    default:
      return detail::SystemErrorText(code);
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

bool SockOpen(Socket& s) {
  return SockCreate(s) && SockSetOptions(s, kSocketBufferSize) && SockSetBlocking(s, false);
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

std::string DottedText(std::uint32_t value) {
  std::string text;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet != 0) text += '.';
    text += std::to_string((value >> (8 * octet)) & 0xFF);
  }
  return text;
}

bool IsDottedQuad(std::string_view text) {
  return DottedText(DottedToInAddr(text)) == text;
}

bool SockConnectTimeout(Socket s, std::string_view address, int port, int timeoutMs,
                        Abandon abandon) {
  if (SockConnect(s, address, port)) return true;
  if (!detail::IsConnectPending(lastError)) return false;
  return WaitConnected(s, timeoutMs, abandon);
}

bool SockCanWrite(Socket s, bool& ready) {
  return WaitReady(s, true, ready);
}
bool SockCanRead(Socket s, bool& ready) {
  return WaitReady(s, false, ready);
}

bool SockWaitReadable(Socket s, int timeoutMs) {
  SockSet set;
  set.Add(s);
  int count = 0;
  return SockSelect(&set, nullptr, nullptr, timeoutMs, count) && count > 0;
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
