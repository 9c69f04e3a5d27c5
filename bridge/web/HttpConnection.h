// One client's connection to the page, from its first byte to its end:
// its requests one at a time, in the order they came (RequestStream.h),
// each answered before the next is read, so that answers go out in order
// however long one of them takes (a command waits for its unit). A request
// refused as it comes is answered, alone, and the connection closes: no
// handler ever sees it. Bounds: a request begun must be whole within 10 s
// (408); a connection with nothing begun is closed quietly after 10 s, or
// at once when the page is full and another client wants its place. An
// event stream takes the connection for itself: it carries no more
// requests, and no time bounds it.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "web/RequestStream.h"

namespace bridge {

using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

// Who is at the other end of a connection.
struct ConnectionPeer {
  std::uint32_t host = 0;   // its address value
  std::uint32_t local = 0;  // the address it reached the bridge at
  std::string who;          // "127.0.0.1:40000"
};

class HttpConnection : public QObject {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kRequestTimeMs = 10000;
  static constexpr int kIdleMs = 10000;

  // What a whole, sound request goes to; it answers by Answer() or
  // BeginStream(), at once or later.
  using Dispatch = std::function<void(HttpConnection& connection, HttpRequest request)>;
  // What a refusal, or a client closed for its time, leaves in the log.
  using Note = std::function<void(const HttpConnection& connection, const std::string& why)>;

  // A child of its socket: it goes with it.
  HttpConnection(QTcpSocket* socket, ConnectionPeer peer, Dispatch dispatch, Note note);

  // The answer to the request in hand; the next is read once it is out, or
  // the connection closes after it (HTTP/1.0, "Connection: close", or
  // `close`).
  void Answer(int status, const HttpHeaders& headers, const QByteArray& body, bool close = false);
  // The head of an event stream's answer, and then its events by Write().
  void BeginStream(const HttpHeaders& headers, const QByteArray& first);
  void Write(const QByteArray& bytes);
  // An answer of the connection's own, for a request that goes no further,
  // and then the end of the connection.
  void Refuse(int status, const std::string& why);

  QTcpSocket* Socket() const;
  const ConnectionPeer& Peer() const { return peer_; }
  Clock::time_point LastActive() const { return lastActive_; }
  // No request is in hand and no stream open: nothing is lost if it goes.
  bool MayGiveWay() const;

 private:
  enum class State { kReading, kAnswering, kStreaming, kClosing };

  void Read();
  void Serve();
  void Close();
  void TimedOut();
  QByteArray Head(int status, const HttpHeaders& headers, bool close) const;

  ConnectionPeer peer_;
  Dispatch dispatch_;
  Note note_;
  RequestStream stream_;
  State state_ = State::kReading;
  bool headOnly_ = false;      // the request in hand is a HEAD
  bool keepAlive_ = true;      // of the request in hand
  bool requestBegun_ = false;  // the timer bounds a request, not a silence
  QTimer timer_;
  Clock::time_point lastActive_ = Clock::now();
};

// "Not Found" for 404, and so on: the reason phrase of a status.
const char* ReasonPhrase(int status);

}  // namespace bridge
