// A client's bytes as the page reads them: whole, sound requests one by
// one, however the bytes are split; anything a proxy in front could read
// otherwise refused, with nothing read after it.
#include "web/RequestStream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bridge::HttpRequest;
using bridge::RequestStream;
using Next = RequestStream::Next;

const std::string kHost = "Host: 127.0.0.1\r\n";

// Every request that the bytes hold, fed `piece` bytes at a time; the
// status of the refusal that ends them, or 0.
std::vector<HttpRequest> TakeAll(const std::string& bytes, std::size_t piece, int& refused) {
  RequestStream stream;
  std::vector<HttpRequest> taken;
  refused = 0;
  for (std::size_t at = 0; at < bytes.size() && refused == 0; at += piece) {
    stream.Append(bytes.data() + at, std::min(piece, bytes.size() - at));
    HttpRequest request;
    for (Next next; (next = stream.Take(request)) != Next::kNothing;) {
      if (next == Next::kRefused) {
        refused = stream.Refusal().status;
        break;
      }
      taken.push_back(request);
    }
  }
  return taken;
}

TEST(RequestStream, WhatIsTakenAndWhatIsRefused) {
  struct Case {
    const char* what;
    std::string bytes;
    int requests;  // taken before the refusal, or in all
    int refused;   // its status, or 0
  };
  const std::string post = "POST /api/units/studio/relays/a/input HTTP/1.1\r\n" + kHost;
  const Case cases[] = {
      {"a GET", "GET /api/me HTTP/1.1\r\n" + kHost + "\r\n", 1, 0},
      {"two pipelined", "GET / HTTP/1.1\r\n" + kHost + "\r\nGET /a HTTP/1.1\r\n" + kHost + "\r\n",
       2, 0},
      {"an empty line before it", "\r\nGET / HTTP/1.1\r\n" + kHost + "\r\n", 1, 0},
      {"HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n", 1, 0},
      {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", 0, 400},
      {"two Hosts", "GET / HTTP/1.1\r\n" + kHost + kHost + "\r\n", 0, 400},
      {"HTTP/2", "GET / HTTP/2.0\r\n" + kHost + "\r\n", 0, 505},
      {"not HTTP", "HELLO\r\n\r\n", 0, 400},
      {"a bare LF", "GET / HTTP/1.1\n" + kHost + "\r\n", 0, 400},
      {"a bare CR", "GET / HTTP/1.1\r" + kHost + "\r\n", 0, 400},
      {"blanks before a colon", "GET / HTTP/1.1\r\n" + kHost + "Origin : x\r\n\r\n", 0, 400},
      {"a folded line", "GET / HTTP/1.1\r\n" + kHost + "X-A: a\r\n b\r\n\r\n", 0, 400},
      {"a NUL in a value", "GET / HTTP/1.1\r\n" + kHost + std::string("X-A: a\0b\r\n\r\n", 12), 0,
       400},
      {"a target that is not a path", "GET http://x/ HTTP/1.1\r\n" + kHost + "\r\n", 0, 400},
      {"a body by its length", post + "Content-Length: 2\r\n\r\n{}", 1, 0},
      {"the same length twice", post + "Content-Length: 2\r\nContent-Length: 2\r\n\r\n{}", 1, 0},
      // A request hidden in the body of one that a proxy reads otherwise:
      {"two different lengths",
       post + "Content-Length: 0\r\nContent-Length: 20\r\n\r\nGET /x HTTP/1.1\r\n\r\n", 0, 400},
      {"two lengths in one field", post + "Content-Length: 0, 20\r\n\r\nGET /x HTTP/1.1\r\n\r\n", 0,
       400},
      {"a length beside chunks",
       post +
           "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n",
       0, 400},
      {"chunks alone", post + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 0, 411},
      {"a length that is no number", post + "Content-Length: +2\r\n\r\n{}", 0, 400},
      {"a body over 16 KiB", post + "Content-Length: 16385\r\n\r\n", 0, 413},
      {"a length of many digits", post + "Content-Length: 99999999999999999999\r\n\r\n", 0, 413},
      {"a head over 16 KiB", "GET / HTTP/1.1\r\n" + kHost + "X-A: " + std::string(17000, 'a'), 0,
       431},
      {"a whole head over 16 KiB",
       "GET / HTTP/1.1\r\n" + kHost + "X-A: " + std::string(16380, 'a') + "\r\n\r\n", 0, 431},
      {"nothing is read after a refusal",
       "GET / HTTP/1.1\r\n" + kHost + "\r\nGET / HTTP/9.9\r\n\r\nGET / HTTP/1.1\r\n" + kHost +
           "\r\n",
       1, 505},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t(1), std::size_t(7), c.bytes.size()}) {
      int refused = 0;
      const auto taken = TakeAll(c.bytes, piece, refused);
      EXPECT_EQ(int(taken.size()), c.requests) << c.what << ", in pieces of " << piece;
      EXPECT_EQ(refused, c.refused) << c.what << ", in pieces of " << piece;
    }
  }
}

TEST(RequestStream, ARequestAsTaken) {
  int refused = 0;
  const auto taken = TakeAll(
      "POST /api/login?x=1 HTTP/1.1\r\nHOST:  127.0.0.1:8212 \r\nContent-Length: 4\r\n"
      "Connection: keep-alive, Close\r\n\r\nabcdGET / HTTP/1.0\r\n\r\n",
      5, refused);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].method, "POST");
  EXPECT_EQ(taken[0].path, "/api/login");
  EXPECT_EQ(taken[0].Header("host").value_or(""), "127.0.0.1:8212");
  EXPECT_EQ(taken[0].body, "abcd");
  EXPECT_FALSE(taken[0].keepAlive);  // "Connection: close", in any case
  EXPECT_EQ(taken[1].minorVersion, 0);
  EXPECT_FALSE(taken[1].keepAlive);  // HTTP/1.0
}

// Only part of a head: the connection may give way; a whole head waiting
// for its body may not.
TEST(RequestStream, WhereARequestStands) {
  RequestStream stream;
  EXPECT_FALSE(stream.Begun());
  const std::string head = "POST / HTTP/1.1\r\n" + kHost + "Content-Length: 2\r\n";
  stream.Append(head.data(), head.size());
  EXPECT_TRUE(stream.Begun());
  EXPECT_TRUE(stream.InsideHead());
  stream.Append("\r\n{", 3);
  HttpRequest request;
  EXPECT_EQ(stream.Take(request), Next::kNothing);
  EXPECT_FALSE(stream.InsideHead());
  stream.Append("}", 1);
  EXPECT_EQ(stream.Take(request), Next::kRequest);
  EXPECT_FALSE(stream.Begun());
}

}  // namespace
