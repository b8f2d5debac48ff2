// The remote service's checks and interface query, the proxy registry, and the call sequence's
// behaviour when a call fails.
#include <stdexcept>

#include "tests/contract/ContractFixture.h"

namespace qorvin::test {
namespace {

class RemoteServiceChecks : public ContractTest {};

TEST_F(RemoteServiceChecks, MissingChannelFailsBeforeAnyByteIsSent) {
  auto* spare = new TLoopbackChannel(&module, "Spare");
  service->SetChannel(spare);  // another channel: the old link goes, the new one comes
  EXPECT_FALSE(service->IsLinkedTo(channel));
  EXPECT_TRUE(service->IsLinkedTo(spare));
  service->SetChannel(nullptr);
  EXPECT_FALSE(service->IsLinkedTo(spare));
  EXPECT_EQ(FailureText<EROException>([&] { service->QueryInterface<IExecSqlService>(); }),
            "ROService.Channel must be assigned.");
  EXPECT_EQ(message->Body(), nullptr);  // no request was even started
  EXPECT_TRUE(channel->requests.empty());
}

TEST_F(RemoteServiceChecks, ChecksRunInOrderChannelOwnCheckMessageServiceName) {
  service->SetMessage(nullptr);
  channel->checkFailure = "ROChannel.TargetURL must be set.";
  EXPECT_EQ(FailureText<EROException>([&] { service->QueryProxy(IExecSqlService::IID); }),
            "ROChannel.TargetURL must be set.");
  channel->checkFailure.clear();
  EXPECT_EQ(FailureText<EROException>([&] { service->QueryProxy(IExecSqlService::IID); }),
            "ROService.Message must be assigned.");
  service->SetMessage(message);
  EXPECT_NO_THROW(service->CheckProperties(false));
  EXPECT_EQ(FailureText<EROException>([&] { service->CheckProperties(true); }),
            "ROService.ServiceName must be specified.");
  service->SetServiceName("ExecSqlService");
  EXPECT_NO_THROW(service->CheckProperties(true));
  EXPECT_TRUE(channel->requests.empty());
}

TEST_F(RemoteServiceChecks, DestroyingTheChannelOrMessageClearsTheReference) {
  delete channel;
  channel = nullptr;
  EXPECT_EQ(service->Channel(), nullptr);
  EXPECT_EQ(service->ChannelIntf(), nullptr);
  EXPECT_EQ(FailureText<EROException>([&] { IntfCast<IExecSqlService>(*service); }),
            "ROService.Channel must be assigned.");

  delete message;
  message = nullptr;
  EXPECT_EQ(service->Message(), nullptr);
  EXPECT_EQ(service->MessageIntf(), nullptr);
}

TEST_F(RemoteServiceChecks, ServiceNameIsTrimmedOfBlanksAndControlCharacters) {
  service->SetServiceName(" ExecSqlService ");
  EXPECT_EQ(service->ServiceName(), "ExecSqlService");
  service->SetServiceName("\t\r\n\x01Table Proc\x1F \x7F");
  EXPECT_EQ(service->ServiceName(), "Table Proc\x1F \x7F");  // 0x7F is not a control byte here
  service->SetServiceName(" \t ");
  EXPECT_EQ(service->ServiceName(), "");
  service->SetServiceName("\xB7Name\xA0");  // 8-bit bytes above 0x7F are kept
  EXPECT_EQ(service->ServiceName(), "\xB7Name\xA0");
}

TEST_F(RemoteServiceChecks, EachQueryMakesANewProxyBoundToMessageAndChannel) {
  auto a = service->QueryInterface<IExecSqlService>();
  auto b = service->QueryInterface<IExecSqlService>();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), b.get());
  auto proxy = std::dynamic_pointer_cast<TROProxy>(a);
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->Message(), static_cast<IROMessage*>(message));
  EXPECT_EQ(proxy->TransportChannel(), static_cast<IROTransportChannel*>(channel));
  EXPECT_EQ(proxy->GetInterfaceName(), "ExecSqlService");
}

// An interface that no proxy class implements.
class IUnregistered {
 public:
  static constexpr TGUID IID = {
      0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  virtual ~IUnregistered() = default;
};

TEST_F(RemoteServiceChecks, UnknownIdentifierYieldsNoProxyAndTheCastFails) {
  service->SetChannel(nullptr);  // not even checked: the registry answers first
  EXPECT_EQ(service->QueryProxy(IUnregistered::IID), nullptr);
  EXPECT_EQ(service->QueryInterface<IUnregistered>(), nullptr);
  EXPECT_EQ(FailureText<EIntfCastError>([&] { IntfCast<IUnregistered>(*service); }),
            "Interface not supported");
  EXPECT_EQ(FailureText<EROException>([] { FindProxyClass(IUnregistered::IID); }),
            "Unknown proxy interface \"{01234567-89AB-CDEF-0123-456789ABCDEF}\"");
}

// A service that implements an interface itself, while a proxy class is registered for it too.
class TSelfAnswering : public TRORemoteService, public IUnregistered {
 public:
  using TRORemoteService::TRORemoteService;
};
class TUnregisteredProxy : public TROProxy, public IUnregistered {
 public:
  using TROProxy::TROProxy;

 protected:
  std::string GetDefaultInterfaceName() const override { return "Unregistered"; }
};

TEST_F(RemoteServiceChecks, OwnInterfacesAnswerBeforeTheRegistry) {
  RegisterProxyClass(IUnregistered::IID, ProxyClassOf<TUnregisteredProxy>("TUnregisteredProxy"));
  TSelfAnswering own(nullptr, "Own");  // no channel: a proxy request would fail its checks
  EXPECT_EQ(own.QueryInterface<IUnregistered>().get(), static_cast<IUnregistered*>(&own));
  auto proxied = service->QueryInterface<IUnregistered>();
  EXPECT_NE(std::dynamic_pointer_cast<TUnregisteredProxy>(proxied), nullptr);
  UnregisterProxyClass(IUnregistered::IID);
}

TEST(ProxyRegistry, SortedFirstRegistrationWinsUnregisterRemoves) {
  RegisterVelmarLibProxies();
  EXPECT_EQ(RegisteredProxyInterfaces(),
            (std::vector<std::string>{"{8AEA3E2D-DF75-4C2A-AC1F-CD312CA3098C}",
                                      "{B971BECB-7B74-409B-AFAE-DBCB018ED13A}",
                                      "{DA55152D-E1E0-4092-A495-EA3C9768615D}"}));
  RegisterProxyClass(IExecSqlService::IID, ProxyClassOf<TControlService_Proxy>("Impostor"));
  EXPECT_EQ(FindProxyClass(IExecSqlService::IID)->ClassName, "TExecSqlService_Proxy");
  EXPECT_EQ(FindProxyClass(ITableProcService::IID)->ClassName, "TTableProcService_Proxy");
  EXPECT_EQ(FindProxyClass(IControlService::IID)->ClassName, "TControlService_Proxy");
  UnregisterVelmarLibProxies();
  EXPECT_TRUE(RegisteredProxyInterfaces().empty());
  EXPECT_EQ(FindProxyClass(IExecSqlService::IID, /*silent=*/true), nullptr);
}

class CallFailures : public ContractTest {
 protected:
  std::shared_ptr<IExecSqlService> proxy = IntfCast<IExecSqlService>(*service);
};

TEST_F(CallFailures, ServerExceptionPropagatesAndTheNextCallStartsFresh) {
  Serve([](WireRequest& rq) {
    return WireExceptionReply(rq.clientId, "EDatabaseError", "Invalid object name 'x'.");
  });
  auto out = std::make_unique<TROBinaryMemoryStream>("stale");
  EXPECT_EQ(FailureText<EROUnregisteredServerException>(
                [&] { proxy->SynchReadData("u", "s", u"select * from x", out); }),
            "An exception was raised on the server: Invalid object name 'x'.");
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(message->Body(), nullptr);

  Serve([](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlService", "SynchExecSQL");
    EXPECT_EQ(rq.values.String(), "u2");
    EXPECT_EQ(rq.values.String(), "s2");
    EXPECT_EQ(rq.values.WideString(), u"update t set a=1");
    EXPECT_EQ(rq.values.Remaining(), 0u);
    return ReplyTo(rq).Integer(1).Bytes();
  });
  EXPECT_EQ(proxy->SynchExecSQL("u2", "s2", u"update t set a=1"), 1);
}

TEST_F(CallFailures, TransportFailurePropagatesUnchanged) {
  channel->responder = [](std::string_view) -> std::string {
    throw std::runtime_error("connection reset");
  };
  EXPECT_EQ(FailureText<std::runtime_error>([&] { proxy->GetDateTime(); }), "connection reset");
  EXPECT_EQ(message->Body(), nullptr);
}

TEST_F(CallFailures, ShortReplyFailsWhileReadingAndReleasesTheBody) {
  // The reply lacks the out binary that SynchReadData reads after "Result".
  Serve([](WireRequest& rq) { return ReplyTo(rq).Integer(1).Bytes(); });
  std::unique_ptr<TROBinaryMemoryStream> out;
  EXPECT_ANY_THROW(proxy->SynchReadData("u", "s", u"c", out));
  EXPECT_EQ(message->Body(), nullptr);
}

TEST_F(CallFailures, ClientIdStaysUnlessAReplyChangesIt) {
  const TGUID assigned = TGUID::New();
  int calls = 0;
  Serve([&](WireRequest& rq) {
    ++calls;
    // The first reply echoes the client's identifier, the second assigns a new one.
    const std::string id = calls == 2 ? GuidBytes(assigned) : rq.clientId;
    return WireReply(id, "ExecSqlService", "GetDateTime").DateTime(2).Bytes();
  });
  const std::string original = GuidBytes(message->GetClientID());
  proxy->GetDateTime();
  proxy->GetDateTime();
  proxy->GetDateTime();
  ASSERT_EQ(channel->requests.size(), 3u);
  EXPECT_EQ(DecodeRequest(channel->requests[0]).clientId, original);
  EXPECT_EQ(DecodeRequest(channel->requests[1]).clientId, original);
  EXPECT_EQ(DecodeRequest(channel->requests[2]).clientId, GuidBytes(assigned));
}

TEST_F(CallFailures, ProxyCreatedWithANameSendsThatName) {
  TExecSqlService_Proxy named("ExecSqlServiceV2", message, channel);
  Serve([](WireRequest& rq) {
    ExpectNames(rq, "ExecSqlServiceV2", "GetDateTime");
    return ReplyTo(rq).DateTime(3).Bytes();
  });
  EXPECT_EQ(named.GetDateTime(), 3);
}

TEST_F(CallFailures, ProxyWithoutChannelFailsBeforeStartingARequest) {
  TExecSqlService_Proxy orphan(message, nullptr);
  EXPECT_EQ(FailureText<EROException>([&] { orphan.GetDateTime(); }),
            "The proxy has no message or no transport channel.");
}

}  // namespace
}  // namespace qorvin::test
