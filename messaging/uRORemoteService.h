// TRORemoteService: the component that hands out client proxies bound to its message and channel.
//
// `Message` and `Channel` are borrowed components, linked to the service: when either is
// destroyed the service's reference becomes null, and the next proxy request fails with the
// missing-property text. Setting a property to another component unlinks the old one and links
// the new one; setting it to null unlinks.
//
// Every interface query that reaches the proxy registry creates a new proxy (shared by
// reference) that borrows the message and channel; it must not outlive them. One service, its
// message and its channel serve one call at a time; the service has no lock of its own beyond
// the component's link lock.
#pragma once

#include <concepts>
#include <memory>
#include <string>
#include <type_traits>

#include "messaging/uROClientIntf.h"
#include "messaging/uROComponent.h"
#include "messaging/uROProxy.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Guid.h"

namespace qorvin {

class TRORemoteService : public TROComponent {
 public:
  explicit TRORemoteService(TROComponent* owner = nullptr, std::string name = {});
  ~TRORemoteService() override;

  // The message every proxy made here uses (any component that implements IROMessage).
  TROComponent* Message() const { return message_; }
  IROMessage* MessageIntf() const { return messageIntf_; }
  template <class M>
  requires std::derived_from<M, TROComponent> && std::derived_from<M, IROMessage>
  void SetMessage(M* message) { SetMessageParts(message, message); }
  void SetMessage(std::nullptr_t) { SetMessageParts(nullptr, nullptr); }

  // The channel every proxy made here uses (any component that implements IROTransportChannel).
  TROComponent* Channel() const { return channel_; }
  IROTransportChannel* ChannelIntf() const { return channelIntf_; }
  template <class C>
  requires std::derived_from<C, TROComponent> && std::derived_from<C, IROTransportChannel>
  void SetChannel(C* channel) { SetChannelParts(channel, channel); }
  void SetChannel(std::nullptr_t) { SetChannelParts(nullptr, nullptr); }

  // Stored without leading and trailing spaces and control characters (bytes up to 0x20).
  // Proxies do not use it; they carry their own interface name.
  const std::string& ServiceName() const { return serviceName_; }
  void SetServiceName(const std::string& name);

  // Whether a fetched service description would be kept. This client fetches none, so there is
  // never anything cached; the flag is only stored.
  bool CacheRODL() const { return cacheRODL_; }
  void SetCacheRODL(bool value) { cacheRODL_ = value; }

  // In order: Channel set ("<Name>.Channel must be assigned."), the channel's own check, Message
  // set ("<Name>.Message must be assigned."), the message's own check, and with
  // aCheckServiceName a non-empty ServiceName ("<Name>.ServiceName must be specified.").
  // Each failure is an EROException.
  void CheckProperties(bool aCheckServiceName);
  void CheckProperties() override { CheckProperties(false); }

  // A new proxy of the class registered for `anInterfaceID`, bound to Message and Channel; null
  // when no class is registered (nothing is checked then). Fails with the CheckProperties texts
  // when Message or Channel is missing.
  std::shared_ptr<TROProxy> QueryProxy(const TGUID& anInterfaceID);

  // The interface query: the component's own interfaces first (answered without ownership, like
  // a component's inert reference counting), else a new proxy for I::IID when its class
  // implements I, else null ("no such interface").
  template <class I>
  std::shared_ptr<I> QueryInterface() {
    if (auto* own = dynamic_cast<I*>(this)) return std::shared_ptr<I>(std::shared_ptr<void>(), own);
    return std::dynamic_pointer_cast<I>(QueryProxy(I::IID));
  }

 protected:
  void Notification(TROComponent* component, TOperation operation) override;

 private:
  void SetMessageParts(TROComponent* component, IROMessage* message);
  void SetChannelParts(TROComponent* component, IROTransportChannel* channel);
  void Relink(TROComponent* oldComponent, TROComponent* newComponent, const TROComponent* other);

  TROComponent* message_ = nullptr;
  IROMessage* messageIntf_ = nullptr;
  TROComponent* channel_ = nullptr;
  IROTransportChannel* channelIntf_ = nullptr;
  std::string serviceName_;
  bool cacheRODL_ = false;
};

// The interface cast: the service's answer for I, or EIntfCastError "Interface not supported"
// when there is none.
template <class I>
std::shared_ptr<I> IntfCast(TRORemoteService& service) {
  auto intf = service.QueryInterface<I>();
  if (!intf) throw EIntfCastError("Interface not supported");
  return intf;
}

}  // namespace qorvin
