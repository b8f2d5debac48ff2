#include "tests/contract/LoopbackChannel.h"

#include <memory>

#include "messaging/uROExceptions.h"
#include "platform/rtl/Stream.h"

namespace qorvin::test {

void TLoopbackChannel::CheckProperties() {
  if (!checkFailure.empty()) throw EROException(checkFailure);
}

void TLoopbackChannel::Dispatch(TStream& request, TStream& response) {
  std::string bytes(size_t(request.Size()), '\0');
  request.SetPosition(0);
  request.ReadBuffer(bytes.data(), int64_t(bytes.size()));
  requests.push_back(bytes);
  if (!responder) throw EROException("loopback channel: no responder scripted");
  const std::string reply = responder(bytes);
  response.SetSize(0);
  response.WriteBytes(reply);
  response.SetPosition(0);
}

void TLoopbackChannel::Dispatch(IROMessage& message) {
  TMemoryStream request;
  message.WriteToStream(request);
  auto response = std::make_unique<TMemoryStream>();
  Dispatch(request, *response);
  message.BeforeRead(this);
  message.ReadFromStream(std::move(response));
}

}  // namespace qorvin::test
