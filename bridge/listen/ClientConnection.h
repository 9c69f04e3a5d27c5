// One client's socket as a face of a unit holds it: the face hears when it
// may read; what the client is sent goes out as the system takes it, and
// what the system will not take yet waits here, up to 64 KiB, for a few
// seconds at a time. A client that takes nothing for that long, or lets
// more wait, or whose connection fails, is to be closed: the face hears why,
// and words it. Closed with the object; it may be destroyed from within
// what it tells.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstddef>
#include <functional>
#include <string>

#include "TcpSockets.h"

namespace bridge {

class ClientConnection : public QObject {
 public:
  static constexpr std::size_t kMostUnsent = 64 * 1024;

  enum class Failure {
    kBroken,         // the connection failed: `error` is the socket layer's
    kStoppedReading  // it has not taken what it was sent
  };
  struct Watch {
    std::function<void()> readable;  // bytes wait to be read
    std::function<void(Failure failure, int error)> failed;
    std::function<void()> drained{};  // what waited has gone, all of it
  };

  // `drainMs`: how long it may take nothing of what waits for it.
  ClientConnection(tcp::Socket socket, int drainMs, Watch watch);
  ~ClientConnection() override;
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  tcp::Socket Socket() const { return socket_; }
  // False when it failed for it (and `failed` was told).
  bool Send(const void* data, std::size_t length);
  // Something waits for the system to take it.
  bool Sending() const { return !unsent_.empty(); }

 private:
  void SendWaiting();

  tcp::Socket socket_;
  Watch watch_;
  std::string unsent_;
  // They go with deleteLater: the connection may end from within their
  // own signals.
  QSocketNotifier* readable_;
  QSocketNotifier* writable_;
  QTimer draining_;
};

}  // namespace bridge
