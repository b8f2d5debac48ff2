#include "platform/crypto/GcryptInit.h"

#include <gcrypt.h>

#include <mutex>

#include "platform/crypto/BlockCipher.h"

namespace qorvin {

void EnsureGcrypt() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!gcry_check_version(GCRYPT_VERSION))
      throw ECipherError("libgcrypt is older than the version this program was built with");
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
  });
}

}  // namespace qorvin
