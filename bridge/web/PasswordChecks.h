// Where the page's passwords are checked: a hash takes tens of
// milliseconds by design, which the event loop never waits for. Two
// threads check, and a few checks may wait for them; beyond that a login
// is refused at once (the caller answers 503), so that a flood of logins
// holds neither memory nor threads. A check whose client has gone by its
// turn is dropped unchecked.
#pragma once

#include <QObject>
#include <QThreadPool>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace bridge {

class PasswordChecks : public QObject {
 public:
  static constexpr int kThreads = 2;
  static constexpr int kMostWaiting = 8;

  // Set when the client that asked has gone.
  using Gone = std::shared_ptr<std::atomic<bool>>;
  // On the event loop: whether the password matches; not called for a
  // check dropped.
  using Checked = std::function<void(bool matches)>;

  PasswordChecks();
  ~PasswordChecks() override;

  // False when every place is taken: nothing is checked.
  bool Check(std::string password, std::string hash, Gone gone, Checked checked);

 private:
  QThreadPool pool_;
  int taken_ = 0;  // checks running or waiting
};

}  // namespace bridge
