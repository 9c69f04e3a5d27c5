#include "core/Units.h"

#include <algorithm>

namespace bridge {

Unit* Units::Find(const std::string& id) const {
  const auto found = byId_.find(id);
  return found == byId_.end() ? nullptr : found->second.get();
}

void Units::Add(std::unique_ptr<Unit> unit) {
  const std::string id = unit->Id();
  inOrder_.push_back(unit.get());
  byId_[id] = std::move(unit);
}

std::unique_ptr<Unit> Units::Take(const std::string& id) {
  const auto found = byId_.find(id);
  if (found == byId_.end()) return nullptr;
  std::unique_ptr<Unit> unit = std::move(found->second);
  byId_.erase(found);
  std::erase(inOrder_, unit.get());
  return unit;
}

void Units::SetOrder(const std::vector<std::string>& ids) {
  inOrder_.clear();
  for (const std::string& id : ids) {
    if (Unit* unit = Find(id)) inOrder_.push_back(unit);
  }
}

}  // namespace bridge
