// How calls use connections, seen from the server's request log (each line names the client's
// address and port), and compressed replies, over each connection letter.
#include <set>

#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

class Connections : public ServerTest {
 protected:
  // The client ports of the log's request lines from `first` on.
  std::vector<int> PortsFrom(size_t first, size_t count) {
    const std::vector<LoggedRequest> lines = server_->WaitForRequests(first + count);
    std::vector<int> ports;
    for (size_t i = first; i < lines.size(); ++i) ports.push_back(lines[i].peerPort);
    return ports;
  }
};

TEST_P(Connections, KeptConnectionCarriesEveryCallAndIsClosedWhenSwitchedOff) {
  module_->SetKeepConnection(true);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Read("select count(*) from Customers"), "2");
  const std::vector<int> kept = PortsFrom(0, 3);
  ASSERT_EQ(kept.size(), 3u);
  if (Letter() == 'T' || Letter() == 'B') {
    EXPECT_TRUE(module_->GetConnected());
  }

  module_->SetKeepConnection(false);
  if (Letter() != 'U') {
    EXPECT_FALSE(module_->GetConnected());
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Read("select count(*) from Orders"), "1");
  const std::vector<int> single = PortsFrom(3, 3);
  ASSERT_EQ(single.size(), 3u);
  if (Letter() == 'T' || Letter() == 'B') {
    EXPECT_FALSE(module_->GetConnected());  // closed after each call
  }

  const std::set<int> keptSet(kept.begin(), kept.end());
  const std::set<int> singleSet(single.begin(), single.end());
  if (Letter() == 'U') {
    // No connections: every datagram leaves from the channel's one socket.
    EXPECT_EQ(keptSet.size(), 1u);
    return;
  }
  EXPECT_EQ(keptSet.size(), 1u) << "one connection for all kept calls";
  EXPECT_EQ(singleSet.size(), 3u) << "a connection of its own for each call";
  EXPECT_EQ(singleSet.count(kept[0]), 0u);
}

// Replies of 4096 bytes and more travel compressed; the module inflates them.
TEST_P(Connections, CompressedRepliesAreInflated) {
  // 100 000 characters that compress to almost nothing: the log shows the wire size, and over
  // UDP the uncompressed reply would not even fit in a datagram.
  Text output;
  int32_t result = 0;
  Text error;
  module_->SynchExecProcOutput("u1", "", "exec BigText 25000", &output, &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 100000);
  std::string expected;
  for (int i = 0; i < 50000; ++i) expected += "ab";
  EXPECT_TRUE(output.str() == expected) << output.str().size() << " characters";
  const LoggedRequest line = server_->WaitForRequests(1).back();
  EXPECT_EQ(line.operation, "SynchExecProcOutput");
  EXPECT_LT(line.bytesOut, 4096);

  // A large read of random text: every row of the compressed reply equals the row read alone.
  Exec(
      "create table Digits (D int)\r"
      "insert into Digits values (0), (1), (2), (3), (4), (5), (6), (7), (8), (9)\r"
      "create table Noise (Id int primary key, T varchar(100))\r"
      "insert into Noise (Id, T) select a.D * 10 + b.D + 1, hex(randomblob(40)) "
      "from Digits a, Digits b");
  QorvinAdoDataSet* all = nullptr;
  module_->SynchReadDataSet("u1", "", "select Id, T from Noise order by Id", &all, &result, &error);
  ASSERT_EQ(error.str(), "");
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(all->RecordCount(), 100);
  EXPECT_GE(server_->WaitForRequests(3).back().bytesOut, 4096);
  int checked = 0;
  for (all->First(); !all->Eof() && checked < 100; all->Next(), ++checked) {
    Text id, text;
    bool isNull = false;
    all->GetValueText(0, &id, &isNull);
    all->GetValueText(1, &text, &isNull);
    EXPECT_EQ(text.str().size(), 80u);
    if (checked % 33 == 0) {
      EXPECT_EQ(Read("select T from Noise where Id = " + id.str()), text.str()) << id.str();
    }
  }
  EXPECT_EQ(checked, 100);
  all->Release();
}

INSTANTIATE_TEST_SUITE_P(Letters, Connections, ::testing::ValuesIn(OnSqlite()), TargetName);

}  // namespace
}  // namespace qorvin::e2e
