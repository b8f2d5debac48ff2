// TROProxy, the base of the client proxies, and the process-wide proxy class registry.
//
// A proxy turns calls on one service interface into request/response exchanges on a message
// and a channel that it borrows: it holds plain pointers, never owns them, and must not be used
// after either is destroyed. A proxy keeps nothing of a call, so one proxy may serve many
// calls, one at a time; it is shared by reference (std::shared_ptr). Two proxies on one message
// must not run calls at the same time.
//
// The registry maps an interface identifier, kept in its braced upper-case text form in sorted
// order, to the proxy class that implements that interface. Registering an identifier that is
// already registered leaves the earlier entry. The registry is filled at library start and
// emptied at library end; its operations are nevertheless serialized by a lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "messaging/uROClientIntf.h"
#include "messaging/uROTypes.h"
#include "platform/rtl/Guid.h"

namespace qorvin {

class TROBinaryMemoryStream;

// The steps of one call that a proxy operation fills in between the request's initialization
// and the end of the call (see TROProxy::Call).
class TROProxyCall {
 public:
  TROProxyCall(IROMessage& message, IROTransportChannel& channel)
      : message_(message), channel_(channel) {}

  // An in parameter, with the empty attribute set.
  void WriteIn(const std::string& name, const TTypeInfo& type, const void* value);
  // An in binary parameter given as a borrowed stream (null = absent); never freed here.
  void WriteInBinary(const std::string& name, TROBinaryMemoryStream* stream);
  // FinalizeMessage, then the channel dispatches the message (a server exception raises here).
  void Dispatch();
  // "Result" or an out parameter (TDateTime values pass paIsDateTime).
  void ReadOut(const std::string& name, const TTypeInfo& type, void* value,
               TParamAttributes attributes = 0);

 private:
  IROMessage& message_;
  IROTransportChannel& channel_;
};

class TROProxy {
 public:
  TROProxy(IROMessage* aMessage, IROTransportChannel* aTransportChannel);
  TROProxy(std::string anInterfaceName, IROMessage* aMessage,
           IROTransportChannel* aTransportChannel);
  virtual ~TROProxy() = default;
  TROProxy(const TROProxy&) = delete;
  TROProxy& operator=(const TROProxy&) = delete;

  // The interface name used for calls: the one given at construction when not empty,
  // otherwise the class's own.
  std::string GetInterfaceName() const;

  IROMessage* Message() const { return message_; }
  IROTransportChannel* TransportChannel() const { return channel_; }

 protected:
  // The proxy class's own interface name, e.g. "ExecSqlService".
  virtual std::string GetDefaultInterfaceName() const = 0;

  // Runs one call of `operation`: InitializeRequest(channel, libraryName,
  // GetInterfaceName(), operation), then `body(call)` (in parameters, Dispatch, outputs), and
  // always EndCall(channel) and ReleaseBody afterwards, also when a step failed. A failure of
  // any step propagates unchanged (a failure while ending a failed call is dropped so that the
  // original one reaches the caller). Fails with EROException before anything is sent when the
  // proxy has no message or no channel.
  template <class Body>
  void Call(const std::string& libraryName, const std::string& operation, Body&& body) {
    TROProxyCall call = BeginCall();
    try {
      message_->InitializeRequest(channel_, libraryName, GetInterfaceName(), operation);
      body(call);
    } catch (...) {
      EndCallAfterFailure();
      throw;
    }
    EndCall();
  }

 private:
  TROProxyCall BeginCall();
  void EndCall();
  void EndCallAfterFailure() noexcept;

  IROMessage* message_;
  IROTransportChannel* channel_;
  std::string interfaceName_;
};

// A registered proxy class: its name and how to make one bound to a message and a channel.
struct TROProxyClass {
  using Factory = std::shared_ptr<TROProxy> (*)(IROMessage*, IROTransportChannel*);
  std::string ClassName;
  Factory Create = nullptr;
};

// The class description of proxy class P (P constructible from (IROMessage*,
// IROTransportChannel*)).
template <class P>
TROProxyClass ProxyClassOf(std::string className) {
  return TROProxyClass{std::move(className),
                       [](IROMessage* m, IROTransportChannel* c) -> std::shared_ptr<TROProxy> {
                         return std::make_shared<P>(m, c);
                       }};
}

// Registers `proxyClass` under `anInterfaceID`; an identifier already registered keeps its entry.
void RegisterProxyClass(const TGUID& anInterfaceID, TROProxyClass proxyClass);
// Removes the entry of `anInterfaceID`; nothing happens when there is none.
void UnregisterProxyClass(const TGUID& anInterfaceID);
// The class registered under `anInterfaceID`. When there is none: with `silent` an empty result,
// otherwise EROException "Unknown proxy interface \"{...}\"".
std::shared_ptr<const TROProxyClass> FindProxyClass(const TGUID& anInterfaceID,
                                                    bool silent = false);
// The registered identifiers in the registry's (sorted) order.
std::vector<std::string> RegisteredProxyInterfaces();

}  // namespace qorvin
