// SIGTERM, SIGINT and SIGHUP (a logout, a shutdown, kill, Ctrl+C) close the
// console in order, as closing its window does: open dialogs are cancelled,
// the event loop ends, and the window saves its settings and ends its session
// with the goodbye. The signals come through the platform's signal pipe,
// which the event loop watches; a second signal while closing ends the
// program at once, as if it had no handler.
#pragma once

#include <QObject>

#include "SignalWatcher.h"

namespace kdt {

class TerminationSignals : public QObject {
  Q_OBJECT
 public:
  TerminationSignals();

  // A signal has asked the program to end: the event loop is not to be
  // entered (again).
  bool Requested() const { return requested_; }

 private:
  void CloseInOrder();

  bool requested_ = false;
  SignalWatcher watcher_;
};

}  // namespace kdt
