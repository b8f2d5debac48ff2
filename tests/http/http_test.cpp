#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/http/HttpConnection.h"
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
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
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
