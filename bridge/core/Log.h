// The bridge's log: plain lines on standard error. Under systemd the journal
// takes them and stamps each with its time; anywhere else each line carries
// its own time stamp. Whatever comes from outside (a client's bytes, a
// topic, a payload) is escaped and cut short before it goes into a line, and
// what others can make happen again and again (a client refused, a command
// dropped) is summed up, so that nobody outside can flood the journal, and
// its rate limit never drops a line about a relay.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace bridge {

void Log(const std::string& line);

// True when standard error is the journal's stream (JOURNAL_STREAM names it).
bool LogGoesToTheJournal();

// Text from outside as a log line shows it: quoted, escaped as JSON escapes
// a string, and cut after `most` bytes with the whole length said.
std::string Quoted(std::string_view text, std::size_t most = 64);
// Bytes from outside in hexadecimal, cut after `most` bytes in the same way.
std::string HexCut(std::span<const std::uint8_t> bytes, std::size_t most = 16);

// Parts of a line, joined by ", ".
void AddPart(std::string& text, const std::string& part);

// What a summing up counts as one kind of line: its reason without the
// particulars (a count, a quoted text, the bytes of a frame).
std::string KindOf(const std::string& reason);

// Events of one kind from one source (a host, MQTT) logged at most once
// every 10 s: the first goes out at once, the rest are counted, and their
// count goes out with the last of them when the 10 s are over.
class LogThrottle : public QObject {
 public:
  static constexpr std::chrono::seconds kPeriod{10};

  LogThrottle();
  void Log(const std::string& kind, const std::string& source, const std::string& line);

 private:
  using Clock = std::chrono::steady_clock;
  struct Held {
    Clock::time_point since;  // of the line that went out
    int count = 0;            // held back since then
    std::string last;
  };
  void SumUp();

  std::map<std::pair<std::string, std::string>, Held> held_;
  QTimer sumUp_;
};

}  // namespace bridge
