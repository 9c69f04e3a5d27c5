#include "web/HttpConnection.h"

#include "Json.h"
#include "web/Reply.h"

namespace bridge {
namespace {

// Bytes of the client's that Qt holds before the kernel's own buffer
// fills and TCP holds the client back: more than one whole request.
constexpr qint64 kReadBufferBytes = 64 * 1024;

}  // namespace

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 415:
      return "Unsupported Media Type";
    case 421:
      return "Misdirected Request";
    case 422:
      return "Unprocessable Content";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

HttpConnection::HttpConnection(QTcpSocket* socket, ConnectionPeer peer, Dispatch dispatch,
                               Note note)
    : QObject(socket),
      peer_(std::move(peer)),
      dispatch_(std::move(dispatch)),
      note_(std::move(note)) {
  socket->setReadBufferSize(kReadBufferBytes);
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &HttpConnection::TimedOut);
  timer_.start(kIdleMs);
  connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::Read);
}

QTcpSocket* HttpConnection::Socket() const {
  return static_cast<QTcpSocket*>(parent());
}

bool HttpConnection::MayGiveWay() const {
  return state_ == State::kReading && (!stream_.Begun() || stream_.InsideHead());
}

// While a request is answered, or a stream is open, what the client sends
// stays unread: TCP holds it back once the buffers are full.
void HttpConnection::Read() {
  if (state_ == State::kStreaming || state_ == State::kClosing) {
    Socket()->readAll();  // nothing more is taken from it
    return;
  }
  if (state_ == State::kReading) Serve();
}

void HttpConnection::Serve() {
  QTcpSocket* socket = Socket();
  const QByteArray arrived = socket->readAll();
  if (!arrived.isEmpty()) lastActive_ = Clock::now();
  stream_.Append(arrived.constData(), std::size_t(arrived.size()));
  HttpRequest request;
  switch (stream_.Take(request)) {
    case RequestStream::Next::kNothing:
      if (stream_.Begun() && !requestBegun_) {
        requestBegun_ = true;
        timer_.start(kRequestTimeMs);
      }
      return;
    case RequestStream::Next::kRefused:
      return Refuse(stream_.Refusal().status, stream_.Refusal().why);
    case RequestStream::Next::kRequest:
      break;
  }
  timer_.stop();
  state_ = State::kAnswering;
  headOnly_ = request.method == "HEAD";
  keepAlive_ = request.keepAlive;
  dispatch_(*this, std::move(request));
}

QByteArray HttpConnection::Head(int status, const HttpHeaders& headers, bool close) const {
  QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + ReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  if (close) head += "Connection: close\r\n";
  return head;
}

void HttpConnection::Answer(int status, const HttpHeaders& headers, const QByteArray& body,
                            bool close) {
  if (state_ != State::kAnswering) return;
  close = close || !keepAlive_;
  QByteArray answer = Head(status, headers, close);
  answer += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
  if (!headOnly_) answer += body;
  Socket()->write(answer);
  lastActive_ = Clock::now();
  if (close) return Close();
  state_ = State::kReading;
  requestBegun_ = false;
  timer_.start(kIdleMs);
  // What was sent ahead waits in the stream: the next request, if whole,
  // is served once this call is over, never inside its caller.
  QMetaObject::invokeMethod(this, &HttpConnection::Serve, Qt::QueuedConnection);
}

void HttpConnection::BeginStream(const HttpHeaders& headers, const QByteArray& first) {
  if (state_ != State::kAnswering) return;
  state_ = State::kStreaming;
  Socket()->write(Head(200, headers, true) + "\r\n" + (headOnly_ ? QByteArray() : first));
  if (headOnly_) Close();
}

void HttpConnection::Write(const QByteArray& bytes) {
  if (state_ == State::kStreaming) Socket()->write(bytes);
}

void HttpConnection::Refuse(int status, const std::string& why) {
  if (state_ == State::kClosing) return;
  note_(*this, why);
  HttpHeaders headers = SecurityHeaders(true);
  headers.emplace_back("Content-Type", "application/json");
  const QByteArray body = QByteArray::fromStdString(kdt::JsonObject().AddText("error", why).Text());
  Socket()->write(Head(status, headers, true) +
                  "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
  Close();
}

void HttpConnection::Close() {
  state_ = State::kClosing;
  timer_.stop();
  QTcpSocket* socket = Socket();
  socket->disconnectFromHost();  // once the answer is out
  QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
}

// A request begun and not whole is told so; a silence ends quietly, as a
// browser expects of a connection it keeps for later.
void HttpConnection::TimedOut() {
  if (state_ != State::kReading) return;
  if (requestBegun_) {
    return Refuse(408, "the request did not arrive whole within 10 s");
  }
  Close();
}

}  // namespace bridge
