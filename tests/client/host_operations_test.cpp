// Every remote operation through the public header, over each connection letter, against a
// scripted server that checks the request and sends a crafted reply.
#include <gtest/gtest.h>

#include <ctime>

#include "tests/client/Blobs.h"
#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"

namespace qorvin::testing {
namespace {

const IRemoteDataModule::Guid kFactoryIID = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

class HostOperations : public ::testing::TestWithParam<char> {
 protected:
  // Sets the reply for the next calls; the last request is kept for checks.
  void SetUp() override {
    server_ = std::make_unique<ScriptedServer>([this](const std::string&) {
      std::lock_guard<std::mutex> lock(mutex_);
      return reply_;
    });
    module_ = HostLibrary::Instance().Create(GetParam(), server_->Port(GetParam()));
    ASSERT_NE(module_, nullptr);
    log_.Install(module_);
    void* f = nullptr;
    ASSERT_EQ(module_->QueryInterface(&kFactoryIID, &f), 0);
    factory_ = static_cast<IQorvinDataSetFactory*>(f);
  }
  void Answer(std::string reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
  }
  WireReader Request() { return WireReader(server_->LastRequest()); }

  // The rows of a packet, read through the host's record-set interface: "1:a;2:b".
  std::string PacketRows(const QorvinDataPacket& packet) {
    QorvinAdoDataSet* ds = factory_->PacketToAdoDataSet(&packet);
    if (ds == nullptr) return "<no dataset>";
    std::string out;
    for (ds->First(); !ds->Eof(); ds->Next()) {
      Text a, b;
      bool null = false;
      ds->GetValueText(0, &a, &null);
      ds->GetValueText(1, &b, &null);
      out += (out.empty() ? "" : ";") + a.str() + ":" + b.str();
    }
    ds->Release();
    return out;
  }

  std::mutex mutex_;
  std::string reply_;
  std::unique_ptr<ScriptedServer> server_;
  IRemoteDataModule* module_ = nullptr;
  IQorvinDataSetFactory* factory_ = nullptr;
  CallbackLog log_;
};

TEST_P(HostOperations, CommandOperationsSendTheirArgumentsInOrder) {
  int32_t result = 0;
  Text error;
  Answer(Reply().Int(7).Bytes());
  module_->SynchExecProc("u1", "", "x", &result, &error);
  EXPECT_EQ(result, 7);
  {
    WireReader r = Request();
    EXPECT_EQ(r.InterfaceName(), "ExecSqlService");
    EXPECT_EQ(r.MessageName(), "SynchExecProc");
    EXPECT_EQ(r.Str(), "u1");
    EXPECT_EQ(r.Str(), "");
    EXPECT_EQ(r.WideAscii(), "x");
    EXPECT_TRUE(r.AtEnd());
  }
  module_->SynchExecProcBatchBuild("u", "hdh", "insert", "proc1", &result, &error);
  {
    WireReader r = Request();
    EXPECT_EQ(r.MessageName(), "SynchExecProcBatchBuild");
    EXPECT_EQ(r.Str(), "u");
    EXPECT_EQ(r.Str(), "hdh");
    EXPECT_EQ(r.WideAscii(), "insert");
    EXPECT_EQ(r.WideAscii(), "proc1");
    EXPECT_TRUE(r.AtEnd());
  }
  Answer(Reply().Int(3).Str("out value").Bytes());
  Text output;
  qorvin_text_assign(&output.t, "old", 3);
  module_->SynchExecProcOutput("u", "s", "exec p", &output, &result, &error);
  EXPECT_EQ(result, 3);
  EXPECT_EQ(output.str(), "out value");
  EXPECT_EQ(Request().MessageName(), "SynchExecProcOutput");
  EXPECT_EQ(error.str(), "");
}

TEST_P(HostOperations, ReadDataHandsBackThePacketOrNullNeverTheCallersOld) {
  const std::string blob = MakeBlob({{1, u"a"}, {2, u"b"}});
  Answer(Reply().Int(1).Binary(&blob).Bytes());
  QorvinDataPacket data{};
  int32_t result = 0;
  Text error;
  module_->SynchReadData("u", "s", "select", &data, &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  ASSERT_EQ(data.kind, kQorvinPacketBytes);
  EXPECT_EQ(PacketRows(data), "1:a;2:b");
  EXPECT_EQ(Request().MessageName(), "SynchReadData");
  const std::string one = MakeBlob({{7, u"x"}});

  // An answer without a record set (an empty blob, none, or a closed set's 8-byte trailer, as
  // after an update) leaves Null: the previous select's rows never pass for the new result.
  const std::string empty;
  const std::string trailer(8, '\0');
  for (const std::string* blob : {&empty, static_cast<const std::string*>(nullptr), &trailer}) {
    Answer(Reply().Int(1).Binary(&one).Bytes());
    module_->SynchReadData("u", "s", "select", &data, &result, &error);
    ASSERT_EQ(PacketRows(data), "7:x");
    Answer(Reply().Int(4).Binary(blob).Bytes());
    module_->SynchReadData("u", "s", "update", &data, &result, &error);
    EXPECT_EQ(result, 4);
    EXPECT_EQ(data.kind, kQorvinPacketNull);
    EXPECT_EQ(data.bytes, nullptr);
    EXPECT_EQ(error.str(), "");
  }
  qorvin_packet_free(&data);
}

TEST_P(HostOperations, ReadTwoDataConvertsEachBlobOnItsOwn) {
  const std::string first = MakeBlob({{1, u"one"}});
  const std::string second = MakeBlob({{2, u"two"}});
  const std::string empty;
  QorvinDataPacket a{}, b{};
  int32_t result = 0;
  Text error;
  Answer(Reply().Int(1).Binary(&empty).Binary(&second).Bytes());
  module_->SynchReadTwoData("u", "s", "q1", &a, "q2", &b, &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(a.kind, kQorvinPacketNull);
  EXPECT_EQ(PacketRows(b), "2:two");  // kept although the first set is empty
  {
    WireReader r = Request();
    EXPECT_EQ(r.MessageName(), "SynchReadTwoData");
    r.Str(), r.Str();
    EXPECT_EQ(r.WideAscii(), "q1");
    EXPECT_EQ(r.WideAscii(), "q2");
    EXPECT_TRUE(r.AtEnd());
  }
  Answer(Reply().Int(1).Binary(&first).Binary(&second).Bytes());
  module_->SynchExecProcReadTwoData("u", "s", "p1", &a, "p2", &b, &result, &error);
  EXPECT_EQ(Request().MessageName(), "SynchExecProcReadTwoData");
  EXPECT_EQ(PacketRows(a), "1:one");
  EXPECT_EQ(PacketRows(b), "2:two");
  // A first set with rows and no second: the second argument no longer shows the old rows.
  Answer(Reply().Int(1).Binary(&second).Binary(nullptr).Bytes());
  module_->SynchExecProcReadTwoData("u", "s", "p1", &a, "p2", &b, &result, &error);
  EXPECT_EQ(PacketRows(a), "2:two");
  EXPECT_EQ(b.kind, kQorvinPacketNull);
  qorvin_packet_free(&a);
  qorvin_packet_free(&b);
}

TEST_P(HostOperations, AConversionFailureAfterTheCallReportsBothStatuses) {
  // A blob whose record-set section is not zlib data.
  std::string bad = "not a zlib stream";
  bad += std::string("\x11\0\0\0\0\0\0\0", 8);
  Answer(Reply().Int(6).Binary(&bad).Bytes());
  QorvinDataPacket data{};
  int32_t result = 0;
  Text error;
  module_->SynchReadData("u", "s", "select", &data, &result, &error);
  EXPECT_EQ(result, 6);  // the server's result stays
  EXPECT_FALSE(error.str().empty());
  EXPECT_EQ(data.kind, kQorvinPacketNull);
  ASSERT_EQ(log_.events.size(), 3u);
  EXPECT_EQ(log_.events[0], "status 1 3");
  EXPECT_EQ(log_.events[1], "error " + error.str() + "|");
  EXPECT_EQ(log_.events[2], "status 0 0");
}

TEST_P(HostOperations, ReadDataSetCreatesAnUnownedRecordSetOrRefillsTheGivenOne) {
  QorvinAdoDataSet* none = nullptr;
  const std::string trailer(8, '\0');
  const std::string one = MakeBlob({{5, u"five"}});
  const std::string two = MakeBlob({{6, u"six"}, {7, u"seven"}});
  Answer(Reply().Int(1).Binary(&one).Bytes());
  QorvinAdoDataSet* ds = nullptr;
  int32_t result = 0;
  Text error;
  module_->SynchReadDataSet("u", "s", "select", &ds, &result, &error);
  ASSERT_NE(ds, nullptr) << error.str();
  EXPECT_EQ(ds->RecordCount(), 1);
  Answer(Reply().Int(1).Binary(&two).Bytes());
  QorvinAdoDataSet* same = ds;
  module_->SynchReadDataSet("u", "s", "select", &ds, &result, &error);
  EXPECT_EQ(ds, same);
  EXPECT_EQ(ds->RecordCount(), 2);
  // An answer without a record set closes the host's record set instead of keeping old rows,
  // and creates none for an empty slot.
  for (const std::string* blob : {static_cast<const std::string*>(nullptr), &trailer}) {
    Answer(Reply().Int(1).Binary(&two).Bytes());
    module_->SynchReadDataSet("u", "s", "select", &ds, &result, &error);
    ASSERT_EQ(ds->RecordCount(), 2);
    Answer(Reply().Int(1).Binary(blob).Bytes());
    module_->SynchReadDataSet("u", "s", "update", &ds, &result, &error);
    EXPECT_EQ(ds, same);
    EXPECT_FALSE(ds->Active());
    EXPECT_EQ(ds->RecordCount(), 0);
    module_->SynchReadDataSet("u", "s", "update", &none, &result, &error);
    EXPECT_EQ(none, nullptr);
  }
  EXPECT_EQ(error.str(), "");
  ds->Release();  // the host's to free
}

TEST_P(HostOperations, ExecProcInsertTableUploadsAndHandsBackOnlyOnResultOne) {
  QorvinDataPacket null{kQorvinPacketNull, nullptr, 0, nullptr};
  QorvinDataPacket out{};
  int32_t count = 41, result = 0;
  Text error;
  qorvin_text_assign(&error.t, "stale", 5);
  const std::string blob = MakeBlob({{9, u"nine"}});
  Answer(Reply("TableProcService").Int(2).Binary(&blob).Int(12).Bytes());
  module_->ExecProcInsertTable("uid", "s", &null, "proc", &out, &count, 100, &result, &error);
  EXPECT_EQ(result, 2);
  EXPECT_EQ(count, 12);
  EXPECT_EQ(error.str(), "");              // emptied at the start
  EXPECT_EQ(out.kind, kQorvinPacketNull);  // result is not 1
  {
    WireReader r = Request();
    EXPECT_EQ(r.InterfaceName(), "TableProcService");
    EXPECT_EQ(r.MessageName(), "ExecProcInsertTable");
    EXPECT_EQ(r.Str(), "uid");
    EXPECT_EQ(r.Str(), "s");
    bool present = false;
    EXPECT_EQ(r.Binary(&present), "");  // a Null packet: an empty blob, still sent
    EXPECT_TRUE(present);
    EXPECT_EQ(r.Str(), "proc");
    EXPECT_EQ(r.Int(), 100);
    EXPECT_TRUE(r.AtEnd());
  }
  Answer(Reply("TableProcService").Int(1).Binary(&blob).Int(3).Bytes());
  module_->ExecProcInsertTable("uid", "s", &null, "proc", &out, &count, 100, &result, &error);
  EXPECT_EQ(PacketRows(out), "9:nine");

  // The packet just received goes back up as the next upload; the answer (result 0) replaces
  // it with Null rather than leaving the earlier rows in the out argument.
  Answer(Reply("TableProcService").Int(0).Binary(&blob).Int(0).Bytes());
  module_->ExecProcInsertTable("uid", "s", &out, "proc", &out, &count, 100, &result, &error);
  WireReader r = Request();
  r.Str(), r.Str();
  const std::string sent = r.Binary();
  EXPECT_GT(sent.size(), 8u);
  EXPECT_EQ(out.kind, kQorvinPacketNull);
  qorvin_packet_free(&out);
}

TEST_P(HostOperations, APacketThatDoesNotLoadFailsBeforeTheServerIsCalled) {
  QorvinDataPacket junk{};
  uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  junk.kind = kQorvinPacketBytes;
  junk.bytes = bytes;
  junk.size = sizeof bytes;
  Answer(Reply("TableProcService").Int(1).Binary(nullptr).Int(0).Bytes());
  QorvinDataPacket out{};
  int32_t count = 5, result = 9;
  Text error;
  module_->ExecProcInsertTable("u", "s", &junk, "proc", &out, &count, 1, &result, &error);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(count, 5);
  EXPECT_NE(error.str().find("not a valid data packet"), std::string::npos) << error.str();
  Text insertError;
  module_->SynchExecSQLInsert("u", "s", "insert", &junk, "t", "ID", &result, &insertError);
  EXPECT_EQ(result, 0);
  EXPECT_NE(insertError.str().find("not a valid data packet"), std::string::npos);
  EXPECT_TRUE(server_->Requests().empty());
  // The factory gives no record set for it either, and says why in the last error text.
  EXPECT_EQ(factory_->PacketToAdoDataSet(&junk), nullptr);
  Text last;
  module_->GetLastErrorText(&last);
  EXPECT_EQ(last.str().rfind("The data packet does not load: ", 0), 0u) << last.str();
  QorvinDataPacket none{};
  EXPECT_EQ(factory_->PacketToAdoDataSet(&none), nullptr);
  // Null and Empty still mean "no rows": an empty blob goes to the server.
  QorvinDataPacket empty{};
  Text emptyError;
  module_->ExecProcInsertTable("u", "s", &empty, "proc", &out, &count, 1, &result, &emptyError);
  EXPECT_EQ(emptyError.str(), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(server_->Requests().size(), 1u);
}

TEST_P(HostOperations, ExecProcInsertTableDataSetSendsATrailerForAClosedSet) {
  QorvinAdoDataSet* closed = factory_->CreateAdoDataSet();
  QorvinAdoDataSet* out = nullptr;
  int32_t count = 0, result = 0;
  Text error;
  const std::string blob = MakeBlob({{1, u"x"}});
  Answer(Reply("TableProcService").Int(1).Binary(&blob).Int(1).Bytes());
  module_->ExecProcInsertTableDataSet("u", "s", closed, "p", &out, &count, 1, &result, &error);
  EXPECT_EQ(error.str(), "");
  WireReader r = Request();
  r.Str(), r.Str();
  EXPECT_EQ(r.Binary(), std::string(8, '\0'));
  ASSERT_NE(out, nullptr);  // a new record set, the host's alone
  EXPECT_EQ(out->RecordCount(), 1);
  // A result other than 1 closes the host's out record set rather than keeping its rows.
  Answer(Reply("TableProcService").Int(2).Binary(&blob).Int(0).Bytes());
  module_->ExecProcInsertTableDataSet("u", "s", closed, "p", &out, &count, 1, &result, &error);
  EXPECT_EQ(result, 2);
  EXPECT_FALSE(out->Active());
  out->Release();
  closed->Release();
}

TEST_P(HostOperations, SynchExecSQLInsertSendsCommandAsWideTextAndNamesAs8Bit) {
  QorvinAdoDataSet* ds = factory_->CreateAdoDataSet();
  ASSERT_TRUE(ds->AddField("ID", 3, 0));
  ASSERT_TRUE(ds->Open());
  ASSERT_TRUE(ds->Append());
  ASSERT_TRUE(ds->SetValueText(0, "42"));
  ASSERT_TRUE(ds->Post());
  QorvinDataPacket packet{};
  ASSERT_TRUE(factory_->AdoDataSetToPacket(ds, &packet));
  ds->Release();
  Answer(Reply().Int(1).Bytes());
  int32_t result = 0;
  Text error;
  qorvin_text_assign(&error.t, "keep", 4);
  module_->SynchExecSQLInsert("u", "s", "insert into t", &packet, "t", "ID", &result, &error);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(error.str(), "keep");
  WireReader r = Request();
  EXPECT_EQ(r.MessageName(), "SynchExecSQLInsert");
  EXPECT_EQ(r.Str(), "u");
  EXPECT_EQ(r.Str(), "s");
  EXPECT_EQ(r.WideAscii(), "insert into t");
  EXPECT_GT(r.Binary().size(), 8u);
  EXPECT_EQ(r.Str(), "t");
  EXPECT_EQ(r.Str(), "ID");
  EXPECT_TRUE(r.AtEnd());
  qorvin_packet_free(&packet);
}

TEST_P(HostOperations, GetDateTimeReadsTheServerClock) {
  Answer(Reply().Double(1.5).Bytes());
  double when = 0;
  EXPECT_TRUE(module_->GetDateTime(&when));
  EXPECT_EQ(when, 1.5);
  EXPECT_EQ(Request().MessageName(), "GetDateTime");
  EXPECT_EQ(log_.events.back(), "status 1 3");
}

INSTANTIATE_TEST_SUITE_P(Letters, HostOperations, ::testing::Values('H', 'T', 'B', 'U'));

TEST(HostOperationsUnreachable, GetDateTimeFallsBackToTheLocalClock) {
  // A port with nobody listening: take a free port and close it again.
  int port = 0;
  {
    TestTcpServer probe([](int, const std::atomic<bool>&) {});
    port = probe.Port();
  }
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', port);
  CallbackLog log;
  log.Install(m);
  double when = 0;
  EXPECT_FALSE(m->GetDateTime(&when));
  const double now = 25569.0 + double(std::time(nullptr)) / 86400.0;
  EXPECT_NEAR(when, now, 1.0);  // local time: within a day of UTC
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_FALSE(last.str().empty());
  EXPECT_EQ(log.events.back(), "status 0 0");
}

}  // namespace
}  // namespace qorvin::testing
