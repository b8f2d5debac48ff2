// Every ControlService operation through the remote service, the proxy, the binary message and
// the loopback channel; the stand-in server decodes each request by hand.
#include "tests/contract/ContractFixture.h"

namespace qorvin::test {
namespace {

class ControlServiceCalls : public ContractTest {
 protected:
  std::shared_ptr<IControlService> proxy = IntfCast<IControlService>(*service);
};

TEST_F(ControlServiceCalls, CallsWithoutParametersSendNamesOnlyAndReadTheirResults) {
  Serve([](WireRequest& rq) {
    EXPECT_EQ(rq.values.Remaining(), 0u);
    EXPECT_EQ(rq.interfaceName, "ControlService");
    WireReply reply = ReplyTo(rq);
    if (rq.messageName == "GetServerTime") reply.DateTime(45000.25);
    if (rq.messageName == "GetClientCount") reply.Integer(17);
    if (rq.messageName == "Alive") reply.Boolean(true);
    if (rq.messageName == "GetServiceList") reply.String("ExecSqlService,TableProcService");
    return reply.Bytes();
  });
  EXPECT_EQ(proxy->GetServerTime(), 45000.25);
  EXPECT_EQ(Params(), "< Result:TDateTime@dt");
  EXPECT_EQ(proxy->GetClientCount(), 17);
  EXPECT_EQ(Params(), "< Result:Integer");
  EXPECT_TRUE(proxy->Alive());
  EXPECT_EQ(Params(), "< Result:Boolean");
  EXPECT_EQ(proxy->GetServiceList(), "ExecSqlService,TableProcService");
  EXPECT_EQ(Params(), "< Result:String");

  const char* ops[] = {"GetServerTime", "GetClientCount", "Alive", "GetServiceList"};
  ASSERT_EQ(channel->requests.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(DecodeRequest(channel->requests[i]).messageName, ops[i]);
}

TEST_F(ControlServiceCalls, RestartSendsNoParametersAndReadsNothingBack) {
  // A reply carrying only the names: reading anything from it would fail.
  Serve([](WireRequest& rq) {
    ExpectNames(rq, "ControlService", "Restart");
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Bytes();
  });
  EXPECT_NO_THROW(proxy->Restart());
  EXPECT_EQ(Params(), "");
}

TEST_F(ControlServiceCalls, ServiceNameOperations) {
  Serve([](WireRequest& rq) {
    EXPECT_EQ(rq.values.String(), "ExecSqlService");
    EXPECT_EQ(rq.values.Remaining(), 0u);
    WireReply reply = ReplyTo(rq);
    if (rq.messageName == "GetServicePoolSize") reply.Integer(8);
    if (rq.messageName == "GetInUseCount") reply.Integer(3);
    if (rq.messageName == "GetTotalCount") reply.Integer(-2);
    return reply.Bytes();
  });
  proxy->ClearServicePool("ExecSqlService");
  EXPECT_EQ(Params(), "> aServiceName:String");
  EXPECT_EQ(proxy->GetServicePoolSize("ExecSqlService"), 8);
  EXPECT_EQ(Params(), "> aServiceName:String < Result:Integer");
  EXPECT_EQ(proxy->GetInUseCount("ExecSqlService"), 3);
  EXPECT_EQ(Params(), "> aServiceName:String < Result:Integer");
  EXPECT_EQ(proxy->GetTotalCount("ExecSqlService"), -2);
  EXPECT_EQ(Params(), "> aServiceName:String < Result:Integer");

  const char* ops[] = {"ClearServicePool", "GetServicePoolSize", "GetInUseCount", "GetTotalCount"};
  ASSERT_EQ(channel->requests.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(DecodeRequest(channel->requests[i]).messageName, ops[i]);
}

TEST_F(ControlServiceCalls, SetDBConnInfoSendsFourTextsThenTheTimeOut) {
  Serve([](WireRequest& rq) {
    ExpectNames(rq, "ControlService", "SetDBConnInfo");
    EXPECT_EQ(rq.values.String(), "db\\main");
    EXPECT_EQ(rq.values.String(), "Velmar\xB2");  // 8-bit text travels unchanged
    EXPECT_EQ(rq.values.String(), "sa");
    EXPECT_EQ(rq.values.String(), "");
    EXPECT_EQ(rq.values.I32(), 30);
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Bytes();
  });
  proxy->SetDBConnInfo("db\\main", "Velmar\xB2", "sa", "", 30);
  EXPECT_EQ(Params(),
            "> aDBServer:String > aDBName:String > aDBUser:String > aDBPass:String"
            " > aTimeOut:Integer");
}

TEST_F(ControlServiceCalls, SetServicePoolSize) {
  Serve([](WireRequest& rq) {
    ExpectNames(rq, "ControlService", "SetServicePoolSize");
    EXPECT_EQ(rq.values.String(), "TableProcService");
    EXPECT_EQ(rq.values.I32(), 0x01020304);
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Bytes();
  });
  proxy->SetServicePoolSize("TableProcService", 0x01020304);
  EXPECT_EQ(Params(), "> aServiceName:String > aPoolSize:Integer");
}

TEST_F(ControlServiceCalls, PortQueries) {
  Serve([](WireRequest& rq) {
    WireReply reply = ReplyTo(rq);
    if (rq.messageName == "IsPortActive") {
      EXPECT_EQ(rq.values.I32(), 8090);
      reply.Boolean(false);
    } else {
      ExpectNames(rq, "ControlService", "GetPort");
      EXPECT_EQ(rq.values.String(), "TCP");
      reply.Integer(8090);
    }
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return reply.Bytes();
  });
  EXPECT_FALSE(proxy->IsPortActive(8090));
  EXPECT_EQ(Params(), "> aPort:Integer < Result:Boolean");
  EXPECT_EQ(proxy->GetPort("TCP"), 8090);
  EXPECT_EQ(Params(), "> aProtocol:String < Result:Integer");
  EXPECT_EQ(DecodeRequest(channel->requests[0]).messageName, "IsPortActive");
}

}  // namespace
}  // namespace qorvin::test
