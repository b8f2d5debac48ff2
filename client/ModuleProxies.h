// ModuleProxies: the module's service proxies, kept from call to call.
//
// A proxy holds nothing of a call: it only borrows the remote service's message and channel. So
// the proxy made for the message and channel the service has now serves every call until either
// is replaced; then a new one is made. Each use still runs the service's property checks (channel
// and message set, each one's own check), as a freshly made proxy would, so a setting changed
// between calls fails the next call exactly as before.
//
// The message and channel are compared by address. A component made where a freed one stood
// has its interface at that same address, so a kept proxy's pointers are valid for it too.
//
// Threads: used only inside the module's claimed calls, one at a time.
#pragma once

#include <memory>

#include "contract/VelmarLib_Intf.h"
#include "messaging/uRORemoteService.h"

namespace qorvin {

class ModuleProxies {
 public:
  explicit ModuleProxies(TRORemoteService& service) : service_(service) {}
  ModuleProxies(const ModuleProxies&) = delete;
  ModuleProxies& operator=(const ModuleProxies&) = delete;

  // The proxy of the interface, bound to the service's current message and channel; fails as
  // IntfCast does (missing message or channel, "Interface not supported").
  std::shared_ptr<IExecSqlService> ExecSql() { return Get(execSql_); }
  std::shared_ptr<ITableProcService> TableProc() { return Get(tableProc_); }

 private:
  template <class I>
  struct Kept {
    std::shared_ptr<I> proxy;
    IROMessage* message = nullptr;
    IROTransportChannel* channel = nullptr;
  };

  template <class I>
  std::shared_ptr<I> Get(Kept<I>& kept) {
    IROMessage* message = service_.MessageIntf();
    IROTransportChannel* channel = service_.ChannelIntf();
    if (kept.proxy && kept.message == message && kept.channel == channel) {
      service_.CheckProperties(false);
      return kept.proxy;
    }
    kept = {};
    kept.proxy = IntfCast<I>(service_);
    kept.message = message;
    kept.channel = channel;
    return kept.proxy;
  }

  TRORemoteService& service_;
  Kept<IExecSqlService> execSql_;
  Kept<ITableProcService> tableProc_;
};

}  // namespace qorvin
