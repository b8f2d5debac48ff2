// Every method of the remote data module over each connection letter against qorvin-server on
// an in-memory SQLite database holding the sample schema: the values come from the database,
// and what a command changes is what a later read sees.
#include <cmath>

#include "tests/e2e/E2eSupport.h"

namespace qorvin::e2e {
namespace {

constexpr int32_t kFtDateTime = 11;

class Operations : public ServerTest {};

TEST_P(Operations, ReadsBringBackTheRowsAndTypesOfTheDatabase) {
  QorvinDataPacket data{};
  int32_t result = 0;
  Text error;
  module_->SynchReadData("u1", "hdh", "select Id, Name, City, Credit from Customers order by Id",
                         &data, &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Rows(factory_, data), "1|Ada Lovelace|London|1200.5;2|Blaise Pascal|Paris|800");
  QorvinAdoDataSet* asSet = factory_->PacketToAdoDataSet(&data);
  ASSERT_NE(asSet, nullptr);
  // Field types: 3 ftInteger, 6 ftFloat, 24 ftWideString. PostgreSQL folds the bare column
  // names to lower case.
  EXPECT_EQ(Fields(asSet), std::string(Postgres() ? "id:3,name:24,city:24,credit:6"
                                                  : "Id:3,Name:24,City:24,Credit:6"));
  asSet->Release();
  EXPECT_EQ(log_.events, std::vector<std::string>{"status 1 3"});

  // A result set without rows is still a result set; a batch without one leaves Null, never the
  // previous rows.
  module_->SynchReadData("u1", "", "select Id from Customers where Id < 0", &data, &result, &error);
  EXPECT_EQ(Rows(factory_, data), "");
  module_->SynchReadData("u1", "", "update Customers set City = City where 1 = 0", &data, &result,
                         &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(data.kind, kQorvinPacketNull);
  qorvin_packet_free(&data);

  // Read into a new record set (the host's from then on), then into one the host passes.
  QorvinAdoDataSet* ds = nullptr;
  module_->SynchReadDataSet("u1", "", "select Id, CustomerId, OrderedAt, Amount from Orders", &ds,
                            &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(ds->RecordCount(), 1);
  EXPECT_EQ(ds->FieldType(2), kFtDateTime);
  EXPECT_EQ(Rows(ds), "100|1|2024-03-01 10:30:00|250.75");
  QorvinAdoDataSet* const given = ds;
  module_->SynchReadDataSet("u1", "", "select Name from Customers where Id = 2", &ds, &result,
                            &error);
  EXPECT_EQ(ds, given);
  EXPECT_EQ(Rows(ds), "Blaise Pascal");
  ds->Release();
}

TEST_P(Operations, CommandsChangeRowsThatLaterReadsSee) {
  int32_t result = 0;
  Text error;
  module_->SynchExecSQL("u1", "", "update Customers set City = 'Rome' where Id = 2", &result,
                        &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  // Non-ASCII text crosses as UTF-16 and comes back unchanged; CR alone separates statements.
  module_->SynchExecSQL("u1", "",
                        "insert into Customers (Id, Name, City) values (7, 'Émilie du Châtelet', "
                        "'東京')\rdelete from Customers where Id = 1 and 1 = 0",
                        &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(
      Read("select Id, Name, City, Credit from Customers order by Id"),
      "1|Ada Lovelace|London|1200.5;2|Blaise Pascal|Rome|800;7|Émilie du Châtelet|東京|<null>");

  // A procedure's RETURN value is the result: 1 recorded, 0 for an unknown customer.
  module_->SynchExecProc("u1", "", "exec AddOrder 101, 2, 9.5", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  module_->SynchExecProc("u1", "", "exec AddOrder @Id = 102, @CustomerId = 99, @Amount = 1",
                         &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 0);
  // A batch that calls no procedure gives 1.
  module_->SynchExecProc("u1", "", "delete from Orders where Id = 100", &result, &error);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Read("select Id, CustomerId, Amount from Orders order by Id"), "101|2|9.5");
  // The order took the server's time.
  const std::string stamped = Read("select OrderedAt from Orders where Id = 101");
  EXPECT_NEAR(DaysOf(stamped), LocalNowDays(), 60.0 / 86400) << stamped;
}

TEST_P(Operations, ProcedureOutputParameterAndReturnValue) {
  int32_t result = 0;
  Text error;
  Text output;
  qorvin_text_assign(&output.t, "stale", 5);
  module_->SynchExecProcOutput("u1", "", "exec AddCustomer 3, 'Émilie', 'Cirey'", &output, &result,
                               &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(output.str(), "3");
  // The same id again: not added, the count is unchanged.
  module_->SynchExecProcOutput("u1", "", "exec AddCustomer @Id = 3, @Name = 'again'", &output,
                               &result, &error);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(output.str(), "3");
  module_->SynchExecProcOutput("u1", "", "exec CustomerCount", &output, &result, &error);
  EXPECT_EQ(result, 3);
  EXPECT_EQ(output.str(), "3");
  EXPECT_EQ(Read("select Name, City, Credit from Customers where Id = 3"), "Émilie|Cirey|0");
  // A procedure without an output parameter leaves the text empty.
  module_->SynchExecProcOutput("u1", "", "exec AddOrder 110, 3, 1.25", &output, &result, &error);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(output.str(), "");
}

TEST_P(Operations, ReadTwoAndExecProcReadTwo) {
  QorvinDataPacket a{}, b{};
  int32_t result = 0;
  Text error;
  module_->SynchReadTwoData("u1", "", "select Name from Customers order by Id", &a,
                            "select Id, Amount from Orders", &b, &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Rows(factory_, a), "Ada Lovelace;Blaise Pascal");
  EXPECT_EQ(Rows(factory_, b), "100|250.75");

  // Two procedure calls with result sets; customer 2 has no orders (an empty first set, a NULL
  // total).
  module_->SynchExecProcReadTwoData("u1", "", "exec OrdersOf 1", &a, "exec OrdersOf 2", &b, &result,
                                    &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 0);  // OrdersOf ends without RETURN
  EXPECT_EQ(Rows(factory_, a), "100|2024-03-01 10:30:00|250.75");
  EXPECT_EQ(Rows(factory_, b), "");

  // One transaction: the second command fails, so the first one's insert is undone.
  module_->SynchExecProcReadTwoData("u1", "", "exec AddOrder 120, 1, 5", &a,
                                    "select * from NoSuchTable", &b, &result, &error);
  EXPECT_NE(error.str(), "");
  EXPECT_EQ(Read("select count(*) from Orders where Id = 120"), "0");
  qorvin_packet_free(&a);
  qorvin_packet_free(&b);
}

TEST_P(Operations, BatchBuildCallsTheProcedureOncePerRow) {
  int32_t result = 0;
  Text error;
  module_->SynchExecProcBatchBuild(
      "u1", "",
      "select 104 as Id, 1 as CustomerId, 3.5 as Amount union all select 105, 2, 4.5 "
      "union all select 106, 99, 1",
      "AddOrder", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 3);
  // The call for the unknown customer returned 0 and inserted nothing.
  EXPECT_EQ(Read("select Id, CustomerId, Amount from Orders where Id > 100 order by Id"),
            "104|1|3.5;105|2|4.5");
}

TEST_P(Operations, TableUploadsCountTheirSuccesses) {
  const std::vector<std::string> fields = {"Id:3:0", "Name:24:50", "City:24:50", "Credit:6:0"};
  const std::vector<std::vector<std::string>> rows = {
      {"3", "Émilie du Châtelet", "Paris", "300.25"},
      {"4", "Alan Turing", "<null>", "0"},
      {"1", "Ada again", "London", "1"}};
  QorvinDataPacket upload = MakePacket(factory_, fields, rows);
  ASSERT_EQ(upload.kind, kQorvinPacketBytes);
  QorvinDataPacket out{};
  int32_t successes = -1, result = 0;
  Text error;
  module_->ExecProcInsertTable("u1", "", &upload, "AddCustomer", &out, &successes, 1, &result,
                               &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(successes, 2);  // the third id is taken: AddCustomer returns 0 for it
  EXPECT_EQ(Rows(factory_, out), "1|1|;2|1|;3|0|");
  EXPECT_EQ(Read("select Id, Name, City from Customers order by Id"),
            "1|Ada Lovelace|London;2|Blaise Pascal|Paris;3|Émilie du Châtelet|Paris;"
            "4|Alan Turing|<null>");
  qorvin_packet_free(&upload);

  // The same through a record set; a failing row does not undo the others.
  QorvinAdoDataSet* ds =
      MakeRecordSet(factory_, {"Id:3:0", "CustomerId:3:0", "Amount:6:0"},
                    {{"200", "3", "10"}, {"201", "99", "11"}, {"202", "4", "<null>"}});
  ASSERT_NE(ds, nullptr);
  QorvinAdoDataSet* outSet = nullptr;
  module_->ExecProcInsertTableDataSet("u1", "", ds, "AddOrder", &outSet, &successes, 1, &result,
                                      &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(successes, 1);
  ASSERT_NE(outSet, nullptr);
  const std::string outRows = Rows(outSet);
  // Row 3 has no Amount: the database refuses it and its message comes back in the row.
  if (Postgres()) {
    EXPECT_EQ(outRows.rfind("1|1|;2|0|;3|<null>|", 0), 0u) << outRows;
    EXPECT_NE(outRows.find("violates not-null constraint"), std::string::npos) << outRows;
  } else {
    EXPECT_EQ(outRows, "1|1|;2|0|;3|<null>|NOT NULL constraint failed: Orders.Amount");
  }
  EXPECT_EQ(Read("select Id, CustomerId, Amount from Orders where Id >= 200"), "200|3|10");
  ds->Release();

  // Master and details: the key column of every uploaded row gets the command's first value.
  QorvinDataPacket details =
      MakePacket(factory_, {"Id:3:0", "Amount:6:0"}, {{"300", "1.5"}, {"301", "2.5"}});
  module_->SynchExecSQLInsert("u1", "", "select max(Id) from Customers", &details, "Orders",
                              "CustomerId", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, 2);
  EXPECT_EQ(Read("select Id, CustomerId, Amount from Orders where Id >= 300 order by Id"),
            "300|4|1.5;301|4|2.5");
  qorvin_packet_free(&details);
  qorvin_packet_free(&out);
}

// NaN and the infinities a read delivers go back up where the database holds them (PostgreSQL
// all three, SQLite its infinities), and doubles cross as their shortest round-trip text.
TEST_P(Operations, NonFiniteDoublesThatAReadDeliveredUploadBack) {
  int32_t result = 0;
  Text error;
  module_->SynchExecSQL("u1", "", "create table Nums (Id integer primary key, D double precision)",
                        &result, &error);
  ASSERT_EQ(error.str(), "");
  module_->SynchExecSQL("u1", "",
                        Postgres()
                            ? "insert into Nums values (1, 0.1::float8 + 0.2::float8), "
                              "(2, 'Infinity'), (3, '-Infinity'), (4, 'NaN')"
                            : "insert into Nums values (1, 0.1 + 0.2), (2, 9e999), (3, -9e999)",
                        &result, &error);
  ASSERT_EQ(error.str(), "");
  QorvinDataPacket read{};
  module_->SynchReadData("u1", "", "select Id + 10 as Id, D from Nums order by Id", &read, &result,
                         &error);
  ASSERT_EQ(error.str(), "");
  const std::string delivered = Rows(factory_, read);
  EXPECT_EQ(delivered, Postgres() ? "11|0.30000000000000004;12|inf;13|-inf;14|nan"
                                  : "11|0.30000000000000004;12|inf;13|-inf");
  // Uploaded as they came (one transaction, every row).
  module_->SynchExecSQLInsert("u1", "", "select 1", &read, "Nums", "", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(result, Postgres() ? 4 : 3);
  EXPECT_EQ(Read("select Id, D from Nums where Id > 10 order by Id"), delivered);
  qorvin_packet_free(&read);
}

// A time with a fraction of a second reaches the host as a date-time (a time field holds none),
// and a timestamp's microseconds stay in the value (its text shows milliseconds).
TEST_P(Operations, FractionsOfASecondReachTheHost) {
  int32_t result = 0;
  Text error;
  module_->SynchExecSQL("u1", "", "create table Times (T time, S timestamp, W time)", &result,
                        &error);
  ASSERT_EQ(error.str(), "");
  module_->SynchExecSQL(
      "u1", "",
      "insert into Times values ('23:59:59.999', '2024-02-29 13:14:15.123456', '08:30:00')",
      &result, &error);
  ASSERT_EQ(error.str(), "");
  QorvinAdoDataSet* ds = nullptr;
  module_->SynchReadDataSet("u1", "", "select T, S, W from Times", &ds, &result, &error);
  ASSERT_EQ(error.str(), "");
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(Fields(ds), Postgres() ? "t:11,s:11,w:10" : "T:11,S:11,W:10");
  EXPECT_EQ(Rows(ds), "1899-12-30 23:59:59.999|2024-02-29 13:14:15.123|08:30:00");
  ds->Release();
  // Written back from the read, the microseconds reach the database.
  QorvinDataPacket read{};
  module_->SynchReadData("u1", "", "select S from Times", &read, &result, &error);
  module_->SynchExecSQLInsert("u1", "", "select 1", &read, "Times", "", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(Read("select count(*) from Times where S = '2024-02-29 13:14:15.123456'"), "2");
  qorvin_packet_free(&read);
}

// PostgreSQL numerics of different scales in one column (20 whole digits and 21 places, more
// than 38 digits together) reach the host exactly, as a record set and as a packet, and go back
// into the database exactly (they became floating point, and an upload stored
// 12345678901234567000).
TEST_P(Operations, NumericsOfMixedScalesReachTheHostAndGoBackExactly) {
  if (!Postgres()) GTEST_SKIP() << "SQLite holds no decimals of 41 digits";
  int32_t result = 0;
  Text error;
  module_->SynchExecSQL("u1", "", "create table Wide (Id integer primary key, N numeric)", &result,
                        &error);
  ASSERT_EQ(error.str(), "");
  module_->SynchExecSQL(
      "u1", "", "insert into Wide values (1, 12345678901234567890), (2, 0.123456789012345678901)",
      &result, &error);
  ASSERT_EQ(error.str(), "");
  QorvinAdoDataSet* ds = nullptr;
  module_->SynchReadDataSet("u1", "", "select N from Wide order by Id", &ds, &result, &error);
  ASSERT_EQ(error.str(), "");
  ASSERT_NE(ds, nullptr);
  const std::string rows = Rows(ds);
  EXPECT_NE(rows.find("12345678901234567890"), std::string::npos) << rows;
  EXPECT_NE(rows.find("0.123456789012345678901"), std::string::npos) << rows;
  EXPECT_EQ(rows.find("e+"), std::string::npos) << rows;
  ds->Release();
  QorvinDataPacket read{};
  module_->SynchReadData("u1", "", "select Id + 10 as Id, N from Wide order by Id", &read, &result,
                         &error);
  ASSERT_EQ(error.str(), "");
  const std::string delivered = Rows(factory_, read);
  EXPECT_NE(delivered.find("0.123456789012345678901"), std::string::npos) << delivered;
  module_->SynchExecSQLInsert("u1", "", "select 1", &read, "Wide", "", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_EQ(Read("select count(*) from Wide where (Id = 11 and N = 12345678901234567890) or "
                 "(Id = 12 and N = 0.123456789012345678901)"),
            "2");
  qorvin_packet_free(&read);
}

TEST_P(Operations, ServerClockAndTheModulesOwnMethods) {
  double now = 0;
  const double before = LocalNowDays();
  ASSERT_TRUE(module_->GetDateTime(&now));
  const double after = LocalNowDays();
  // The server runs on this machine: its clock lies between the two local readings (a second of
  // slack each way for rounding and scheduling).
  EXPECT_GE(now, before - 1.0 / 86400) << std::fixed << now - before;
  EXPECT_LE(now, after + 1.0 / 86400) << std::fixed << now - after;

  EXPECT_EQ(module_->GetConnectType(), Letter());
  EXPECT_EQ(module_->AddRef(), -1);
  EXPECT_EQ(module_->Release(), -1);
  void* self = nullptr;
  const IRemoteDataModule::Guid own = {
      0xE4CF5BAA, 0xCF78, 0x4131, {0xAE, 0x75, 0x99, 0xFA, 0x72, 0xA9, 0x13, 0x82}};
  EXPECT_EQ(module_->QueryInterface(&own, &self), 0);
  EXPECT_EQ(self, module_);
  // The reserved slots do nothing that a later call notices.
  module_->Reserved1(nullptr);
  module_->Reserved2(nullptr);
  EXPECT_TRUE(module_->Reserved3());
  module_->Reserved4(1, 2, "x");
  EXPECT_EQ(Read("select count(*) from Customers"), "2");

  // A kept TCP connection is opened by SetConnected(true) and closed by SetConnected(false);
  // HTTP and UDP calls work the same with it switched on.
  module_->SetKeepConnection(true);
  module_->SetConnected(true);
  if (Letter() == 'T' || Letter() == 'B') {
    EXPECT_TRUE(module_->GetConnected());
  }
  EXPECT_EQ(Read("select Name from Customers where Id = 1"), "Ada Lovelace");
  module_->SetConnected(false);
  if (Letter() != 'U') {
    EXPECT_FALSE(module_->GetConnected());
  }
  module_->SetKeepConnection(false);
  EXPECT_EQ(Read("select Name from Customers where Id = 2"), "Blaise Pascal");

  // The last error text is empty after a successful call.
  Text last;
  module_->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Letters, Operations, ::testing::ValuesIn(OnSqliteAndPostgres()),
                         TargetName);

}  // namespace
}  // namespace qorvin::e2e
