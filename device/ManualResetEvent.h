// A signal that stays set until it is reset, for any number of waiters.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kdt {

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initiallySet) : set_(initiallySet) {}
  void Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return set_; });
  }
  // False when the time passed before the event was set.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;
};

}  // namespace kdt
