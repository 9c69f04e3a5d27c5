#include "Commands.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "ExitCodes.h"
#include "RelayName.h"
#include "Relays.h"
#include "Report.h"
#include "StatusJson.h"
#include "UnitClient.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// Between polls while a change is awaited, and while watching: light on the
// unit, and quicker than any person or hub needs.
constexpr int kPollPauseMs = 20;
// As the console's Autoconnect: a new attempt every second.
constexpr int kReconnectPauseMs = 1000;
constexpr int kSliceMs = 10;

void Say(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);  // a hub reads line by line
}

// One line on stderr: the program, the unit, the reason.
void Tell(const UnitClient& client, const std::string& text) {
  std::fprintf(stderr, "kdt212ctl: %s: %s\n", client.Where().c_str(), text.c_str());
}

int Fail(int code, const UnitClient& client, const std::string& reason) {
  Tell(client, reason);
  return code;
}

// Sleeps, but no longer than an interruption takes to come.
void Pause(int ms, const std::atomic<bool>& interrupted) {
  for (int slept = 0; slept < ms && !interrupted; slept += kSliceMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
}

class Run {
 public:
  Run(const Options& options, const UnitAddress& unit, const std::atomic<bool>& interrupted)
      : options_(options),
        interrupted_(interrupted),
        client_(unit.address, options.port != 0 ? options.port : kdt::kUnitPort, options.timeoutMs,
                interrupted) {}

  int Execute() {
    if (options_.command == Command::kName && !EncodeName()) return kExitUsage;
    if (!client_.Connect() || !client_.Poll(status_)) {
      if (options_.command != Command::kWatch || !options_.wait || interrupted_) return Lost();
      Tell(client_, client_.Error() + "; waiting for the unit");
      if (!Reconnect()) return kExitOk;  // interrupted while waiting, as watch ends
    }
    if (options_.command == Command::kStatus) {
      Say(options_.json ? kdt::StatusJson(status_, client_.Where()) + "\n"
                        : StatusTable(status_, client_.Where(), ColourWanted()));
      return kExitOk;
    }
    if (options_.command == Command::kWatch) return Watch();
    if (status_.model != kdt::kModelKdt212) {
      return Fail(kExitRefused, client_,
                  "the unit reports model " + std::to_string(status_.model) + ", not a KDT-212");
    }
    switch (options_.command) {
      case Command::kIs:
        return kdt::InputOf(status_.state[options_.relays[0] - 1]) == options_.input
                   ? kExitOk
                   : kExitNotInState;
      case Command::kSet:
      case Command::kSync:
        return SwitchInputs();
      case Command::kName:
        return Rename();
      default:
        return kExitUsage;
    }
  }

 private:
  // The connection failed or was interrupted: the reason, and its code.
  int Lost() {
    if (interrupted_) return kExitInterrupted;
    return Fail(kExitUnreachable, client_, client_.Error());
  }

  // The new name in the unit's code page, by the rule of every rename.
  // Refused before anything is sent.
  bool EncodeName() {
    std::string problem;
    if (kdt::EncodeRelayName(options_.text, name_, problem)) return true;
    std::fprintf(stderr, "kdt212ctl: %s keeps its name: %s\n",
                 kdt::RelayLabel(options_.relays[0]).c_str(), problem.c_str());
    return false;
  }

  // Polls until `done` holds for the unit's status, for at most the time-out.
  int Await(const std::function<bool()>& done, const std::string& what) {
    const auto until = Clock::now() + std::chrono::milliseconds(options_.timeoutMs);
    while (!done()) {
      if (Clock::now() >= until) {
        return Fail(kExitRefused, client_,
                    what + " within " + tcp::SecondsText(options_.timeoutMs));
      }
      Pause(kPollPauseMs, interrupted_);
      if (interrupted_ || !client_.Poll(status_)) return Lost();
    }
    return kExitOk;
  }

  int SwitchInputs() {
    for (int relay : options_.relays) {
      if (kdt::IsLocked(status_.state[relay - 1])) {
        return Fail(kExitRefused, client_, kdt::RelayLabel(relay) + " is locked at the unit");
      }
    }
    // One command per exchange, so they go out in consecutive cycles.
    for (int relay : options_.relays) {
      const auto frame = kdt::SetInputFrame(std::uint8_t(options_.input), std::uint8_t(relay));
      if (!client_.Exchange(frame, status_)) return Lost();
    }
    const auto allSwitched = [&] {
      for (int relay : options_.relays) {
        if (kdt::InputOf(status_.state[relay - 1]) != options_.input) return false;
      }
      return true;
    };
    return Await(allSwitched, "the unit did not switch to INPUT " + std::to_string(options_.input));
  }

  int Rename() {
    const int relay = options_.relays[0];
    if (!client_.Exchange(kdt::SetNameFrame(std::uint8_t(relay), name_), status_)) return Lost();
    return Await([&] { return status_.name[relay - 1] == name_; },
                 "the unit did not rename " + kdt::RelayLabel(relay));
  }

  // Prints the unit's state, then one line per change, until interrupted;
  // after a drop it reconnects, as the console's Autoconnect does.
  int Watch() {
    Say(ConnectedLine(status_, client_.Where(), options_.json));
    SayChanges(nullptr);
    while (!interrupted_) {
      Pause(kPollPauseMs, interrupted_);
      const kdt::UnitStatus previous = status_;
      if (interrupted_) break;
      if (client_.Poll(status_)) {
        SayChanges(&previous);
        continue;
      }
      if (interrupted_) break;
      Say(DisconnectedLine(client_.Error(), options_.json));
      if (!Reconnect()) break;
      Say(ConnectedLine(status_, client_.Where(), options_.json));
      SayChanges(nullptr);
    }
    return kExitOk;  // the client says goodbye as it goes
  }

  // A new attempt every second until one gets a status; false when
  // interrupted first. Attempts that fail say nothing.
  bool Reconnect() {
    while (!interrupted_) {
      Pause(kReconnectPauseMs, interrupted_);
      if (!interrupted_ && client_.Connect() && client_.Poll(status_)) return true;
    }
    return false;
  }

  // Every relay when there is no previous status, else those that changed.
  void SayChanges(const kdt::UnitStatus* previous) {
    if (previous != nullptr && previous->model != status_.model) {
      Say(ModelLine(status_, options_.json));
    }
    for (int relay : kdt::kRelaysLeftToRight) {
      const int r = relay - 1;
      if (previous == nullptr || previous->state[r] != status_.state[r] ||
          previous->name[r] != status_.name[r]) {
        Say(RelayLine(status_, relay, options_.json));
      }
    }
  }

  const Options& options_;
  const std::atomic<bool>& interrupted_;
  UnitClient client_;
  kdt::UnitStatus status_;
  std::string name_;  // the new name, in the unit's code page
};

}  // namespace

int RunCommand(const Options& options, const UnitAddress& unit,
               const std::atomic<bool>& interrupted) {
  return Run(options, unit, interrupted).Execute();
}

}  // namespace cli
