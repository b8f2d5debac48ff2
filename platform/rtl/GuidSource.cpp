// New GUIDs on POSIX systems: 16 bytes from getrandom, marked as version 4.
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Guid.h"

namespace qorvin {

TGUID TGUID::New() {
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EOSError(Format("getrandom failed: %s", std::strerror(errno)));
    }
    got += size_t(n);
  }
  TGUID g = FromBytes(bytes);
  g.Data3 = uint16_t((g.Data3 & 0x0FFF) | 0x4000);   // version 4
  g.Data4[0] = uint8_t((g.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

}  // namespace qorvin
