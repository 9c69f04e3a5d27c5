#include "SignalWatcher.h"

#include <unistd.h>

#include <QSocketNotifier>

#include "Platform.h"

namespace kdt {

SignalWatcher::SignalWatcher(std::initializer_list<int> ending, std::initializer_list<int> others,
                             std::function<void(int)> handler) {
  const int fd = OpenSignalPipe(ending, others);
  if (fd == -1) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [fd, handler = std::move(handler)] {
    char signal = 0;
    while (read(fd, &signal, 1) == 1) handler(signal);
  });
}

SignalWatcher::~SignalWatcher() {
  notifier_.reset();  // before its descriptor goes
  CloseSignalPipe();
}

}  // namespace kdt
