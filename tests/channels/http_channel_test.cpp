// The HTTP channel against a loopback HTTP server that answers properly or misbehaves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "channels/uROWinInetHttpChannel.h"
#include "platform/socket/SocketErrors.h"
#include "platform/socket/TcpClient.h"
#include "tests/http/TestHttpServer.h"
#include "tests/support/TestSockets.h"

namespace qorvin {
namespace {

using testing::HttpRequestSeen;
using testing::HttpResponse;
using testing::TestHttpServer;
using testing::WriteAll;

std::string Text(TStream& s) {
  std::string bytes(size_t(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(bytes.data(), s.Size());
  return bytes;
}

TestHttpServer::Handler Echo() {
  return [](const HttpRequestSeen& r, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", "re:" + r.body));
  };
}

void UseServer(TROWinInetHTTPChannel& c, const TestHttpServer& s) {
  c.SetTargetURL(s.Url("/Bin"));
  c.SetTimeout(60000);  // generous: answers never time out on a busy machine
  c.SetAccessType(atDirect);
}

TEST(HttpChannel, DefaultsAndTargetUrlParts) {
  TROWinInetHTTPChannel c(nullptr, "Http");
  EXPECT_EQ(c.UserAgent(), "Larkspan SDK");
  EXPECT_EQ(c.Timeout(), 600000);
  EXPECT_FALSE(c.KeepConnection());
  EXPECT_FALSE(c.Connected());
  EXPECT_TRUE(c.AttemptToConnect());
  EXPECT_EQ(c.AccessType(), atPreconfig);
  EXPECT_FALSE(c.TrustInvalidCA());
  EXPECT_FALSE(c.SuppressErrorDialogs());
  EXPECT_EQ(c.AsWebTransport(), static_cast<IROWebTransport*>(&c));
  try {
    c.CheckProperties();
    FAIL() << "empty URL accepted";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Http.TargetURL must be set.");
  }
  c.SetTargetURL("http://server.example:8099/Bin");
  EXPECT_EQ(c.Scheme(), "http");
  EXPECT_EQ(c.HostName(), "server.example");
  EXPECT_EQ(c.UrlPort(), 8099);
  EXPECT_EQ(c.UrlPath(), "/Bin");
  c.SetTargetURL("https://secure.example/");
  EXPECT_EQ(c.UrlPort(), 443);
  for (const char* bad : {"ftp://server/x", "not a url"}) {
    try {
      c.SetTargetURL(bad);
      FAIL() << bad << " accepted";
    } catch (const EROException& e) {
      EXPECT_EQ(e.Message(), "Invalid URL format");
    }
    EXPECT_EQ(c.TargetURL(), bad);  // the text stays stored
  }
  c.SetTargetURL("");
  EXPECT_EQ(c.HostName(), "");
  EXPECT_EQ(c.UrlPort(), 0);
}

TEST(HttpChannel, PostCarriesThePendingHeadersOnceAndClosesAfterwards) {
  TestHttpServer server(Echo());
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  IROWebTransport* web = c.AsWebTransport();
  web->SetHeaders("Content-Type", "application/binary");
  web->SetHeaders("X-Ignored", "");  // an empty value is ignored
  web->SetUserAgent("Larkspan SDK");
  EXPECT_EQ(web->GetHeaders("Content-Type"), "");  // write-only
  EXPECT_EQ(c.PendingHeaders(), "Content-Type: application/binary");
  TMemoryStream request, response;
  request.WriteBytes("RO107 body");
  c.Dispatch(request, response);
  EXPECT_EQ(Text(response), "re:RO107 body");
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.PendingHeaders(), "");
  c.Dispatch(request, response);
  const auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].path, "/Bin");
  EXPECT_EQ(seen[0].Header("Content-Type"), "application/binary");
  EXPECT_EQ(seen[0].Header("Content-Length"), "10");
  EXPECT_EQ(seen[0].Header("User-Agent"), "Larkspan SDK");
  EXPECT_EQ(seen[0].Header("Accept"), "application/octet-stream");
  EXPECT_EQ(seen[0].Count("X-Ignored"), 0);
  EXPECT_EQ(seen[1].Count("Content-Type"), 0);  // the lines went with the first request only
#ifndef _WIN32
  // Closed handles close the connection. (WinInet keeps the TCP connections of the whole process
  // in a pool of its own, beyond the handles the channel closes.)
  EXPECT_EQ(server.Connections(), 2);
#endif
}

TEST(HttpChannel, KeepConnectionKeepsOneConnection) {
  TestHttpServer server(Echo());
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  c.SetKeepConnection(true);
  for (int i = 0; i < 3; ++i) {
    TMemoryStream request, response;
    request.WriteBytes(std::to_string(i));
    c.Dispatch(request, response);
    EXPECT_EQ(Text(response), "re:" + std::to_string(i));
  }
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(server.Connections(), 1);
  try {
    c.SetAccessType(atProxy);
    FAIL() << "changed while connected";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), ": you can't change AccessType in connected state");
  }
  c.SetConnected(false);
  c.SetAccessType(atProxy);
  EXPECT_EQ(c.AccessType(), atProxy);
}

TEST(HttpChannel, StatusHandling) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    if (r.body == "404") return WriteAll(fd, HttpResponse(404, "Not Found", "<html/>"));
    if (r.body == "418") return WriteAll(fd, "HTTP/1.1 418 \r\nContent-Length: 0\r\n\r\n");
    if (r.body == "502") return WriteAll(fd, "HTTP/1.1 502\r\nContent-Length: 0\r\n\r\n");
    return WriteAll(fd, HttpResponse(500, "Internal Server Error", "exception message"));
  });
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  c.SetKeepConnection(true);
  const std::pair<const char*, const char*> failures[] = {
      {"404", "Not Found (404)"}, {"418", "HTTP Error (418)"}, {"502", "Bad Gateway (502)"}};
  for (const auto& [body, text] : failures) {
    TMemoryStream request, response;
    request.WriteBytes(body);
    try {
      c.Dispatch(request, response);
      FAIL() << body << " accepted";
    } catch (const EROException& e) {
      EXPECT_EQ(e.Message(), text);
    }
    EXPECT_EQ(response.Size(), 0);
    EXPECT_TRUE(c.Connected());  // kept, even after a failure
  }
  TMemoryStream request, response;
  request.WriteBytes("500");
  c.Dispatch(request, response);  // read like a success: the body is the server's exception
  EXPECT_EQ(Text(response), "exception message");
}

TEST(HttpChannel, ProgressInBothDirections) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    return WriteAll(fd, HttpResponse(200, "OK", std::string(r.body.size() / 2, 'r')));
  });
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  std::vector<std::string> events;
  c.OnProgress = [&](TROTransportChannel*, TProgressType t, TProgressDirection d, int32_t done,
                     int32_t total) {
    const char* types[] = {"?", "start", "progress", "done"};
    if (d == pdReceiving && t == ptInProgress) return;  // piece sizes are the server's business
    events.push_back(std::string(d == pdSending ? "send " : "recv ") + types[t] + " " +
                     std::to_string(done) + "/" + std::to_string(total));
  };
  TMemoryStream request, response;
  request.WriteBytes(std::string(150000, 'q'));
  c.Dispatch(request, response);
  EXPECT_EQ(response.Size(), 75000);
  EXPECT_EQ(events, (std::vector<std::string>{"send start 0/150000", "send progress 65536/150000",
                                              "send progress 131072/150000",
                                              "send progress 150000/150000", "send done 0/150000",
                                              "recv start 0/75000", "recv done 0/0"}));
}

TEST(HttpChannel, FailuresCloseTheConnectionAndForgetThePendingHeaders) {
  TROWinInetHTTPChannel c;
  {
    TestHttpServer gone(Echo());
    UseServer(c, gone);
  }
  c.SetContentType("application/binary");
  TMemoryStream request, response;
  EXPECT_THROW(c.Dispatch(request, response), EROException);
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.PendingHeaders(), "");

  TestHttpServer stalling([](const HttpRequestSeen&, int, const auto& stop) {
    testing::SleepUnlessStopped(stop, 120000);
    return false;
  });
  UseServer(c, stalling);
  c.SetTimeout(200);
  const auto start = std::chrono::steady_clock::now();
  try {
    c.Dispatch(request, response);
    FAIL() << "stalled server answered";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "The operation timed out (no data for 200 ms)");
  }
  // Ended by the time-out, not by the server (which stalls for two minutes).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_FALSE(c.Busy());
}

// A kept connection that the server closes after reading a request, without answering: the
// server may have run it, so the dispatch fails and the request is not sent again.
TEST(HttpChannel, AKeptConnectionNeverCarriesARequestTwice) {
  std::atomic<int> seen = 0;
  TestHttpServer server([&](const HttpRequestSeen& r, int fd, const auto&) {
    if (++seen == 2) return false;
    return WriteAll(fd, HttpResponse(200, "OK", "re:" + r.body));
  });
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  c.SetKeepConnection(true);
  auto dispatch = [&](const std::string& body) {
    TMemoryStream request, response;
    request.WriteBytes(body);
    c.Dispatch(request, response);
    return Text(response);
  };
  EXPECT_EQ(dispatch("1"), "re:1");
  try {
    dispatch("2");
    FAIL() << "the request was answered";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Empty reply from server");
  }
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(dispatch("3"), "re:3");
  EXPECT_EQ(server.Requests().size(), 3u);
}

// Header lines set for a request whose address check fails go with it, not with the next one.
TEST(HttpChannel, AFailedAddressCheckLeavesNoHeaderLinesBehind) {
  TestHttpServer server(Echo());
  TROWinInetHTTPChannel c(nullptr, "Http");
  c.SetContentType("application/binary");
  TMemoryStream request, response;
  try {
    c.Dispatch(request, response);
    FAIL() << "dispatched without an address";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Http.TargetURL must be set.");
  }
  EXPECT_EQ(c.PendingHeaders(), "");
  UseServer(c, server);
  c.SetContentType("application/binary");
  c.Dispatch(request, response);
  const auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Count("Content-Type"), 1);
}

// Connecting has its own bound: a server that never completes the connection costs
// ConnectTimeout, not Timeout. (A listener whose accept queue is full drops connection requests.)
TEST(HttpChannel, ConnectingHasItsOwnBound) {
  const int fd = testing::OpenSocket(AF_INET, SOCK_STREAM);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 0), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  TTcpClient fill[4];
  bool full = false;
  for (auto& f : fill) {
    try {
      f.Connect("127.0.0.1", port, 150);
    } catch (const EIdConnectTimeout&) {
      full = true;
      break;
    }
  }
  ASSERT_TRUE(full);
  TROWinInetHTTPChannel c;
  EXPECT_EQ(c.ConnectTimeout(), 30000);
  c.SetTargetURL("http://127.0.0.1:" + std::to_string(port) + "/Bin");
  c.SetAccessType(atDirect);
  c.SetTimeout(20000);
  c.SetConnectTimeout(300);
  TMemoryStream request, response;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(c.Dispatch(request, response), EROException);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10000));
  testing::CloseSocket(fd);
}

TEST(HttpChannel, CredentialDialogCanSendTheRequestAgain) {
  TestHttpServer server([](const HttpRequestSeen& r, int fd, const auto&) {
    if (r.Header("Authorization").empty())
      return WriteAll(
          fd, HttpResponse(401, "Unauthorized", "", "WWW-Authenticate: Basic realm=\"q\"\r\n"));
    return WriteAll(fd, HttpResponse(200, "OK", "welcome " + r.Header("Authorization")));
  });
  TROWinInetHTTPChannel c;
  UseServer(c, server);
  TMemoryStream request, response;
  // No dialog: the 401 fails the dispatch.
  EXPECT_THROW(c.Dispatch(request, response), EROException);
  int asked = 0;
  SetErrorDialogHook([&](TROWinInetHTTPChannel& ch, uint32_t code, int status) {
    ++asked;
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(status, 401);
    ch.Login().Username = "user";
    ch.Login().Password = "pw";
    return kErrorInternetForceRetry;
  });
  c.Dispatch(request, response);
  SetErrorDialogHook(nullptr);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(Text(response), "welcome Basic dXNlcjpwdw==");
  // Suppressed dialogs are not asked; the 401 is the answer.
  c.Login().Username.clear();
  c.SetSuppressErrorDialogs(true);
  try {
    c.Dispatch(request, response);
    FAIL() << "401 accepted";
  } catch (const EROException& e) {
    EXPECT_EQ(e.Message(), "Unauthorized (401)");
  }
}

TEST(HttpChannel, LocatorsAndAssign) {
  TROWinInetHTTPChannel c;
  TROServerLocator* l = c.ServerLocators().Add();
  l->SetHost("HTTPS://Secure.Example:9443/Bin");
  c.AssignServerLocator(l, nullptr);
  EXPECT_EQ(c.TargetURL(), "HTTPS://Secure.Example:9443/Bin");
  EXPECT_EQ(c.Scheme(), "https");
  l->SetHost("server");
  l->SetPort(8099);
  l->SetHTTPDispatcher("bin");
  c.AssignServerLocator(l, nullptr);
  EXPECT_EQ(c.TargetURL(), "http://server:8099/bin");

  TROWinInetHTTPChannel d;
  c.SetKeepConnection(true);
  c.SetTimeout(1234);
  c.SetConnectTimeout(4321);
  c.SetTrustInvalidCA(true);
  c.SetUserAgent("QorvinClient");
  c.Login().Username = "u";
  d.Assign(c);
  EXPECT_EQ(d.TargetURL(), "http://server:8099/bin");
  EXPECT_TRUE(d.KeepConnection());
  EXPECT_EQ(d.Timeout(), 1234);
  EXPECT_EQ(d.ConnectTimeout(), 4321);
  EXPECT_TRUE(d.TrustInvalidCA());
  EXPECT_EQ(d.UserAgent(), "QorvinClient");
  EXPECT_EQ(d.Login().Username, "u");
  EXPECT_FALSE(d.Connected());
}

}  // namespace
}  // namespace qorvin
