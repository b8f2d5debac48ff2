#include "messaging/uROProxy.h"

#include <map>
#include <mutex>

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

namespace {

struct ProxyRegistry {
  std::mutex lock;
  // Keyed by the braced upper-case text of the identifier; std::map keeps it sorted.
  std::map<std::string, std::shared_ptr<const TROProxyClass>> classes;
};

ProxyRegistry& Registry() {
  static ProxyRegistry registry;
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
