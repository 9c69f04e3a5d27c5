#include "web/PasswordChecks.h"

#include <QPointer>

#include "web/Users.h"

namespace bridge {

PasswordChecks::PasswordChecks() {
  pool_.setMaxThreadCount(kThreads);
}

// The bridge waits for the checks under way before it ends; none starts.
PasswordChecks::~PasswordChecks() {
  pool_.clear();
  pool_.waitForDone();
}

bool PasswordChecks::Check(std::string password, std::string hash, Gone gone, Checked checked) {
  if (taken_ >= kThreads + kMostWaiting) return false;
  ++taken_;
  QPointer<PasswordChecks> self(this);
  pool_.start([self, password = std::move(password), hash = std::move(hash), gone,
               checked = std::move(checked)] {
    const bool dropped = gone->load();
    const bool matches = !dropped && PasswordMatches(password, hash);
    QMetaObject::invokeMethod(self, [self, dropped, matches, checked] {
      --self->taken_;
      if (!dropped) checked(matches);
    });
  });
  return true;
}

}  // namespace bridge
