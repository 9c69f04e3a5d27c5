#include "TerminationSignals.h"

#include <signal.h>

#include <QApplication>
#include <QWidget>

namespace kdt {

TerminationSignals::TerminationSignals()
    : watcher_({SIGTERM, SIGINT, SIGHUP}, {}, [this](int) { CloseInOrder(); }) {}

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
