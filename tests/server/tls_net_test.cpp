// The HTTP transport over TLS (NetServer with a certificate), with throw-away certificates made
// at run time: a client that trusts the authority is served, a client over the connection limit
// is told why inside TLS, and a new certificate reaches new connections while a kept one goes on.
#include <gtest/gtest.h>

#include <sstream>

#include "server/net/NetServer.h"
#include "tests/http/SelfSignedCertificate.h"
#include "tests/server/wire_client.h"

namespace qorvin::server {
namespace {

using qorvin::testing::SelfSignedCertificate;
using namespace testing;

class Echo : public IDispatcher {
 public:
  DispatchReply Dispatch(std::string_view request, const RequestInfo&) override {
    return {"echo:" + std::string(request), false, "echo"};
  }
  DispatchReply Refuse(const std::string& reason, const RequestInfo&) override {
    return {"refused:" + reason, true, "refused"};
  }
};

struct TlsServer {
  explicit TlsServer(const SelfSignedCertificate& pair, int maxConnections = 512) {
    NetOptions o;
    o.httpPort = 0;
    o.tcpPort = -1;
    o.udpPort = -1;
    o.workerThreads = 2;
    o.maxConnections = maxConnections;
    server = std::make_unique<NetServer>(o, dispatcher, log);
    server->SetTlsCertificate(TlsCertificate::Load(pair.Cert(), pair.Key()));
    server->Start();
  }
  std::string Url() const {
    return "https://127.0.0.1:" + std::to_string(server->Ports().http) + "/Bin";
  }
  Echo dispatcher;
  std::ostringstream logText;
  RequestLog log{&logText};
  std::unique_ptr<NetServer> server;
};

TEST(TlsNet, TrustedClientsAreServedAndTheLimitIsToldInsideTls) {
  SelfSignedCertificate pair, other;
  if (!pair.Ok() || !other.Ok()) GTEST_SKIP() << "the openssl command could not make a certificate";
  TlsServer tls(pair, 1);
  ASSERT_TRUE(tls.server->ServesTls());
  HttpClient kept;
  kept.SetAuthority(pair.Cert());
  HttpResult r = kept.Send(tls.Url(), "one");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "echo:one");
  // The kept connection holds the only slot: the next client completes its handshake and is
  // answered with the reason, as a plain HTTP client would be.
  HttpClient second;
  second.SetAuthority(pair.Cert());
  r = second.Send(tls.Url(), "two");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("refused:Too many clients already"), std::string::npos) << r.body;
  // A client trusting another authority gets no answer at all.
  HttpClient stranger;
  stranger.SetAuthority(other.Cert());
  EXPECT_THROW(stranger.Send(tls.Url(), "three"), std::runtime_error);
  // Nor does plain HTTP on the TLS port.
  HttpClient plain;
  std::string url = tls.Url();
  url.replace(0, 5, "http");
  EXPECT_ANY_THROW({
    HttpResult p = plain.Send(url, "four");
    if (p.status != 200) throw std::runtime_error("not served");
  });
  r = kept.Send(tls.Url(), "five");
  EXPECT_EQ(r.body, "echo:five");
  EXPECT_EQ(r.connectsMade, 0);
}

TEST(TlsNet, ANewCertificateReachesNewConnectionsOnly) {
  SelfSignedCertificate first, second;
  if (!first.Ok() || !second.Ok())
    GTEST_SKIP() << "the openssl command could not make a certificate";
  TlsServer tls(first);
  HttpClient kept;
  kept.SetAuthority(first.Cert());
  EXPECT_EQ(kept.Send(tls.Url(), "a").status, 200);

  tls.server->SetTlsCertificate(TlsCertificate::Load(second.Cert(), second.Key()));
  HttpResult r = kept.Send(tls.Url(), "b");  // its connection goes on with the first
  EXPECT_EQ(r.body, "echo:b");
  EXPECT_EQ(r.connectsMade, 0);
  HttpClient late;
  late.SetAuthority(first.Cert());
  EXPECT_THROW(late.Send(tls.Url(), "c"), std::runtime_error);
  HttpClient renewed;
  renewed.SetAuthority(second.Cert());
  EXPECT_EQ(renewed.Send(tls.Url(), "d").body, "echo:d");

  // Whether HTTP is TLS is settled at the start.
  EXPECT_THROW(tls.server->SetTlsCertificate(nullptr), std::logic_error);
  // A pair that does not belong together is refused whole, naming the key's file.
  try {
    TlsCertificate::Load(first.Cert(), second.Key());
    ADD_FAILURE() << "a key of another certificate was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(second.Key()), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find("PRIVATE KEY"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace qorvin::server
