#include "web/Streams.h"

#include "UnitProcIP.h"

namespace bridge {

EventStreams::EventStreams(HttpTransport& transport) : transport_(transport) {
  comments_.setInterval(kCommentEveryMs);
  connect(&comments_, &QTimer::timeout, this, [this] { Broadcast(": the bridge is here\n\n"); });
  comments_.start();
}

EventStreams::~EventStreams() = default;

void EventStreams::Open(std::unique_ptr<WebReply> reply, const std::string& token,
                        const QByteArray& first) {
  if (reply->Gone()) return;
  reply->StartStream(first);
  streams_.push_back({std::move(reply), token});
}

void EventStreams::Close(const std::string& token) {
  CloseIf([&token](const std::string& of) { return of == token; });
}

void EventStreams::CloseIf(const std::function<bool(const std::string& token)>& ended) {
  std::erase_if(streams_, [&](Stream& stream) {
    if (!ended(stream.token)) return false;
    if (!stream.reply->Gone()) stream.reply->Socket()->disconnectFromHost();
    return true;
  });
}

void EventStreams::Tell(const std::function<QByteArray(const std::string& token)>& eventFor) {
  for (Stream& stream : streams_) {
    if (const QByteArray event = eventFor(stream.token); !event.isEmpty()) {
      stream.reply->Event(event);
    }
  }
}

// A stream whose client does not read what it is sent would hold it all.
void EventStreams::Broadcast(const QByteArray& event) {
  std::erase_if(streams_, [this, &event](Stream& stream) {
    if (stream.reply->Gone()) return true;
    QTcpSocket* socket = stream.reply->Socket();
    if (socket->bytesToWrite() > kMostUnread) {
      const auto peer = transport_.PeerOf(socket);
      throttle_.Log("stream unread", peer ? kdt::IPToStr(peer->host) : "",
                    "page: event stream of " + (peer ? peer->who : std::string("a client")) +
                        " closed: it left 256 KiB unread");
      socket->abort();
      return true;
    }
    stream.reply->Event(event);
    return false;
  });
}

}  // namespace bridge
