// An event handler: code bound to the object it acts on, assignable and
// clearable, and called only while assigned.
#pragma once

#include <functional>
#include <utility>

namespace kdt {

template <typename... Args>
class EventHandler {
 public:
  template <typename T>
  void Bind(T* object, void (T::*method)(Args...)) {
    fn_ = [object, method](Args... args) { (object->*method)(args...); };
  }
  void Assign(std::function<void(Args...)> fn) { fn_ = std::move(fn); }
  void Clear() { fn_ = nullptr; }
  void operator()(Args... args) const {
    if (fn_) fn_(args...);
  }

 private:
  std::function<void(Args...)> fn_;
};

}  // namespace kdt
