// Whole texts through a block cipher in CBC mode, stream to stream: a fresh random
// initialisation vector in front, PKCS #7 padding at the end.
//
//   offset  size    content
//   0       B       initialisation vector: B unpredictable bytes (B = the cipher's block size)
//   B       n + p   CBC encryption of the n plain bytes followed by p bytes of value p,
//                   1 <= p <= B, chosen so that n + p is a multiple of B
//
// So the cipher text is B + (n / B + 1) * B bytes long. The form detects most wrong keys and
// truncations (the padding no longer checks out) but carries no authentication code: it keeps a
// text secret, it does not prove who wrote it.
//
// Data moves in pieces of at most 64 KiB; neither text is held in memory as a whole.
#pragma once

#include <cstdint>

#include "platform/crypto/BlockCipher.h"
#include "platform/rtl/Stream.h"

namespace qorvin {

// Encrypts `count` bytes of `source` from its position into `target` at its position, in the
// layout above. Resets the cipher's chaining value. EReadError when `source` holds fewer bytes.
void CbcEncryptStream(TBlockCipher& cipher, TStream& source, int64_t count, TStream& target);

// Decrypts `count` bytes of `source` from its position (the layout above) into `target` at its
// position. ECipherError when `count` is not at least two blocks and a whole number of blocks, or
// when the padding is wrong (a wrong key, a corrupt or a truncated text); by then the bytes
// before the last block may already have been written to `target`.
void CbcDecryptStream(TBlockCipher& cipher, TStream& source, int64_t count, TStream& target);

}  // namespace qorvin
