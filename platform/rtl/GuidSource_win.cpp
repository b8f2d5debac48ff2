// New GUIDs on Windows: CoCreateGuid (version 4, from the system's random source).
#include <objbase.h>

#include <cstring>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Guid.h"

namespace qorvin {

TGUID TGUID::New() {
  GUID made{};
  const HRESULT result = CoCreateGuid(&made);
  if (FAILED(result))
    throw EOSError(Format("CoCreateGuid failed: 0x%08lX", static_cast<unsigned long>(result)));
  TGUID g;
  g.Data1 = made.Data1;
  g.Data2 = made.Data2;
  g.Data3 = made.Data3;
  std::memcpy(g.Data4.data(), made.Data4, 8);
  return g;
}

}  // namespace qorvin
