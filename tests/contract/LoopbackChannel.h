// Test double: an in-process transport channel. The message writes its request into a memory
// stream, a scripted responder (the test's stand-in server) turns the request bytes into reply
// bytes, and the message reads the reply, taking the reply stream — the same steps a real
// channel's message-level dispatch takes, without a socket.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/uROClientIntf.h"
#include "messaging/uROComponent.h"

namespace qorvin::test {

class TLoopbackChannel : public TROComponent, public IROTransportChannel {
 public:
  using Responder = std::function<std::string(std::string_view request)>;

  explicit TLoopbackChannel(TROComponent* owner = nullptr, std::string name = "LoopbackChannel")
      : TROComponent(owner, std::move(name)) {}

  // Called with the exact request bytes; returns the exact reply bytes (or throws, like a
  // failing transport).
  Responder responder;
  // When not empty, the channel's own property check fails with this text.
  std::string checkFailure;
  // Every request carried, in order.
  std::vector<std::string> requests;

  void CheckProperties() override;

  void* GetTransportInstance() override { return this; }
  void AssignServerLocator(TROServerLocator*, const std::exception*) override {}
  bool ProbeServer(TROServerLocator*) override { return true; }
  void ProbeServerLocators() override {}
  void Dispatch(TStream& request, TStream& response) override;
  void Dispatch(IROMessage& message) override;
  void PrepareDispatch(IROMessage*) override {}
};

}  // namespace qorvin::test
