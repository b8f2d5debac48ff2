// The library's one export and its start and end.
//
// Start (when the library is loaded): the stand-in for COM initialization of the loading thread
// (nothing to do on this platform), the messaging class registries, and the three service
// proxies in the order Control, TableProc, ExecSql. End (when it is unloaded): the proxies are
// unregistered in the same order, the registries emptied, the shared dataset provider freed.
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "client/DataModuleQorvinCommon.h"
#include "client/DataSetBridge.h"
#include "client/HostValues.h"
#include "contract/VelmarLib_Intf.h"
#include "datastream/uConvertDataSet.h"
#include "messaging/uROClasses.h"

namespace {

// Every module ever created. Modules live until the process ends (the interface's reference
// counting is inert); keeping them here says so to leak checkers and keeps them reachable.
// Never destroyed, like the modules themselves.
std::mutex g_modules_mutex;
std::vector<qorvin::TDataModuleZent*>& g_modules = *new std::vector<qorvin::TDataModuleZent*>;

__attribute__((constructor)) void QorvinClientStart() {
  qorvin::RegisterMessagingClasses();
  qorvin::RegisterVelmarLibProxies();
}

__attribute__((destructor)) void QorvinClientEnd() {
  qorvin::UnregisterVelmarLibProxies();
  qorvin::UnregisterMessagingClasses();
  qorvin::FreeSharedDataSetProvider();
}

}  // namespace

// Builds one remote data module. The failures that reach a host are an unknown connection letter
// ("Unknow Connect Type!") and a host text that is not allowed (HostAddressProblem's text): the
// result is then null and `failure` holds the text. Any other failure during construction (out of
// memory, say) is reported the same way, with its own text.
extern "C" __attribute__((visibility("default"))) IRemoteDataModule* CreateRemoteDataModule(
    int32_t hostTag, char connectType, const char* host, int32_t port, QorvinText* failure) {
  try {
    std::unique_ptr<qorvin::TDataModuleZent> module =
        qorvin::TDataModuleZent::Create(hostTag, connectType, qorvin::InText(host), port);
    std::lock_guard<std::mutex> lock(g_modules_mutex);
    g_modules.push_back(module.get());
    return module.release();
  } catch (const std::exception& e) {
    try {
      qorvin::StoreText(failure, e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      qorvin::StoreText(failure, "Unknown failure");
    } catch (...) {
    }
  }
  return nullptr;
}
