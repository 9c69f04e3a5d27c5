#include "web/Reply.h"

#include "Json.h"

namespace bridge {

HttpHeaders SecurityHeaders(bool api) {
  HttpHeaders headers = {
      {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
  };
  if (api) headers.emplace_back("Cache-Control", "no-store");
  return headers;
}

void WebReply::Send(int status, const QByteArray& type, const QByteArray& body,
                    const HttpHeaders& extra) {
  if (Gone()) return;
  responder_.writeStatusLine(QHttpServerResponder::StatusCode(status));
  for (const auto& [name, value] : SecurityHeaders(api_)) responder_.writeHeader(name, value);
  for (const auto& [name, value] : extra) responder_.writeHeader(name, value);
  if (!type.isEmpty()) responder_.writeHeader("Content-Type", type);
  responder_.writeHeader("Content-Length", QByteArray::number(body.size()));
  responder_.writeBody(body);
}

void WebReply::Json(int status, const std::string& json, const HttpHeaders& extra) {
  Send(status, "application/json", QByteArray::fromStdString(json), extra);
}

void WebReply::Error(int status, const std::string& message) {
  Json(status, kdt::JsonObject().AddText("error", message).Text());
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
    case Refusal::kTimedOut:
      status = 504;
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
  responder_.writeStatusLine(QHttpServerResponder::StatusCode::Ok);
  for (const auto& [name, value] : SecurityHeaders(api_)) responder_.writeHeader(name, value);
  responder_.writeHeader("Content-Type", "text/event-stream; charset=utf-8");
  // A reverse proxy must pass each event on as it comes (nginx).
  responder_.writeHeader("X-Accel-Buffering", "no");
  responder_.writeBody(first);
}

void WebReply::Event(const QByteArray& text) {
  if (!Gone()) responder_.writeBody(text);
}

}  // namespace bridge
