// libgcrypt's set-up, shared by the files of the cipher layer.
#pragma once

namespace qorvin {

// Initialises libgcrypt once per process (any thread may call it, any number of times). When
// the host has already finished libgcrypt's initialisation its settings are kept; otherwise
// secure memory is switched off (no key ever lives in it: keys are copied into ordinary cipher
// contexts) and initialisation is finished. Throws ECipherError when the library is older than
// the headers this program was built with.
void EnsureGcrypt();

}  // namespace qorvin
