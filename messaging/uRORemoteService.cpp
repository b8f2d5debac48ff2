#include "messaging/uRORemoteService.h"

#include "messaging/uROExceptions.h"

namespace qorvin {

TRORemoteService::TRORemoteService(TROComponent* owner, std::string name)
    : TROComponent(owner, std::move(name)) {}

TRORemoteService::~TRORemoteService() {
  MarkDestroying();
  SetChannelParts(nullptr, nullptr);
  SetMessageParts(nullptr, nullptr);
}

// Links the new component before unlinking the old one, so that a refused link (a component
// being destroyed) leaves the property as it was. The old component stays linked when it still
// serves as the other property.
void TRORemoteService::Relink(TROComponent* oldComponent, TROComponent* newComponent,
                              const TROComponent* other) {
  if (newComponent != nullptr) Link(newComponent);
  if (oldComponent != nullptr && oldComponent != newComponent && oldComponent != other)
    Unlink(oldComponent);
}

void TRORemoteService::SetMessageParts(TROComponent* component, IROMessage* message) {
  if (component == message_) return;
  Relink(message_, component, channel_);
  message_ = component;
  messageIntf_ = message;
}

void TRORemoteService::SetChannelParts(TROComponent* component, IROTransportChannel* channel) {
  if (component == channel_) return;
  Relink(channel_, component, message_);
  channel_ = component;
  channelIntf_ = channel;
}

void TRORemoteService::Notification(TROComponent* component, TOperation operation) {
  TROComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == channel_) {
    channel_ = nullptr;
    channelIntf_ = nullptr;
  }
  if (component == message_) {
    message_ = nullptr;
    messageIntf_ = nullptr;
  }
}

void TRORemoteService::SetServiceName(const std::string& name) {
  auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  size_t first = 0;
  size_t last = name.size();
  while (first < last && isBlank(name[first])) ++first;
  while (last > first && isBlank(name[last - 1])) --last;
  serviceName_ = name.substr(first, last - first);
}

void TRORemoteService::CheckProperties(bool aCheckServiceName) {
  if (channel_ == nullptr) throw EROException(Name() + ".Channel must be assigned.");
  channel_->CheckProperties();
  if (message_ == nullptr) throw EROException(Name() + ".Message must be assigned.");
  message_->CheckProperties();
  if (aCheckServiceName && serviceName_.empty())
    throw EROException(Name() + ".ServiceName must be specified.");
}

std::shared_ptr<TROProxy> TRORemoteService::QueryProxy(const TGUID& anInterfaceID) {
  auto proxyClass = FindProxyClass(anInterfaceID, /*silent=*/true);
  if (!proxyClass) return nullptr;
  CheckProperties(false);
  return proxyClass->Create(messageIntf_, channelIntf_);
}

}  // namespace qorvin
