#include "web/Reply.h"

#include "Json.h"

namespace bridge {

HttpHeaders SecurityHeaders(bool api, bool tls) {
  HttpHeaders headers = {
      {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
  };
  if (api) headers.emplace_back("Cache-Control", "no-store");
  // A browser that has met the page over HTTPS never tries it in the clear.
  if (tls) headers.emplace_back("Strict-Transport-Security", "max-age=31536000");
  return headers;
}

bool WebReply::Gone() const {
  return connection_.isNull() || connection_->Socket()->state() != QAbstractSocket::ConnectedState;
}

QTcpSocket* WebReply::Socket() const {
  return connection_.isNull() ? nullptr : connection_->Socket();
}

void WebReply::Send(int status, const QByteArray& type, const QByteArray& body,
                    const HttpHeaders& extra) {
  if (Gone()) return;
  HttpHeaders headers = SecurityHeaders(api_, tls_);
  headers.insert(headers.end(), extra.begin(), extra.end());
  if (!type.isEmpty()) headers.emplace_back("Content-Type", type);
  connection_->Answer(status, headers, body);
}

void WebReply::Download(const QByteArray& body, const QByteArray& type,
                        const std::string& filename) {
  Send(200, type, body,
       {{"Content-Disposition",
         QByteArray::fromStdString("attachment; filename=\"" + filename + "\"")}});
}

void WebReply::Json(int status, const std::string& json, const HttpHeaders& extra) {
  Send(status, "application/json", QByteArray::fromStdString(json), extra);
}

void WebReply::Error(int status, const std::string& message, const HttpHeaders& extra) {
  Json(status, kdt::JsonObject().AddText("error", message).Text(), extra);
}

void WebReply::Refused(const Result& refused) {
  int status = 503;
  switch (refused.Why()) {
    case Refusal::kNoSuchUnit:
    case Refusal::kNoSuchSalvo:
      status = 404;
      break;
    case Refusal::kLocked:
    case Refusal::kProtected:
      status = 409;
      break;
    case Refusal::kName:
      status = 422;
      break;
    case Refusal::kNotAllowed:
      status = 403;
      break;
    case Refusal::kTimedOut:
      status = 504;
      break;
    case Refusal::kPending:
      status = 202;
      break;
    case Refusal::kNone:
    case Refusal::kDown:
    case Refusal::kQueueFull:
    case Refusal::kLost:
      break;
  }
  Error(status, refused.Text());
}

void WebReply::NoContent(const HttpHeaders& extra) {
  Send(204, {}, {}, extra);
}

void WebReply::File(const QByteArray& body, const QByteArray& type) {
  Send(200, type, body, {});
}

void WebReply::StartStream(const QByteArray& first) {
  if (Gone()) return;
  HttpHeaders headers = SecurityHeaders(api_, tls_);
  headers.emplace_back("Content-Type", "text/event-stream; charset=utf-8");
  // A reverse proxy must pass each event on as it comes (nginx).
  headers.emplace_back("X-Accel-Buffering", "no");
  connection_->BeginStream(headers, first);
}

void WebReply::Event(const QByteArray& text) {
  if (!Gone()) connection_->Write(text);
}

}  // namespace bridge
