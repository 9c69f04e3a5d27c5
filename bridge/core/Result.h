// What became of what a door asked the core for: done, or refused with why,
// in words that any door may pass on ("RELAY A is locked at the unit"), and
// the kind of refusal, from which each door chooses its own answer (an HTTP
// status, a log line, a status for the unit's own protocol). Free of Qt.
#pragma once

#include <cstdint>
#include <string>

namespace bridge {

enum class Refusal {
  kNone,
  kNoSuchUnit,
  kNoSuchSalvo,
  kDown,        // the unit is not connected
  kLocked,      // the relay is locked at the unit
  kProtected,   // someone else holds the relay
  kName,        // a name the unit cannot take
  kNotAllowed,  // not for its sender's role
  kQueueFull,   // too many commands wait for the unit
  kLost,        // the unit was lost before it answered
  kTimedOut,    // the unit did not show it in time
  kPending,     // not a refusal: sent, not yet shown by the unit; its end follows
};

class Result {
 public:
  // `replacedOne`: a command taken, that took the place of an older one of
  // its sender that had not gone yet.
  static Result Done(bool replacedOne = false) {
    Result result(Refusal::kNone, "");
    result.replacedOne_ = replacedOne;
    return result;
  }
  static Result Refused(Refusal why, std::string text) { return Result(why, std::move(text)); }
  // A command with the unit whose end is not known yet: `id` names it when
  // its end is told.
  static Result Pending(std::uint64_t id, std::string text) {
    Result result(Refusal::kPending, std::move(text));
    result.id_ = id;
    return result;
  }

  bool Ok() const { return why_ == Refusal::kNone; }
  bool Pending() const { return why_ == Refusal::kPending; }
  std::uint64_t Id() const { return id_; }
  Refusal Why() const { return why_; }
  // Why not, in words; empty when done.
  const std::string& Text() const { return text_; }
  bool ReplacedOne() const { return replacedOne_; }

 private:
  Result(Refusal why, std::string text) : why_(why), text_(std::move(text)) {}

  Refusal why_;
  std::string text_;
  bool replacedOne_ = false;
  std::uint64_t id_ = 0;
};

}  // namespace bridge
