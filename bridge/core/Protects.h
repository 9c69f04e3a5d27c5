// Protects: a relay held by one owner (Owner.h), whom alone the bridge lets
// change it, whatever door another's command comes through (the page, MQTT,
// a client of the unit's endpoint, a take); the one check is the command
// door's (CommandDoor.h). The owner releases it; an admin of the page may
// force the release. Every protect and release is an entry of the record.
// They are kept across restarts in a JSON file, replaced whole at each
// change; a file that cannot be read as theirs is set aside with a log line
// and the bridge starts with none.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "core/Owner.h"
#include "core/Record.h"
#include "core/Result.h"

namespace bridge {

struct Protect {
  Owner by;
  std::string since;  // as entries give times
};

class Protects {
 public:
  explicit Protects(Record& record) : record_(record) {}

  // Where they are kept from now on; empty: only while the bridge runs.
  // The first file given is read; when a reload names another, what is
  // held now is written there.
  void KeepIn(const std::string& file);

  // The relay's protect; nullptr when it has none.
  const Protect* Of(const std::string& unit, int relay) const;
  // Done when nobody else holds the relay, so that `owner` may change it;
  // refused, saying who holds it, when someone else does.
  Result Check(const std::string& unit, int relay, const Owner& owner) const;

  // Done too when it is `owner`'s already.
  Result Hold(const std::string& unit, int relay, const Owner& owner);
  // Done too when nobody holds it. `force`: an admin releases what another
  // holds.
  Result Release(const std::string& unit, int relay, const Owner& by, bool force);

 private:
  using Key = std::pair<std::string, int>;  // unit, relay

  void Load();
  void SetAside(const std::string& reason);
  void Save();
  void Recorded(const std::string& unit, int relay, const std::string& change,
                const std::string& from, const std::string& to, const Owner& by);

  Record& record_;
  std::string file_;
  bool kept_ = false;  // a file has been given, or none
  std::map<Key, Protect> held_;
};

}  // namespace bridge
