// The units the bridge serves, by id and in the file's order: the one place
// where a unit is found. Free of Qt but for the units themselves.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Unit.h"

namespace bridge {

class Units {
 public:
  // The unit with this id; nullptr when there is none.
  Unit* Find(const std::string& id) const;
  // Every unit, in the file's order.
  const std::vector<Unit*>& InOrder() const { return inOrder_; }

  // Takes the unit in; it goes last in the order until SetOrder says
  // otherwise.
  void Add(std::unique_ptr<Unit> unit);
  // Out of the directory, to its caller; nullptr when there is no such unit.
  std::unique_ptr<Unit> Take(const std::string& id);
  // The order of the file, which names every unit that is kept.
  void SetOrder(const std::vector<std::string>& ids);

 private:
  std::map<std::string, std::unique_ptr<Unit>> byId_;
  std::vector<Unit*> inOrder_;
};

}  // namespace bridge
