// A server listening on several addresses (--bind given twice): 127.0.0.1 and ::1 each serve a
// real call over TCP frames, HTTP and UDP, on the one port per transport that its listening line
// names. (A second address that cannot be bound: tests/server.)
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

// Whether this machine has an IPv6 loopback (a socket binds to ::1).
bool HasIpv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 at{};
  at.sin6_family = AF_INET6;
  at.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
  ::close(fd);
  return ok;
}

TEST(BindAddresses, EveryAddressServesEveryTransport) {
  Workspace work;
  std::vector<std::string> hosts = {"127.0.0.1"};
  if (HasIpv6Loopback()) hosts.push_back("::1");
  ServerOptions o = work.SampleServer();
  for (const std::string& host : hosts) o.extra.insert(o.extra.end(), {"--bind", host});
  std::string error;
  auto server = ServerProcess::Start(o, error);
  ASSERT_NE(server, nullptr) << error;
  for (const std::string& host : hosts) {
    for (char letter : {'T', 'H', 'U'}) {
      SCOPED_TRACE(host + " over " + letter);
      std::string failure;
      IRemoteDataModule* m =
          HostLibrary::Instance().Create(letter, server->Port(letter), &failure, host.c_str());
      ASSERT_NE(m, nullptr) << failure;
      QorvinDataPacket data{};
      int32_t result = 0;
      Text failureText;
      m->SynchReadData("e2e", "", "select Name from Customers where Id = 1", &data, &result,
                       &failureText);
      EXPECT_EQ(failureText.str(), "");
      EXPECT_EQ(Rows(FactoryOf(m), data), "Ada Lovelace");
      qorvin_packet_free(&data);
    }
  }
  const std::string log = server->LogText();
  EXPECT_EQ(server->Stop(), 0) << log;
  if (hosts.size() < 2) GTEST_SKIP() << "no IPv6 loopback here: only 127.0.0.1 was checked";
}

}  // namespace
}  // namespace qorvin::e2e
