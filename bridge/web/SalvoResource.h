// The salvos as a resource of the page's interface: each with its relays,
// what a take would change now (api/salvos), and its take, answered with
// the take's answer whatever its result, as the request itself has
// succeeded.
#pragma once

#include <string>

#include "core/Core.h"
#include "web/Routes.h"

namespace bridge {

// [{"id","label","relays":[{"unit","relay","input","changes"}],"differs"}]:
// `changes` whether a take would switch the relay now, `differs` how many
// relays it would.
std::string SalvoListJson(const Core& core);

class SalvoResource {
 public:
  explicit SalvoResource(Core& core) : core_(core) {}

  void List(RouteCall& call);
  // "/api/salvos/{salvo}/take".
  void Take(RouteCall& call);

 private:
  Core& core_;
};

}  // namespace bridge
