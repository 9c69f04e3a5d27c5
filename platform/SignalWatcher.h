// Signals for a program that runs a Qt event loop: each one that comes is
// handed, by its number, to a handler on the loop's thread, where the
// program may do anything (end the loop, read its files again). Through the
// platform's signal pipe (OpenSignalPipe): `ending` signals end the program
// at once should one of them come again, the others may come any number of
// times. One watcher at a time; its end gives the signals their default back.
#pragma once

#include <QObject>
#include <functional>
#include <initializer_list>
#include <memory>

class QSocketNotifier;

namespace kdt {

class SignalWatcher : public QObject {
 public:
  SignalWatcher(std::initializer_list<int> ending, std::initializer_list<int> others,
                std::function<void(int signal)> handler);
  ~SignalWatcher() override;
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kdt
