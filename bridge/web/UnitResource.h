// The units as a resource of the page's interface: every unit as kdt212ctl
// prints it, with its id and its protects (api/units), and a relay's
// commands, each through the core's door: its input or its name, answered
// once the unit's status shows it (or 202 when, after 3 s, it is with the
// unit and not shown yet: its end goes to the event streams), and its
// protect.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "core/Core.h"
#include "web/Routes.h"

namespace bridge {

class UnitResource {
 public:
  // The end of a command that was answered pending.
  using Ended = std::function<void(const Result& result, std::uint64_t id)>;

  UnitResource(Core& core, Ended ended) : core_(core), ended_(std::move(ended)) {}

  // {"seq":N,"units":[…]}, in the file's order.
  std::string UnitsJson() const;
  void List(RouteCall& call);
  // "/api/units/{unit}/relays/{relay}/{what}", what being input, name or
  // protect.
  void Relay(RouteCall& call);

 private:
  void Switch(RouteCall& call, const Unit& unit, int relay);
  void Rename(RouteCall& call, const Unit& unit, int relay);
  void Protect(RouteCall& call, const Unit& unit, int relay);
  void Send(RouteCall& call, Command command);
  CommandSource SourceOf(const Caller& caller);

  Core& core_;
  Ended ended_;
  std::map<std::string, CommandSource> sources_;  // by owner: one turn each
};

}  // namespace bridge
