// Every ExecSqlService and TableProcService operation end to end; the stand-in server decodes
// each request by hand and answers with hand-built bytes.
#include "tests/contract/ContractFixture.h"

namespace qorvin::test {
namespace {

class ExecSqlServiceCalls : public ContractTest {
 protected:
  std::shared_ptr<IExecSqlService> proxy = IntfCast<IExecSqlService>(*service);
  // 8-bit, wide (with a surrogate pair) and binary values with bytes that a text path would break.
  const std::string user = "u\xE9\x01";
  const std::string serial = "HDH-0042";
  const std::u16string command = u"select '\u540D' \U0001F600";
  const std::string blob = std::string("\x00\xFF\x10 blob", 8);

  // The three leading in values most operations share.
  void ExpectUserAndCommand(WireRequest& rq) {
    EXPECT_EQ(rq.values.String(), user);
    EXPECT_EQ(rq.values.String(), serial);
    EXPECT_EQ(rq.values.WideString(), command);
  }
};

TEST_F(ExecSqlServiceCalls, GetDateTimeRequestIsTheSixtyOneByteExample) {
  Serve([](WireRequest& rq) { return ReplyTo(rq).DateTime(1.5).Bytes(); });
  EXPECT_EQ(proxy->GetDateTime(), 1.5);
  EXPECT_EQ(Params(), "< Result:TDateTime@dt");
  const std::string expected = std::string("RO107\0\0\0\0\0\0\0", 12) +
                               GuidBytes(message->GetClientID()) + Counted("ExecSqlService") +
                               Counted("GetDateTime");
  ASSERT_EQ(channel->requests.size(), 1u);
  EXPECT_EQ(channel->requests[0].size(), 61u);
  EXPECT_EQ(channel->requests[0], expected);
}

TEST_F(ExecSqlServiceCalls, SynchExecProcValuesAreTheDocumentedBytes) {
  Serve([](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchExecProc");
    EXPECT_EQ(rq.values.Raw(rq.values.Remaining()),
              std::string("\x02\0\0\0u1\0\0\0\0\x01\0\0\0x\0", 16));
    return ReplyTo(rq).Integer(1).Bytes();
  });
  EXPECT_EQ(proxy->SynchExecProc("u1", "", u"x"), 1);
  EXPECT_EQ(Params(),
            "> aUserId:String > aHDHSerialNumber:String > aSqlCommand:WideString"
            " < Result:Integer");
}

TEST_F(ExecSqlServiceCalls, SynchExecSQL) {
  Serve([this](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchExecSQL");
    ExpectUserAndCommand(rq);
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(-7).Bytes();
  });
  EXPECT_EQ(proxy->SynchExecSQL(user, serial, command), -7);
  EXPECT_EQ(Params(),
            "> aUserId:String > aHDHSerialNumber:String > aSqlCommand:WideString"
            " < Result:Integer");
}

TEST_F(ExecSqlServiceCalls, SynchExecProcOutputClearsAndFillsTheOutText) {
  Serve([this](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchExecProcOutput");
    ExpectUserAndCommand(rq);
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(1).String("out\xB0").Bytes();
  });
  std::string output = "stale";
  EXPECT_EQ(proxy->SynchExecProcOutput(user, serial, command, output), 1);
  EXPECT_EQ(output, "out\xB0");
  EXPECT_EQ(Params(),
            "> aUserId:String > aHDHSerialNumber:String > aSqlCommand:WideString"
            " < Result:Integer < aOutputParam:String");
}

TEST_F(ExecSqlServiceCalls, SynchReadDataHandsTheCallerANewStream) {
  Serve([this](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchReadData");
    ExpectUserAndCommand(rq);
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(1).Binary(blob).Bytes();
  });
  auto out = std::make_unique<TROBinaryMemoryStream>("stale");
  EXPECT_EQ(proxy->SynchReadData(user, serial, command, out), 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->ToString(), blob);
  EXPECT_EQ(Params(),
            "> aUserId:String > aHDHSerialNumber:String > aSqlCommand:WideString"
            " < Result:Integer < aOutData:TROBinaryMemoryStream");
}

TEST_F(ExecSqlServiceCalls, AnAbsentOutBinaryLeavesNone) {
  Serve([](WireRequest& rq) { return ReplyTo(rq).Integer(0).Binary(std::nullopt).Bytes(); });
  auto out = std::make_unique<TROBinaryMemoryStream>("stale");
  EXPECT_EQ(proxy->SynchReadData(user, serial, command, out), 0);
  EXPECT_EQ(out, nullptr);
}

// Both "TwoData" operations: four in values on the wire, no placeholders for the outs, and the
// reply's "Result", "aOutData", "aOutData2" in that order.
TEST_F(ExecSqlServiceCalls, TwoDataOperationsInterleaveInAndOutParameters) {
  const std::u16string command2 = u"select 2";
  Serve([&](WireRequest& rq) {
    EXPECT_EQ(rq.interfaceName, "ExecSqlService");
    ExpectUserAndCommand(rq);
    EXPECT_EQ(rq.values.WideString(), command2);
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(1).Binary("first").Binary(std::nullopt).Bytes();
  });
  const std::string signature =
      "> aUserId:String > aHDHSerialNumber:String > aSqlCommand:WideString"
      " > aSqlCommand2:WideString < Result:Integer < aOutData:TROBinaryMemoryStream"
      " < aOutData2:TROBinaryMemoryStream";
  for (int op = 0; op < 2; ++op) {
    auto out1 = std::make_unique<TROBinaryMemoryStream>("stale1");
    auto out2 = std::make_unique<TROBinaryMemoryStream>("stale2");
    const int32_t result =
        op == 0 ? proxy->SynchReadTwoData(user, serial, command, out1, command2, out2)
                : proxy->SynchExecProcReadTwoData(user, serial, command, out1, command2, out2);
    EXPECT_EQ(result, 1);
    ASSERT_NE(out1, nullptr);
    EXPECT_EQ(out1->ToString(), "first");
    EXPECT_EQ(out2, nullptr);
    EXPECT_EQ(Params(), signature);
  }
  ASSERT_EQ(channel->requests.size(), 2u);
  EXPECT_EQ(DecodeRequest(channel->requests[0]).messageName, "SynchReadTwoData");
  EXPECT_EQ(DecodeRequest(channel->requests[1]).messageName, "SynchExecProcReadTwoData");
}

TEST_F(ExecSqlServiceCalls, SynchExecProcBatchBuild) {
  Serve([this](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchExecProcBatchBuild");
    ExpectUserAndCommand(rq);
    EXPECT_EQ(rq.values.WideString(), u"p_Build");
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(1).Bytes();
  });
  EXPECT_EQ(proxy->SynchExecProcBatchBuild(user, serial, command, u"p_Build"), 1);
  EXPECT_EQ(Params(),
            "> aUserId:String > aHDHSerialNumber:String > aSqlCommand:WideString"
            " > aProcName:WideString < Result:Integer");
}

TEST_F(ExecSqlServiceCalls, SynchExecInsertSendsTheBlobAndLeavesItWithTheCaller) {
  Serve([this](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchExecInsert");
    EXPECT_EQ(rq.values.String(), user);
    EXPECT_EQ(rq.values.String(), serial);
    EXPECT_EQ(rq.values.Binary(), blob);
    EXPECT_EQ(rq.values.String(), "bUserCommon");
    EXPECT_EQ(rq.values.String(), "ID");
    EXPECT_EQ(rq.values.String(), "42");
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(1).Bytes();
  });
  TROBinaryMemoryStream in(blob);
  EXPECT_EQ(proxy->SynchExecInsert(user, serial, &in, "bUserCommon", "ID", "42"), 1);
  EXPECT_EQ(in.ToString(), blob);  // still the caller's, intact
  EXPECT_EQ(Params(),
            "> aUserId:String > aHDHSerialNumber:String > aInData:TROBinaryMemoryStream"
            " > aTableName:String > aPrimaryKey:String > aPrimaryValue:String"
            " < Result:Integer");
}

TEST_F(ExecSqlServiceCalls, SynchExecSQLInsertWithAnAbsentBlob) {
  Serve([this](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchExecSQLInsert");
    ExpectUserAndCommand(rq);
    EXPECT_EQ(rq.values.Binary(), std::nullopt);
    EXPECT_EQ(rq.values.String(), "bUserGroupCommon");
    EXPECT_EQ(rq.values.String(), "GroupID");
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(3).Bytes();
  });
  EXPECT_EQ(
      proxy->SynchExecSQLInsert(user, serial, command, nullptr, "bUserGroupCommon", "GroupID"), 3);
  EXPECT_EQ(Params(),
            "> aUserId:String > aHDHSerialNumber:String > aSQLCommand:WideString"
            " > aInData:TROBinaryMemoryStream > aTableName:String > aPrimaryKey:String"
            " < Result:Integer");
}

class TableProcServiceCalls : public ContractTest {
 protected:
  std::shared_ptr<ITableProcService> proxy = IntfCast<ITableProcService>(*service);
};

TEST_F(TableProcServiceCalls, ExecProcInsertTable) {
  const std::string upload = std::string("rows\0\x01", 6);
  Serve([&](WireRequest& rq) {
    ExpectNames(rq, "TableProcService", "ExecProcInsertTable");
    EXPECT_EQ(rq.values.String(), "admin");
    EXPECT_EQ(rq.values.String(), "");
    EXPECT_EQ(rq.values.Binary(), upload);
    EXPECT_EQ(rq.values.String(), "p_Insert");
    EXPECT_EQ(rq.values.I32(), -1);
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(1).Binary("answer").Integer(12).Bytes();
  });
  TROBinaryMemoryStream in(upload);
  std::unique_ptr<TROBinaryMemoryStream> out;
  int32_t successCount = -99;
  EXPECT_EQ(proxy->ExecProcInsertTable("admin", "", &in, "p_Insert", -1, out, successCount), 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->ToString(), "answer");
  EXPECT_EQ(successCount, 12);
  EXPECT_EQ(Params(),
            "> aUserID:String > aHDHSerialNumber:String > aInData:TROBinaryMemoryStream"
            " > aProcName:String > aSuccessReturnValue:Integer < Result:Integer"
            " < aOutData:TROBinaryMemoryStream < aSuccessCount:Integer");
}

}  // namespace
}  // namespace qorvin::test
