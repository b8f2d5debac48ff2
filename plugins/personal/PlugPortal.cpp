// The one export of libPersonal.so.
#include <type_traits>

#include "basalt/PlugBase.h"
#include "plugins/personal/PersonalClasses.h"

extern "C" __attribute__((visibility("default"))) int PlugPortal(qorvin::TPlugMgrInfo* info,
                                                                 const qorvin::Variant* args,
                                                                 int argCount) {
  if (info == nullptr || argCount < 0 || (argCount > 0 && args == nullptr))
    return qorvin::kCallPlugFailed;
  return qorvin::CallPlug(&qorvin::PersonalClassLookup, *info,
                          qorvin::TPlugArgs(args, size_t(argCount)));
}

static_assert(std::is_same_v<decltype(&PlugPortal), qorvin::TPlugPortalFunc>);
