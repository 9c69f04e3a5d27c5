// One answer of the bridge's page or HTTP interface, on its connection,
// with the headers that every answer carries: a content security policy
// that allows nothing but the page's own files and no framing, no sniffing
// of types, no referrer; no caching of the interface's answers; and under
// the bridge's own HTTPS, HSTS. The client may have gone by the time an
// answer is ready (a command waits for the unit): then nothing is written.
#pragma once

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>
#include <string>

#include "core/Result.h"
#include "web/HttpConnection.h"

namespace bridge {

// What every answer carries; `api` adds what the interface's carry, `tls`
// what the bridge's own HTTPS adds.
HttpHeaders SecurityHeaders(bool api, bool tls = false);

class WebReply {
 public:
  WebReply(HttpConnection* connection, bool api, bool tls)
      : connection_(connection), api_(api), tls_(tls) {}

  void Json(int status, const std::string& json, const HttpHeaders& extra = {});
  // {"error":"one line in words"}
  void Error(int status, const std::string& message, const HttpHeaders& extra = {});
  // What the core refused, with the status that says why: 404 for what is
  // not there, 409 for a relay that is locked or another's, 422 for a name
  // the unit cannot take, 503 while the unit cannot be reached, 504 when it
  // did not show a change in time.
  void Refused(const Result& refused);
  void NoContent(const HttpHeaders& extra = {});
  void File(const QByteArray& body, const QByteArray& type);
  // A file to be saved, under `filename`, rather than shown.
  void Download(const QByteArray& body, const QByteArray& type, const std::string& filename);
  // The head of an event stream, its first event with it; what follows goes
  // by Event().
  void StartStream(const QByteArray& first);
  void Event(const QByteArray& text);

  bool Gone() const;
  QTcpSocket* Socket() const;

 private:
  void Send(int status, const QByteArray& type, const QByteArray& body, const HttpHeaders& extra);

  QPointer<HttpConnection> connection_;
  const bool api_, tls_;
};

}  // namespace bridge
