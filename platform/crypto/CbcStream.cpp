#include "platform/crypto/CbcStream.h"

#include <algorithm>
#include <vector>

namespace qorvin {

namespace {

// Piece size: a multiple of every block size.
constexpr int64_t kPiece = 65536;

}  // namespace

void CbcEncryptStream(TBlockCipher& cipher, TStream& source, int64_t count, TStream& target) {
  if (count < 0) throw ECipherError("Negative byte count to encrypt");
  const int64_t block = int64_t(cipher.BlockSize());
  std::vector<uint8_t> iv(static_cast<size_t>(block));
  CipherRandomNonce(iv);
  cipher.SetIV(iv);
  target.WriteBuffer(iv.data(), block);

  std::vector<uint8_t> buf(size_t(std::min(count, kPiece) + block));
  int64_t left = count;
  for (;;) {
    const int64_t n = std::min(left, kPiece);
    source.ReadBuffer(buf.data(), n);
    left -= n;
    int64_t out = n;
    if (left == 0) {  // the last piece: pad to a whole number of blocks (1..block bytes)
      const int64_t pad = block - n % block;
      std::fill_n(buf.begin() + n, pad, uint8_t(pad));
      out += pad;
    }
    cipher.EncryptBlocks(std::span(buf.data(), size_t(out)));
    target.WriteBuffer(buf.data(), out);
    if (left == 0) break;
  }
}

void CbcDecryptStream(TBlockCipher& cipher, TStream& source, int64_t count, TStream& target) {
  const int64_t block = int64_t(cipher.BlockSize());
  if (count < 2 * block)
    throw ECipherError(Format("Encrypted data is truncated: %lld bytes, at least %lld expected",
                              (long long)count, (long long)(2 * block)));
  if (count % block != 0)
    throw ECipherError(
        Format("Encrypted data is truncated or corrupt: %lld bytes is not a whole number of "
               "%lld-byte blocks",
               (long long)count, (long long)block));

  std::vector<uint8_t> iv(static_cast<size_t>(block));
  source.ReadBuffer(iv.data(), block);
  cipher.SetIV(iv);

  std::vector<uint8_t> buf(size_t(std::min(count - block, kPiece)));
  int64_t left = count - block;
  while (left > 0) {
    const int64_t n = std::min(left, kPiece);
    source.ReadBuffer(buf.data(), n);
    cipher.DecryptBlocks(std::span(buf.data(), size_t(n)));
    left -= n;
    int64_t keep = n;
    if (left == 0) {  // the last piece ends with the padding
      const uint8_t pad = buf[size_t(n - 1)];
      bool ok = pad >= 1 && pad <= block;
      for (int64_t i = n - pad; ok && i < n; ++i) ok = buf[size_t(i)] == pad;
      if (!ok) throw ECipherError("Decryption failed: wrong key or corrupt data");
      keep -= pad;
    }
    target.WriteBuffer(buf.data(), keep);
  }
}

}  // namespace qorvin
