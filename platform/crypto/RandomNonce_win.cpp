// Initialisation vectors on Windows: the system's random generator (BCryptGenRandom). libgcrypt's
// own generator is not used there: its first use gathers entropy from the system's performance
// data and network statistics, which takes seconds (and, where RPC is not running, tens of
// seconds) and writes a note about disk statistics to the host's standard error.
#include <windows.h>
// (after windows.h, which it needs)
#include <bcrypt.h>

#include <algorithm>

#include "platform/crypto/BlockCipher.h"

namespace qorvin {

void CipherRandomNonce(std::span<uint8_t> out) {
  // ULONG pieces: a span larger than 4 GiB is never asked for, but is served all the same.
  for (size_t done = 0; done < out.size();) {
    const ULONG n = ULONG(std::min<size_t>(out.size() - done, 0x10000000));
    const NTSTATUS status =
        BCryptGenRandom(nullptr, out.data() + done, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status))
      throw ECipherError(Format("The system's random generator failed (status 0x%08lX)",
                                static_cast<unsigned long>(status)));
    done += n;
  }
}

}  // namespace qorvin
