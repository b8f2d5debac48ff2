// http-post.exe: the Windows HTTP engine driven from the command line, for the tests under Wine
// (tests/wine/wine_http_test.cpp). One connection object makes every request, in order:
//
//   http-post.exe [--idle MS] [--connect MS] [--user NAME:PASSWORD] [--cancel-after MS]
//                 [--verify 0|1] URL BODY [URL BODY]...
//
// --cancel-after: the first request's latch is triggered that long after it started (the later
// requests run with the latch reset). --verify 0: server certificates are not verified (what
// the HTTP channel asks for with TrustInvalidCA); by default they are.
//
// BODY is sent as it is, or "size:N" for N bytes 'x'. Each request prints one line:
//   ok status=200 length=6 pieces=1 received=6 reason=OK body=answer
//   error code=12029 kind=4 sent=0 text=The attempt to connect to the server failed.
// (body= only for answers of at most 64 printable bytes; kind is THttpFailureKind's value.)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/http/HttpConnection.h"
#include "platform/socket/WaitInterrupt.h"

namespace {

using namespace qorvin;

struct Counter : THttpObserver {
  int pieces = 0;
  int64_t lastSent = 0;
  bool inOrder = true;
  void BodySent(int64_t soFar, int64_t total) override {
    ++pieces;
    // Counts grow piece by piece; a body sent again (authentication) starts again from its first.
    const bool again = soFar <= lastSent && soFar <= THttpConnection::kPieceSize;
    inOrder = inOrder && (soFar > lastSent || again) && soFar <= total;
    lastSent = soFar;
  }
};

bool Printable(std::string_view text) {
  if (text.size() > 64) return false;
  for (const char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int idleMs = 5000;
  int connectMs = 5000;
  std::string user, password;
  int cancelAfterMs = -1;
  bool verify = true;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    if (std::strcmp(argv[i], "--idle") == 0) idleMs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--connect") == 0) connectMs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--cancel-after") == 0) cancelAfterMs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--verify") == 0) verify = std::atoi(argv[i + 1]) != 0;
    if (std::strcmp(argv[i], "--user") == 0) {
      const std::string both = argv[i + 1];
      user = both.substr(0, both.find(':'));
      password = both.substr(std::min(both.size(), user.size() + 1));
    }
  }
  THttpConnection connection;
  TWaitInterrupt latch;
  for (bool first = true; i + 1 < argc; i += 2, first = false) {
    THttpRequest r;
    r.url = argv[i];
    r.userAgent = "http-post";
    r.headers = {"Content-Type: application/binary", "Accept: application/octet-stream"};
    r.proxyMode = THttpProxyMode::Direct;
    r.verifyPeer = verify;
    r.connectTimeoutMs = connectMs;
    r.idleTimeoutMs = idleMs;
    r.interrupt = &latch;
    latch.Reset();
    std::thread canceller;
    if (first && cancelAfterMs >= 0)
      canceller = std::thread([&latch, cancelAfterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(cancelAfterMs));
        latch.Trigger();
      });
    struct Join {
      std::thread& t;
      ~Join() {
        if (t.joinable()) t.join();
      }
    } join{canceller};
    r.username = user;
    r.password = password;
    std::string text = argv[i + 1];
    if (text.rfind("size:", 0) == 0) text.assign(size_t(std::atoll(text.c_str() + 5)), 'x');
    TMemoryStream body, response;
    body.Write(text.data(), int64_t(text.size()));
    Counter counter;
    try {
      const THttpResponseInfo info = connection.Post(r, body, response, &counter);
      std::printf("ok status=%d length=%lld pieces=%d%s received=%lld reason=%s", info.status,
                  static_cast<long long>(info.contentLength), counter.pieces,
                  counter.inOrder ? "" : " (out of order)", static_cast<long long>(response.Size()),
                  info.reason.c_str());
      if (Printable(response.View()))
        std::printf(" body=%.*s", int(response.Size()), response.View().data());
      std::printf("\n");
    } catch (const EHttpError& e) {
      std::printf("error code=%d kind=%d sent=%d text=%s\n", e.Code(), int(e.Kind()),
                  e.RequestSent() ? 1 : 0, e.Message().c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}
