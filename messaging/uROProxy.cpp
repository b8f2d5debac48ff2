#include "messaging/uROProxy.h"

#include <map>
#include <mutex>

#include "messaging/uROBinaryHelpers.h"
#include "messaging/uROExceptions.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin {

TROProxy::TROProxy(IROMessage* aMessage, IROTransportChannel* aTransportChannel)
    : message_(aMessage), channel_(aTransportChannel) {}

TROProxy::TROProxy(std::string anInterfaceName, IROMessage* aMessage,
                   IROTransportChannel* aTransportChannel)
    : message_(aMessage), channel_(aTransportChannel), interfaceName_(std::move(anInterfaceName)) {}

std::string TROProxy::GetInterfaceName() const {
  return interfaceName_.empty() ? GetDefaultInterfaceName() : interfaceName_;
}

void TROProxyCall::WriteIn(const std::string& name, const TTypeInfo& type, const void* value) {
  message_.WriteMessageParameter(name, type, value, 0);
}

void TROProxyCall::WriteInBinary(const std::string& name, TROBinaryMemoryStream* stream) {
  // Binary values are handed to the message in their owning storage type; the caller's stream
  // is lent for this one write and released from the holder on every path, never freed.
  std::unique_ptr<TROBinaryMemoryStream> lent(stream);
  struct Unlend {
    std::unique_ptr<TROBinaryMemoryStream>& held;
    ~Unlend() { (void)held.release(); }
  } unlend{lent};
  message_.WriteMessageParameter(name, TypeInfo_Binary(), &lent, 0);
}

void TROProxyCall::Dispatch() {
  message_.FinalizeMessage();
  channel_.Dispatch(message_);
}

void TROProxyCall::ReadOut(const std::string& name, const TTypeInfo& type, void* value,
                           TParamAttributes attributes) {
  message_.ReadMessageParameter(name, type, value, attributes);
}

TROProxyCall TROProxy::BeginCall() {
  if (message_ == nullptr || channel_ == nullptr)
    throw EROException("The proxy has no message or no transport channel.");
  return TROProxyCall(*message_, *channel_);
}

// EndCall and ReleaseBody both run even when EndCall fails, so the body never outlives a call.
void TROProxy::EndCall() {
  try {
    message_->EndCall(channel_);
  } catch (...) {
    message_->ReleaseBody();
    throw;
  }
  message_->ReleaseBody();
}

void TROProxy::EndCallAfterFailure() noexcept {
  try {
    EndCall();
  } catch (...) {
    // The call's own failure is the one the caller must see.
  }
}

namespace {

struct ProxyRegistry {
  std::mutex lock;
  // Keyed by the braced upper-case text of the identifier; std::map keeps it sorted.
  std::map<std::string, std::shared_ptr<const TROProxyClass>> classes;
};

ProxyRegistry& Registry() {
  // Never destroyed: the library end unregisters proxies after static destructors may have run.
  static ProxyRegistry& registry = *new ProxyRegistry;
  return registry;
}

}  // namespace

void RegisterProxyClass(const TGUID& anInterfaceID, TROProxyClass proxyClass) {
  auto& r = Registry();
  std::lock_guard guard(r.lock);
  r.classes.try_emplace(anInterfaceID.ToString(),
                        std::make_shared<const TROProxyClass>(std::move(proxyClass)));
}

void UnregisterProxyClass(const TGUID& anInterfaceID) {
  auto& r = Registry();
  std::lock_guard guard(r.lock);
  r.classes.erase(anInterfaceID.ToString());
}

std::shared_ptr<const TROProxyClass> FindProxyClass(const TGUID& anInterfaceID, bool silent) {
  const std::string key = anInterfaceID.ToString();
  {
    auto& r = Registry();
    std::lock_guard guard(r.lock);
    auto found = r.classes.find(key);
    if (found != r.classes.end()) return found->second;
  }
  if (silent) return nullptr;
  throw EROException(Format("Unknown proxy interface \"%s\"", key.c_str()));
}

std::vector<std::string> RegisteredProxyInterfaces() {
  auto& r = Registry();
  std::lock_guard guard(r.lock);
  std::vector<std::string> keys;
  keys.reserve(r.classes.size());
  for (const auto& entry : r.classes) keys.push_back(entry.first);
  return keys;
}

}  // namespace qorvin
