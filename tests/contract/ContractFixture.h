// The shape the remote data module gives its call path, for the contract tests: one owner
// component holding the remote service "ROService", a binary message without compression and a
// loopback channel, with the VelmarLib proxies registered. `Serve` scripts the stand-in server.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "contract/VelmarLib_Intf.h"
#include "messaging/uROBinMessage.h"
#include "messaging/uROBinaryHelpers.h"
#include "messaging/uRORemoteService.h"
#include "tests/contract/LoopbackChannel.h"
#include "tests/contract/Wire.h"

namespace qorvin::test {

inline std::string GuidBytes(const TGUID& id) {
  const auto b = id.ToBytes();
  return std::string(b.begin(), b.end());
}

// The text of the E that `f` raises; "<no failure>" when it raises none.
template <class E, class F>
std::string FailureText(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no failure>";
}

class ContractTest : public ::testing::Test {
 protected:
  ContractTest() {
    RegisterVelmarLibProxies();
    message->UseCompression = false;
    service->SetMessage(message);
    service->SetChannel(channel);
    // Names travel only to the parameter events, never on the wire: record them there.
    message->OnWriteMessageParameter =
        [this](TROMessage&, const std::string& name, const TTypeInfo& type, const void*,
               TParamAttributes attributes) { Record(">", name, type, attributes); };
    message->OnReadMessageParameter =
        [this](TROMessage&, const std::string& name, const TTypeInfo& type, void*,
               TParamAttributes attributes) { Record("<", name, type, attributes); };
  }
  ~ContractTest() override { UnregisterVelmarLibProxies(); }

  // Every call, whatever its outcome, leaves the message without a body.
  void TearDown() override {
    if (message != nullptr) {
      EXPECT_EQ(message->Body(), nullptr);
    }
  }

  // `answer` receives the request decoded by hand (its header already checked) and returns the
  // reply bytes.
  void Serve(std::function<std::string(WireRequest&)> answer) {
    channel->responder = [this, answer](std::string_view bytes) {
      WireRequest rq = DecodeRequest(bytes);
      EXPECT_EQ(rq.kind, 0);
      EXPECT_EQ(rq.reserved, std::string(5, '\0'));
      EXPECT_EQ(rq.clientId, GuidBytes(message->GetClientID()));
      return answer(rq);
    };
  }

  // The parameters handed to the message since the last call of Params, e.g.
  // "> aUserId:String < Result:TDateTime@dt" (">" written, "<" read, "@dt" paIsDateTime).
  std::string Params() {
    std::string joined;
    for (const auto& p : params_) joined += (joined.empty() ? "" : " ") + p;
    params_.clear();
    return joined;
  }

  static WireReply ReplyTo(const WireRequest& rq) {
    return WireReply(rq.clientId, rq.interfaceName, rq.messageName);
  }

  TROComponent module{nullptr, "DataModule"};
  TRORemoteService* service = new TRORemoteService(&module, "ROService");
  TROBinMessage* message = new TROBinMessage(&module, "ROMessage");
  TLoopbackChannel* channel = new TLoopbackChannel(&module, "ROChannel");

 private:
  void Record(const char* direction, const std::string& name, const TTypeInfo& type,
              TParamAttributes attributes) {
    std::string entry = std::string(direction) + " " + name + ":" + type.name;
    if (attributes & paIsDateTime) entry += "@dt";
    if (attributes & ~paIsDateTime) entry += "@other";
    params_.push_back(entry);
  }

  std::vector<std::string> params_;
};

// The names a request carries; `op` is the operation name.
inline void ExpectNames(const WireRequest& rq, const char* intf, const char* op) {
  EXPECT_EQ(rq.interfaceName, intf);
  EXPECT_EQ(rq.messageName, op);
}

}  // namespace qorvin::test
