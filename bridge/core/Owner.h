// Who asks the bridge for a change, as the record, the log and a protect
// name them, in one text form: a face's name and, where the face has more
// than one, who of them ("web alice", "client 127.0.0.1:40000"), or the
// face alone ("web" where the page has no login, "mqtt" for the hub); and
// who made a change that no command explains: the unit itself ("unit":
// its front panel, or a program connected to it) or the bridge ("bridge").
// A take's switches are its taker's, with the salvo named (Cause). Free of
// Qt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bridge {

class Owner {
 public:
  static Owner WebUser(std::string name) { return Owner("web", std::move(name)); }
  static Owner Web() { return Owner("web"); }
  static Owner Mqtt() { return Owner("mqtt"); }
  static Owner Client(std::string where) { return Owner("client", std::move(where)); }
  static Owner Unit() { return Owner("unit"); }
  static Owner Bridge() { return Owner("bridge"); }
  // Of another face: "videohub 10.0.0.5".
  Owner(std::string face, std::string who = "") : face_(std::move(face)), who_(std::move(who)) {}

  // As Text() gives it; none for what no owner's text is.
  static std::optional<Owner> Read(std::string_view text);

  // "web alice", "mqtt".
  std::string Text() const;
  // In a sentence: "alice", "the page", "MQTT".
  std::string InWords() const;
  bool operator==(const Owner&) const = default;

 private:
  std::string face_;
  std::string who_;
};

// Why a change came: its owner's command, alone or as one of a take's.
struct Cause {
  Owner owner;
  std::string salvo{};  // of a take, or empty
  bool putBack{};       // the take's undoing of its own switch
  // "web alice", "web alice, salvo evening", "web alice, put back, salvo
  // evening".
  std::string Text() const;
};

}  // namespace bridge
