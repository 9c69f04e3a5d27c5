// Blocking-style TCP client operations with time-outs, built on a non-blocking
// socket and short waits, and the few server operations that the simulated
// unit and the tests need. Every operation that can fail returns false and
// leaves the reason in the calling thread's last socket error: the
// platform's code (errno on POSIX, WSAGetLastError on Windows), or one of the
// module's own codes kWaitTimeout and kConnReset. The platform's sockets are
// POSIX's or Windows Sockets, each in a file of its own; nothing else of the
// project tells them apart.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

namespace tcp {

#ifdef _WIN32
using Socket = std::uintptr_t;  // SOCKET
constexpr Socket kInvalidSocket = ~Socket{0};
// The platform's codes of the failures that callers tell apart.
constexpr int kErrWouldBlock = 10035;       // WSAEWOULDBLOCK
constexpr int kErrInProgress = 10036;       // WSAEINPROGRESS
constexpr int kErrConnRefused = 10061;      // WSAECONNREFUSED
constexpr int kErrHostUnreachable = 10065;  // WSAEHOSTUNREACH
constexpr int kErrNetUnreachable = 10051;   // WSAENETUNREACH
constexpr int kErrConnAborted = 10053;      // WSAECONNABORTED
constexpr int kErrAddrNotAvail = 10049;     // WSAEADDRNOTAVAIL
#else
using Socket = int;
constexpr Socket kInvalidSocket = -1;
constexpr int kErrWouldBlock = EWOULDBLOCK;
constexpr int kErrInProgress = EINPROGRESS;
constexpr int kErrConnRefused = ECONNREFUSED;
constexpr int kErrHostUnreachable = EHOSTUNREACH;
constexpr int kErrNetUnreachable = ENETUNREACH;
constexpr int kErrConnAborted = EPIPE;  // a send on a connection the peer has closed
constexpr int kErrAddrNotAvail = EADDRNOTAVAIL;
#endif

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

// Program start-up and clean-up of the socket layer: Windows Sockets 1.1 is
// started and cleaned up; nothing to do on POSIX.
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
// Ends what this side sends, after what is already on its way; the peer
// reads the end, and may still send.
bool SockShutdownSend(Socket s);

// An address value as a plain dotted quad; and whether text is one.
std::string DottedText(std::uint32_t value);
bool IsDottedQuad(std::string_view text);

// The IPv4 address value of dotted text: the first field in the lowest byte,
// so that it is in network byte order as it stands. Never fails, and reads
// only plain dotted quads right, which is all that its callers pass (the
// address rules of UnitProcIP make them). Anything else gives some address:
// a field that is not decimal digits counts as 0 ("10.0.0.x" gives 10.0.0.0,
// an empty text 0.0.0.0), and no field is cut to 8 bits, so that one above
// 255 runs into the next ("300.1.1.1" gives 44.1.1.1).
std::uint32_t DottedToInAddr(std::string_view text);

// The address 0.0.0.0 is refused with kErrAddrNotAvail: Linux would connect
// it to this machine, where the unit's original platform fails.
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
// Whether the socket has something to read, a connection waiting or its end
// within the time; false also when the wait itself fails.
bool SockWaitReadable(Socket s, int timeoutMs);

bool SockSend(Socket s, const void* data, int length, int& sent);
bool SockRecv(Socket s, void* buffer, int length, int& received);

// Whole-buffer transfers within a time-out measured from the start of the
// call; a time-out of 0 means no limit. A negative length is refused with
// EINVAL and nothing moves.
bool SockSendAll(Socket s, const void* data, int length, std::uint32_t timeoutMs,
                 Abandon abandon = nullptr);
bool SockRecvAll(Socket s, void* buffer, int length, std::uint32_t timeoutMs,
                 Abandon abandon = nullptr);

// The server's side, for the simulated unit and the tests' peers. A
// listening socket on the address text (a dotted quad; 0.0.0.0 for every
// address of the machine) and the port (0: one the system picks), with
// SO_REUSEADDR, non-blocking.
bool SockListen(Socket& s, std::string_view address, int port, int backlog);
// The port a socket is bound to; 0 when it cannot be told.
int SockLocalPort(Socket s);
// Takes one waiting connection, as a blocking socket; false with
// kErrWouldBlock when none waits.
bool SockAccept(Socket listener, Socket& client);
// The peer's IPv4 address value and port.
bool SockPeerName(Socket s, std::uint32_t& address, int& port);
// Small segments at once, for sockets that take no other option of the set.
bool SockSetNoDelay(Socket s);

namespace testing {
// Replaces the setsockopt call of SockSetOptions, so that tests can watch the
// order of the option set and make any one step fail. nullptr restores it.
using SetOptionFn = int (*)(Socket s, int level, int name, const void* value, unsigned length);
void SetSetOptionHook(SetOptionFn fn);
}  // namespace testing

}  // namespace tcp
