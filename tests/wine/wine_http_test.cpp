// The Windows HTTP engine (WinInet), driven by http-post.exe under Wine, against scripted HTTP
// servers on this machine: what goes out, what a kept connection carries, and how each kind of
// broken answer fails. One run of the program makes several requests with one connection object.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/http/TestHttpServer.h"
#include "tests/wine/WineCli.h"

namespace qorvin::wine {
namespace {

using qorvin::testing::HttpRequestSeen;
using qorvin::testing::HttpResponse;
using qorvin::testing::TestHttpServer;
using qorvin::testing::WriteAll;

TEST(WindowsHttpEngine, PostsGoOverOneKeptConnectionWithTheCallersHeaders) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", std::string(r.body.rbegin(), r.body.rend())));
  });
  const ProgramRun run =
      WindowsProgram("QORVIN_WINDOWS_HTTP_POST",
                     {server.Url(), "one", server.Url(), "size:200000", server.Url(), "three"});
  ASSERT_EQ(run.status, 0) << run.err;
  // The body goes in pieces of at most 64 KiB, counted in order; the answer comes back whole.
  EXPECT_EQ(OutputLines(run),
            (std::vector<std::string>{
                "ok status=200 length=3 pieces=1 received=3 reason=OK body=eno",
                "ok status=200 length=200000 pieces=4 received=200000 reason=OK",
                "ok status=200 length=5 pieces=1 received=5 reason=OK body=eerht"}));
  const std::vector<HttpRequestSeen> seen = server.Requests();
  ASSERT_EQ(seen.size(), 3u);
  for (const HttpRequestSeen& r : seen) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/Bin");
    EXPECT_EQ(r.connection, 1);  // kept
    EXPECT_EQ(r.Header("Content-Type"), "application/binary");
    EXPECT_EQ(r.Header("Accept"), "application/octet-stream");
    EXPECT_EQ(r.Header("User-Agent"), "http-post");
    EXPECT_EQ(r.Count("Content-Length"), 1);
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
  }
  EXPECT_EQ(seen[1].body, std::string(200000, 'x'));
}

TEST(WindowsHttpEngine, BrokenAnswersFailWithTheirOwnTextAndTheConnectionRecovers) {
  TestHttpServer closing([](const HttpRequestSeen&, int, const auto&) { return false; });
  TestHttpServer cutHeaders([](const HttpRequestSeen&, int fd, const auto&) {
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/binary\r\n");
    return false;
  });
  TestHttpServer cutBody([](const HttpRequestSeen&, int fd, const auto&) {
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc");
    return false;
  });
  TestHttpServer stalling([](const HttpRequestSeen&, int, const auto& stop) {
    qorvin::testing::SleepUnlessStopped(stop, 10000);
    return false;
  });
  TestHttpServer missing([](const HttpRequestSeen&, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(404, "Not Found", "gone"));
  });
  TestHttpServer good([](const HttpRequestSeen& r, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", r.body));
  });
  std::string refused;
  {
    TestHttpServer gone([](const HttpRequestSeen&, int, const auto&) { return false; });
    refused = gone.Url();
  }  // stopped: the port now refuses
  const ProgramRun run =
      WindowsProgram("QORVIN_WINDOWS_HTTP_POST",
                     {"--idle", "700", closing.Url(), "a", cutHeaders.Url(), "b", cutBody.Url(),
                      "c", stalling.Url(), "d", missing.Url(), "e", refused, "f", good.Url(), "g"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = OutputLines(run);
  ASSERT_EQ(lines.size(), 7u) << run.out;
  // Kinds: 0 other, 1 timed out, 4 could not connect. Each failure after the request went out
  // says so (sent=1), so the channel never sends it to another server.
  EXPECT_EQ(lines[0].substr(lines[0].find(" kind")), " kind=0 sent=1 text=Empty reply from server");
  EXPECT_EQ(lines[1].substr(lines[1].find(" kind")),
            " kind=0 sent=1 text=Connection closed before the end of the response headers");
  EXPECT_EQ(lines[2].substr(lines[2].find(" kind")),
            " kind=0 sent=1 text=transfer closed with 97 bytes remaining to read");
  EXPECT_EQ(lines[3].substr(lines[3].find(" kind")),
            " kind=1 sent=1 text=The operation timed out (no data for 700 ms)");
  EXPECT_EQ(lines[4], "ok status=404 length=4 pieces=1 received=4 reason=Not Found body=gone");
  EXPECT_EQ(lines[5].rfind("error code=12029 kind=4 sent=0 text=", 0), 0u) << lines[5];
  EXPECT_EQ(lines[6], "ok status=200 length=1 pieces=1 received=1 reason=OK body=g");
  for (const TestHttpServer* s : {&closing, &cutHeaders, &cutBody, &stalling, &missing, &good})
    EXPECT_EQ(s->Requests().size(), 1u);
}

// A server that reads a request on a kept connection and closes it without answering may have
// run it: the request is not sent again on a fresh connection. A request the server answered
// with an authentication challenge is sent again, with the credentials.
TEST(WindowsHttpEngine, OnlyAnAnsweredRequestIsSentAgain) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    if (r.body == "two") return false;  // read it, close without a word
    if (r.Header("Authorization").empty())
      return WriteAll(
          fd, HttpResponse(401, "Unauthorized", "", "WWW-Authenticate: Basic realm=\"q\"\r\n"));
    return WriteAll(fd, HttpResponse(200, "OK", r.body + "!"));
  });
  const ProgramRun run = WindowsProgram(
      "QORVIN_WINDOWS_HTTP_POST",
      {"--user", "user:secret", server.Url(), "one", server.Url(), "two", server.Url(), "three"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = OutputLines(run);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  // "one" went out again with the credentials once the server asked for them (its one piece
  // twice), and so did "three" on its new connection.
  EXPECT_EQ(lines[0], "ok status=200 length=4 pieces=2 received=4 reason=OK body=one!");
  EXPECT_EQ(lines[1].substr(lines[1].find(" kind")), " kind=0 sent=1 text=Empty reply from server");
  EXPECT_EQ(lines[2], "ok status=200 length=6 pieces=2 received=6 reason=OK body=three!");
  // "two" went out once; "three" came after it on another connection.
  std::vector<std::string> seen;
  for (const HttpRequestSeen& r : server.Requests())
    seen.push_back(r.body + " on " + std::to_string(r.connection) + " " +
                   r.Header("Authorization"));
  EXPECT_EQ(seen,
            (std::vector<std::string>{"one on 1 ", "one on 1 Basic dXNlcjpzZWNyZXQ=", "two on 1 ",
                                      "three on 2 ", "three on 2 Basic dXNlcjpzZWNyZXQ="}));
}

// A triggered latch ends a request that waits for a silent server with the cancelled failure,
// not the idle bound's, and the next request runs. (How soon: WinInet ends the blocked call when
// its handle is closed; Wine's does so only once the connection's own wait ends, here when the
// server gives up after 3 s.)
TEST(WindowsHttpEngine, ACancelledRequestFailsAsCancelledAndTheNextOneRuns) {
  TestHttpServer silent([](const HttpRequestSeen&, int, const auto& stop) {
    qorvin::testing::SleepUnlessStopped(stop, 3000);
    return false;
  });
  TestHttpServer good([](const HttpRequestSeen& r, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", r.body));
  });
  const auto started = std::chrono::steady_clock::now();
  const ProgramRun run = WindowsProgram(
      "QORVIN_WINDOWS_HTTP_POST",
      {"--idle", "60000", "--cancel-after", "300", silent.Url(), "a", good.Url(), "b"});
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = OutputLines(run);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  // Kind 5: cancelled (sent or not, depending on how far the request got).
  EXPECT_EQ(lines[0].rfind("error code=12017 kind=5 sent=", 0), 0u) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].find(" text=")), " text=The call was cancelled.");
  EXPECT_EQ(lines[1], "ok status=200 length=1 pieces=1 received=1 reason=OK body=b");
}

}  // namespace
}  // namespace qorvin::wine
