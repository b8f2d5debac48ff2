#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/http/HttpConnection.h"
#include "platform/socket/WaitInterrupt.h"
#include "tests/http/TestHttpServer.h"

namespace qorvin {
namespace {

using testing::HttpRequestSeen;
using testing::HttpResponse;
using testing::TestHttpServer;
using testing::WriteAll;

THttpRequest RequestTo(const TestHttpServer& server) {
  THttpRequest r;
  r.url = server.Url();
  r.userAgent = "test agent";
  r.headers = {"Content-Type: application/binary", "Content-Length: 5"};
  r.connectTimeoutMs = 1000;
  r.idleTimeoutMs = 1000;
  r.proxyMode = THttpProxyMode::Direct;
  return r;
}

struct Recorder : THttpObserver {
  std::vector<int64_t> sent;
  std::vector<int> started;
  std::vector<int64_t> received;
  bool keep = true;
  void BodySent(int64_t soFar, int64_t) override { sent.push_back(soFar); }
  bool ResponseStarted(const THttpResponseInfo& info) override {
    started.push_back(info.status);
    return keep;
  }
  void BodyReceived(int64_t soFar, int64_t) override { received.push_back(soFar); }
};

TEST(HttpConnection, PostCarriesExactlyTheGivenHeadersAndBody) {
  TestHttpServer server([](const HttpRequestSeen&, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", "answer"));
  });
  THttpConnection c;
  TMemoryStream body, response;
  body.WriteBytes("hello");
  body.SetPosition(3);  // the whole body goes, whatever the position
  const THttpResponseInfo info = c.Post(RequestTo(server), body, response);
  EXPECT_EQ(info.status, 200);
  EXPECT_EQ(info.reason, "OK");
  EXPECT_EQ(info.contentLength, 6);
  EXPECT_EQ(response.View(), "answer");
  const auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].path, "/Bin");
  EXPECT_EQ(seen[0].body, "hello");
  EXPECT_EQ(seen[0].Header("User-Agent"), "test agent");
  EXPECT_EQ(seen[0].Header("Content-Type"), "application/binary");
  EXPECT_EQ(seen[0].Count("Content-Length"), 1);
  EXPECT_EQ(seen[0].Header("Content-Length"), "5");
  EXPECT_EQ(seen[0].Count("Accept"), 0);
  EXPECT_EQ(seen[0].Count("Expect"), 0);
}

TEST(HttpConnection, AKeptConnectionCarriesConsecutiveRequests) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", r.body + "!"));
  });
  THttpConnection c;
  for (const char* text : {"one", "two", "three"}) {
    TMemoryStream body, response;
    body.WriteBytes(text);
    THttpRequest r = RequestTo(server);
    r.headers.clear();
    c.Post(r, body, response);
    EXPECT_EQ(response.View(), std::string(text) + "!");
  }
  EXPECT_EQ(server.Connections(), 1);
}

TEST(HttpConnection, StatusLineAndDiscardedBody) {
  TestHttpServer server([](const HttpRequestSeen&, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(404, "Not Found", "<html>missing</html>"));
  });
  THttpConnection c;
  TMemoryStream body, response;
  Recorder observer;
  observer.keep = false;
  const THttpResponseInfo info = c.Post(RequestTo(server), body, response, &observer);
  EXPECT_EQ(info.status, 404);
  EXPECT_EQ(info.reason, "Not Found");
  EXPECT_EQ(response.Size(), 0);
  EXPECT_EQ(observer.started, std::vector<int>{404});
  EXPECT_TRUE(observer.received.empty());
}

TEST(HttpConnection, BodyGoesOutInPiecesOf64KiB) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", std::to_string(r.body.size())));
  });
  THttpConnection c;
  TMemoryStream body, response;
  body.WriteBytes(std::string(150000, 'b'));
  Recorder observer;
  THttpRequest r = RequestTo(server);
  r.headers = {"Content-Length: 150000"};
  c.Post(r, body, response, &observer);
  EXPECT_EQ(response.View(), "150000");
  EXPECT_EQ(observer.sent, (std::vector<int64_t>{65536, 131072, 150000}));
  EXPECT_EQ(observer.received, std::vector<int64_t>{6});
}

TEST(HttpConnection, ResponseWithoutLengthIsReadUntilClose) {
  TestHttpServer server([](const HttpRequestSeen&, int fd, const auto&) {
    WriteAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end");
    return false;
  });
  THttpConnection c;
  TMemoryStream body, response;
  const THttpResponseInfo info = c.Post(RequestTo(server), body, response);
  EXPECT_EQ(info.contentLength, -1);
  EXPECT_EQ(response.View(), "until the end");
}

// An answer cut off by the server's close is a failure, wherever the cut falls: in the headers
// (which libcurl alone would take for a complete answer with no body) or in the body. The next
// request goes out on a new connection and succeeds.
TEST(HttpConnection, AnAnswerCutOffIsAFailure) {
  std::atomic<int> seen = 0;
  TestHttpServer server([&](const HttpRequestSeen& r, int fd, const auto&) {
    switch (++seen) {
      case 1:
        WriteAll(fd, "HTTP/1.1 200 OK\r\nServer: test\r\nContent-Type: application/bi");
        return false;
      case 2:
        WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf");
        return false;
      default:
        return WriteAll(fd, HttpResponse(200, "OK", r.body));
    }
  });
  THttpConnection c;
  TMemoryStream body, response;
  body.WriteBuffer("hello", 5);
  for (const char* expected :
       {"Connection closed before the end of the response headers", "transfer closed with"}) {
    body.SetPosition(0);
    try {
      c.Post(RequestTo(server), body, response);
      FAIL() << "post returned for " << expected;
    } catch (const EHttpError& e) {
      EXPECT_NE(e.Message().find(expected), std::string::npos) << e.Message();
      EXPECT_TRUE(e.RequestSent());
    }
  }
  body.SetPosition(0);
  response.SetSize(0);
  EXPECT_EQ(c.Post(RequestTo(server), body, response).status, 200);
  EXPECT_EQ(response.View(), "hello");
  EXPECT_EQ(seen, 3);
}

TEST(HttpConnection, StalledServerRunsOutTheIdleTimeOut) {
  TestHttpServer server([](const HttpRequestSeen&, int, const auto& stop) {
    testing::SleepUnlessStopped(stop, 5000);
    return false;
  });
  THttpConnection c;
  TMemoryStream body, response;
  THttpRequest r = RequestTo(server);
  r.idleTimeoutMs = 200;
  const auto start = std::chrono::steady_clock::now();
  try {
    c.Post(r, body, response);
    FAIL() << "post returned";
  } catch (const EHttpError& e) {
    EXPECT_EQ(e.Kind(), THttpFailureKind::TimedOut);
    EXPECT_EQ(e.Message(), "The operation timed out (no data for 200 ms)");
  }
  // A sub-second bound is kept to the millisecond, not rounded up to the next whole second
  // (the slack of 750 ms is for a busy machine).
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(200));
  EXPECT_LT(elapsed, std::chrono::milliseconds(950));
}

// A server that reads a request on a kept connection and closes it without answering may have
// run it: the engine must not send it again on a fresh connection (the call fails instead). A
// request the server did answer (401 during authentication) may still be sent again.
TEST(HttpConnection, ARequestThatMayHaveReachedTheServerIsNeverSentAgain) {
  std::atomic<int> seen = 0;
  TestHttpServer server([&](const HttpRequestSeen& r, int fd, const auto&) {
    if (++seen == 2) return false;  // read the second request, close without a word
    return WriteAll(fd, HttpResponse(200, "OK", r.body + "!"));
  });
  THttpConnection c;
  auto post = [&](const std::string& text) {
    TMemoryStream body, response;
    body.WriteBytes(text);
    THttpRequest r = RequestTo(server);
    r.headers.clear();
    c.Post(r, body, response);
    return std::string(response.View());
  };
  EXPECT_EQ(post("one"), "one!");
  try {
    post("two");
    FAIL() << "the request was sent again";
  } catch (const EHttpError& e) {
    EXPECT_EQ(e.Message(), "Empty reply from server");
  }
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(post("three"), "three!");  // the engine is usable afterwards, on a new connection
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].body, "two");
  EXPECT_EQ(requests[2].body, "three");
  EXPECT_NE(requests[2].connection, requests[1].connection);
}

TEST(HttpConnection, AnAnsweredChallengeIsStillSentAgainWithCredentials) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    if (r.Header("Authorization").empty())
      return WriteAll(
          fd, HttpResponse(401, "Unauthorized", "", "WWW-Authenticate: Basic realm=\"q\"\r\n"));
    return WriteAll(fd, HttpResponse(200, "OK", r.body));
  });
  THttpConnection c;
  TMemoryStream body, response;
  body.WriteBytes("payload");
  THttpRequest r = RequestTo(server);
  r.headers.clear();
  r.username = "user";
  r.password = "secret";
  EXPECT_EQ(c.Post(r, body, response).status, 200);
  EXPECT_EQ(response.View(), "payload");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body, "payload");
}

TEST(HttpConnection, RefusedConnectionAndObserverFailures) {
  THttpConnection c;
  TMemoryStream body, response;
  THttpRequest r;
  {
    TestHttpServer gone([](const HttpRequestSeen&, int, const auto&) { return false; });
    r = RequestTo(gone);
  }  // stopped: the port now refuses
  try {
    c.Post(r, body, response);
    FAIL() << "post returned";
  } catch (const EHttpError& e) {
    EXPECT_EQ(e.Kind(), THttpFailureKind::CouldNotConnect);
    EXPECT_FALSE(e.Message().empty());
  }
  // An exception from an observer leaves Post unchanged, and the connection stays usable.
  TestHttpServer server([](const HttpRequestSeen&, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", "x"));
  });
  struct Throwing : THttpObserver {
    bool ResponseStarted(const THttpResponseInfo&) override {
      throw std::runtime_error("observer says no");
    }
  } throwing;
  EXPECT_THROW(c.Post(RequestTo(server), body, response, &throwing), std::runtime_error);
  EXPECT_EQ(c.Post(RequestTo(server), body, response).status, 200);
}

}  // namespace
}  // namespace qorvin

namespace qorvin {
namespace {

// A stalled answer ends with the cancel as soon as the latch is triggered (before or during the
// wait); once reset, the same connection object serves the next request.
TEST(HttpConnection, ATriggeredLatchEndsAStalledPost) {
  TestHttpServer server([&](const HttpRequestSeen& seen, int fd, const auto& stop) {
    if (seen.body == "stall") {
      // Stall until the client gives up the connection, or for 5 s: a WinInet that ends a
      // blocked call only once its connection's wait ends (Wine's) is released by the close
      // (the failure must still be the cancel's, not the closed connection's).
      testing::WaitReadableUnlessStopped(fd, stop, 5000);
      return false;
    }
    WriteAll(fd, HttpResponse(200, "OK", "fine"));
    return true;
  });
  THttpConnection c;
  TWaitInterrupt latch;
  THttpRequest r = RequestTo(server);
  r.idleTimeoutMs = 600000;
  r.interrupt = &latch;
  TMemoryStream body, response;
  body.WriteBytes("stall");
  std::thread trigger([&] { latch.Trigger(); });
  try {
    c.Post(r, body, response);
    FAIL() << "post returned";
  } catch (const EHttpError& e) {
    EXPECT_EQ(e.Kind(), THttpFailureKind::Cancelled);
    EXPECT_EQ(e.Message(), "The call was cancelled.");
  }
  trigger.join();
  latch.Reset();
  response.SetSize(0);
  body.SetSize(0);
  body.WriteBytes("hello");
  EXPECT_EQ(c.Post(r, body, response).status, 200);
  EXPECT_EQ(std::string(response.View()), "fine");
}

}  // namespace
}  // namespace qorvin
