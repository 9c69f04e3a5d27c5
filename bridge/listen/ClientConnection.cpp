#include "listen/ClientConnection.h"

namespace bridge {

ClientConnection::ClientConnection(tcp::Socket socket, int drainMs, Watch watch)
    : socket_(socket),
      watch_(std::move(watch)),
      readable_(new QSocketNotifier(socket, QSocketNotifier::Read)),
      writable_(new QSocketNotifier(socket, QSocketNotifier::Write)) {
  draining_.setSingleShot(true);
  draining_.setInterval(drainMs);
  connect(&draining_, &QTimer::timeout, this,
          [this] { watch_.failed(Failure::kStoppedReading, 0); });
  connect(readable_, &QSocketNotifier::activated, this, [this] { watch_.readable(); });
  writable_->setEnabled(false);
  connect(writable_, &QSocketNotifier::activated, this, &ClientConnection::SendWaiting);
}

ClientConnection::~ClientConnection() {
  for (QSocketNotifier* notifier : {readable_, writable_}) {
    notifier->setEnabled(false);  // before its socket goes
    notifier->disconnect(this);
    notifier->deleteLater();
  }
  tcp::SockClose(socket_);
}

bool ClientConnection::Send(const void* data, std::size_t length) {
  const char* bytes = static_cast<const char*>(data);
  if (unsent_.empty()) {
    int sent = 0;
    if (!tcp::SockSend(socket_, bytes, int(length), sent)) {
      if (tcp::SockLastError() != tcp::kErrWouldBlock) {
        watch_.failed(Failure::kBroken, tcp::SockLastError());
        return false;
      }
      sent = 0;
    }
    bytes += sent;
    length -= std::size_t(sent);
    if (length == 0) return true;
  }
  unsent_.append(bytes, length);
  if (unsent_.size() > kMostUnsent) {
    watch_.failed(Failure::kStoppedReading, 0);
    return false;
  }
  writable_->setEnabled(true);
  if (!draining_.isActive()) draining_.start();
  return true;
}

void ClientConnection::SendWaiting() {
  int sent = 0;
  if (!tcp::SockSend(socket_, unsent_.data(), int(unsent_.size()), sent)) {
    if (tcp::SockLastError() != tcp::kErrWouldBlock) {
      watch_.failed(Failure::kBroken, tcp::SockLastError());
    }
    return;
  }
  unsent_.erase(0, std::size_t(sent));
  draining_.start();  // it is taking them: time again
  if (!unsent_.empty()) return;
  writable_->setEnabled(false);
  draining_.stop();
  if (watch_.drained) watch_.drained();
}

}  // namespace bridge
