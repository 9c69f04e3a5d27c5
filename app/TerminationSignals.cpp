#include "TerminationSignals.h"

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QWidget>

#include "Platform.h"

namespace kdt {

TerminationSignals::TerminationSignals() {
  const int fd = OpenSignalPipe({SIGTERM, SIGINT, SIGHUP});
  if (fd == -1) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [fd, this] {
    char byte;
    while (read(fd, &byte, 1) == 1) {
    }
    CloseInOrder();
  });
}

TerminationSignals::~TerminationSignals() {
  notifier_.reset();
  CloseSignalPipe();
}

// As if the operator had cancelled every dialog and closed the window.
void TerminationSignals::CloseInOrder() {
  requested_ = true;
  for (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal->close();) {
    QWidget* next = QApplication::activeModalWidget();
    if (next == modal) break;
    modal = next;
  }
  QCoreApplication::quit();
}

}  // namespace kdt
