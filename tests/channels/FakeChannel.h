// A channel whose wire is a function of the test, and a message that records what the channel
// does with it: for exercising the channel base without sockets.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "channels/uROClient.h"

namespace qorvin::testing {

class FakeChannel : public TROTransportChannel, public IROSocketTransport {
 public:
  using Wire = std::function<void(FakeChannel& channel, TStream& request, TStream& response)>;

  explicit FakeChannel(TROComponent* owner = nullptr, std::string name = "Fake")
      : TROTransportChannel(owner, std::move(name)) {}
  ~FakeChannel() override { StopProbing(); }
  const char* ClassName() const override { return "TFakeChannel"; }

  std::string host;
  int32_t port = 0;
  Wire wire;
  std::vector<std::string> hostsUsed;  // the host of each IntDispatch call

  std::string GetPeerAddress() override { return host; }
  std::string GetHost() override { return host; }
  int32_t GetPort() override { return port; }
  void SetHost(const std::string& h) override { host = h; }
  void SetPort(int32_t p) override { port = p; }

 protected:
  void IntDispatch(TStream& request, TStream& response) override {
    hostsUsed.push_back(host);
    if (wire) wire(*this, request, response);
  }
  std::unique_ptr<TROTransportChannel> CreateProbeChannel() override {
    auto probe = std::make_unique<FakeChannel>(this, "probe");
    probe->wire = wire;
    return probe;
  }
  bool AddressIsSet() const override { return !host.empty(); }
  const char* AddressPropertyName() const override { return "Host"; }
  void AssignAddress(const TROTransportChannel& source) override {
    const auto& f = static_cast<const FakeChannel&>(source);
    port = f.port;
    host = f.host;
  }
  bool AcceptsAssignFrom(const TROTransportChannel& source) const override {
    return dynamic_cast<const FakeChannel*>(&source) != nullptr;
  }
};

// A message that writes `outgoing` and keeps what it reads; `onRead` may throw to model a reply
// that raises (a server exception, say).
class FakeMessage : public IROMessage {
 public:
  std::string outgoing = "request";
  std::vector<std::string> read;  // every stream handed to ReadFromStream
  std::function<void(const std::string&)> onRead;
  int prepareCount = 0;

  void WriteToStream(TStream& stream) override { stream.WriteBytes(outgoing); }
  void ReadFromStream(std::unique_ptr<TStream> stream) override {
    std::string bytes(size_t(stream->Size()), '\0');
    stream->SetPosition(0);
    stream->ReadBuffer(bytes.data(), stream->Size());
    read.push_back(bytes);
    if (onRead) onRead(bytes);
  }

  void InitializeMessage(IROTransport*, const std::string&, const std::string&, uint8_t) override {}
  void InitializeRequest(IROTransport*, const std::string&, const std::string&,
                         const std::string&) override {}
  void InitializeResponse(IROTransport*, const std::string&, const std::string&,
                          const std::string&) override {}
  void InitializeEvent(IROTransport*, const std::string&, const std::string&,
                       const std::string&) override {}
  void PrepareTransport(IROTransport*, const std::string&, const std::string&,
                        const std::string&) override {}
  void FinalizeMessage() override {}
  TGUID GetClientID() const override { return {}; }
  void SetClientID(const TGUID&) override {}
  void WriteMessageParameter(const std::string&, const TTypeInfo&, const void*,
                             TParamAttributes) override {}
  void ReadMessageParameter(const std::string&, const TTypeInfo&, void*,
                            TParamAttributes) override {}
  std::string GetInterfaceName() const override { return {}; }
  std::string GetMessageName() const override { return {}; }
  void SetInterfaceName(const std::string&) override {}
  void SetMessageName(const std::string&) override {}
  void ReadFromStream(TStream&) override {}
  void WriteException(TStream&, const std::exception&) override {}
  void ReleaseBody() override {}
  void EndCall(IROTransport*) override {}
  void BeforeRead(IROTransport*) override {}
};

}  // namespace qorvin::testing
