// Blocking-style TCP client operations with time-outs, built on a non-blocking
// socket and short waits. Every operation that can fail returns false and
// leaves the reason in the calling thread's last socket error: the platform's
// errno, or one of the module's own codes kWaitTimeout and kConnReset.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tcp {

using Socket = int;
constexpr Socket kInvalidSocket = -1;

// The module's own error codes, numbered as on the unit's original platform.
// They lie above every errno value that Linux uses (at most 133).
constexpr int kWaitTimeout = 258;  // the operation's time-out has passed
constexpr int kAbandoned = 995;    // the caller gave up waiting (see Abandon)
constexpr int kConnReset = 10054;  // the peer closed the connection

// A flag with which another thread asks a waiting operation to give up. A
// connect or transfer given one looks at it whenever a wait slice passes
// without the socket becoming ready, and then fails with kAbandoned; what is
// ready at once still goes through. Null: the operation waits out its time.
using Abandon = const std::atomic<bool>*;

constexpr int kSocketBufferSize = 4096;
constexpr int kSetSizeMax = 64;

// Program start-up and clean-up of the socket layer; nothing to do on POSIX,
// kept so that the start-up order reads the same on every platform.
void SockStartup();
void SockCleanup();

int SockLastError();
void SockSetLastError(int code);

// A reason of the socket layer in words, as messages and logs give it: "no
// answer within 3 s" (the time-out that ran out), "closed by the unit",
// "connection refused", "unreachable", "interrupted", else the system's own
// description.
std::string SockErrorText(int code, std::uint32_t timeoutMs);
// "3 s", "0.5 s": a time-out as messages give it.
std::string SecondsText(std::uint32_t milliseconds);

// A 32-bit millisecond count from a monotonic clock. It wraps every 49.7 days;
// every user takes unsigned differences so that the wrap does no harm.
std::uint32_t TickCount();
// Shifts TickCount() by a fixed amount, so tests can run a transfer across the
// wrap at 2^32.
void SetTickOffset(std::uint32_t offset);

// A set of at most kSetSizeMax sockets, as the wait operations take it; adding
// to a full set does nothing.
struct SockSet {
  int count = 0;
  Socket handles[kSetSizeMax] = {};
  void Add(Socket s);
  bool Contains(Socket s) const;
};

bool SockCreate(Socket& s);
bool SockSetOptions(Socket s, int bufferSize);
bool SockSetBlocking(Socket s, bool blocking);
bool SockOpen(Socket& s);
bool SockClose(Socket& s);
bool SockShutdownClose(Socket& s);

// The IPv4 address value of dotted text: the first field in the lowest byte,
// so that it is in network byte order as it stands. Never fails, and reads
// only plain dotted quads right, which is all that its callers pass (the
// address rules of UnitProcIP make them). Anything else gives some address:
// a field that is not decimal digits counts as 0 ("10.0.0.x" gives 10.0.0.0,
// an empty text 0.0.0.0), and no field is cut to 8 bits, so that one above
// 255 runs into the next ("300.1.1.1" gives 44.1.1.1).
std::uint32_t DottedToInAddr(std::string_view text);

// The address 0.0.0.0 is refused with EADDRNOTAVAIL: Linux would connect it
// to this machine, where the unit's original platform fails.
bool SockConnect(Socket s, std::string_view address, int port);
bool SockConnectTimeout(Socket s, std::string_view address, int port, int timeoutMs,
                        Abandon abandon = nullptr);

// Waits until a socket of the given sets is ready or the time-out passes.
// Each present set is reduced to its ready sockets; count receives the number
// of ready entries (0 on time-out, -1 on error).
bool SockSelect(SockSet* readSet, SockSet* writeSet, SockSet* exceptSet, int timeoutMs, int& count);
bool SockWaitWritable(Socket s, int timeoutMs);
bool SockCanWrite(Socket s, bool& ready);
bool SockCanRead(Socket s, bool& ready);

bool SockSend(Socket s, const void* data, int length, int& sent);
bool SockRecv(Socket s, void* buffer, int length, int& received);

// Whole-buffer transfers within a time-out measured from the start of the
// call; a time-out of 0 means no limit. A negative length is refused with
// EINVAL and nothing moves.
bool SockSendAll(Socket s, const void* data, int length, std::uint32_t timeoutMs,
                 Abandon abandon = nullptr);
bool SockRecvAll(Socket s, void* buffer, int length, std::uint32_t timeoutMs,
                 Abandon abandon = nullptr);

namespace testing {
// Replaces the setsockopt call of SockSetOptions, so that tests can watch the
// order of the option set and make any one step fail. nullptr restores it.
using SetOptionFn = int (*)(int fd, int level, int name, const void* value, unsigned length);
void SetSetOptionHook(SetOptionFn fn);
}  // namespace testing

}  // namespace tcp
