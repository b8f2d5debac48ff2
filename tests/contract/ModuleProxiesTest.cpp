// The module's kept proxies: one proxy serves call after call while the service keeps its
// message and channel, a new one comes with another channel, and the service's checks still run
// before every call.
#include "client/ModuleProxies.h"
#include "tests/contract/ContractFixture.h"

namespace qorvin::test {
namespace {

class ModuleProxiesTest : public ContractTest {
 protected:
  ModuleProxies proxies{*service};

  IROTransportChannel* BoundChannel(const std::shared_ptr<IExecSqlService>& proxy) {
    return std::dynamic_pointer_cast<TROProxy>(proxy)->TransportChannel();
  }
};

TEST_F(ModuleProxiesTest, KeptWhileMessageAndChannelStayRemadeWhenEitherChanges) {
  Serve([](WireRequest& rq) { return ReplyTo(rq).Integer(7).Bytes(); });
  auto first = proxies.ExecSql();
  EXPECT_EQ(first->SynchExecSQL("u", "s", u"update t set a=1"), 7);
  auto again = proxies.ExecSql();
  EXPECT_EQ(again.get(), first.get());
  EXPECT_EQ(again->SynchExecSQL("u", "s", u"update t set a=2"), 7);
  EXPECT_EQ(channel->requests.size(), 2u);
  EXPECT_NE(proxies.TableProc(), nullptr);

  // The channel's own check runs before each call, also with a kept proxy.
  channel->checkFailure = "ROChannel.TargetURL must be set.";
  EXPECT_EQ(FailureText<EROException>([&] { proxies.ExecSql(); }),
            "ROChannel.TargetURL must be set.");
  channel->checkFailure.clear();

  auto* spare = new TLoopbackChannel(&module, "Spare");
  spare->responder = channel->responder;
  service->SetChannel(spare);
  auto other = proxies.ExecSql();
  EXPECT_EQ(BoundChannel(other), static_cast<IROTransportChannel*>(spare));
  EXPECT_EQ(other->SynchExecSQL("u", "s", u"update t set a=3"), 7);
  EXPECT_EQ(spare->requests.size(), 1u);
  EXPECT_EQ(channel->requests.size(), 2u);

  // A destroyed channel leaves no proxy behind that could still reach it.
  delete spare;
  EXPECT_EQ(FailureText<EROException>([&] { proxies.ExecSql(); }),
            "ROService.Channel must be assigned.");
  EXPECT_EQ(FailureText<EROException>([&] { proxies.TableProc(); }),
            "ROService.Channel must be assigned.");
  service->SetChannel(channel);
  EXPECT_EQ(BoundChannel(proxies.ExecSql()), static_cast<IROTransportChannel*>(channel));

  service->SetMessage(nullptr);
  EXPECT_EQ(FailureText<EROException>([&] { proxies.ExecSql(); }),
            "ROService.Message must be assigned.");
}

}  // namespace
}  // namespace qorvin::test
