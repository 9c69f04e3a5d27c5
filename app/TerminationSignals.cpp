#include "TerminationSignals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QWidget>
#include <cerrno>

namespace kdt {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The handler's whole state: only what a signal handler may touch.
int writeEnd = -1;
volatile sig_atomic_t closing = 0;

void OnSignal(int signal) {
  if (closing != 0) {
    // The program is already closing and has been asked again: end it now.
    ::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  closing = 1;
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t written = write(writeEnd, &byte, 1);
  errno = saved;
}

void Handle(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

TerminationSignals::TerminationSignals() {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) return;
  writeEnd = fds_[0];
  notifier_ = std::make_unique<QSocketNotifier>(fds_[1], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte;
    [[maybe_unused]] const ssize_t got = read(fds_[1], &byte, 1);
    CloseInOrder();
  });
  Handle(OnSignal);
}

TerminationSignals::~TerminationSignals() {
  Handle(SIG_DFL);
  notifier_.reset();
  writeEnd = -1;
  for (int fd : fds_) {
    if (fd != -1) close(fd);
  }
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
