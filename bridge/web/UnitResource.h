// The units as a resource of the page's interface: every unit as kdt212ctl
// prints it, with its id and its protects (api/units), and a relay's
// commands, each through the core's door: its input or its name, answered
// once the unit's status shows it, and its protect.
#pragma once

#include <map>
#include <string>

#include "core/Core.h"
#include "web/Routes.h"

namespace bridge {

class UnitResource {
 public:
  explicit UnitResource(Core& core) : core_(core) {}

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
  std::map<std::string, CommandSource> sources_;  // by owner: one turn each
};

}  // namespace bridge
