// Protects: a relay held by one owner, whom alone the bridge lets change
// it, whoever else sends a command for it (the page, MQTT, a client of the
// unit's endpoint, a salvo). An owner is a user of the page ("web alice",
// or "web" where the page has no login) or the hub ("mqtt"). The owner
// releases it; an admin of the page may force the release. Every protect
// and release is an entry of the record of who switched what.
// They are kept across restarts in a JSON file, replaced whole at each
// change; a file that cannot be read as theirs is set aside with a log line
// and the bridge starts with none.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "LogBook.h"

namespace bridge {

struct Protect {
  std::string by;     // the owner
  std::string since;  // as entries give times
  bool operator==(const Protect&) const = default;
};

// The owner in a sentence: "alice", "the page", "MQTT".
std::string OwnerText(const std::string& owner);

class Protects {
 public:
  enum class Change {
    kDone,
    kAlready,      // protected by the same owner, or not protected at all
    kHeldByOther,  // and the caller may not force it
  };

  // Where they are kept from now on; empty: only while the bridge runs.
  // The first file given is read; when a reload names another, what is
  // held now is written there.
  void KeepIn(const std::string& file);

  const std::string& File() const { return file_; }
  // The relay's protect; nullptr when it has none.
  const Protect* Of(const std::string& unit, int relay) const;
  // Nobody else holds the relay: `owner` may change it.
  bool Allows(const std::string& unit, int relay, const std::string& owner) const;

  Change Hold(const std::string& unit, int relay, const std::string& owner);
  // `force`: an admin releases what another holds.
  Change Release(const std::string& unit, int relay, const std::string& by, bool force);

  // Called with each change's entry (unnumbered), after it is kept.
  void SetRecorder(std::function<void(LogEntry)> recorder);

 private:
  using Key = std::pair<std::string, int>;  // unit, relay

  void Load();
  void SetAside(const std::string& reason);
  void Save();
  void Record(const std::string& unit, int relay, const std::string& change,
              const std::string& from, const std::string& to, const std::string& by);

  std::string file_;
  bool kept_ = false;  // a file has been given, or none
  std::map<Key, Protect> held_;
  std::function<void(LogEntry)> recorder_;
};

}  // namespace bridge
