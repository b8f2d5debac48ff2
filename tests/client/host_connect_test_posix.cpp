// SetConnected(true) through the public header: it waits to connect like a call does, so it is
// bracketed like one and Cancel ends that wait. (A full listen queue on loopback is how POSIX
// systems make a connect that never completes.)
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "include/qorvin/QorvinProgress.h"
#include "tests/client/HostLibrary.h"
#include "tests/support/TestSockets.h"

namespace qorvin::testing {
namespace {

constexpr auto kBound = std::chrono::seconds(30);

// SetConnected(true) waits to connect like a call does, and Cancel ends that wait: a listener
// whose queue is full never completes the connection.
TEST(HostExtensions, SetConnectedIsCancellable) {
  const int listener = OpenSocket(AF_INET, SOCK_STREAM);
  ASSERT_GE(listener, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  // Fill the queue: connections that are never accepted.
  std::vector<int> fillers;
  for (int i = 0; i < 8; ++i) {
    const int f = OpenSocket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK);
    ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', ntohs(a.sin_port));
  void* p = nullptr;
  ASSERT_EQ(m->QueryInterface(&kQorvinIID_IQorvinProgress, &p), 0);
  auto* progress = static_cast<IQorvinProgress*>(p);
  m->SetKeepConnection(true);
  auto connect = std::async(std::launch::async, [&] { m->SetConnected(true); });
  // Cancel until it lands on the connect in flight (before that, there is nothing to cancel).
  const auto until = std::chrono::steady_clock::now() + kBound;
  bool cancelled = false;
  while (!cancelled && std::chrono::steady_clock::now() < until) {
    cancelled = progress->Cancel();
    if (!cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(connect.wait_for(kBound), std::future_status::ready);
  EXPECT_FALSE(m->GetConnected());
  for (int f : fillers) CloseSocket(f);
  CloseSocket(listener);
}

}  // namespace
}  // namespace qorvin::testing
